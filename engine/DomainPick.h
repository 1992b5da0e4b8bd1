// The mail domain of a request: the domain of Domains.Ini that best matches the server address, port and name the
// request came in on.
#pragma once

#include <string>
#include <string_view>

namespace qm::engine {

/// Longest domain name kept.
inline constexpr std::size_t kMaxDomainName = 79;

/// What the request came in on (SERVER_ADDR, SERVER_PORT, SERVER_NAME).
struct ServerEndpoint {
    std::string_view Address;
    std::string_view Port;
    std::string_view Name;
};

/// What a domain section offers to match: its IP and Port settings (through the domain chain).
struct DomainMatchSettings {
    std::string_view Ip;
    std::string_view Port;
};

/// The score of domain `name`: 2 when the address equals its IP, + 2 when the port equals its Port (exact
/// comparisons of non-empty texts), + 1 when name is the default domain, + 2 when the server name is the domain or
/// ends in "." and the domain (names compared without regard to ASCII case).
int ScoreDomain(std::string_view name, const DomainMatchSettings& settings, const ServerEndpoint& server,
                std::string_view defaultDomain);

/// The request's domain: [Default:Settings] DefaultDomain with score 1, replaced by every domain of Domains.Ini, in
/// file order, that scores strictly more than the best so far (ties keep the earlier one). Cut to 79 bytes.
std::string PickDomain(const ServerEndpoint& server);

} // namespace qm::engine
