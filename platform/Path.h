// Path and name helpers: joining, separators, the name check for outside names, case-insensitive look-up.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qm::platform {

/// ASCII lower case of one byte; every other byte is returned unchanged (never locale-dependent).
inline unsigned char FoldAscii(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

/// True when a and b are equal after ASCII case folding.
bool EqualsNoCase(std::string_view a, std::string_view b);

/// Joins a directory and a name with '/', without doubling a '/' that dir already ends with.
/// An empty dir gives name unchanged.
std::string PathJoin(std::string_view dir, std::string_view name);

/// Turns the '\' separators that stored formats keep (folder levels, configured paths) into '/'.
std::string NativePath(std::string_view stored);

/// The inverse of NativePath for writing a relative path into a stored format: '/' becomes '\'.
std::string StoredPath(std::string_view native);

/// Position of the last '/' or '\' in path, or std::string_view::npos.
std::size_t LastSeparator(std::string_view path);

/// The directory part of path (everything before the last separator); "." when there is none and "/" for
/// a file in the root.
std::string ParentDirectory(std::string_view path);

/// The one check for a name that comes from outside (user, folder level, mailbox, theme, template, page,
/// attachment name) before it becomes part of a path, so that it stays one level of that path: refuses the empty
/// name, names longer than 255 bytes, a leading '.' (so "." and ".."), '/', '\', control bytes (below 0x20) and
/// DEL (0x7f). A ".." inside a name ("Archive..2024", "x..") is allowed: without a separator it cannot climb.
bool IsSafeName(std::string_view name);

/// Finds the entry `name` of directory `dir` and returns its real spelling: the exact name when it exists,
/// otherwise the entry that equals it after ASCII case folding (the byte-wise smallest one when several do).
/// nullopt when there is none, when dir cannot be read, or when name is not a single component
/// (empty, ".", "..", or holding '/').
std::optional<std::string> ResolveNoCase(const std::string& dir, std::string_view name);

/// Resolves every component of `relative` (separated by '/' or '\') below `base` with ResolveNoCase and
/// returns the full path with the real spellings. nullopt when a component is missing or is "." or "..".
/// An empty relative path gives base.
std::optional<std::string> ResolvePathNoCase(const std::string& base, std::string_view relative);

/// Case-insensitive (ASCII) wildcard match: '*' matches any run of bytes, '?' exactly one byte.
/// As on Windows, "*.*" matches every name, with or without a dot.
bool WildcardMatch(std::string_view pattern, std::string_view name);

} // namespace qm::platform
