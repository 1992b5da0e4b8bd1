// The views of the web-mail pages: their ids and page names.
#pragma once

#include <string_view>

namespace qm::engine {

/// View ids: the position in the view table, from 1; 0 is a view that is not in the table (its page name is the
/// raw `View` value).
inline constexpr int kViewUnlisted = 0;
inline constexpr int kViewLogon = 1;
inline constexpr int kViewMain = 2;
inline constexpr int kViewList = 3;
inline constexpr int kViewMessage = 4;
inline constexpr int kViewAttachment = 5;
inline constexpr int kViewCompose = 6;
inline constexpr int kViewComposeAttach = 7;
inline constexpr int kViewComposeSpellCheck = 8;
inline constexpr int kViewOptions = 9;
inline constexpr int kViewOptionsPrefs = 10;
inline constexpr int kViewOptionsHosts = 11;
inline constexpr int kViewOptionsFilters = 12;
inline constexpr int kViewOptionsFolders = 13;
inline constexpr int kViewOptionsAddrBook = 14;
inline constexpr int kViewError = 15;
inline constexpr int kViewNewUser = 16;
inline constexpr int kViewStatusCheck = 17;
inline constexpr int kViewLogout = 18;

/// The highest view id.
inline constexpr int kLastView = kViewLogout;

/// The page name of a listed view ("Logon", "Options-Prefs", ...); "" for 0 and for ids outside the table.
std::string_view ViewName(int view);

/// The id of the listed view whose name equals name without regard to ASCII case; 0 when none does.
int FindViewByName(std::string_view name);

} // namespace qm::engine
