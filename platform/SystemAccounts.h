// The system's user accounts as the name service lists them (NSS: files, LDAP, whatever nsswitch.conf names).
#pragma once

#include "base/Result.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qm::platform {

/// One entry of the system's account list.
struct SystemAccount {
    std::string Name;
    std::uint32_t Uid = 0;
    std::string FullName; ///< the GECOS field up to its first ','; "" when it is empty
};

/// Every entry the name service enumerates (getpwent_r), in its order, without any filtering. The enumeration
/// state is the process's own, so two calls must not run at once (the account tools call it from their one
/// thread). Fails with the system's error code when the enumeration breaks off; the entries read so far are lost.
Result<std::vector<SystemAccount>> ListSystemAccounts();

} // namespace qm::platform
