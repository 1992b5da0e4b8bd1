#include "webserver/ServerConfig.h"

#include "common/IniAccess.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

TEST(ServerConfigTest, ReadsDefaultsAndWritesEveryKeyBack)
{
    test::TempDir dir;
    const std::string ini = dir.WriteFile("Quillmail.ini", "[WebServer]\r\nCgiFile1=lib/Engine.so\r\n");
    Result<ServerConfig> config = LoadServerConfig(ini);
    ASSERT_TRUE(config) << config.error().Message;
    const std::string base = dir.PathOf("");
    const std::string install = base.substr(0, base.size() - 1);
    EXPECT_EQ(config->InstallDir, install);
    EXPECT_EQ(config->CgiFile, install + "/lib/Engine.so");
    EXPECT_EQ(config->Http.Port, 2000u);
    EXPECT_EQ(config->Http.BindAddress, "0.0.0.0");
    EXPECT_EQ(config->Http.CgiBase, "/mail");
    EXPECT_EQ(config->Http.HtmlDir, install + "/HTML");
    EXPECT_EQ(config->LogDir, install + "/Logs");
    EXPECT_EQ(config->Http.TempDir, install + "/Temp");
    EXPECT_EQ(config->Http.ConnectionTimeoutSeconds, 30u);
    EXPECT_EQ(config->Http.MaxConnectionsPerAddress, 32u);
    EXPECT_EQ(config->Http.HeadTimeoutSeconds, 15u);
    EXPECT_EQ(config->Http.MinBodyBytesPerSecond, 1024u);
    EXPECT_EQ(config->Http.MinBodyRateAfterSeconds, 10u);
    EXPECT_EQ(config->Http.PageTimeoutSeconds, 60u);

    struct Key {
        const char* Section;
        const char* Name;
        std::string Want;
    };

    const Key keys[] = {
            {"WebServer", "Port", "2000"},
            {"WebServer", "BindAddress", "0.0.0.0"},
            {"WebServer", "HtmlDir", install + "/HTML"},
            {"WebServer", "CgiFile1", "lib/Engine.so"},
            {"WebServer", "CgiBase1", "/mail"},
            {"WebServer", "ConnectionTimeout", "30"},
            {"WebServer", "MaxConnections", "512"},
            {"WebServer", "MaxConnectionsPerAddress", "32"},
            {"WebServer", "HeadTimeout", "15"},
            {"WebServer", "MinBodyRate", "1024"},
            {"WebServer", "MinBodyRateAfter", "10"},
            {"WebServer", "PageTimeout", "60"},
            {"Directories", "LogDir", install + "/Logs"},
            {"Directories", "TempDir", install + "/Temp"},
            {"General", "MaxLogFileSize", "5000"},
    };
    for (const Key& key : keys) {
        SCOPED_TRACE(key.Name);
        EXPECT_EQ(ReadIniStringFile(key.Section, key.Name, "(missing)", ini), key.Want);
    }
}

TEST(ServerConfigTest, NormalisesThePrefixAndRefusesNumbersOutOfRange)
{
    test::TempDir dir;

    struct Case {
        std::string Ini;
        std::string Want; // the prefix, or the start of the failure
    };

    const Case cases[] = {
            {"[WebServer]\nCgiBase1=/webmail/\n", "/webmail"},
            {"[WebServer]\nCgiBase1=mail\n", "/mail"},
            {"[WebServer]\nCgiBase1=/\n", ""},
            {"[WebServer]\nPort=70000\n", "[WebServer] Port must be a number from 1 to 65535, not 70000"},
            {"[WebServer]\nPort=abc\n", "[WebServer] Port must be a number from 1 to 65535, not 0"},
            {"[WebServer]\nConnectionTimeout=0\n", "[WebServer] ConnectionTimeout must be"},
            {"[WebServer]\nMaxConnectionsPerAddress=0\n", "[WebServer] MaxConnectionsPerAddress must be"},
            {"[WebServer]\nHeadTimeout=0\n", "[WebServer] HeadTimeout must be"},
            {"[WebServer]\nMinBodyRate=-1\n", "[WebServer] MinBodyRate must be"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.Ini);
        const std::string ini = dir.WriteFile("Quillmail.ini", test.Ini);
        Result<ServerConfig> config = LoadServerConfig(ini);
        const std::string got = config ? config->Http.CgiBase : config.error().Message;
        EXPECT_EQ(got.substr(0, test.Want.size()), test.Want);
        EXPECT_EQ(config.has_value(), test.Want.empty() || test.Want.front() == '/');
    }
    Result<ServerConfig> missing = LoadServerConfig(dir.PathOf("none.ini"));
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().Message.find("none.ini"), std::string::npos);
}

} // namespace
} // namespace qm
