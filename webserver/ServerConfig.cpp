#include "webserver/ServerConfig.h"

#include "common/IniAccess.h"
#include "platform/ProgramPath.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace qm {

namespace {

std::string Absolute(const std::string& installDir, const std::string& path)
{
    if (path.empty() || path.front() == '/') {
        return path;
    }
    return installDir + "/" + path;
}

// Every key read is written back with its value or default, so that the INI shows what the server runs with.
class IniSettings {
public:
    std::string String(const char* section, const char* key, const std::string& fallback)
    {
        std::string value = ReadIniString(section, key, fallback);
        m_ok = WriteIniString(section, key, value) && m_ok;
        return value;
    }

    Result<long> Number(const char* section, const char* key, int fallback, long low, long high)
    {
        const int value = ReadIniInt(section, key, fallback);
        m_ok = WriteIniInt(section, key, value) && m_ok;
        if (value < low || value > high) {
            char message[160];
            (void)std::snprintf(message, sizeof message, "[%s] %s must be a number from %ld to %ld, not %d", section,
                                key, low, high, value);
            return Fail(message);
        }
        return static_cast<long>(value);
    }

    bool WrittenBack() const { return m_ok; }

private:
    bool m_ok = true;
};

} // namespace

Result<std::string> FindEngineIni()
{
    const char* named = std::getenv("QUILLMAIL_INI"); // NOLINT(concurrency-mt-unsafe): read at start, before threads
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
    if (!FileExists(iniPath)) {
        return Fail("cannot find the configuration file " + iniPath);
    }
    SetMainIniPath(iniPath);
    ServerConfig config;
    config.IniPath = iniPath;
    config.InstallDir = std::filesystem::path(iniPath).parent_path().string();
    if (config.InstallDir.empty()) {
        config.InstallDir.assign(1, '.'); // assign(): GCC 12 warns falsely (-Wrestrict) on = "."
    }
    const std::string& base = config.InstallDir;
    IniSettings ini;
    HttpServerSettings& http = config.Http;
    Result<long> port = ini.Number("WebServer", "Port", 2000, 1, 65535);
    http.BindAddress = ini.String("WebServer", "BindAddress", "0.0.0.0");
    http.HtmlDir = Absolute(base, ini.String("WebServer", "HtmlDir", base + "/HTML"));
    config.CgiFile = Absolute(base, ini.String("WebServer", "CgiFile1", "Quillmail.so"));
    http.CgiBase = ini.String("WebServer", "CgiBase1", "/mail");
    Result<long> timeout = ini.Number("WebServer", "ConnectionTimeout", 30, 1, 3600);
    Result<long> connections = ini.Number("WebServer", "MaxConnections", 512, 1, 100000);
    Result<long> perAddress = ini.Number("WebServer", "MaxConnectionsPerAddress", 32, 1, 100000);
    Result<long> headTimeout = ini.Number("WebServer", "HeadTimeout", 15, 1, 3600);
    Result<long> minBodyRate = ini.Number("WebServer", "MinBodyRate", 1024, 0, 1 << 30);
    Result<long> minBodyRateAfter = ini.Number("WebServer", "MinBodyRateAfter", 10, 0, 3600);
    Result<long> pageTimeout = ini.Number("WebServer", "PageTimeout", 60, 0, 86400);
    config.LogDir = Absolute(base, ini.String("Directories", "LogDir", base + "/Logs"));
    http.TempDir = Absolute(base, ini.String("Directories", "TempDir", base + "/Temp"));
    Result<long> logSize = ini.Number("General", "MaxLogFileSize", 5000, 0, 1 << 30);
    for (const Result<long>* number : {&port, &timeout, &connections, &perAddress, &headTimeout, &minBodyRate,
                                       &minBodyRateAfter, &pageTimeout, &logSize}) {
        if (!*number) {
            return Fail(number->error().Message);
        }
    }
    if (!ini.WrittenBack()) {
        (void)std::fprintf(stderr, "Quillmail: cannot write the settings back to %s\n", iniPath.c_str());
    }
    http.Port = static_cast<unsigned>(*port);
    http.ConnectionTimeoutSeconds = static_cast<unsigned>(*timeout);
    http.MaxConnections = static_cast<unsigned>(*connections);
    http.MaxConnectionsPerAddress = static_cast<unsigned>(*perAddress);
    http.HeadTimeoutSeconds = static_cast<unsigned>(*headTimeout);
    http.MinBodyBytesPerSecond = static_cast<uint64_t>(*minBodyRate);
    http.MinBodyRateAfterSeconds = static_cast<unsigned>(*minBodyRateAfter);
    http.PageTimeoutSeconds = static_cast<unsigned>(*pageTimeout);
    config.MaxLogFileSizeKb = *logSize;
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
