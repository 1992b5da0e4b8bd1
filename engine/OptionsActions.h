// The actions of three options pages: Preferences (password, language, theme, style, the user's own settings and
// word list), Folders (create, rename, delete) and Address book (the personal book rebuilt from the form).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qm::engine {

class Request;
class Session;

/// Language messages of these pages.
inline constexpr int kTextFolderExists = 31;
inline constexpr int kTextFolderNotCreated = 52;
inline constexpr int kTextChangesSaved = 94;
inline constexpr int kTextFieldsRefused = 95;     // "%s": the fields that were refused
inline constexpr int kTextPasswordTooLong = 96;   // a new password longer than kMaxUserPassword
inline constexpr int kTextPasswordMarker = 97;    // a new password beginning with '\' or '*'
inline constexpr int kTextFolderNameRefused = 98; // "%s": the folder name
inline constexpr int kTextChangeFailed = 99;

/// Longest password a user may set.
inline constexpr std::size_t kMaxUserPassword = 31;

/// The actions of Options-Prefs, Options-Folders and Options-AddrBook. Each runs under the session's request lock
/// of a request with a session; each sets the page's status or error message and the next view.
void PrefsAction(Request& request);
void FoldersAction(Request& request);
void AddrBookAction(Request& request);

/// Where Finished and Cancel of the options page `view` go: the view shown before it when that is another mail or
/// options page, else the Options menu.
int OptionsReturnView(const Session& session, int view);

/// Sets the request's view to OptionsReturnView of its session and view.
void LeaveOptionsPage(Request& request);

/// "<parent>/<name>" (just name when parent is empty), with every '\' turned into '/', runs of '/' shrunk to one
/// and a trailing '/' dropped. The result is not checked: callers pass it through IsValidFolderName.
std::string JoinFolderPath(std::string_view parent, std::string_view name);

/// The words of a word list as typed: the text cut at CR, LF, blank, TAB, ',' and ';', empty pieces dropped.
std::vector<std::string> DictionaryWords(std::string_view text);

} // namespace qm::engine
