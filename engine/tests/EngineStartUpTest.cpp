#include "engine/Engine.h"
#include "engine/EngineMessages.h"
#include "engine/LdapLibrary.h"
#include "engine/tests/EngineTestSupport.h"
#include "platform/IniFile.h"
#include "platform/SharedMemory.h"
#include "store/CvUserBinding.h"
#include "testsupport/ScopedUmask.h"
#include "testsupport/ShmObjects.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include <poll.h>
#include <unistd.h>

namespace qm::engine {
namespace {

using test::ReadFile;
using test::TempInstall;
using test::WriteFile;
namespace fs = std::filesystem;

constexpr time_t kNow = 1765432100;

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

class EngineStartUpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegisterEngineMessages();
        SetEngineClock([] { return kNow; });
    }

    void TearDown() override
    {
        (void)EngineShutDown();
        EngineProcessDetach();
        SetEngineClock(nullptr);
    }

    void Attach()
    {
        EngineProcessAttach(nullptr);
        ASSERT_TRUE(EngineAttached());
    }

    bool StartUp()
    {
        Attach();
        return EngineStartUp();
    }

    const fs::path& Dir() const { return m_install.Dir(); }

    TempInstall m_install;
};

using fs::exists;
using fs::is_directory;

TEST_F(EngineStartUpTest, WritesEveryKeyBackInTableOrderAndCreatesTheDirectories)
{
    m_install.WriteIni("");
    ASSERT_TRUE(StartUp());

    const std::string golden = ReadFile(fs::path(QM_SOURCE_DIR) / "engine/tests/data/StartUpQuillmail.ini");
    ASSERT_FALSE(golden.empty());
    EXPECT_EQ(ReadFile(m_install.IniPath()), Replace(golden, "@INSTALL@", Dir().string()));

    for (const char* dir : {"Logs", "Temp", "Users"}) {
        EXPECT_TRUE(is_directory(Dir() / dir)) << dir;
    }
    EXPECT_TRUE(exists(Dir() / "AddrBook.txt"));
    EXPECT_TRUE(exists(Dir() / "Dictionary.txt"));
    EXPECT_FALSE(exists(Dir() / "Templates")) << "the template directory is not made";

    // A second start-up over the file it wrote changes nothing.
    ASSERT_TRUE(EngineShutDown());
    const std::string first = ReadFile(m_install.IniPath());
    ASSERT_TRUE(EngineStartUp());
    EXPECT_EQ(ReadFile(m_install.IniPath()), first);
}

TEST_F(EngineStartUpTest, WritesBaseDirToTheRegistryAndDomainDefaults)
{
    m_install.WriteIni("");
    ASSERT_TRUE(StartUp());
    EXPECT_EQ(platform::IniRead(m_install.RegistryPath(), kRegistryKey, "BaseDir"), Dir().string());
    const std::string domains = (Dir() / "Domains.Ini").string();
    EXPECT_EQ(DomainsIniPath(), domains);
    EXPECT_EQ(platform::IniRead(domains, "Default:Settings", "PopPort"), "110");
    EXPECT_EQ(platform::IniRead(domains, "Default:Settings", "UseEmailForPopUser"), "No");
    EXPECT_EQ(platform::IniRead(domains, "Default:UserDefaults", "DiskSpaceQuota"), "0");
}

TEST_F(EngineStartUpTest, LogsWhatIsMissingAndGoesOn)
{
    m_install.WriteIni("[General]\r\nLogLevel=1\r\n");
    ASSERT_TRUE(StartUp());
    ASSERT_TRUE(EngineShutDown());
    const std::string log = m_install.Log();
    for (const char* text :
         {"Shared memory initializing...", "Templates directory not found.", "Languages.ini not found.",
          "LDAP DLL loading...", "Could not load MimeTypes.cfg.", "Maintenance thread has received shutdown notice.",
          "Sending shutdown notice to maintenance thread.", "Releasing shared memory...", "Releasing LDAP DLL...",
          "Quillmail stopped."}) {
        EXPECT_NE(log.find(text), std::string::npos) << "missing: " << text << "\n" << log;
    }
    EXPECT_EQ(log.find("LDAP DLL could not load"), std::string::npos) << "the LDAP library is installed";
    EXPECT_EQ(log.find("Corvid"), std::string::npos) << "the companion is not configured";
}

