#include "engine/RequestLogText.h"

#include "common/CgiInput.h"
#include "common/StringUtil.h"

namespace qm::engine {

std::string ForLog(std::string_view text)
{
    return EscapeControlBytes(text);
}

bool IsPasswordField(std::string_view name)
{
    constexpr std::string_view kPass = "pass";
    for (std::size_t i = 0; i + kPass.size() <= name.size(); ++i) {
        if (EqualsNoCase(name.substr(i, kPass.size()), kPass)) {
            return true;
        }
    }
    return false;
}

std::string QueryForLog(std::string_view query)
{
    std::string shown;
    shown.reserve(query.size());
    while (true) {
        const std::size_t amp = query.find('&');
        const std::string_view field = query.substr(0, amp);
        const std::size_t equals = field.find('=');
        const std::string_view name = field.substr(0, equals);
        if (equals != std::string_view::npos && IsPasswordField(DecodeFormName(name))) {
            shown += name;
            shown += "=*";
        } else {
            shown += field;
        }
        if (amp == std::string_view::npos) {
            break;
        }
        shown += '&';
        query.remove_prefix(amp + 1);
    }
    return ForLog(shown);
}

} // namespace qm::engine
