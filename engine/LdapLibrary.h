// The run-time binding of the LDAP client library (OpenLDAP's libldap), loaded at start so that the engine runs
// without it: LDAP logon and the address look-up use it when it is there.
#pragma once

#include "base/Result.h"
#include "common/Log.h"
#include "platform/SharedLibrary.h"

#include <array>
#include <memory>
#include <span>
#include <string>

struct ldap;
struct ldapmsg;
struct ldapcontrol;
struct berval;
struct timeval;

namespace qm::engine {

/// The names the library is looked for by on the system's library path, in this order: OpenLDAP 2.5 (Debian 12,
/// Ubuntu 22.04: libldap-2.5-0), 2.6 (Debian 13, Ubuntu 24.04: libldap2), and the unversioned name that the
/// development package (libldap-dev) adds. Every one of them offers the entry points below with the same calls.
inline constexpr std::array<const char*, 3> kLdapLibraryNames = {"libldap-2.5.so.0", "libldap.so.2", "libldap.so"};

/// Error code of a load that failed because an entry point is missing.
inline constexpr int kLdapMissingEntryPoint = 1;

/// The entry points, bound by name (their C declarations are the library's).
struct LdapFunctions {
    int (*Initialize)(ldap** connection, const char* uri);
    int (*SetOption)(ldap* connection, int option, const void* value);
    int (*SaslBindS)(ldap* connection, const char* dn, const char* mechanism, berval* credentials,
                     ldapcontrol** serverControls, ldapcontrol** clientControls, berval** serverCredentials);
    int (*SearchExtS)(ldap* connection, const char* base, int scope, const char* filter, char** attributes,
                      int attributesOnly, ldapcontrol** serverControls, ldapcontrol** clientControls, timeval* timeout,
                      int sizeLimit, ldapmsg** result);
    ldapmsg* (*FirstEntry)(ldap* connection, ldapmsg* chain);
    ldapmsg* (*NextEntry)(ldap* connection, ldapmsg* entry);
    berval** (*GetValuesLen)(ldap* connection, ldapmsg* entry, const char* attribute);
    void (*ValueFreeLen)(berval** values);
    int (*MsgFree)(ldapmsg* message);
    int (*UnbindExtS)(ldap* connection, ldapcontrol** serverControls, ldapcontrol** clientControls);
};

/// The loaded library with its entry points.
class LdapLibrary {
public:
    /// Loads the first of names that loads and has every entry point. When none does, the error names them all and
    /// gives the reason and Code of the last name that was found: ELIBBAD (it cannot be loaded) or
    /// kLdapMissingEntryPoint; when no name was found at all, the last reason and ENOENT.
    static Result<std::unique_ptr<LdapLibrary>> Load(std::span<const char* const> names = kLdapLibraryNames);

    const LdapFunctions& Functions() const { return m_functions; }

    /// The name it was loaded by.
    const std::string& Name() const { return m_name; }

private:
    LdapLibrary() = default;

    static Result<std::unique_ptr<LdapLibrary>> LoadOne(const char* name);

    SharedLibrary m_library;
    LdapFunctions m_functions{};
    std::string m_name;
};

/// Loads the process-wide library (LdapLibrary::Load), replacing any earlier.
Result<void> LoadLdapLibrary(std::span<const char* const> names = kLdapLibraryNames);

/// LoadLdapLibrary for the engine's start: a failure is logged at level 4, as message 170 with its code followed by
/// one line with the names tried and the reason. True when the library is loaded.
bool LoadLdapLibrary(Logger& log, std::span<const char* const> names = kLdapLibraryNames);

/// Drops the process-wide library; holders of LoadedLdap keep it until they let go.
void UnloadLdapLibrary();

/// The process-wide library, or null when it is not loaded (LDAP is then unavailable).
std::shared_ptr<const LdapLibrary> LoadedLdap();

} // namespace qm::engine
