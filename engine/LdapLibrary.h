// The run-time binding of the LDAP client library (OpenLDAP's libldap), loaded at start so that the engine runs
// without it: LDAP logon and the address look-up use it when it is there.
#pragma once

#include "base/Result.h"
#include "platform/SharedLibrary.h"

#include <memory>

struct ldap;
struct ldapmsg;
struct ldapcontrol;
struct berval;
struct timeval;

namespace qm::engine {

/// The library's name on the system's library path.
inline constexpr const char* kLdapLibraryName = "libldap-2.5.so.0";

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
    /// Loads `name` and binds every entry point; a missing one unloads it again (Code kLdapMissingEntryPoint).
    static Result<std::unique_ptr<LdapLibrary>> Load(const char* name = kLdapLibraryName);

    const LdapFunctions& Functions() const { return m_functions; }

private:
    LdapLibrary() = default;

    SharedLibrary m_library;
    LdapFunctions m_functions{};
};

/// Loads the process-wide library, replacing any earlier.
Result<void> LoadLdapLibrary(const char* name = kLdapLibraryName);

/// Drops the process-wide library; holders of LoadedLdap keep it until they let go.
void UnloadLdapLibrary();

/// The process-wide library, or null when it is not loaded (LDAP is then unavailable).
std::shared_ptr<const LdapLibrary> LoadedLdap();

} // namespace qm::engine
