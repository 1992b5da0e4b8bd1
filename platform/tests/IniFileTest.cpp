#include "platform/IniFile.h"

#include "testsupport/Program.h"
#include "testsupport/ScopedUmask.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qm::platform {
namespace {

using qm::test::ReadBytes;
using qm::test::TempDir;
using qm::test::WriteBytes;

std::string Show(const std::optional<std::string>& v)
{
    return v ? "\"" + *v + "\"" : "(missing)";
}

TEST(IniFileTest, ReadsValuesAsTheProfileFunctionsDo)
{
    struct Case {
        const char* What;
        std::string Text;
        const char* Section;
        const char* Key;
        std::optional<std::string> Want;
    };

    const std::string general = "[General]\r\nLogLevel=3\r\nEmpty=\r\nBlank=   \r\n";
    const Case cases[] = {
            {"exact names", general, "General", "LogLevel", "3"},
            {"section and key in any case", general, "GENERAL", "loglevel", "3"},
            {"names with blanks around them", general, " General ", " LogLevel\t", "3"},
            {"missing key", general, "General", "Other", std::nullopt},
            {"missing section", general, "Other", "LogLevel", std::nullopt},
            {"present and empty", general, "General", "Empty", ""},
            {"blanks only", general, "General", "Blank", ""},
            {"blanks around everything", "[ S ]\n  Key  =  v a  \n", "s", "key", "v a"},
            {"one pair of quotes stripped", "[S]\nK=\"  quoted  \"\n", "S", "K", "  quoted  "},
            {"quotes after blanks", "[S]\nK =  \"a\"  \n", "S", "K", "a"},
            {"empty quotes", "[S]\nK=\"\"\n", "S", "K", ""},
            {"only one pair", "[S]\nK=\"\"a\"\"\n", "S", "K", "\"a\""},
            {"an unmatched quote stays", "[S]\nK=\"a\n", "S", "K", "\"a"},
            {"a lone quote stays", "[S]\nK=\"\n", "S", "K", "\""},
            {"single quotes stay", "[S]\nK='a'\n", "S", "K", "'a'"},
            {"'=' inside the value", "[S]\nUrl=a=b\n", "S", "Url", "a=b"},
            {"8-bit bytes", "[S]\nName=Caf\xE9\n", "S", "Name", "Caf\xE9"},
            {"bare LF lines", "[A]\nx=1\n[B]\nx=2\n", "B", "x", "2"},
            {"CR LF lines", "[A]\r\nx=1\r\n[B]\r\nx=2\r\n", "B", "x", "2"},
            {"no final line end", "[A]\r\nx=1", "A", "x", "1"},
            {"first of two entries", "[A]\nx=1\nX=2\n", "A", "x", "1"},
            {"second block of a section", "[A]\nx=1\n[B]\ny=2\n[a]\nz=3\n", "A", "z", "3"},
            {"commented entry", "[A]\n;x=1\n", "A", "x", std::nullopt},
            {"indented comment", "[A]\n  ; x=1\n", "A", "; x", std::nullopt},
            {"entry before any section", "x=1\n[A]\n", "A", "x", std::nullopt},
            {"header without ']' is no header", "[A]\nx=1\n[B\ny=2\n", "A", "y", "2"},
            {"text after ']'", "[A] ; note\nx=1\n", "A", "x", "1"},
            {"line without '='", "[A]\nx\n", "A", "x", std::nullopt},
            {"empty key", "[A]\n=1\n", "A", "", std::nullopt},
            {"byte order mark", "\xEF\xBB\xBF[A]\nx=1\n", "A", "x", "1"},
            {"CR kept inside a line", "[A]\nx=a\rb\n", "A", "x", "a\rb"},
            {"NUL inside a value", std::string("[A]\nx=a\0b\n", 10), "A", "x", std::string("a\0b", 3)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        auto got = IniDocument::Parse(c.Text).Get(c.Section, c.Key);
        EXPECT_EQ(got, c.Want) << "got " << Show(got) << ", want " << Show(c.Want);
    }
}

TEST(IniFileTest, ListsSectionsAndKeysInFileOrder)
{
    IniDocument doc = IniDocument::Parse("; head\r\n[Zeta]\r\nb=1\r\na=2\r\n[alpha]\r\nx=1\r\n"
                                         "[ZETA]\r\nc=3\r\nB=4\r\n[Mid]\r\n");
    EXPECT_EQ(doc.SectionNames(), (std::vector<std::string>{"Zeta", "alpha", "Mid"}));
    EXPECT_EQ(doc.KeyNames("zeta"), (std::vector<std::string>{"b", "a", "c"}));
    EXPECT_TRUE(doc.KeyNames("Mid").empty());
    EXPECT_TRUE(doc.KeyNames("none").empty());
    auto entries = doc.Entries("Zeta");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0], (std::pair<std::string, std::string>{"b", "1"}));
    EXPECT_TRUE(doc.HasSection("MID"));
    EXPECT_FALSE(doc.HasSection("none"));
}

