// User directories: the directory of a user under [Directories] UserDir, found whatever the case of its name. The
// user-name check (IsValidUserName) is the common library's, shared with the account tools.
#pragma once

#include "common/UserName.h"

#include <optional>
#include <string>
#include <string_view>

namespace qm::engine {

using qm::IsValidUserName;
using qm::kMaxUserNameLength;

/// [Directories] UserDir (default "Users" in the installation directory), read at each call.
std::string UserDirRoot();

/// [Directories] TempDir (default "Temp" in the installation directory), read at each call.
std::string TempDirRoot();

/// The name of the user's directory as it is on disk: the entry of UserDir that equals name (exactly, else
/// without regard to ASCII case), so that "Bob" and "bob" are one account. nullopt when the user has no directory
/// or the name is not valid.
std::optional<std::string> FindUserDirName(std::string_view name);

/// The user's directory: UserDir and the spelling on disk (FindUserDirName), or the name as given when there is no
/// directory yet. The name must be valid (IsValidUserName); a bug otherwise.
std::string UserDirPath(std::string_view name);

/// True when the user's directory exists (FindUserDirName). False for a name that is not valid.
bool UserDirExists(std::string_view name);

/// Creates the user's directory (and UserDir when missing) unless it exists in any case of its name. True only when
/// it was created now. False for a name that is not valid.
bool MakeUserDir(std::string_view name);

} // namespace qm::engine
