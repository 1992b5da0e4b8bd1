#include "engine/DomainPick.h"

#include "common/IniCache.h"
#include "common/StringUtil.h"
#include "engine/Engine.h"
#include "platform/IniFile.h"

#include <algorithm>

namespace qm::engine {
namespace {

constexpr const char* kDefaultSettingsSection = "Default:Settings";

} // namespace

int ScoreDomain(std::string_view name, const DomainMatchSettings& settings, const ServerEndpoint& server,
                std::string_view defaultDomain)
{
    // An empty text matches nothing: a request without SERVER_ADDR must not match every domain without an IP.
    int score = 0;
    if (!server.Address.empty() && server.Address == settings.Ip) {
        score += 2;
    }
    if (!server.Port.empty() && server.Port == settings.Port) {
        score += 2;
    }
    if (!defaultDomain.empty() && EqualsNoCase(name, defaultDomain)) {
        score += 1;
    }
    if (!name.empty() && server.Name.size() >= name.size()) {
        const std::string_view tail = server.Name.substr(server.Name.size() - name.size());
        const bool whole = server.Name.size() == name.size();
        if (EqualsNoCase(tail, name) && (whole || server.Name[server.Name.size() - name.size() - 1] == '.')) {
            score += 2;
        }
    }
    return score;
}

std::string PickDomain(const ServerEndpoint& server)
{
    // One read of the file for the whole pick: this runs for every request.
    const IniSnapshot snapshot = LoadIniCached(DomainsIniPath());
    const platform::IniDocument& domains = *snapshot;
    const auto setting = [&domains](std::string_view key, const std::string& domain) {
        if (auto own = domains.Get(domain + ":Settings", key)) {
            return std::move(*own);
        }
        return domains.Get(kDefaultSettingsSection, key).value_or(std::string());
    };
    const std::string defaultDomain = setting("DefaultDomain", "Default");
    std::string best = defaultDomain.substr(0, kMaxDomainName);
    int bestScore = 1;
    for (const std::string& section : domains.SectionNames()) {
        if (FindNoCase(section.c_str(), ":Settings") == nullptr || EqualsNoCase(section, kDefaultSettingsSection)) {
            continue;
        }
        const std::string name = section.substr(0, std::min(section.find(':'), kMaxDomainName));
        const std::string ip = setting("IP", name);
        const std::string port = setting("Port", name);
        const int score = ScoreDomain(name, {ip, port}, server, defaultDomain);
        if (score > bestScore) {
            best = name;
            bestScore = score;
        }
    }
    return best;
}

} // namespace qm::engine
