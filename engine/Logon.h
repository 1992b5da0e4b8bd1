// Logon: whether a user name and password may open a session, against the companion mail server's user library
// or the user's own stored password, making sure the account exists first.
#pragma once

#include "common/Log.h"
#include "store/CvUserApi.h"

#include <optional>
#include <string>
#include <string_view>

namespace qm::engine {

/// What a logon decided.
enum class LogonResult : int {
    Accepted = 0,
    Refused = 1,       // bad name or password
    NotAllowed = 2,    // account inactive or without web access
    ServiceFailed = 3, // the logon service (a directory server) failed
};

/// The sources of truth beyond the user's own stored password and the companion's user library: directory (LDAP)
/// and system (PAM) logon, and an account created after a logon at the domain's POP3 server. The engine's own
/// implementation (DefaultLogonServices) is the seam where they are plugged in; tests give their own.
class LogonServices {
public:
    LogonServices() = default;
    LogonServices(const LogonServices&) = delete;
    LogonServices& operator=(const LogonServices&) = delete;
    virtual ~LogonServices() = default;

    /// A stored password of the form "*" or "*host": checks the typed password at the directory server.
    virtual LogonResult DirectoryLogon(std::string_view user, std::string_view stored, std::string_view typed,
                                       Logger& log) const = 0;

    /// A stored password of the form "\" followed by a domain: checks the typed password with the system's logon.
    virtual LogonResult SystemLogon(std::string_view user, std::string_view stored, std::string_view typed,
                                    Logger& log) const = 0;

    /// Creates the account of `user` when the typed password opens its mailbox at popHost of `domain`. True when
    /// the account was created.
    virtual bool CreateAccountAfterPopLogon(std::string_view user, std::string_view typed, std::string_view popHost,
                                            std::string_view domain, Logger& log) const = 0;
};

/// The engine's logon services: LdapLogon, PamLogon and CreateAccountAfterPop3Logon.
const LogonServices& DefaultLogonServices();

/// True for a password that the stored-password convention would keep as a directory ("*...") or system ("\...")
/// logon rather than as a password: an account is never created with such a typed password.
bool IsStoredPasswordReference(std::string_view password);

/// Logs on to popHost (port: the domain's PopPort) as user (cut at '@' unless the domain's UseEmailForPopUser)
/// with the typed password and, when that works, creates the account with that password. True when created.
bool CreateAccountAfterPop3Logon(std::string_view user, std::string_view typed, std::string_view popHost,
                                 std::string_view domain, Logger& log);

/// The name a logon works with: "name@domain" sets `domain` to the text after the last '@'; a name without '@' gets
/// "@" and a non-empty `domain` appended. False when that name would grow past 79 bytes or is not a valid user name.
bool AddLogonDomain(std::string& user, std::string& domain);

/// The key under which failed logons of a typed name are counted: the name AddLogonDomain gives, folded to lower
/// case and without "@" and the default domain, so that every spelling of one account counts for it. The typed
/// text itself (cut to 79 bytes) when it is no name a logon could accept.
std::string LogonAccountKey(std::string_view typed, std::string_view domain);

/// Decides a logon. The password is checked first: NotAllowed (account inactive or without web access) comes only
/// with the right password; ServiceFailed says that it could not be checked. `user` may change: "name@domain" sets
/// `domain` to the text after the last '@'; a name without
/// '@' gets "@" and a non-empty `domain` appended; a name whose account is the bare name in the default domain
/// loses its domain again. Empty name or password, a name that is not a valid user name (or would grow past 79
/// bytes) give Refused. Logs through `log`.
LogonResult Logon(std::string& user, std::string_view password, std::string& domain, Logger& log,
                  const LogonServices& services = DefaultLogonServices());

/// Makes sure the account of `user` exists: its directory exists; or (domain being the default domain) the
/// directory of the bare name exists, and `user` becomes that name; or, with the domain's AutoAccountCreation,
/// it is created: from the companion's user data (companion handle given), or after a POP3 logon with the typed
/// password at the domain's PopHost (an empty PopHost gives true and creates nothing: the password check that
/// follows refuses the user).
bool EnsureAccount(std::string& user, std::optional<std::string_view> typed, store::CvHandle companionUser,
                   std::string_view domain, Logger& log, const LogonServices& services = DefaultLogonServices());

/// The path of the user's User.ini (found whatever the case of its name); the user name must be valid.
std::string UserIniPathOf(std::string_view user);

} // namespace qm::engine
