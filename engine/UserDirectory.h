// User names and user directories: the one check a user name passes before it becomes a path, and the directory
// of a user under [Directories] UserDir, found whatever the case of its name.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qm::engine {

/// Longest user name, in bytes.
inline constexpr std::size_t kMaxUserNameLength = 79;

/// The one check for a user name that comes from outside (logon form, administration calls, account tools) before
/// it names a directory: 1 to 79 bytes, no leading '.', and no blank, '/', '\' or control byte (below 0x20, or
/// DEL). So "." and ".." and every name that would reach outside UserDir are refused.
bool IsValidUserName(std::string_view name);

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
