#include "engine/Views.h"

#include "platform/Path.h"

#include <iterator>

namespace qm::engine {
namespace {

constexpr std::string_view kViewNames[] = {
        "",
        "Logon",
        "Main",
        "List",
        "Message",
        "Attachment",
        "Compose",
        "Compose-Attach",
        "Compose-SpellCheck",
        "Options",
        "Options-Prefs",
        "Options-Hosts",
        "Options-Filters",
        "Options-Folders",
        "Options-AddrBook",
        "Error",
        "NewUser",
        "StatusCheck",
        "Logout",
};

static_assert(std::size(kViewNames) == kLastView + 1);

} // namespace

std::string_view ViewName(int view)
{
    return view > 0 && view <= kLastView ? kViewNames[view] : std::string_view();
}

int FindViewByName(std::string_view name)
{
    for (int view = 1; view <= kLastView; ++view) {
        if (platform::EqualsNoCase(kViewNames[view], name)) {
            return view;
        }
    }
    return kViewUnlisted;
}

} // namespace qm::engine