TEST_F(EngineStartUpTest, SetsStatusAndLogLevelAndClearsThemAtShutDown)
{
    m_install.WriteIni("[General]\r\nLogLevel=3\r\n[Session]\r\nMaximum=12\r\n");
    ASSERT_TRUE(StartUp());
    EngineSharedSection& section = SharedBlock()->Section;
    EXPECT_EQ(section.LogLevel, 3);
    EXPECT_EQ(section.Status.Words[0], static_cast<std::int32_t>(kNow));
    EXPECT_EQ(section.Status.Words[3], 12);
    EXPECT_EQ(SessionTableCapacity(), 12);
    ASSERT_NE(SessionTableRows(), nullptr);
    EXPECT_TRUE(EngineRunning());
    EXPECT_TRUE(ShmSegment::Open(EngineNamespace(), kSessionTableSegmentName, ShmAccess::ReadOnly, 12 * 224));

    ASSERT_TRUE(EngineShutDown());
    EXPECT_FALSE(EngineRunning());
    for (std::int32_t word : section.Status.Words) {
        EXPECT_EQ(word, 0);
    }
    EXPECT_EQ(SessionTableRows(), nullptr);
    EXPECT_FALSE(ShmSegment::Open(EngineNamespace(), kSessionTableSegmentName, ShmAccess::ReadOnly))
            << "the session table is removed";
}

TEST_F(EngineStartUpTest, AStartAndStopLeavesNoSharedObjectAndMakesThemForTheOwnerOnly)
{
    const std::string ns = m_install.Namespace();
    ASSERT_EQ(qm::test::ShmObjectsOf(ns), std::vector<std::string>{});
    m_install.WriteIni("");
    {
        qm::test::ScopedUmask scoped(0);
        ASSERT_TRUE(StartUp());
    }
    const std::vector<std::string> made = {"qm." + ns + ".engine", "qm." + ns + ".engine.init",
                                           "qm." + ns + ".sessions"};
    ASSERT_EQ(qm::test::ShmObjectsOf(ns), made);
    for (const std::string& name : made) {
        EXPECT_EQ(qm::test::ModeOf(("/dev/shm/" + name).c_str()), 0600U) << name;
    }
    EXPECT_EQ(qm::test::ModeOf((Dir() / "Logs" / "Quillmail.log").c_str()), 0600U);

    ASSERT_TRUE(EngineShutDown());
    EngineProcessDetach();
    EXPECT_EQ(qm::test::ShmObjectsOf(ns), std::vector<std::string>{}) << "the last user removes every object";
}

TEST_F(EngineStartUpTest, EmptiesTheTemporaryDirectoryOfAnEarlierRun)
{
    m_install.WriteIni("");
    fs::create_directories(Dir() / "Temp" / "ABCDEFG");
    WriteFile(Dir() / "Temp" / "ABCDEFG" / "compose.txt", "old");
    WriteFile(Dir() / "Temp" / "left.tmp", "old");
    ASSERT_TRUE(StartUp());
    EXPECT_TRUE(fs::is_empty(Dir() / "Temp"));
}

TEST_F(EngineStartUpTest, BadSessionMaximumFailsAndUndoesEverything)
{
    Attach();
    // Below one, and above the largest table of 100000 rows.
    for (const char* maximum : {"0", "-3", "100001", "2147483647"}) {
        SCOPED_TRACE(maximum);
        std::filesystem::remove(m_install.Dir() / "Logs" / "Quillmail.log");
        m_install.WriteIni(std::string("[Session]\r\nMaximum=") + maximum + "\r\n");
        ASSERT_FALSE(EngineStartUp());
        EXPECT_FALSE(EngineRunning());
        EXPECT_EQ(EngineLog(), nullptr);
        EXPECT_NE(m_install.Log().find("Shared memory creation error 22."), std::string::npos) << m_install.Log();
        EXPECT_EQ(LoadedLdap(), nullptr);
    }

    // The lock and the table were released: a corrected start-up succeeds, up to the largest table.
    for (const int maximum : {5, 100000}) {
        SCOPED_TRACE(maximum);
        m_install.WriteIni("[Session]\r\nMaximum=" + std::to_string(maximum) + "\r\n");
        ASSERT_TRUE(EngineStartUp());
        EXPECT_EQ(SessionTableCapacity(), maximum);
        ASSERT_TRUE(EngineShutDown());
    }
}