TEST(IniFileTest, EditsKeepEveryOtherLineByteForByte)
{
    struct Case {
        const char* What;
        std::string Before;
        std::function<void(IniDocument&)> Edit;
        std::string After;
    };

    const std::string file = "; Quillmail settings\r\n"
                             "[General]\r\n"
                             "  LogLevel = 3   \r\n"
                             "; a comment\tkept as it is \r\n"
                             "odd line without equals\r\n"
                             "\r\n"
                             "[Directories]\r\n"
                             "UserDir=\\Program Files\\Quillmail\\Users\r\n";
    const Case cases[] = {
            {"changing a value keeps the key's spelling", file,
             [](IniDocument& d) { d.Set("general", "LOGLEVEL", "5"); },
             "; Quillmail settings\r\n[General]\r\nLogLevel=5\r\n; a comment\tkept as it is \r\n"
             "odd line without equals\r\n\r\n[Directories]\r\nUserDir=\\Program Files\\Quillmail\\Users\r\n"},
            {"new keys follow the section's last entry in call order", file,
             [](IniDocument& d) {
                 d.Set("General", "First", "1");
                 d.Set("General", "Second", "2");
             },
             "; Quillmail settings\r\n[General]\r\n  LogLevel = 3   \r\nFirst=1\r\nSecond=2\r\n"
             "; a comment\tkept as it is \r\nodd line without equals\r\n\r\n[Directories]\r\n"
             "UserDir=\\Program Files\\Quillmail\\Users\r\n"},
            {"a new section goes at the end after a blank line", file,
             [](IniDocument& d) { d.Set("Session", "Maximum", "100"); }, file + "\r\n[Session]\r\nMaximum=100\r\n"},
            {"a new key of an empty section follows its header", "[A]\r\n[B]\r\nx=1\r\n",
             [](IniDocument& d) { d.Set("A", "k", "v"); }, "[A]\r\nk=v\r\n[B]\r\nx=1\r\n"},
            {"an empty document", "", [](IniDocument& d) { d.Set("S", "k", ""); }, "[S]\r\nk=\r\n"},
            {"deleting a key", "[A]\r\nx=1\r\n;c\r\ny=2\r\n[B]\r\nx=3\r\n",
             [](IniDocument& d) { d.DeleteKey("a", "X"); }, "[A]\r\n;c\r\ny=2\r\n[B]\r\nx=3\r\n"},
            {"deleting a section removes every block of it", "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n[a]\r\nz=3\r\n",
             [](IniDocument& d) { d.DeleteSection("A"); }, "[B]\r\ny=2\r\n"},
            {"deleting the last section takes the blank line before it", "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n",
             [](IniDocument& d) { d.DeleteSection("B"); }, "[A]\r\nx=1\r\n"},
            {"LF lines are written with CR LF", "[A]\nx=1\n; c\n", [](IniDocument& d) { d.Set("A", "x", "2"); },
             "[A]\r\nx=2\r\n; c\r\n"},
            {"the byte order mark stays", "\xEF\xBB\xBF[A]\r\nx=1\r\n", [](IniDocument& d) { d.Set("A", "y", "2"); },
             "\xEF\xBB\xBF[A]\r\nx=1\r\ny=2\r\n"},
            {"a second block gets no new keys", "[A]\r\nx=1\r\n[B]\r\n[A]\r\ny=2\r\n",
             [](IniDocument& d) { d.Set("A", "z", "3"); }, "[A]\r\nx=1\r\nz=3\r\n[B]\r\n[A]\r\ny=2\r\n"},
            {"a key of the second block is changed where it is", "[A]\r\nx=1\r\n[B]\r\n[A]\r\ny=2\r\n",
             [](IniDocument& d) { d.Set("A", "y", "3"); }, "[A]\r\nx=1\r\n[B]\r\n[A]\r\ny=3\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        IniDocument doc = IniDocument::Parse(c.Before);
        c.Edit(doc);
        EXPECT_TRUE(doc.Changed());
        EXPECT_EQ(doc.Text(), c.After);
    }
}

TEST(IniFileTest, UnchangedValuesAndMissingNamesChangeNothing)
{
    IniDocument doc = IniDocument::Parse("[A]\r\nx=1\r\n");
    EXPECT_TRUE(doc.Set("a", "X", "1"));
    doc.DeleteKey("A", "missing");
    doc.DeleteKey("missing", "x");
    doc.DeleteSection("missing");
    EXPECT_FALSE(doc.Changed());
}

TEST(IniFileTest, RefusesNamesAndValuesThatWouldSplitALine)
{
    struct Case {
        const char* What;
        std::string Section;
        std::string Key;
        std::string Value;
    };

    const Case cases[] = {
            {"CR LF in a value", "User", "FullName", "Bob\r\nPassword=x"},
            {"LF in a value", "User", "FullName", "Bob\nPassword=x"},
            {"CR in a value", "User", "FullName", "Bob\rx"},
            {"NUL in a value", "User", "FullName", std::string("a\0b", 3)},
            {"LF in a key", "User", "a\nb", "v"},
            {"'=' in a key", "User", "a=b", "v"},
            {"empty key", "User", "", "v"},
            {"blank key", "User", "  ", "v"},
            {"key that reads as a header", "User", "[x]", "v"},
            {"key that reads as a comment", "User", ";x", "v"},
            {"']' in a section", "a]b", "k", "v"},
            {"line break in a section", "a\r\n[b", "k", "v"},
            {"empty section", "", "k", "v"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        IniDocument doc = IniDocument::Parse("[User]\r\nFullName=Bob\r\n");
        EXPECT_FALSE(doc.Set(c.Section, c.Key, c.Value));
        EXPECT_FALSE(doc.Changed());
        EXPECT_EQ(doc.Text(), "[User]\r\nFullName=Bob\r\n");
    }
}

TEST(IniFileTest, ParsesEveryTruncationOfAFileAndWritesWhatItReads)
{
    const std::string text = "\xEF\xBB\xBF; c\r\n[A]\r\n x = \"1\" \r\n[B\r\ny=\xff\r\n\r\n[ C ]x\nz=\"\nw\r";
    for (std::size_t n = 0; n <= text.size(); ++n) {
        SCOPED_TRACE("first " + std::to_string(n) + " bytes");
        IniDocument doc = IniDocument::Parse(text.substr(0, n));
        IniDocument again = IniDocument::Parse(doc.Text());
        EXPECT_EQ(again.SectionNames(), doc.SectionNames());
        for (const std::string& section : doc.SectionNames()) {
            EXPECT_EQ(again.Entries(section), doc.Entries(section));
        }
        EXPECT_EQ(again.Text(), doc.Text());
    }
}

// ---- files ----

TEST(IniFileTest, WritingCreatesTheFileAndNothingElse)
{
    TempDir dir;
    std::string file = dir / "User.ini";
    EXPECT_FALSE(IniRead(file, "User", "Password"));
    ASSERT_TRUE(IniWrite(file, "User", "FullName", "Bob"));
    ASSERT_TRUE(IniWrite(file, "User", "Password", ""));
    ASSERT_TRUE(IniWrite(file, "Stats", "Logons", "1"));
    EXPECT_EQ(ReadBytes(file), "[User]\r\nFullName=Bob\r\nPassword=\r\n\r\n[Stats]\r\nLogons=1\r\n");
    EXPECT_EQ(IniRead(file, "user", "PASSWORD"), std::optional<std::string>(""));
    EXPECT_EQ(IniRead(file, "user", "fullname"), std::optional<std::string>("Bob"));
    EXPECT_EQ(IniSectionNames(file), (std::vector<std::string>{"User", "Stats"}));
    EXPECT_EQ(IniKeyNames(file, "USER"), (std::vector<std::string>{"FullName", "Password"}));
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
        names.push_back(e.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"User.ini"});

    EXPECT_FALSE(IniWrite(dir / "missing/User.ini", "User", "x", "1"));
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

TEST(IniFileTest, DeletingFromAMissingFileCreatesNothing)
{
    TempDir dir;
    std::string file = dir / "User.ini";
    EXPECT_TRUE(IniDeleteKey(file, "User", "x"));
    EXPECT_TRUE(IniDeleteSection(file, "User"));
    const IniChange deletion[] = {{"User", "x", std::nullopt}};
    EXPECT_TRUE(IniWriteMany(file, deletion));
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_TRUE(IniLoad(file).SectionNames().empty());
}

TEST(IniFileTest, DeletesKeysAndSectionsInTheFile)
{
    TempDir dir;
    std::string file = dir / "User.ini";
    WriteBytes(file, "[MailHost1]\r\nHost=a\r\nPass=x\r\n[MailHost2]\r\nHost=b\r\n");
    ASSERT_TRUE(IniDeleteKey(file, "mailhost1", "PASS"));
    EXPECT_FALSE(IniRead(file, "MailHost1", "Pass"));
    ASSERT_TRUE(IniDeleteSection(file, "MAILHOST2"));
    EXPECT_EQ(ReadBytes(file), "[MailHost1]\r\nHost=a\r\n");
}

TEST(IniFileTest, ReplacesAWholeSectionInOneRewriteOrNotAtAll)
{
    TempDir dir;
    std::string file = dir / "User.ini";
    WriteBytes(file, "[Filters]\r\nFilter0=a\r\nStray=x\r\n[User]\r\nFullName=Ann\r\n");
    using Values = std::vector<std::pair<std::string, std::string>>;
    const Values refused = {{"Filter0", "b"}, {"Filter1", "c\r\n[Admin]"}};
    EXPECT_FALSE(IniReplaceSection(file, "Filters", refused));
    EXPECT_EQ(ReadBytes(file), "[Filters]\r\nFilter0=a\r\nStray=x\r\n[User]\r\nFullName=Ann\r\n");

    const Values values = {{"Filter0", "b"}, {"Filter1", "c"}};
    ASSERT_TRUE(IniReplaceSection(file, "filters", values));
    EXPECT_EQ(ReadBytes(file), "[User]\r\nFullName=Ann\r\n\r\n[filters]\r\nFilter0=b\r\nFilter1=c\r\n");
    ASSERT_TRUE(IniReplaceSection(file, "Filters", Values{}));
    EXPECT_EQ(ReadBytes(file), "[User]\r\nFullName=Ann\r\n");
    ASSERT_TRUE(IniReplaceSection(dir / "none.ini", "Filters", Values{}));
    EXPECT_FALSE(std::filesystem::exists(dir / "none.ini"));
}

TEST(IniFileTest, ReplacesAValueOnlyWhileItHoldsWhatWasRead)
{
    TempDir dir;
    std::string file = dir / "User.ini";
    WriteBytes(file, "[User]\r\nPassword=-secret\r\n");
    ASSERT_TRUE(IniReplaceValue(file, "user", "password", "-secret", "c2VjcmV0"));
    EXPECT_EQ(ReadBytes(file), "[User]\r\nPassword=c2VjcmV0\r\n");
    // Changed meanwhile by someone else: left alone.
    ASSERT_TRUE(IniReplaceValue(file, "User", "Password", "-secret", "b2xk"));
    EXPECT_EQ(ReadBytes(file), "[User]\r\nPassword=c2VjcmV0\r\n");
    ASSERT_TRUE(IniReplaceValue(file, "User", "Missing", "", "x"));
    EXPECT_FALSE(IniRead(file, "User", "Missing"));
    ASSERT_TRUE(IniReplaceValue(dir / "none.ini", "User", "Password", "", "x"));
    EXPECT_FALSE(std::filesystem::exists(dir / "none.ini"));
    EXPECT_FALSE(IniReplaceValue(file, "User", "Password", "c2VjcmV0", "a\nb"));
}

TEST(IniFileTest, RefusedValueLeavesTheFileAsItWas)
{
    TempDir dir;
    std::string file = dir / "User.ini";
    WriteBytes(file, "[User]\nFullName=Bob\n");
    auto refused = IniWrite(file, "User", "FullName", "Eve\r\nPassword=forged");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().Code, EINVAL);
    EXPECT_EQ(ReadBytes(file), "[User]\nFullName=Bob\n");
    EXPECT_FALSE(IniRead(file, "User", "Password"));

    const IniChange batch[] = {{"User", "A", "1"}, {"User", "B", "2\n[Admin]"}};
    EXPECT_FALSE(IniWriteMany(file, batch));
    EXPECT_EQ(ReadBytes(file), "[User]\nFullName=Bob\n");
}

TEST(IniFileTest, WritesABatchInOneRewrite)
{
    TempDir dir;
    std::string file = dir / "Quillmail.ini";
    WriteBytes(file, "[General]\r\nLogLevel=3\r\nOld=1\r\n");
    const IniChange batch[] = {
            {"General", "LogLevel", "4"},
            {"General", "Old", std::nullopt},
            {"Session", "Maximum", "100"},
            {"General", "Added", "Yes"},
    };
    ASSERT_TRUE(IniWriteMany(file, batch));
    EXPECT_EQ(ReadBytes(file), "[General]\r\nLogLevel=4\r\nAdded=Yes\r\n\r\n[Session]\r\nMaximum=100\r\n");
}

// A writer that keeps a parsed copy learns the text and the stamp of the version its write left, so it need not
// read the file again; a write that changes nothing reports the version the file holds.
TEST(IniFileTest, AWriteReportsTheVersionItLeaves)
{
    TempDir dir;
    std::string file = dir / "User.ini";
    WriteBytes(file, "[Stats]\r\nLastAccess=1\r\n");
    const IniChange change[] = {{"Stats", "LastAccess", "2"}};
    for (const char* want : {"[Stats]\r\nLastAccess=2\r\n", "[Stats]\r\nLastAccess=2\r\n"}) {
        IniLockedText written;
        ASSERT_TRUE(IniWriteMany(file, change, &written));
        EXPECT_EQ(written.Text, want);
        EXPECT_EQ(written.Text, ReadBytes(file));
        ASSERT_TRUE(written.LockedStamp.has_value());
        EXPECT_EQ(*written.LockedStamp, IniStampOf(file).value()) << "the stamp is that of the file in place";
    }

    // Deleting from a missing file leaves no version to report.
    IniLockedText none;
    const IniChange deletion[] = {{"Stats", "LastAccess", std::nullopt}};
    ASSERT_TRUE(IniWriteMany(dir / "Missing.ini", deletion, &none));
    EXPECT_FALSE(none.LockedStamp.has_value());
}

TEST(IniFileTest, AWriteThatChangesNothingLeavesTheFileAlone)
{
    TempDir dir;
    std::string file = dir / "Quillmail.ini";
    WriteBytes(file, "[General]\r\nLogLevel=3\r\n");

    struct stat before = {};
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    ASSERT_TRUE(IniWrite(file, "general", "loglevel", "3"));
    ASSERT_TRUE(IniDeleteKey(file, "General", "Missing"));

    struct stat after = {};
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino) << "the file was replaced";
}

