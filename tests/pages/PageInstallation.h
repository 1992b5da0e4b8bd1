// A test installation of the web-mail pages: the main web server's installation directory with the engine library,
// the theme's templates and style sheets, Languages.ini, a Domains.Ini and the demo account, and the server running
// on it on a loopback port of its own.
#pragma once

#include "webserver/tests/integration/WebServerHarness.h"

#include <memory>
#include <string>
#include <vector>

namespace qm::test {

class ChromiumDriver;

/// The demo account every page test logs on with.
inline constexpr const char* kDemoUser = "demo";
inline constexpr const char* kDemoPassword = "demo";

class PageInstallation {
public:
    /// Lays out the installation (data/ of the source tree) and the account "demo" with password "demo".
    PageInstallation();

    WebInstallation& Web() { return m_web; }

    std::string Path(const std::string& name) const { return m_web.Path(name); }

    /// Sends the demo user's mail to the SMTP server at 127.0.0.1:smtpPort: the domain settings name it, and the
    /// user gets a mail account "Office" (Demo User, demo@quillmail.example, not fetched) to send from. Call it
    /// before Start.
    void SendThrough(int smtpPort);

    /// Starts the server (with the engine); false when it did not come up.
    bool Start();

    /// Stops the server with SIGTERM; true when it ended cleanly.
    bool Stop();

    RunningServer& Server() { return *m_server; }

    /// The address of the web mail, with a query when one is given ("View=Main").
    std::string MailUrl(const std::string& query = "") const;

    /// The engine's log so far.
    std::string EngineLog() const;

private:
    WebInstallation m_web;
    std::unique_ptr<RunningServer> m_server;
};

/// The text of language message number of Languages.ini's [en] section in data/ ("" when missing).
std::string EnglishMessage(int number);

/// Why the browser tests that fetch from a POP3 server cannot run here: "" when headless Chromium and dovecot are
/// both installed.
std::string MissingBrowserOrPop3Server();

/// Where screenshots go: QM_SCREENSHOT_DIR of the environment when set, else builtIn (the build's directory).
std::string ScreenshotDir(const char* builtIn);

/// True when the file at path is a PNG image of some size (a screenshot that shows something).
bool IsPng(const std::string& path);

/// The first session id ("Session=" and seven capital letters) in text, or "".
std::string FindSessionId(const std::string& text);

/// Logs the demo user on through the Logon form the browser shows and waits for the frame set; the session id, or
/// "" (with a failure of the test reported) when a step failed.
std::string LogOnInBrowser(ChromiumDriver& browser);

} // namespace qm::test
