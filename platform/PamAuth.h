// Password checks through PAM (the system's pluggable authentication).
#pragma once

#include <string>

namespace qm::platform {

/// The PAM status of a check that was never begun because the service cannot be used (PAM_SERVICE_ERR).
inline constexpr int kPamServiceError = 3;

/// Checks the password of account with the PAM service: its authentication and then its account check. The
/// service's file is read from confDir when it is not empty (a configuration of the caller's), else from the
/// system's PAM configuration. Returns 0 when both passed, else the PAM status of the step that failed. Password
/// prompts are answered with the password, other prompts with an empty text; the modules' delay after a failure is
/// skipped (callers throttle failed logons themselves).
int PamCheckPassword(const std::string& service, const std::string& account, const std::string& password,
                     const std::string& confDir);

} // namespace qm::platform