TEST(IniFileTest, ANewFileIsTheOwnersAloneAndARewriteKeepsTheModeItFinds)
{
    TempDir dir;
    test::ScopedUmask scoped(022);
    const std::string user = dir / "User.ini";
    ASSERT_TRUE(IniWrite(user, "User", "Password", "secret"));
    EXPECT_EQ(test::ModeOf(user.c_str()), 0600U) << "not readable by others for one moment";
    ASSERT_TRUE(IniWrite(user, "User", "Password", "other"));
    EXPECT_EQ(test::ModeOf(user.c_str()), 0600U);

    const std::string shared = dir / "Quillmail.ini";
    WriteBytes(shared, "[General]\r\nLogLevel=1\r\n");
    ASSERT_EQ(chmod(shared.c_str(), 0640), 0);
    ASSERT_TRUE(IniWrite(shared, "General", "LogLevel", "2"));
    EXPECT_EQ(test::ModeOf(shared.c_str()), 0640U) << "the administrator's choice stays";
    ASSERT_TRUE(IniDeleteKey(shared, "General", "LogLevel"));
    EXPECT_EQ(test::ModeOf(shared.c_str()), 0640U);
}

TEST(IniFileTest, KeepsPermissionsAndWritesThroughALink)
{
    TempDir dir;
    std::string real = dir / "real.ini";
    WriteBytes(real, "[A]\r\nx=1\r\n");
    ASSERT_EQ(chmod(real.c_str(), 0600), 0);
    ASSERT_EQ(symlink(real.c_str(), (dir / "Quillmail.ini").c_str()), 0);
    ASSERT_TRUE(IniWrite(dir / "Quillmail.ini", "A", "x", "2"));

    struct stat st = {};
    ASSERT_EQ(lstat((dir / "Quillmail.ini").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced by a file";
    EXPECT_EQ(ReadBytes(real), "[A]\r\nx=2\r\n");
    ASSERT_EQ(stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(IniFileTest, ABatchThatRefusesLinksWritesNeitherTheLinkNorItsTarget)
{
    TempDir dir;
    const std::string real = dir / "real.ini";
    WriteBytes(real, "[A]\r\nx=1\r\n");
    ASSERT_EQ(symlink(real.c_str(), (dir / "User.ini").c_str()), 0);
    const IniChange change{"A", "x", "2"};
    Result<void> written = IniWriteMany(dir / "User.ini", {&change, 1}, IniLinks::Refuse);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().Code, ELOOP);
    EXPECT_EQ(ReadBytes(real), "[A]\r\nx=1\r\n");
    struct stat st = {};
    ASSERT_EQ(lstat((dir / "User.ini").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    // A plain file, and a new one, are written as ever.
    ASSERT_TRUE(IniWriteMany(real, {&change, 1}, IniLinks::Refuse));
    EXPECT_EQ(ReadBytes(real), "[A]\r\nx=2\r\n");
    ASSERT_TRUE(IniWriteMany(dir / "new.ini", {&change, 1}, IniLinks::Refuse));
    EXPECT_EQ(ReadBytes(dir / "new.ini"), "[A]\r\nx=2\r\n");
}

TEST(IniFileTest, AReadOnlyFileIsNotWritten)
{
    TempDir dir;
    std::string file = dir / "ro.ini";
    WriteBytes(file, "[A]\r\nx=1\r\n");
    ASSERT_EQ(chmod(file.c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir.Path().c_str(), 0777), 0);
    // Root may write any file, so the write is tried as an ordinary user.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(2);
        }
        _exit(IniWrite(file, "A", "x", "2") ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 2) << "could not drop to an ordinary user";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the write was reported as done";
    EXPECT_EQ(ReadBytes(file), "[A]\r\nx=1\r\n");
}

TEST(IniFileTest, PythonConfigParserReadsWhatWeWrite)
{
    TempDir dir;
    if (!test::RunProgram({"python3", "-c", "import configparser"}).Succeeded()) {
        GTEST_SKIP() << "python3 is not installed";
    }
    std::string file = dir / "Quillmail.ini";
    WriteBytes(file, "; written by hand\n[General]\nLogLevel=3\n");
    ASSERT_TRUE(IniWrite(file, "General", "LogLevel", "5"));
    ASSERT_TRUE(IniWrite(file, "General", "Empty", ""));
    ASSERT_TRUE(IniWrite(file, "Directories", "UserDir", "\\Program Files\\Quillmail\\Users"));
    ASSERT_TRUE(IniWrite(file, "Directories", "Url", "http://x/?a=b&c=100%"));
    ASSERT_TRUE(IniWrite(file, "Mail Host 1", "Pass", "Zm9v+/Ab"));
    ASSERT_TRUE(IniWrite(file, "General", "Added", "Yes"));

    const char* script = "import configparser, sys\n"
                         "p = configparser.ConfigParser(interpolation=None, strict=True)\n"
                         "p.optionxform = str\n"
                         "p.read(sys.argv[1], encoding='latin-1')\n"
                         "for s in p.sections():\n"
                         "    for k, v in p.items(s):\n"
                         "        print(s + '|' + k + '|' + v)\n";
    const test::ProgramRun run = test::RunProgram({"python3", "-c", script, file});
    ASSERT_TRUE(run.Succeeded()) << run.Errors;
    EXPECT_EQ(run.Output, "General|LogLevel|5\n"
                          "General|Empty|\n"
                          "General|Added|Yes\n"
                          "Directories|UserDir|\\Program Files\\Quillmail\\Users\n"
                          "Directories|Url|http://x/?a=b&c=100%\n"
                          "Mail Host 1|Pass|Zm9v+/Ab\n");
}

constexpr int kWriterProcesses = 2;
constexpr int kWriterThreads = 2;
constexpr int kKeysPerThread = 200;

std::string WriterKey(int process, int thread, int key)
{
    return "p" + std::to_string(process) + "t" + std::to_string(thread) + "k" + std::to_string(key);
}

const char* WriterSection(int key)
{
    return key % 2 == 0 ? "Even" : "Odd";
}

// The body of one writer process: its threads write their keys, one IniWrite each. Never returns.
[[noreturn]] void RunWriterProcess(const std::string& file, int process)
{
    std::vector<std::thread> threads;
    std::vector<char> ok(kWriterThreads, 1);
    threads.reserve(kWriterThreads);
    for (int t = 0; t < kWriterThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < kKeysPerThread; ++k) {
                std::string name = WriterKey(process, t, k);
                if (!IniWrite(file, WriterSection(k), name, "v" + name)) {
                    ok[static_cast<std::size_t>(t)] = 0;
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    _exit(std::count(ok.begin(), ok.end(), 1) == kWriterThreads ? 0 : 1);
}

// Checks one snapshot of the file: it is whole (every line a header, an entry or the one blank line before the
// second section, the last line complete) and holds at least as many keys as the one before. Returns the count,
// or -1 when the snapshot is torn.
long CheckSnapshot(const std::string& text, long before)
{
    if (text.empty()) {
        return before;
    }
    if (text.size() < 2 || text.substr(text.size() - 2) != "\r\n") {
        return -1;
    }
    IniDocument doc = IniDocument::Parse(text);
    auto keys = static_cast<long>(doc.KeyNames("Even").size() + doc.KeyNames("Odd").size());
    auto sections = static_cast<long>(doc.SectionNames().size());
    long lines = std::count(text.begin(), text.end(), '\n');
    if (keys < before || lines != keys + sections + (sections == 2 ? 1 : 0)) {
        return -1;
    }
    return keys;
}

// Two processes with two threads each write 200 keys apiece into one file while this process keeps reading
// it: no write may be lost, and every read must see a whole, well-formed file.
TEST(IniFileTest, ConcurrentWritersFromTwoProcessesLoseNothing)
{
    TempDir dir;
    const std::string file = dir / "Shared.ini";
    std::vector<pid_t> children;
    for (int p = 0; p < kWriterProcesses; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            RunWriterProcess(file, p);
        }
        children.push_back(pid);
    }

    std::vector<int> statuses;
    long keys = 0;
    std::string torn;
    while (statuses.size() < children.size()) {
        for (pid_t& pid : children) {
            int status = 0;
            if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) {
                statuses.push_back(status);
                pid = -1;
            }
        }
        std::string text = ReadBytes(file);
        long now = CheckSnapshot(text, keys);
        if (now < 0 && torn.empty()) {
            torn = text;
        }
        keys = std::max(keys, now);
    }
    EXPECT_TRUE(torn.empty()) << "a reader saw a torn or shrunken file:\n" << torn;
    for (int status : statuses) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer failed";
    }

    IniDocument doc = IniLoad(file);
    int lost = 0;
    for (int p = 0; p < kWriterProcesses; ++p) {
        for (int t = 0; t < kWriterThreads; ++t) {
            for (int k = 0; k < kKeysPerThread; ++k) {
                std::string name = WriterKey(p, t, k);
                lost += doc.Get(WriterSection(k), name) == "v" + name ? 0 : 1;
            }
        }
    }
    EXPECT_EQ(lost, 0) << "writes lost";
    EXPECT_EQ(doc.KeyNames("Even").size() + doc.KeyNames("Odd").size(),
              static_cast<std::size_t>(kWriterProcesses * kWriterThreads * kKeysPerThread));
}

} // namespace
} // namespace qm::platform
