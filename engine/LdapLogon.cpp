#include "engine/LdapLogon.h"

#include "common/IniAccess.h"
#include "common/StringUtil.h"
#include "engine/RequestMessages.h"

#include <ldap.h>

#include <algorithm>
#include <cctype>

namespace qm::engine {
namespace {

constexpr std::size_t kMaxHost = 79;

// The connection and the search result, released on every path.
class Connection {
public:
    explicit Connection(const LdapFunctions& f)
        : m_f(f)
    {}

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    ~Connection()
    {
        if (m_result != nullptr) {
            m_f.MsgFree(m_result);
        }
        if (m_ld != nullptr) {
            m_f.UnbindExtS(m_ld, nullptr, nullptr);
        }
    }

    ldap*& Handle() { return m_ld; }

    ldapmsg*& Result() { return m_result; }

private:
    const LdapFunctions& m_f;
    ldap* m_ld = nullptr;
    ldapmsg* m_result = nullptr;
};

// The first value of an attribute of the entry.
std::optional<std::string> FirstValue(const LdapFunctions& f, ldap* ld, ldapmsg* entry, const std::string& attribute)
{
    berval** values = f.GetValuesLen(ld, entry, attribute.c_str());
    if (values == nullptr) {
        return std::nullopt;
    }
    std::optional<std::string> first;
    if (values[0] != nullptr) {
        first.emplace(values[0]->bv_val, values[0]->bv_len);
    }
    f.ValueFreeLen(values);
    return first;
}

bool HostCharacter(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_' || c == ':' ||
           c == '[' || c == ']';
}

} // namespace

std::string EscapeLdapFilterValue(std::string_view value)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0') {
            const auto byte = static_cast<unsigned char>(c);
            out += '\\';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0f];
        } else {
            out += c;
        }
    }
    return out;
}

std::string LdapFilterFor(std::string_view pattern, std::string_view user)
{
    const std::string escaped = EscapeLdapFilterValue(user);
    std::string out;
    std::size_t i = 0;
    while (i < pattern.size()) {
        if (pattern.size() - i >= 4 && EqualsNoCase(pattern.substr(i, 4), "USER")) {
            out += escaped;
            i += 4;
        } else {
            out += pattern[i++];
        }
    }
    return out;
}

std::optional<std::string> LdapUriFor(std::string_view host)
{
    if (host.empty() || !std::all_of(host.begin(), host.end(), HostCharacter)) {
        return std::nullopt;
    }
    std::string_view name = host;
    std::string_view port;
    if (host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos || host.find_first_of("[]", 1) != close) {
            return std::nullopt;
        }
        name = host.substr(0, close + 1);
        const std::string_view rest = host.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            return std::nullopt;
        }
        port = rest.empty() ? rest : rest.substr(1);
    } else if (const std::size_t colon = host.find(':'); colon != std::string_view::npos) {
        name = host.substr(0, colon);
        port = host.substr(colon + 1);
    }
    if (name.empty() || (host.front() != '[' && name.find_first_of("[]") != std::string_view::npos)) {
        return std::nullopt;
    }
    if (host.front() != '[' && port.find(':') != std::string_view::npos) {
        return std::nullopt; // a bare IPv6 address needs its brackets
    }
    if (port.empty()) {
        port = "389";
    }
    if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return "ldap://" + std::string(name) + ":" + std::string(port);
}

LogonResult LdapLogon(const LdapLibrary* library, std::string_view user, std::string_view stored,
                      std::string_view typed, Logger& log)
{
    if (library == nullptr) {
        log.LogMsg(4, kLogLdapNotLoaded);
        return LogonResult::ServiceFailed;
    }
    if (typed.empty()) {
        return LogonResult::Refused;
    }
    const LdapFunctions& f = library->Functions();
    std::string host = ReadIniString("LDAPAuth", "Host", "").substr(0, kMaxHost);
    if (stored.size() > 1) {
        host = std::string(stored.substr(1, kMaxHost));
    }
    const int timeLimit = std::max(1, ReadIniInt("LDAPAuth", "TimeLimit", 5));
    const int sizeLimit = std::max(0, ReadIniInt("LDAPAuth", "SizeLimit", 1));
    const std::string base = ReadIniString("LDAPAuth", "Base", "");
    const std::string filter = LdapFilterFor(ReadIniString("LDAPAuth", "Filter", "(cn=USER)"), user);
    std::string nameAttr = ReadIniString("LDAPAuth", "NameAttr", "cn");
    std::string passAttr = ReadIniString("LDAPAuth", "PassAttr", "password");

    Connection connection(f);
    const std::optional<std::string> uri = LdapUriFor(host);
    if (!uri || f.Initialize(&connection.Handle(), uri->c_str()) != LDAP_SUCCESS || connection.Handle() == nullptr) {
        log.LogMsg(4, kLogLdapNoConnection, host.c_str());
        return LogonResult::ServiceFailed;
    }
    ldap* ld = connection.Handle();
    const int version = LDAP_VERSION3;
    timeval limit{timeLimit, 0};
    (void)f.SetOption(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    (void)f.SetOption(ld, LDAP_OPT_TIMELIMIT, &timeLimit);
    (void)f.SetOption(ld, LDAP_OPT_SIZELIMIT, &sizeLimit);
    (void)f.SetOption(ld, LDAP_OPT_NETWORK_TIMEOUT, &limit);
    (void)f.SetOption(ld, LDAP_OPT_TIMEOUT, &limit);
    (void)f.SetOption(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);

    // Anonymous: no name and no password. The typed password never goes to the server.
    // The library connects only now: a server that cannot be reached shows here, not at the initialisation.
    berval none{0, nullptr};
    if (const int bound = f.SaslBindS(ld, nullptr, LDAP_SASL_SIMPLE, &none, nullptr, nullptr, nullptr);
        bound != LDAP_SUCCESS) {
        log.LogMsg(4, bound == LDAP_SERVER_DOWN ? kLogLdapNoConnection : kLogLdapNoLogin, host.c_str());
        return LogonResult::ServiceFailed;
    }
    char* attributes[] = {nameAttr.data(), passAttr.data(), nullptr};
    if (f.SearchExtS(ld, base.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(), attributes, 0, nullptr, nullptr, &limit,
                     sizeLimit, &connection.Result()) != LDAP_SUCCESS) {
        log.LogMsg(3, kLogLdapSearchError, host.c_str());
        return LogonResult::ServiceFailed;
    }
    ldapmsg* entry = f.FirstEntry(ld, connection.Result());
    if (entry == nullptr) {
        return LogonResult::Refused;
    }
    const std::optional<std::string> name = FirstValue(f, ld, entry, nameAttr);
    if (!name || !EqualsNoCase(*name, user)) {
        return LogonResult::Refused;
    }
    const std::optional<std::string> password = FirstValue(f, ld, entry, passAttr);
    return password && *password == typed ? LogonResult::Accepted : LogonResult::Refused;
}

} // namespace qm::engine
