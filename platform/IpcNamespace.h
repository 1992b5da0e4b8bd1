// The namespace that keeps the shared memory, locks and sockets of one installation apart from another's.
//
// Every named object of the inter-process layer carries the namespace: shared memory "/qm.<ns>.<object>", sockets
// "qm.<ns>.<object>" (abstract), lock files "<runtime dir>/<object>.<ns>.lock". The namespace is a short hash of the
// installation directory's canonical path, so two installations on one machine never meet; QUILLMAIL_IPC_NS
// overrides it (tests give every test its own value, packaging may pin one).
//
// The runtime directory holds lock files. It is, in this order:
//  - $QUILLMAIL_RUNTIME_DIR when set (created 0700 when missing, 0770 with the administrators' group of
//    platform::SharedObjectAccess);
//  - /run/quillmail when it is a directory this process may write, or when this process can create it (as root,
//    with the same access: only the owner, and the console's group when one is named, open the lock files);
//  - /tmp/quillmail-<uid>, created 0700 and used only when it is a real directory owned by this user that nobody
//    else may write (a directory planted by another user in /tmp is refused). This is the fallback of a developer
//    or single-user set-up; an installation whose processes run as several users provides /run/quillmail.
#pragma once

#include "base/Result.h"

#include <string>
#include <string_view>

namespace qm {

/// Environment variable that replaces the namespace derived from the installation directory.
inline constexpr const char* kIpcNamespaceEnv = "QUILLMAIL_IPC_NS";

/// Environment variable that names the runtime directory for lock files.
inline constexpr const char* kRuntimeDirEnv = "QUILLMAIL_RUNTIME_DIR";

/// The longest namespace name; longer or unusual names are replaced by their hash.
inline constexpr std::size_t kMaxIpcNamespaceLength = 48;

/// A namespace for named inter-process objects. Cheap to copy.
class IpcNamespace {
public:
    /// The namespace of the installation in installDir: $QUILLMAIL_IPC_NS when set and not empty, else 12 hex
    /// digits of a hash of installDir's canonical path (symbolic links, "." and ".." resolved, no trailing '/').
    static IpcNamespace ForInstallDir(std::string_view installDir);

    /// A namespace of the given name. A name of 1 to 48 characters from [A-Za-z0-9_-] is used as it is; any other
    /// name (empty, too long, or with '/', '.', blanks, ...) is replaced by "h" and 12 hex digits of its hash, so
    /// that every object name stays valid. The environment value goes through the same rule.
    static IpcNamespace Named(std::string_view name);

    const std::string& Name() const { return m_name; }

    /// "/qm.<ns>.<object>": the name of a POSIX shared memory object. object is one or more characters from
    /// [A-Za-z0-9_.-] (a bug otherwise).
    std::string ShmName(std::string_view object) const;

    /// "qm.<ns>.<object>": the name of an abstract Unix socket (without the leading NUL byte).
    std::string SocketName(std::string_view object) const;

    /// "<runtime dir>/<object>.<ns>.lock". Fails when no runtime directory can be found or made.
    Result<std::string> LockPath(std::string_view object) const;

private:
    explicit IpcNamespace(std::string name)
        : m_name(std::move(name))
    {}

    std::string m_name;
};

/// The runtime directory for lock files, chosen as the comment at the top of this file says; created when missing.
Result<std::string> IpcRuntimeDir();

/// The same choice with the two candidates given (for tests): $QUILLMAIL_RUNTIME_DIR, else systemDir when usable,
/// else the private fallbackDir.
Result<std::string> IpcRuntimeDir(std::string_view systemDir, std::string_view fallbackDir);

} // namespace qm
