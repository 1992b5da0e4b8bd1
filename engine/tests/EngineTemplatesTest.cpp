#include "engine/Engine.h"
#include "engine/EngineMessages.h"
#include "engine/TemplateCache.h"
#include "engine/tests/EngineTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace qm::engine {
namespace {

using test::ReadFile;
using test::TempInstall;
using test::WriteFile;
namespace fs = std::filesystem;

class EngineTemplatesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegisterEngineMessages();
        fs::create_directories(Templates() / "Globe");
    }

    void TearDown() override
    {
        (void)EngineShutDown();
        EngineProcessDetach();
    }

    bool StartUp()
    {
        EngineProcessAttach(nullptr);
        return EngineAttached() && EngineStartUp();
    }

    fs::path Templates() const { return m_install.Dir() / "Templates"; }

    TempInstall m_install;
};

TEST_F(EngineTemplatesTest, StartUpCompletesLanguagesIniAndMakesTheCache)
{
    m_install.WriteIni("[General]\r\nLogLevel=1\r\n");
    WriteFile(Templates() / "Languages.ini", "[en]\r\n001=English\r\n064=iso-8859-1\r\n[de]\r\n001=Deutsch\r\n");
    WriteFile(Templates() / "Globe" / "Logon.html", "<$charset$> [$Sign in$]\r\n");
    ASSERT_TRUE(StartUp());

    EXPECT_EQ(ReadFile(Templates() / "Languages.ini"),
              "[en]\r\n001=English\r\n064=iso-8859-1\r\n100=Sign in\r\n\r\n[de]\r\n001=Deutsch\r\n\r\n");
    EXPECT_TRUE(fs::exists(Templates() / "Languages.bak"));
    TemplateCache* cache = EngineTemplates();
    ASSERT_NE(cache, nullptr);
    EXPECT_TRUE(cache->Caching());
    EXPECT_STREQ(cache->GetLanguageText(64, "de"), "iso-8859-1");
    ASSERT_NE(cache->FindTemplate("en", "Globe", "Logon"), nullptr);
    EXPECT_EQ(cache->FindTemplate("en", "Globe", "Logon")->Text(), "<$CHARSET$> Sign in\r\n");

    ASSERT_TRUE(EngineShutDown());
    EXPECT_EQ(EngineTemplates(), nullptr);
    const std::string log = m_install.Log();
    for (const char* text : {"Verifying Languages.ini...", "Updating Languages.ini...",
                             "Languages.ini finished updating.", "\"064=iso-8859-1\" needs translation to de",
                             "\"100=Sign in\" needs translation to de", "Loading templates for language de"}) {
        EXPECT_NE(log.find(text), std::string::npos) << "missing: " << text << "\n" << log;
    }

    // The next start finds the file complete and leaves it alone.
    const std::string completed = ReadFile(Templates() / "Languages.ini");
    fs::remove(Templates() / "Languages.bak");
    ASSERT_TRUE(EngineStartUp());
    EXPECT_EQ(ReadFile(Templates() / "Languages.ini"), completed);
    EXPECT_FALSE(fs::exists(Templates() / "Languages.bak"));
}

TEST_F(EngineTemplatesTest, StartsWithoutLanguagesIniAndWithCachingOff)
{
    m_install.WriteIni("[General]\r\nLogLevel=1\r\nCacheTemplates=No\r\n");
    WriteFile(Templates() / "Globe" / "Logon.html", "[$Sign in$]");
    ASSERT_TRUE(StartUp());
    ASSERT_NE(EngineTemplates(), nullptr);
    EXPECT_FALSE(EngineTemplates()->Caching());
    EXPECT_STREQ(EngineTemplates()->GetLanguageText(1, "en"), "");
    ASSERT_TRUE(EngineShutDown());
    EXPECT_NE(m_install.Log().find("Languages.ini not found."), std::string::npos);
    EXPECT_FALSE(fs::exists(Templates() / "Languages.ini"));
}

} // namespace
} // namespace qm::engine
