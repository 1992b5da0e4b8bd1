#include "webserver/StaticPath.h"

#include "common/StringUtil.h"

namespace qm {

namespace {

bool Decode(std::string_view raw, std::string& decoded)
{
    decoded.clear();
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '%') {
            decoded.push_back(raw[i]);
            continue;
        }
        if (i + 2 >= raw.size()) {
            return false;
        }
        const int high = HexDigitOrMinusOne(raw[i + 1]);
        const int low = HexDigitOrMinusOne(raw[i + 2]);
        if (high < 0 || low < 0) {
            return false;
        }
        decoded.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return true;
}

StaticPathVerdict CheckSegment(std::string_view segment)
{
    if (segment.front() == '.') {
        return StaticPathVerdict::Forbidden; // ".", "..", and hidden files
    }
    for (const char c : segment) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 0) {
            return StaticPathVerdict::BadRequest;
        }
        if (byte < 0x20 || byte == 0x7f || c == '\\') {
            return StaticPathVerdict::Forbidden;
        }
    }
    return StaticPathVerdict::Ok;
}

} // namespace

StaticPathVerdict MapStaticPath(std::string_view rawPath, std::string& relative)
{
    relative.clear();
    if (rawPath.empty() || rawPath.front() != '/') {
        return StaticPathVerdict::BadRequest;
    }
    std::string decoded;
    if (!Decode(rawPath, decoded)) {
        return StaticPathVerdict::BadRequest;
    }
    if (decoded.size() > kMaxStaticPathLength) {
        return StaticPathVerdict::TooLong;
    }
    std::string_view rest(decoded);
    while (!rest.empty()) {
        const size_t slash = rest.find('/');
        const std::string_view segment = rest.substr(0, slash);
        rest.remove_prefix(slash == std::string_view::npos ? rest.size() : slash + 1);
        if (segment.empty()) {
            continue;
        }
        const StaticPathVerdict verdict = CheckSegment(segment);
        if (verdict != StaticPathVerdict::Ok) {
            relative.clear();
            return verdict;
        }
        if (!relative.empty()) {
            relative.push_back('/');
        }
        relative.append(segment);
    }
    if (!relative.empty() && decoded.back() == '/') {
        relative.push_back('/');
    }
    return StaticPathVerdict::Ok;
}

} // namespace qm
