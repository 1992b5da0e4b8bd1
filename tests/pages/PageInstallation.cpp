#include "tests/pages/PageInstallation.h"

#include "testsupport/ChromiumDriver.h"
#include "testsupport/DovecotServer.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace qm::test {
namespace {

namespace fs = std::filesystem;

fs::path DataDir()
{
    return fs::path(QM_SOURCE_DIR) / "data";
}

std::string ReadText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

PageInstallation::PageInstallation()
{
    m_web.SetLibrary(QM_ENGINE_LIBRARY);
    m_web.Installation().CopyShippedData();
    m_web.WriteFile("Domains.Ini", "[Default:Settings]\r\nDefaultDomain=\r\nAutoAccountCreation=No\r\n");
    // A plain password waiting to be scrambled, as an administrator writes it by hand.
    m_web.WriteFile(std::string("Users/") + kDemoUser + "/User.ini",
                    std::string("[User]\r\nPassword=-") + kDemoPassword + "\r\nFullName=Demo User\r\n");
    m_web.AddWebServerLine("[General]");
    m_web.AddWebServerLine("LogLevel=1");
}

void PageInstallation::SendThrough(int smtpPort)
{
    m_web.WriteFile("Domains.Ini", "[Default:Settings]\r\nDefaultDomain=\r\nAutoAccountCreation=No\r\n"
                                   "SyncSystemMailbox=No\r\nSmtpHost=127.0.0.1\r\nSmtpPort=" +
                                           std::to_string(smtpPort) + "\r\n");
    const std::string ini = std::string("Users/") + kDemoUser + "/User.ini";
    m_web.WriteFile(ini, TempDir::ReadFile(Path(ini)) + "[MailHost1]\r\nMailbox=Office\r\nFullName=Demo User\r\n"
                                                        "EMail=demo@quillmail.example\r\nHost=127.0.0.1\r\n"
                                                        "Default=Yes\r\nActive=No\r\n");
}

bool PageInstallation::Start()
{
    m_server = std::make_unique<RunningServer>(m_web);
    return m_server->Ready();
}

bool PageInstallation::Stop()
{
    if (!m_server) {
        return true;
    }
    const ChildStatus status = m_server->Signal(SIGTERM);
    m_server.reset();
    return status.ExitedWith(0);
}

std::string PageInstallation::MailUrl(const std::string& query) const
{
    return m_server->Url(query.empty() ? "/mail" : "/mail?" + query);
}

std::string PageInstallation::EngineLog() const
{
    return m_web.Installation().Log();
}

std::string EnglishMessage(int number)
{
    char key[8];
    (void)std::snprintf(key, sizeof key, "%03d=", number);
    std::istringstream lines(ReadText(DataDir() / "Languages.ini"));
    std::string line;
    bool english = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty() && line.front() == '[') {
            english = line == "[en]";
        } else if (english && line.rfind(key, 0) == 0) {
            return line.substr(4);
        }
    }
    return {};
}

std::string MissingBrowserOrPop3Server()
{
    if (!ChromiumDriver::Available()) {
        return "chromium is not installed (scripts/deps installs it)";
    }
    if (DovecotServer::Program().empty()) {
        return "dovecot is not installed (scripts/deps installs dovecot-pop3d)";
    }
    return {};
}

std::string ScreenshotDir(const char* builtIn)
{
    const char* dir = std::getenv("QM_SCREENSHOT_DIR"); // NOLINT(concurrency-mt-unsafe): read before the browser starts
    return dir != nullptr && *dir != '\0' ? dir : builtIn;
}

bool IsPng(const std::string& path)
{
    const std::string bytes = TempDir::ReadFile(path);
    return bytes.size() > 1000 && bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0;
}

std::string FindSessionId(const std::string& text)
{
    static const std::regex kSession("Session=([A-Z]{7})");
    std::smatch match;
    return std::regex_search(text, match, kSession) ? match[1].str() : std::string();
}

std::string LogOnInBrowser(ChromiumDriver& browser)
{
    EXPECT_TRUE(browser.Type(ChromiumDriver::Css("#user"), kDemoUser)) << browser.Error();
    EXPECT_TRUE(browser.Type(ChromiumDriver::Css("#password"), kDemoPassword)) << browser.Error();
    const int loads = browser.LoadCount();
    EXPECT_TRUE(browser.PressEnter()) << browser.Error();
    EXPECT_TRUE(browser.WaitForLoad(loads)) << browser.Error();
    EXPECT_TRUE(browser.WaitFor("document.querySelector('frameset') !== null")) << browser.BrowserLog();
    return FindSessionId(browser.Evaluate("document.documentElement.outerHTML").Text());
}

} // namespace qm::test
