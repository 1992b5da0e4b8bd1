// Shared helpers of one run of the web administration.
#include "admincgi/AdminContext.h"

#include "common/IniAccess.h"
#include "common/StringUtil.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/Random.h"

namespace qm::admincgi {

std::string AdminContext::EngineSetting(std::string_view section, std::string_view key, std::string_view def) const
{
    return ReadIniStringFile(section, key, def, EngineIniPath);
}

std::string AdminContext::EnginePath(std::string_view section, std::string_view key, std::string_view def) const
{
    std::string value = platform::NativePath(EngineSetting(section, key, def));
    if (value.empty() || value == ".") {
        return InstallDir;
    }
    if (value.front() != '/') {
        value = InstallDir + "/" + value;
    }
    while (value.size() > 1 && value.back() == '/') {
        value.pop_back();
    }
    return value;
}

std::string AdminContext::UserIniPath(std::string_view name) const
{
    if (!IsValidUserName(name)) {
        return {};
    }
    return EnginePath("Directories", "UserDir", "Users") + "/" + std::string(name) + "/User.ini";
}

void AdminContext::Write(std::string_view text) const
{
    if (!text.empty()) {
        (void)std::fwrite(text.data(), 1, text.size(), Request->Output());
    }
}

void AdminContext::WriteEscaped(std::string_view text) const
{
    std::string out;
    AppendHtmlEscaped(out, text, true);
    Write(out);
}

bool IsValidUserName(std::string_view name)
{
    return platform::IsSafeName(name);
}

std::string LoadFormToken(const std::string& dataDir)
{
    const std::string path = dataDir + "/AdminCGI.key";
    for (int attempt = 0; attempt < 2; ++attempt) {
        Result<std::string> text = platform::ReadWholeFile(path, 256);
        if (text) {
            std::string token(TrimmedView(*text));
            return token.size() >= 32 ? token : std::string();
        }
        unsigned char secret[32];
        if (!platform::FillRandom(secret, sizeof secret)) {
            return {};
        }
        static constexpr char kHex[] = "0123456789abcdef";
        std::string token;
        for (unsigned char byte : secret) {
            token.push_back(kHex[byte >> 4]);
            token.push_back(kHex[byte & 15]);
        }
        // Another run may make the file at the same time: then the next pass reads its token.
        if (platform::CreateNewFile(path, token)) {
            return token;
        }
    }
    return {};
}

} // namespace qm::admincgi
