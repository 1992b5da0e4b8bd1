// Maps the path of a request for a static file to a path relative to the HTML directory, refusing escapes.
#pragma once

#include <string>
#include <string_view>

namespace qm {

/// Longest decoded path of a static file that the server looks up.
inline constexpr size_t kMaxStaticPathLength = 1024;

enum class StaticPathVerdict {
    Ok,
    BadRequest, // a broken %-escape, a NUL, or a path without its leading '/'
    Forbidden,  // a "." or ".." segment, a name starting with '.', a '\' or a control byte
    TooLong,
};

/// Decodes the %-escapes of `rawPath` (the path as received, without the query) and checks every segment. On Ok
/// `relative` holds the path without its leading '/', empty segments dropped; it ends with '/' when the request
/// named a directory ("/" gives ""). The check runs after decoding, so "%2e%2e" is refused like "..".
StaticPathVerdict MapStaticPath(std::string_view rawPath, std::string& relative);

} // namespace qm
