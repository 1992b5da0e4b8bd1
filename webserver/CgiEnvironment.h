// The CGI environment block that the host passes to the engine's Main for one request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qm {

/// What the block is made of: the request's own values and the two ends of its connection.
/// Views must stay valid while BuildCgiEnvironment runs.
struct CgiRequestFacts {
    std::optional<std::string_view> Host; // the Host header, when sent
    std::string_view UserAgent;           // "" when not sent
    std::string_view Method;              // as received
    std::string_view ScriptName;          // the engine's URL prefix
    std::string_view PathInfo;            // the rest of the path after the prefix, or ""
    std::string_view QueryString;         // the text after '?', or ""
    std::optional<std::string_view> ContentType;
    uint64_t ContentLength = 0; // bytes of the request body
    std::optional<std::string_view> Cookie;
    std::optional<std::string_view> Origin; // the Origin header, when sent
    std::string_view LocalAddress;          // dotted
    unsigned LocalPort = 0;
    std::string_view RemoteAddress; // dotted
};

/// Replaces `block` with the environment block of the request: NAME=value entries, each ended by a NUL, in the
/// order SERVER_NAME, SERVER_PORT, SERVER_ADDR, REMOTE_ADDR, HTTP_USER_AGENT, REQUEST_METHOD, SCRIPT_NAME,
/// PATH_INFO, QUERY_STRING, CONTENT_TYPE and CONTENT_LENGTH (only when a Content-Type was sent), HTTP_COOKIE and
/// HTTP_ORIGIN (each only when sent), and an empty entry at the end. Nothing of the server's own environment is in it.
/// SERVER_NAME and SERVER_PORT come from Host (port "80" when it names none), else from the local end.
void BuildCgiEnvironment(const CgiRequestFacts& facts, std::string& block);

} // namespace qm