TEST_F(EngineStartUpTest, AUserDirectoryThatCannotBeMadeIsLoggedAtLevel4)
{
    WriteFile(Dir() / "not-a-directory", "");
    Attach();
    for (const auto& [level, logged] : {std::pair{4, true}, std::pair{5, false}}) {
        SCOPED_TRACE(level);
        std::filesystem::remove(m_install.Dir() / "Logs" / "Quillmail.log");
        m_install.WriteIni("[General]\r\nLogLevel=" + std::to_string(level) +
                           "\r\n[Directories]\r\nUserDir=" + (Dir() / "not-a-directory" / "Users").string() + "\r\n");
        ASSERT_TRUE(EngineStartUp()) << "the start goes on without it";
        ASSERT_TRUE(EngineShutDown());
        EXPECT_EQ(m_install.Log().find("User directory not found.") != std::string::npos, logged) << m_install.Log();
    }
}

TEST_F(EngineStartUpTest, SecondStartUpInTheSameProcessIsRefused)
{
    m_install.WriteIni("");
    ASSERT_TRUE(StartUp());
    EXPECT_FALSE(EngineStartUp());
    EXPECT_TRUE(EngineRunning());
}

TEST_F(EngineStartUpTest, ShutDownWhileIdleReturnsWithinOneRound)
{
    m_install.WriteIni("[General]\r\nLogLevel=5\r\n");
    ASSERT_TRUE(StartUp());
    // The maintenance thread has begun; it is in its wait or goes into it after its first round.
    ASSERT_TRUE(qm::test::WaitUntil([&] {
        return m_install.Log().find("Maintenance thread starting") != std::string::npos;
    })) << m_install.Log();
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(EngineShutDown());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
}

// Before StartUp and after ShutDown a request gets no answer; while the engine runs it gets a page.
TEST_F(EngineStartUpTest, MainClosesBothDescriptorsAndAnswersOnlyWhileRunning)
{
    m_install.WriteIni("");
    Attach();
    for (int pass = 0; pass < 3; ++pass) {
        SCOPED_TRACE(pass); // before StartUp, while running, after ShutDown
        if (pass == 1) {
            ASSERT_TRUE(EngineStartUp());
        }
        if (pass == 2) {
            ASSERT_TRUE(EngineShutDown());
        }
        int in[2];
        int out[2];
        ASSERT_EQ(::pipe(in), 0);
        ASSERT_EQ(::pipe(out), 0);
        EngineMain(in[0], out[1], nullptr);
        std::string written;
        char buffer[4096];
        for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
            written.append(buffer, static_cast<std::size_t>(n));
        }
        if (pass == 1) {
            EXPECT_EQ(written.rfind("Content-type: text/html\r\n", 0), 0u) << written;
        } else {
            EXPECT_EQ(written, "") << "the output was closed with nothing written";
        }
        // Asked at the write end, which is the test's own: the maintenance thread may be given the number of the
        // closed read end meanwhile. A pipe without a reader polls as an error at its write end.
        pollfd writeEnd{in[1], POLLOUT, 0};
        ASSERT_EQ(::poll(&writeEnd, 1, 0), 1);
        EXPECT_NE(writeEnd.revents & POLLERR, 0) << "the input was closed";
        ::close(in[1]);
        ::close(out[0]);
    }
    EngineMain(-1, -1, nullptr);
}

