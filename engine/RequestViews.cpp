#include "engine/RequestViews.h"

#include "engine/TemplateCache.h"
#include "platform/Path.h"

namespace qm::engine {
namespace {

constexpr std::size_t kRedirectCut = 70;

} // namespace

int LookupView(std::string_view view, bool hasAttach, bool hasSpellCheck)
{
    if (view.empty()) {
        return kViewLogon;
    }
    const int id = FindViewByName(view);
    if (id == kViewCompose) {
        return hasAttach ? kViewComposeAttach : hasSpellCheck ? kViewComposeSpellCheck : kViewCompose;
    }
    return id;
}

std::optional<std::string> PageNameOf(int view, std::string_view rawView)
{
    if (view != kViewUnlisted) {
        const std::string_view name = ViewName(view);
        if (name.empty()) {
            return std::nullopt;
        }
        return std::string(name);
    }
    if (rawView.size() > kMaxPageName || !platform::IsSafeName(rawView)) {
        return std::nullopt;
    }
    return std::string(rawView);
}

std::string RedirectPageName(std::string_view page)
{
    std::string name(page.substr(0, kRedirectCut));
    name += "-Redirect";
    return name;
}

} // namespace qm::engine
