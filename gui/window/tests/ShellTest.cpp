// ShellExecute starts the desktop's opener, found on PATH, with the target alone, and does not wait for it.
#include "gui/window/Shell.h"

#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace qm::gui {
namespace {

namespace fs = std::filesystem;

// PATH for the test's lifetime: a directory with a stand-in opener that records its start, then ends.
class ShellTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* old = std::getenv("PATH");
        m_oldPath = old != nullptr ? old : "";
        m_bin = m_dir.Path() / "bin";
        fs::create_directories(m_bin);
        m_record = m_dir.Path() / "opened";
        // One line per start: working directory, number of arguments, the arguments.
        const std::string script =
                "#!/bin/sh\nprintf '%s|%s|%s\\n' \"$(pwd)\" \"$#\" \"$*\" >> '" + m_record.string() + "'\n";
        qm::test::WriteBytes(m_bin / "xdg-open", script);
        fs::permissions(m_bin / "xdg-open", fs::perms::owner_all);
        ::setenv("PATH", (m_bin.string() + ":/usr/bin:/bin").c_str(), 1);
    }

    void TearDown() override { ::setenv("PATH", m_oldPath.c_str(), 1); }

    std::string Recorded() const
    {
        std::ifstream in(m_record);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    qm::test::TempDir m_dir;
    fs::path m_bin;
    fs::path m_record;
    std::string m_oldPath;
};

TEST_F(ShellTest, OpenStartsTheOpenerWithTheTargetAloneInTheGivenDirectory)
{
    // One argument however the address is made: no shell splits or expands it.
    const std::string address = "http://localhost:2001/QMAdmin.cgi?View=EditFile&EditUser=bob smith;$HOME";
    EXPECT_GT(ShellExecute(nullptr, "open", address, {}, m_dir.Path().string(), SW_SHOWMAXIMIZED), 32);
    const std::string expected = m_dir.Path().string() + "|1|" + address + "\n";
    ASSERT_TRUE(qm::test::WaitUntil([&] { return Recorded() == expected; })) << Recorded();
}

TEST_F(ShellTest, WhatTheOpenerCannotTakeStartsNothing)
{
    struct Case {
        std::string_view Verb;
        std::string_view File;
        std::string_view Parameters;
        int Expected;
    };

    const Case cases[] = {
            {"print", "http://localhost/", {}, SE_ERR_NOASSOC},
            {"open", "http://localhost/", "--extra", SE_ERR_NOASSOC},
            {"open", "--help", {}, SE_ERR_NOASSOC},
            {"open", "", {}, SE_ERR_NOASSOC},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ShellExecute(nullptr, c.Verb, c.File, c.Parameters, {}, SW_SHOWNORMAL), c.Expected) << c.File;
    }
    // Without an opener on the path nothing can be opened.
    ::setenv("PATH", (m_dir.Path() / "empty").string().c_str(), 1);
    EXPECT_EQ(ShellExecute(nullptr, "open", "http://localhost/", {}, {}, SW_SHOWNORMAL), SE_ERR_FNF);
    // A start after them all: once its line is there, it is the only one.
    ::setenv("PATH", (m_bin.string() + ":/usr/bin:/bin").c_str(), 1);
    ASSERT_GT(ShellExecute(nullptr, "open", "http://localhost/last", {}, m_dir.Path().string(), SW_SHOWNORMAL), 32);
    ASSERT_TRUE(qm::test::WaitUntil([&] { return Recorded().find("last") != std::string::npos; }));
    EXPECT_EQ(Recorded(), m_dir.Path().string() + "|1|http://localhost/last\n");
}

} // namespace
} // namespace qm::gui
