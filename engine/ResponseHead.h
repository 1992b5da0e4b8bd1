// The header lines the engine writes before a page: its cookies and the page's content type.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace qm::engine {

/// The head of every page the engine renders, the blank line included.
inline constexpr std::string_view kPageHead = "Content-type: text/html\r\nExpires: 0\r\nPragma: no-cache\r\n\r\n";

/// How long the User, Lang and Theme cookies live.
inline constexpr time_t kCookieLifetime = time_t{365} * 24 * 60 * 60;

/// The cookie date of `when` in UTC, "%a, %d-%b-%Y %H:%M:%S GMT", with English day and month names whatever the
/// process locale.
std::string CookieDate(time_t when);

/// A cookie value that cannot end the header line or the cookie: CR, LF, ';' and the other control bytes are
/// dropped.
std::string CleanCookieValue(std::string_view value);

/// Who may read a cookie in the browser: the page's scripts too, or only the server (the User and Session cookies:
/// HttpOnly, and SameSite=Lax so that another site's form cannot post with them).
enum class CookieReach {
    Scripts,
    ServerOnly,
};

/// Appends "Set-Cookie: name=value; Expires=date; path=/\r\n" (no Expires when expires is 0) with the value cleaned;
/// a ServerOnly cookie ends "; path=/; HttpOnly; SameSite=Lax".
void AppendSetCookie(std::string& out, std::string_view name, std::string_view value, time_t expires,
                     CookieReach reach = CookieReach::Scripts);

} // namespace qm::engine
