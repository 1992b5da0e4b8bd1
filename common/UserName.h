// The one check a user name passes before it names a user's directory, shared by the engine and the account tools.
#pragma once

#include <cstddef>
#include <string_view>

namespace qm {

/// Longest user name, in bytes.
inline constexpr std::size_t kMaxUserNameLength = 79;

/// The one check for a user name that comes from outside (logon form, administration calls, account tools) before
/// it names a directory: 1 to 79 bytes, no leading '.', and no blank, '/', '\' or control byte (below 0x20, or
/// DEL). So "." and ".." and every name that would reach outside UserDir are refused.
bool IsValidUserName(std::string_view name);

} // namespace qm
