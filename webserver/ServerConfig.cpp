#include "webserver/ServerConfig.h"

#include "common/StringUtil.h"
#include "platform/ProgramPath.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace qm {

namespace {

// Stand-in reader of the engine INI until the shared INI layer is in: sections and keys without regard to case.
class IniValues {
public:
    bool Load(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            return false;
        }
        std::string line;
        std::string section;
        while (std::getline(in, line)) {
            const std::string_view text = TrimmedView(line);
            if (text.empty() || text.front() == ';') {
                continue;
            }
            if (text.front() == '[') {
                section.assign(text.substr(1, text.find(']') - 1));
                continue;
            }
            const size_t equals = text.find('=');
            if (equals != std::string_view::npos) {
                m_values.emplace(Fold(section) + "\n" + Fold(std::string(TrimmedView(text.substr(0, equals)))),
                                 std::string(TrimmedView(text.substr(equals + 1))));
            }
        }
        return true;
    }

    std::string Read(const char* section, const char* key, const std::string& fallback) const
    {
        const auto found = m_values.find(Fold(section) + "\n" + Fold(key));
        return found == m_values.end() ? fallback : found->second;
    }

private:
    static std::string Fold(std::string text)
    {
        for (char& c : text) {
            c = FoldCase(c);
        }
        return text;
    }

    std::map<std::string, std::string> m_values;
};

std::string Absolute(const std::string& installDir, const std::string& path)
{
    if (path.empty() || path.front() == '/') {
        return path;
    }
    return installDir + "/" + path;
}

Result<long> ReadNumber(const IniValues& ini, const char* section, const char* key, long fallback, long low, long high)
{
    const std::string text = ini.Read(section, key, std::to_string(fallback));
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || value < low || value > high) {
        char message[256];
        (void)std::snprintf(message, sizeof message, "[%s] %s must be a number from %ld to %ld, not \"%.100s\"",
                            section, key, low, high, text.c_str());
        return Fail(message);
    }
    return value;
}

} // namespace

Result<std::string> FindEngineIni()
{
    const char* named = std::getenv("QUILLMAIL_INI");
    if (named != nullptr && *named != '\0') {
        return std::string(named);
    }
    Result<std::string> directory = ProgramDirectory();
    if (!directory) {
        return Fail(directory.error().Message, directory.error().Code);
    }
    return *directory + "/" + kEngineIniName;
}

Result<ServerConfig> LoadServerConfig(const std::string& iniPath)
{
    IniValues ini;
    if (!ini.Load(iniPath)) {
        return Fail("cannot read the configuration file " + iniPath);
    }
    ServerConfig config;
    config.IniPath = iniPath;
    config.InstallDir = std::filesystem::path(iniPath).parent_path().string();
    if (config.InstallDir.empty()) {
        config.InstallDir = ".";
    }
    const std::string& base = config.InstallDir;
    Result<long> port = ReadNumber(ini, "WebServer", "Port", 2000, 1, 65535);
    Result<long> timeout = ReadNumber(ini, "WebServer", "ConnectionTimeout", 30, 1, 3600);
    Result<long> connections = ReadNumber(ini, "WebServer", "MaxConnections", 512, 1, 100000);
    Result<long> logSize = ReadNumber(ini, "General", "MaxLogFileSize", 5000, 0, 1L << 30);
    for (const Result<long>* number : {&port, &timeout, &connections, &logSize}) {
        if (!*number) {
            return Fail(number->error().Message);
        }
    }
    HttpServerSettings& http = config.Http;
    http.Port = static_cast<unsigned>(*port);
    http.ConnectionTimeoutSeconds = static_cast<unsigned>(*timeout);
    http.MaxConnections = static_cast<unsigned>(*connections);
    config.MaxLogFileSizeKb = *logSize;
    http.BindAddress = ini.Read("WebServer", "BindAddress", "0.0.0.0");
    http.HtmlDir = Absolute(base, ini.Read("WebServer", "HtmlDir", base + "/HTML"));
    config.CgiFile = Absolute(base, ini.Read("WebServer", "CgiFile1", "Quillmail.so"));
    http.CgiBase = ini.Read("WebServer", "CgiBase1", "/mail");
    config.LogDir = Absolute(base, ini.Read("Directories", "LogDir", base + "/Logs"));
    http.TempDir = Absolute(base, ini.Read("Directories", "TempDir", base + "/Temp"));
    // The prefix is matched as a path: "/mail/" means "/mail", and "/" or "" hands every request to the engine.
    while (!http.CgiBase.empty() && http.CgiBase.back() == '/') {
        http.CgiBase.pop_back();
    }
    if (!http.CgiBase.empty() && http.CgiBase.front() != '/') {
        std::string rooted(1, '/');
        rooted.append(http.CgiBase);
        http.CgiBase.swap(rooted);
    }
    return config;
}

} // namespace qm
