#include "webserver/CgiHead.h"

#include "common/StringUtil.h"

#include <algorithm>
#include <array>

namespace qm {

namespace {

bool IsTokenChar(unsigned char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
    return kSymbols.find(static_cast<char>(c)) != std::string_view::npos;
}

bool HasControlBytes(std::string_view text)
{
    return std::ranges::any_of(text, [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && byte != '\t') || byte == 0x7f;
    });
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

bool ParseDecimal(std::string_view text, uint64_t& value)
{
    if (text.empty() || text.size() > 19) {
        return false;
    }
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

bool ParseStatus(std::string_view value, unsigned& status)
{
    if (value.size() < 3 || (value.size() > 3 && value[3] != ' ')) {
        return false;
    }
    uint64_t code = 0;
    if (!ParseDecimal(value.substr(0, 3), code) || code < 200 || code > 599) {
        return false;
    }
    status = static_cast<unsigned>(code);
    return true;
}

bool IsHopByHop(std::string_view name)
{
    static constexpr std::array<std::string_view, 7> kNames = {"Connection", "Keep-Alive", "Transfer-Encoding", "TE",
                                                               "Trailer",    "Upgrade",    "Proxy-Connection"};
    return std::ranges::any_of(kNames, [name](std::string_view hop) { return EqualsNoCase(name, hop); });
}

} // namespace

bool IsHttpToken(std::string_view text)
{
    return !text.empty() &&
           std::ranges::all_of(text, [](char c) { return IsTokenChar(static_cast<unsigned char>(c)); });
}

size_t FindCgiHeadEnd(std::string_view bytes, size_t& scanFrom)
{
    size_t lineStart = scanFrom;
    while (lineStart < bytes.size()) {
        const size_t newline = bytes.find('\n', lineStart);
        if (newline == std::string_view::npos) {
            break;
        }
        const size_t length = newline - lineStart;
        if (length == 0 || (length == 1 && bytes[lineStart] == '\r')) {
            scanFrom = lineStart;
            return newline + 1;
        }
        lineStart = newline + 1;
    }
    scanFrom = lineStart;
    return std::string_view::npos;
}

bool ParseCgiHead(std::string_view head, CgiHead& out)
{
    out = CgiHead{};
    bool statusSeen = false;
    bool locationSeen = false;
    size_t lines = 0;
    while (!head.empty()) {
        const size_t newline = head.find('\n');
        std::string_view line = head.substr(0, newline);
        head.remove_prefix(newline == std::string_view::npos ? head.size() : newline + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            break; // the empty line ends the head
        }
        if (++lines > kMaxCgiHeadLines) {
            return false;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            return false;
        }
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = Trim(line.substr(colon + 1));
        if (!IsHttpToken(name) || HasControlBytes(value)) {
            return false;
        }
        if (EqualsNoCase(name, "Status")) {
            if (!ParseStatus(value, out.Status)) {
                return false;
            }
            statusSeen = true;
        } else if (EqualsNoCase(name, "Content-Length")) {
            uint64_t length = 0;
            if (!ParseDecimal(value, length)) {
                return false;
            }
            out.ContentLength = length;
        } else if (!IsHopByHop(name)) {
            locationSeen = locationSeen || EqualsNoCase(name, "Location");
            out.Headers.push_back({name, value});
        }
    }
    if (locationSeen && !statusSeen) {
        out.Status = 302;
    }
    return true;
}

} // namespace qm
