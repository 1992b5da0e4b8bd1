// A temporary installation for the web administration's tests: the program directory with CGI.ini, Templates/ and
// the form token, the engine INI naming the fake engine library, and a run of one request.
#pragma once

#include "admincgi/AdminCgi.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace qm::admincgi::test {

inline constexpr const char* kToken = "0123456789abcdef0123456789abcdef";

class AdminCgiFixture : public ::testing::Test {
protected:
    AdminCgiFixture()
    {
        std::filesystem::create_directories(Cgi());
        std::filesystem::create_directories(Cgi() / "Templates");
        std::filesystem::create_directories(Users());
        qm::test::WriteBytes(Cgi() / "CGI.ini", "[CGI]\nQMSetupFile=" + (Install() / "Quillmail.ini").string() + "\n");
        qm::test::WriteBytes(Install() / "Quillmail.ini", std::string("[WebServer]\nCgiFile1=") + QM_FAKE_ENGINE +
                                                                  "\n[Directories]\nUserDir=Users\n");
        qm::test::WriteBytes(Cgi() / "AdminCGI.key", kToken);
        setenv("QM_FAKE_ENGINE_LOG", (m_temp.Path() / "engine.log").c_str(), 1); // NOLINT(concurrency-mt-unsafe)
        setenv("QM_FAKE_USER_DIR", Users().c_str(), 1);                          // NOLINT(concurrency-mt-unsafe)
        setenv("SCRIPT_NAME", "/cgi/QMAdminCGI", 1);                             // NOLINT(concurrency-mt-unsafe)
        setenv("REQUEST_METHOD", "GET", 1);                                      // NOLINT(concurrency-mt-unsafe)
        unsetenv("CONTENT_TYPE");                                                // NOLINT(concurrency-mt-unsafe)
        unsetenv("CONTENT_LENGTH");                                              // NOLINT(concurrency-mt-unsafe)
    }

    ~AdminCgiFixture() override
    {
        for (const char* name : {"QM_FAKE_ENGINE_LOG", "QM_FAKE_USER_DIR", "QM_FAKE_START_TIME", "SCRIPT_NAME",
                                 "REQUEST_METHOD", "QUERY_STRING", "SERVER_NAME", "SERVER_PORT"}) {
            unsetenv(name); // NOLINT(concurrency-mt-unsafe)
        }
    }

    std::filesystem::path Cgi() const { return m_temp.Path() / "cgi"; }

    std::filesystem::path Install() const { return m_temp.Path() / "inst"; }

    std::filesystem::path Users() const { return Install() / "Users"; }

    void Page(const std::string& name, const std::string& text) const
    {
        qm::test::WriteBytes(Cgi() / "Templates" / (name + ".html"), text);
    }

    void AddUser(const std::string& name, const std::string& ini = "[User]\nActive=Yes\n") const
    {
        std::filesystem::create_directories(Users() / name);
        qm::test::WriteBytes(Users() / name / "User.ini", ini);
    }

    std::string EngineLog() const { return qm::test::ReadBytes(m_temp.Path() / "engine.log"); }

    /// Runs one GET request with this query; the output after the content-type head.
    std::string Run(const std::string& query, int* exitCode = nullptr)
    {
        setenv("QUERY_STRING", query.c_str(), 1); // NOLINT(concurrency-mt-unsafe)
        std::FILE* out = std::tmpfile();
        AdminCgiOptions options;
        options.ProgramDir = Cgi().string();
        options.KillWaitMs = 0;
        const int code = RunAdminCgi(options, nullptr, out);
        if (exitCode != nullptr) {
            *exitCode = code;
        }
        std::string text;
        std::rewind(out);
        char piece[4096];
        for (std::size_t n; (n = std::fread(piece, 1, sizeof piece, out)) > 0;) {
            text.append(piece, n);
        }
        std::fclose(out);
        const std::string head = "Content-type: text/html\r\n\r\n";
        EXPECT_TRUE(text.starts_with(head)) << text;
        return text.starts_with(head) ? text.substr(head.size()) : text;
    }

    /// The query with the form token added.
    static std::string WithToken(const std::string& query) { return query + "&Token=" + kToken; }

    qm::test::TempDir m_temp{"qm-admincgi"};
};

} // namespace qm::admincgi::test
