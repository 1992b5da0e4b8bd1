// The head of the engine's output: the header lines that Main writes before the empty line and the body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace qm {

/// Longest head the host waits for; an engine head without its empty line within it is refused.
inline constexpr size_t kMaxCgiHeadBytes = 32 * 1024;

/// Most header lines one head may hold.
inline constexpr size_t kMaxCgiHeadLines = 100;

/// One header line to pass on to the client. The views point into the parsed text.
struct CgiHeaderLine {
    std::string_view Name;
    std::string_view Value;
};

/// A parsed head: the status, the announced body length and the lines to relay, in their order.
/// Status, Content-Length and the hop-by-hop lines (Connection, Keep-Alive, Transfer-Encoding, TE, Trailer,
/// Upgrade, Proxy-Connection) are not relayed; the server sets those itself.
struct CgiHead {
    unsigned Status = 200;
    std::optional<uint64_t> ContentLength;
    std::vector<CgiHeaderLine> Headers;
};

/// True when text is an HTTP token (a header name): one or more letters, digits and "!#$%&'*+-.^_`|~".
bool IsHttpToken(std::string_view text);

/// Looks for the empty line that ends the head in `bytes` (lines end with LF or CR LF). Returns the offset of
/// the first body byte, or npos while the empty line has not arrived. `scanFrom` carries the position of the
/// first unfinished line between calls on a growing buffer; start it at 0.
size_t FindCgiHeadEnd(std::string_view bytes, size_t& scanFrom);

/// Parses the head text (everything before the body, empty line included or not). A "Status:" line sets the
/// status from its three digits (200 to 599); a "Location:" line without a status makes it 302. False when a
/// line has no ':' or a name that is not an HTTP token, a value holds control bytes, the status or the
/// Content-Length is not a number, or there are more than kMaxCgiHeadLines lines.
bool ParseCgiHead(std::string_view head, CgiHead& out);

} // namespace qm
