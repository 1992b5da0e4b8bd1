// One installation with both servers: the main web server hosting the engine library (PageInstallation's) and the
// admin web server running the administration program, so that both see the same session table. The including
// test target defines QM_SOURCE_DIR, QM_ADMINCGI_PROGRAM and QM_PORTICO_PROGRAM.
#pragma once

#include "platform/ChildProcess.h"
#include "tests/pages/PageInstallation.h"
#include "testsupport/ShmObjects.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

namespace qm::test {

class AdminMailInstallation {
public:
    /// Lays out cgi-bin (the program, its templates, CGI.ini and the form token given) and the descriptor files.
    explicit AdminMailInstallation(const std::string& token)
    {
        namespace fs = std::filesystem;
        const fs::path data = fs::path(QM_SOURCE_DIR) / "data" / "AdminCGI";
        const fs::path dir = Install().Dir();
        fs::create_directories(dir / "cgi-bin");
        fs::copy(data / "Templates", dir / "cgi-bin" / "Templates", fs::copy_options::recursive);
        fs::copy_file(QM_ADMINCGI_PROGRAM, dir / "cgi-bin" / "QMAdminCGI");
        for (const char* dsc : {"User.dsc", "Quillmail.dsc", "Domains.dsc"}) {
            fs::copy_file(data / dsc, dir / dsc, fs::copy_options::overwrite_existing);
        }
        Install().WriteFile("cgi-bin/CGI.ini", "[CGI]\r\nQMSetupFile=../Quillmail.ini\r\nUsersPerPage=100\r\n");
        Install().WriteFile("cgi-bin/AdminCGI.key", token);
        // After PageInstallation's "[General]" line: the admin web server runs in the foreground.
        m_pages.Web().AddWebServerLine("RunAsService=No");
    }

    AdminMailInstallation(const AdminMailInstallation&) = delete;
    AdminMailInstallation& operator=(const AdminMailInstallation&) = delete;

    PageInstallation& Pages() { return m_pages; }

    TestInstallation& Install() { return m_pages.Web().Installation(); }

    /// Starts the main web server, then the admin web server with the administrator's password; a fatal test
    /// failure when either does not come up.
    void Start(const std::string& adminPassword)
    {
        ASSERT_TRUE(m_pages.Start()) << m_pages.Server().Errors();
        const std::string mainIni = TempDir::ReadFile(Install().IniPath());
        for (int attempt = 0; attempt < 5; ++attempt) {
            // A port of its own in its own section of the main server's INI; another program may take the port
            // between the pick and the bind, hence the attempts.
            m_adminPort = PickFreePort();
            Install().WriteIni(mainIni + "[AdminWebServer]\nPort=" + std::to_string(m_adminPort) +
                               "\nBindAddress=127.0.0.1\nHtmlDir=" + Install().Path("HTML") + "\nCgiDir=" +
                               Install().Path("cgi-bin") + "\nAuth=-admin:" + adminPassword + "\nLocalAuth=Yes\n");
            std::filesystem::remove(Install().Path("Logs/Portico-admin.log"));
            ChildOptions options;
            options.Argv = {QM_PORTICO_PROGRAM};
            options.Environment = Install().Environment();
            options.Stderr = ChildStdio::File(Install().Path("portico-stderr.txt"), FileMode::Append);
            Result<ChildProcess> child = ChildProcess::Start(options);
            ASSERT_TRUE(child) << child.error().Message;
            m_portico.emplace(std::move(*child));
            const bool settled = WaitUntil([&] {
                Result<ChildStatus> status = m_portico->Wait(0);
                return PorticoAwaiting() || (status && status->State != ChildState::TimedOut);
            });
            if (settled && PorticoAwaiting()) {
                return;
            }
            m_portico.reset();
        }
        FAIL() << "Portico did not start: " << Install().ReadFile("portico-stderr.txt");
    }

    /// Stops both servers and removes the shared-memory objects of the installation.
    void Stop()
    {
        if (m_portico) {
            (void)m_portico->Kill(20000);
            m_portico.reset();
        }
        EXPECT_TRUE(m_pages.Stop());
        (void)RemoveShmObjectsOf(Install().Namespace());
    }

    /// The address of the administration program with the query given.
    std::string AdminUrl(const std::string& query) const
    {
        return "http://127.0.0.1:" + std::to_string(m_adminPort) + "/cgi-bin/QMAdminCGI?" + query;
    }

private:
    bool PorticoAwaiting()
    {
        return Install().ReadFile("Logs/Portico-admin.log").find("Portico is awaiting connections...") !=
               std::string::npos;
    }

    PageInstallation m_pages;
    std::optional<ChildProcess> m_portico;
    unsigned m_adminPort = 0;
};

} // namespace qm::test
