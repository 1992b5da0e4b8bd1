// New accounts made by visitors on the NewUser page: the form is checked, the account created, the domain's
// new-account program run, the administrator told by mail, and the new user then logged on.
#pragma once

#include "common/CgiInput.h"
#include "common/Log.h"
#include "engine/PageContext.h"

#include <string>
#include <string_view>
#include <vector>

namespace qm::engine {

class LogonThrottle;

/// The longest user name a visitor may ask for (a longer one is refused, never cut).
inline constexpr std::size_t kMaxNewUserName = 79;

/// Time the new-account program may run before it is killed: [AccountCreation] NewAccountTimeout, in seconds.
inline constexpr int kDefaultNewAccountTimeout = 60;

/// Bytes of the program's output that become the status message; the rest is dropped.
inline constexpr std::size_t kMaxNewAccountOutput = 4096;

/// PATH of the new-account program.
inline constexpr const char* kNewAccountPath = "/usr/local/bin:/usr/bin:/bin";

/// What the NewUser form led to.
enum class NewUserStep {
    ShowForm, ///< the form is shown again (with a message when something was wrong)
    ToLogon,  ///< the Logon view (with a message when something was wrong)
    LogOn,    ///< the account exists: the User and Password fields are set for the logon that follows
};

/// The environment of the new-account program: the engine's own environment without the dynamic loader's
/// variables (LD_*) and with a fixed PATH, followed by the form's User, Pass, ConfirmPass, FullName and
/// NewAccountPassword and DOMAIN (the request's domain), each as NAME=value, unless the engine's environment has
/// that name already. Nothing else of the form gets in.
std::vector<std::string> NewAccountEnvironment(const std::vector<std::string>& engineEnvironment,
                                               const NameValueList& fields, std::string_view domain);

/// Runs the domain's NewAccountExecutable (an absolute path) with the arguments User, Pass and FullName (never
/// through a shell), in its own directory, with NewAccountEnvironment, standard input and error closed, and its
/// standard output (up to kMaxNewAccountOutput bytes) made the status message; killed when it runs too long.
/// -1 when no program is configured, 1 when it ran and exited with the domain's NewAccountReturnValue, else 0.
int RunNewAccountExecutable(PageContext& page, const NameValueList& fields, std::string_view domain);

/// Writes the notification of a new account and sends it to [Registration] Administrator through the domain's
/// SmtpHost and SmtpPort. True when the server took it.
bool SendNewUserNotification(std::string_view user, std::string_view fullName, std::string_view domain, Logger& log);

/// Whether typed is the sign-up password of domain (its secret NewAccountPassword, 31 characters); true when the
/// domain has none. The checks are counted by the throttle as logons are, per client address and for the domain's
/// sign-up as one account: a wrong password is a failure, and while either waits out its delay the password is not
/// compared at all (false).
bool SignUpPasswordAccepted(std::string_view domain, std::string_view typed, std::string_view remoteAddr,
                            LogonThrottle& throttle, Logger& log);

/// The NewUser page's handler. `domain` may change to the domain of the name asked for; remoteAddr is logged; the
/// sign-up password of another domain is checked through the throttle.
NewUserStep NewUserPage(PageContext& page, CgiInput& input, std::string& domain, std::string_view remoteAddr,
                        LogonThrottle& throttle);

} // namespace qm::engine
