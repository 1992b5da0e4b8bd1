#include "engine/ResponseHead.h"

#include <array>
#include <cstdio>

namespace qm::engine {
namespace {

constexpr std::array<const char*, 7> kDayNames = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 12> kMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

} // namespace

std::string CookieDate(time_t when)
{
    std::tm utc{};
    if (gmtime_r(&when, &utc) == nullptr) {
        return {};
    }
    char text[64];
    const int n = std::snprintf(text, sizeof text, "%s, %02d-%s-%04d %02d:%02d:%02d GMT",
                                kDayNames[static_cast<std::size_t>(utc.tm_wday % 7)], utc.tm_mday,
                                kMonthNames[static_cast<std::size_t>(utc.tm_mon % 12)], utc.tm_year + 1900, utc.tm_hour,
                                utc.tm_min, utc.tm_sec);
    return n > 0 ? std::string(text, static_cast<std::size_t>(n)) : std::string();
}

std::string CleanCookieValue(std::string_view value)
{
    std::string clean;
    clean.reserve(value.size());
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == ';') {
            continue;
        }
        clean += c;
    }
    return clean;
}

void AppendSetCookie(std::string& out, std::string_view name, std::string_view value, time_t expires, CookieReach reach)
{
    out += "Set-Cookie: ";
    out += name;
    out += '=';
    out += CleanCookieValue(value);
    if (expires != 0) {
        out += "; Expires=";
        out += CookieDate(expires);
    }
    out += reach == CookieReach::ServerOnly ? "; path=/; HttpOnly; SameSite=Lax\r\n" : "; path=/\r\n";
}

} // namespace qm::engine
