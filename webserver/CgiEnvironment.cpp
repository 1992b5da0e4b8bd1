#include "webserver/CgiEnvironment.h"

#include <charconv>

namespace qm {

namespace {

void Add(std::string& block, std::string_view name, std::string_view value)
{
    block.append(name);
    block.push_back('=');
    block.append(value);
    block.push_back('\0');
}

void AddNumber(std::string& block, std::string_view name, uint64_t value)
{
    char digits[24];
    auto* const end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    Add(block, name, std::string_view(digits, static_cast<size_t>(end - digits)));
}

// The port of a Host value follows its last ':', unless that ':' lies inside a bracketed IPv6 address.
size_t PortSeparator(std::string_view host)
{
    const size_t colon = host.rfind(':');
    if (colon == std::string_view::npos) {
        return colon;
    }
    const size_t bracket = host.rfind(']');
    if (bracket != std::string_view::npos && bracket > colon) {
        return std::string_view::npos;
    }
    return colon;
}

} // namespace

void BuildCgiEnvironment(const CgiRequestFacts& facts, std::string& block)
{
    block.clear();
    if (facts.Host) {
        const std::string_view host = *facts.Host;
        const size_t colon = PortSeparator(host);
        if (colon == std::string_view::npos) {
            Add(block, "SERVER_NAME", host);
            Add(block, "SERVER_PORT", "80");
        } else {
            Add(block, "SERVER_NAME", host.substr(0, colon));
            Add(block, "SERVER_PORT", host.substr(colon + 1));
        }
    } else {
        Add(block, "SERVER_NAME", facts.LocalAddress);
        AddNumber(block, "SERVER_PORT", facts.LocalPort);
    }
    Add(block, "SERVER_ADDR", facts.LocalAddress);
    Add(block, "REMOTE_ADDR", facts.RemoteAddress);
    Add(block, "HTTP_USER_AGENT", facts.UserAgent);
    Add(block, "REQUEST_METHOD", facts.Method);
    Add(block, "SCRIPT_NAME", facts.ScriptName);
    Add(block, "PATH_INFO", facts.PathInfo);
    Add(block, "QUERY_STRING", facts.QueryString);
    if (facts.ContentType) {
        Add(block, "CONTENT_TYPE", *facts.ContentType);
        AddNumber(block, "CONTENT_LENGTH", facts.ContentLength);
    }
    if (facts.Cookie) {
        Add(block, "HTTP_COOKIE", *facts.Cookie);
    }
    if (facts.Origin) {
        Add(block, "HTTP_ORIGIN", *facts.Origin);
    }
    block.push_back('\0');
}

} // namespace qm
