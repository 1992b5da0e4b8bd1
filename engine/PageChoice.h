// The choice of a request's language, theme and style: the domain's overrides, the request, the user's settings,
// the cookies and the domain's defaults, in that order; the user's choice is stored in the user's settings.
#pragma once

#include "engine/PageContext.h"

#include <string>
#include <string_view>

namespace qm::engine {

/// Longest theme and style name.
inline constexpr std::size_t kMaxThemeName = 31;

/// The template directory's page that makes a theme valid.
inline constexpr const char* kThemeMarkerPage = "Logon.html";

/// The HTML directory: [WebServer] HtmlDir of the engine INI (default "<installation>/HTML").
std::string HtmlDirectory();

/// Sets the request's language: the first candidate that names a language of the template cache (two or three
/// letters; "de-CH" and "deu" name "de" when Languages.ini has [de] and no [deu]) among `Lang` of the domain's
/// "<domain>:UserOverrides", of [Default:UserOverrides], the request field `Lang`, the user's setting `Lang` (with a
/// session), the cookie `Lang` ([Special] UseCookies on), `Lang` of "<domain>:UserDefaults", of
/// [Default:UserDefaults]; else "en". Any other value is passed over, so neither a field nor a cookie can bring in a
/// code without a section. With a session the result is stored as the user's `Lang`.
void ResolveLanguage(PageContext& context);

/// Sets the request's theme: the first candidate that is a safe name of at most 31 characters naming a directory of
/// the template directory that holds Logon.html (names found whatever their case; the directory's own spelling is
/// kept) among `Theme` of the domain's overrides, of [Default:UserOverrides], the request field `Theme`, the user's
/// setting `Theme` (with a session), the cookie `Theme` (UseCookies on), the domain's and the default user
/// defaults, and last the template directory's own sub-directories in listing order (each name up to its first
/// '.'). When none is valid the theme is "" (no page template is found then). With a session a valid result is
/// stored as the user's `Theme`.
void ResolveTheme(PageContext& context);

/// Chooses the style: the first candidate that is a safe name of at most 31 characters for which the style sheet
/// "<HtmlDir>/<theme>/<style>.css" exists, among `Style` of the domain's overrides, of [Default:UserOverrides], the
/// user's setting `Style` (with a session), the domain's and the default user defaults, and the first "*.css" of
/// "<HtmlDir>/<theme>" (up to its first '.'). With a session the result is stored as the user's `Style`; without
/// one it is only returned. "" when nothing is valid.
std::string ResolveStyle(PageContext& context);

/// [Special] UseCookies of the engine INI (default Yes).
bool UseCookies();

} // namespace qm::engine
