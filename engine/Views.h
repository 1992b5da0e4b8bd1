// The views of the web-mail pages: their ids and page names.
#pragma once

#include <string_view>

namespace qm::engine {

/// View ids: the position in the view table, from 1; 0 is a view that is not in the table (its page name is the
/// raw `View` value).
enum ViewId : int {
    kViewUnlisted = 0,
    kViewLogon = 1,
    kViewMain = 2,
    kViewList = 3,
    kViewMessage = 4,
    kViewAttachment = 5,
    kViewCompose = 6,
    kViewComposeAttach = 7,
    kViewComposeSpellCheck = 8,
    kViewOptions = 9,
    kViewOptionsPrefs = 10,
    kViewOptionsHosts = 11,
    kViewOptionsFilters = 12,
    kViewOptionsFolders = 13,
    kViewOptionsAddrBook = 14,
    kViewError = 15,
    kViewNewUser = 16,
    kViewStatusCheck = 17,
    kViewLogout = 18,
};

/// The highest view id.
inline constexpr int kLastView = kViewLogout;

/// The page name of a listed view ("Logon", "Options-Prefs", ...); "" for 0 and for ids outside the table.
std::string_view ViewName(int view);

/// The id of the listed view whose name equals name without regard to ASCII case; 0 when none does.
int FindViewByName(std::string_view name);

} // namespace qm::engine
