// Who may reach the objects an installation makes: shared memory segments, lock files, the runtime directory and
// files that hold passwords. They belong to the installation's owner (mode 0600) or, when the administrator names a
// group for the console in $QUILLMAIL_ADMIN_GROUP, to the owner and that group (0660, the object's group set to
// it). Never to everyone.
#pragma once

#include "base/Result.h"

#include <string_view>

namespace qm::platform {

/// Environment variable naming the group (by name or number) that may open the installation's shared objects
/// besides their owner: the group the console and the web administration run in.
inline constexpr const char* kAdminGroupEnv = "QUILLMAIL_ADMIN_GROUP";

/// The mode of an object only its owner may reach.
inline constexpr unsigned kOwnerOnlyMode = 0600;

/// The mode of an object the owner and the administrators' group may reach.
inline constexpr unsigned kOwnerAndGroupMode = 0660;

/// The access an object is created with.
struct ObjectAccess {
    unsigned Mode = kOwnerOnlyMode; // permission bits of a file (a directory adds the matching search bits)
    long Group = -1;                // the group to give the object; -1 keeps the creator's
};

/// The access of the installation's shared objects: 0660 with the group of $QUILLMAIL_ADMIN_GROUP when that names
/// a group this process may give its objects (root: any group; others: one of their own groups), else 0600. A
/// group that is set but unusable is not an error: the objects stay private to the owner.
ObjectAccess SharedObjectAccess();

/// The same choice for a given group value (empty: none), for tests and for callers that read it elsewhere.
ObjectAccess SharedObjectAccessFor(std::string_view group);

/// Gives the open object fd the access: first its group (fchown) when one is named, then its mode (fchmod), so
/// that the umask neither widens nor narrows it. Returns 0 or the errno value.
int ApplyAccess(int fd, const ObjectAccess& access);

/// The mode of a directory for the access: the file mode with a search bit wherever it has a read bit.
unsigned DirectoryMode(const ObjectAccess& access);

} // namespace qm::platform
