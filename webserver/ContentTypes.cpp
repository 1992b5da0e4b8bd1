#include "webserver/ContentTypes.h"

#include "common/StringUtil.h"

#include <fstream>
#include <sstream>

namespace qm {

bool ContentTypes::Load(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string type;
        std::string extension;
        if (!(words >> type)) {
            continue;
        }
        while (words >> extension) {
            for (char& c : extension) {
                c = FoldCase(c);
            }
            m_types.emplace(extension, type);
        }
    }
    return true;
}

const char* ContentTypes::TypeForExtension(std::string_view extension) const
{
    std::string folded(extension);
    for (char& c : folded) {
        c = FoldCase(c);
    }
    const auto found = m_types.find(folded);
    return found == m_types.end() ? "application/octet-stream" : found->second.c_str();
}

} // namespace qm