// The same with the reply handed over in memory: it is ended exactly once in every pass, with the page only while
// the engine runs.
TEST_F(EngineStartUpTest, MainToReplyEndsTheReplyOnceAndAnswersOnlyWhileRunning)
{
    struct Collected {
        std::string Written;
        int Ends = 0;
        bool WriteAfterEnd = false;
    };
    const auto write = [](void* context, const char* data, std::size_t size) -> long {
        auto* c = static_cast<Collected*>(context);
        c->WriteAfterEnd = c->WriteAfterEnd || c->Ends != 0;
        c->Written.append(data, size);
        return static_cast<long>(size);
    };
    const auto end = [](void* context) { ++static_cast<Collected*>(context)->Ends; };
    m_install.WriteIni("");
    Attach();
    for (int pass = 0; pass < 3; ++pass) {
        SCOPED_TRACE(pass); // before StartUp, while running, after ShutDown
        if (pass == 1) {
            ASSERT_TRUE(EngineStartUp());
        }
        if (pass == 2) {
            ASSERT_TRUE(EngineShutDown());
        }
        int in[2];
        ASSERT_EQ(::pipe(in), 0);
        Collected collected;
        const QmHostReply reply{&collected, write, end};
        EngineMainToReply(in[0], &reply, nullptr);
        EXPECT_EQ(collected.Ends, 1);
        EXPECT_FALSE(collected.WriteAfterEnd);
        if (pass == 1) {
            EXPECT_EQ(collected.Written.rfind("Content-type: text/html\r\n", 0), 0u) << collected.Written;
            EXPECT_NE(collected.Written.find("\r\n\r\n"), std::string::npos) << collected.Written;
        } else {
            EXPECT_EQ(collected.Written, "") << "the reply was ended with nothing written";
        }
        pollfd writeEnd{in[1], POLLOUT, 0};
        ASSERT_EQ(::poll(&writeEnd, 1, 0), 1);
        EXPECT_NE(writeEnd.revents & POLLERR, 0) << "the input was closed";
        ::close(in[1]);
    }
    EngineMainToReply(-1, nullptr, nullptr);
}

TEST_F(EngineStartUpTest, CompanionLibraryIsLoadedWhenConfigured)
{
    const fs::path corvid = Dir() / "Corvid";
    fs::create_directories(corvid);
    m_install.WriteIni("[Mailboxes]\r\nSyncWithMailServer=Yes\r\n[Directories]\r\nCorvidAppDir=" + corvid.string() +
                       "\r\n[General]\r\nLogLevel=1\r\n");
    ASSERT_TRUE(StartUp());
    EXPECT_EQ(store::LoadedCVUser(), nullptr);
    EXPECT_NE(m_install.Log().find("Corvid User DLL could not load, error code 2."), std::string::npos)
            << m_install.Log();
    ASSERT_TRUE(EngineShutDown());

    fs::copy_file(QM_CVUSER_LIBRARY, corvid / "CVUser.so");
    fs::remove(Dir() / "Domains.Ini");
    ASSERT_TRUE(EngineStartUp());
    EXPECT_NE(store::LoadedCVUser(), nullptr);
    EXPECT_EQ(platform::IniRead((Dir() / "Domains.Ini").string(), "Default:Settings", "UseEmailForPopUser"), "Yes");
    ASSERT_TRUE(EngineShutDown());
    EXPECT_EQ(store::LoadedCVUser(), nullptr);
}

TEST_F(EngineStartUpTest, FailedAttachMakesStartUpFail)
{
    // The shared block holds at most 259 characters of the INI path.
    const fs::path deep = Dir() / std::string(200, 'd') / std::string(60, 'e');
    ::setenv("QUILLMAIL_INI", (deep / "Quillmail.ini").c_str(), 1);
    EngineProcessAttach(nullptr);
    EXPECT_FALSE(EngineAttached());
    EXPECT_EQ(SharedBlock(), nullptr);
    EXPECT_FALSE(EngineStartUp());
    EXPECT_TRUE(EngineShutDown());
}

TEST_F(EngineStartUpTest, AttachKeepsTheIniPathOfTheFirstProcess)
{
    m_install.WriteIni("");
    Attach();
    EXPECT_EQ(EngineIniPath(), m_install.IniPath());
    EXPECT_EQ(SharedBlock()->Section.LogLevel, 1);
    EXPECT_STREQ(SharedBlock()->Section.IniPath, m_install.IniPath().c_str());
}

} // namespace
} // namespace qm::engine
