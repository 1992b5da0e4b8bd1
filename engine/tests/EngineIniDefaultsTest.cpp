#include "engine/EngineIniDefaults.h"

#include "common/Scrambler.h"
#include "engine/EngineIniKeys.h"
#include "engine/FormBudget.h"
#include "engine/tests/EngineTestSupport.h"
#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include <string>

namespace qm::engine {
namespace {

using platform::IniDocument;

// The file after the write-back of `text`.
IniDocument AfterWriteBack(const std::string& text)
{
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "qmini.XXXXXX").string();
    EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
    const std::string path = pattern + "/Quillmail.ini";
    test::WriteFile(path, text);
    EXPECT_TRUE(WriteEngineIniDefaults(path, "/inst"));
    IniDocument document = platform::IniLoad(path);
    std::error_code ignored;
    fs::remove_all(pattern, ignored);
    return document;
}

TEST(EngineIniDefaultsTest, EmptyFileGetsEveryKeyInTableOrder)
{
    const IniDocument document = AfterWriteBack("");
    std::string previousSection;
    std::vector<std::string> want;
    for (const EngineIniKey& key : EngineIniKeys()) {
        if (key.Section != previousSection) {
            EXPECT_TRUE(want.empty() || document.KeyNames(previousSection) == want) << previousSection;
            previousSection = key.Section;
            want.clear();
        }
        want.emplace_back(key.Key);
    }
    EXPECT_EQ(document.KeyNames(previousSection), want);
    EXPECT_EQ(document.Get("Directories", "BaseDir"), "/inst");
    EXPECT_EQ(document.Get("Directories", "LogDir"), "/inst/Logs");
    EXPECT_EQ(document.Get("Directories", "CorvidAppDir"), "");
    EXPECT_EQ(document.Get("General", "MessageDateFormat"), "%x %X");
    EXPECT_EQ(document.Get("General", "MaxFormMemory"), std::to_string(kDefaultMaxFormMemoryKB));
}

TEST(EngineIniDefaultsTest, ValuesAreWrittenBackInTheirForms)
{
    struct Case {
        const char* Section;
        const char* Key;
        const char* Stored;
        const char* Want;
    };

    const Case cases[] = {
            {"Session", "CheckIP", "true", "Yes"},
            {"Session", "CheckIP", "0", "No"},
            {"Session", "CheckIP", "", "No"},
            {"Version", "Version", "9.9", "2.2.3"},
            {"Session", "Maximum", "  50 sessions", "50"},
            {"Session", "Maximum", "many", "0"},
            {"Session", "Maximum", "", "200"},
            {"General", "MessageDateFormat", "%d.%m.%Y", "%d.%m.%Y"},
            {"AccountCreation", "NTDomain", "-notscrambled", "-notscrambled"},
            {"AccountCreation", "NTPassword", "\\DOMAIN", "\\DOMAIN"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Key) + "=" + c.Stored);
        const IniDocument document =
                AfterWriteBack(std::string("[") + c.Section + "]\r\n" + c.Key + "=" + c.Stored + "\r\n");
        EXPECT_EQ(document.Get(c.Section, c.Key), c.Want);
    }
}

TEST(EngineIniDefaultsTest, PlainAccountPasswordIsScrambledOnceAndThenKept)
{
    const IniDocument first = AfterWriteBack("[AccountCreation]\r\nNTPassword=-secret\r\nNTLogonName=-admin\r\n");
    const std::string scrambled = first.Get("AccountCreation", "NTPassword").value_or("");
    EXPECT_NE(scrambled, "-secret");
    EXPECT_EQ(UnscramblePassword(scrambled), "secret");
    EXPECT_EQ(UnscramblePassword(first.Get("AccountCreation", "NTLogonName").value_or("")), "admin");

    const IniDocument second = AfterWriteBack(first.Text());
    EXPECT_EQ(second.Get("AccountCreation", "NTPassword"), scrambled);
}

TEST(EngineIniDefaultsTest, LongValuesAreKeptWhole)
{
    const std::string longPath = "/srv/" + std::string(400, 'p');
    const IniDocument document = AfterWriteBack("[Directories]\r\nTempDir=" + longPath + "\r\n");
    EXPECT_EQ(document.Get("Directories", "TempDir"), longPath);
}

TEST(EngineIniDefaultsTest, KeysWrittenEarlierOutOfOrderAreMovedIntoTableOrderAfterOtherKeys)
{
    // Start-up writes LatestLogFile and CorvidAppDir before the write-back; an administrator may add keys of his own.
    const IniDocument document = AfterWriteBack("[Other]\r\nLatestLogFile=/inst/Logs/Quillmail.log\r\n"
                                                "[Directories]\r\nCorvidAppDir=/corvid\r\nMine=1\r\n"
                                                "[General]\r\nLogRotation=Daily\r\nCacheTemplates=No\r\n");
    const auto directories = document.KeyNames("Directories");
    ASSERT_EQ(directories.size(), 8u);
    EXPECT_EQ(directories.front(), "Mine");
    EXPECT_EQ(directories.back(), "CorvidAppDir");
    EXPECT_EQ(document.Get("Directories", "CorvidAppDir"), "/corvid");
    const auto general = document.KeyNames("General");
    EXPECT_EQ(general.front(), "LogRotation");
    EXPECT_EQ(general[1], "LogLevel");
    EXPECT_EQ(document.Get("General", "CacheTemplates"), "No");
    EXPECT_EQ(document.Get("Other", "LatestLogFile"), "/inst/Logs/Quillmail.log");
}

TEST(EngineIniDefaultsTest, WriteBackOfItsOwnResultChangesNothing)
{
    const IniDocument once = AfterWriteBack("[General]\r\nCacheTemplates=Yes\r\n[Directories]\r\nUserDir=/u\r\n");
    std::vector<std::string> values;
    for (const EngineIniKey& key : EngineIniKeys()) {
        values.push_back(once.Get(key.Section, key.Key).value_or("missing"));
    }
    for (const auto& change : EngineIniWriteBack(once, values)) {
        EXPECT_TRUE(change.Value.has_value()) << "no key is moved again: " << change.Key;
    }
    EXPECT_EQ(AfterWriteBack(once.Text()).Text(), once.Text());
}

} // namespace
} // namespace qm::engine
