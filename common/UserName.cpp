#include "common/UserName.h"

#include <algorithm>

namespace qm {

bool IsValidUserName(std::string_view name)
{
    if (name.empty() || name.size() > kMaxUserNameLength || name.front() == '.') {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte != 0x7f && byte != ' ' && byte != '/' && byte != '\\';
    });
}

} // namespace qm
