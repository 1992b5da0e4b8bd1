// The engine's exports behind the entry guard: what a stopped exception leaves in the engine log, and that every
// export goes through the guard.
#include "common/EntryGuard.h"
#include "engine/Engine.h"
#include "engine/EngineMessages.h"
#include "engine/tests/EngineTestSupport.h"

#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>
#include <string>

namespace qm::engine {
namespace {

using test::ReadFile;
using test::TempInstall;
namespace fs = std::filesystem;

class EngineEntryGuardTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegisterEngineMessages();
        SetEntryFailureReporter(&ReportEngineEntryFailure);
    }

    void TearDown() override
    {
        (void)EngineShutDown();
        EngineProcessDetach();
        SetEntryFailureReporter(nullptr);
    }

    bool StartUp(const char* ini)
    {
        m_install.WriteIni(ini);
        EngineProcessAttach(nullptr);
        return EngineAttached() && EngineStartUp();
    }

    TempInstall m_install;
};

unsigned char ThrowingUserExists()
{
    return GuardEntry("QM_UserExists", static_cast<unsigned char>(0),
                      []() -> unsigned char { throw std::runtime_error("the user list broke"); });
}

TEST_F(EngineEntryGuardTest, AStoppedExceptionIsLoggedAtLevelOneWhileTheLogIsOpen)
{
    struct Case {
        const char* Ini;
        bool Logged;
    };

    for (const Case& c : {Case{"[General]\r\nLogLevel=1\r\n", true}, Case{"[General]\r\nLogLevel=2\r\n", false}}) {
        SCOPED_TRACE(c.Ini);
        ASSERT_TRUE(StartUp(c.Ini));
        EXPECT_EQ(ThrowingUserExists(), 0) << "the export's failure value";
        int nothing = 7;
        GuardEntry("QM_KillSession", [&nothing] {
            nothing = 8;
            throw 42;
        });
        EXPECT_EQ(nothing, 8);
        ASSERT_TRUE(EngineShutDown());
        const std::string log = m_install.Log();
        EXPECT_EQ(log.find("QM_UserExists: stopped an exception: the user list broke") != std::string::npos, c.Logged)
                << log;
        EXPECT_EQ(log.find("QM_KillSession: stopped an exception: unknown exception") != std::string::npos, c.Logged)
                << log;
        EngineProcessDetach();
        fs::remove_all(m_install.Dir() / "Logs");
    }
}

TEST_F(EngineEntryGuardTest, BeforeStartUpAStoppedExceptionGoesToStandardError)
{
    ::testing::internal::CaptureStderr();
    const unsigned char result = ThrowingUserExists();
    const std::string output = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, 0);
    EXPECT_NE(output.find("QM_UserExists: stopped an exception: the user list broke"), std::string::npos) << output;
}

// Every extern "C" function of the engine library and of the companion's user library has the guard as its body,
// so that no exception reaches a C caller (a new export without it fails here).
TEST(EngineExportsTest, EveryExportGoesThroughTheEntryGuard)
{
    const std::regex anyDefinition(R"re((?:QM|CV)_EXPORT [^;{]*?\b(\w+)\s*\([^;{]*\)\s*\{)re");
    const std::regex definition(
            R"re((?:QM|CV)_EXPORT [^;{]*?\b(\w+)\s*\([^;{]*\)\s*\{\s*(return )?(qm::)?GuardEntry\("(\w+)")re");

    struct File {
        const char* Path;
        int Exports;
    };

    for (const File& file :
         {File{"engine/EngineExports.cpp", 4}, File{"engine/AdminExports.cpp", 11}, File{"companion/CVUser.cpp", 15}}) {
        SCOPED_TRACE(file.Path);
        const std::string source = ReadFile(fs::path(QM_SOURCE_DIR) / file.Path);
        ASSERT_FALSE(source.empty());
        int defined = 0;
        for (auto it = std::sregex_iterator(source.begin(), source.end(), anyDefinition); it != std::sregex_iterator();
             ++it) {
            ++defined;
            const std::string name = (*it)[1];
            std::smatch guarded;
            const std::string from = source.substr(static_cast<std::size_t>(it->position()));
            ASSERT_TRUE(std::regex_search(from, guarded, definition, std::regex_constants::match_continuous))
                    << name << " does not go through the entry guard";
            EXPECT_EQ(guarded[4], name) << "the guard reports the export's own name";
        }
        EXPECT_EQ(defined, file.Exports);
    }
}

} // namespace
} // namespace qm::engine
