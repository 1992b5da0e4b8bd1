#include "admincgi/AdminPageProvider.h"
#include "admincgi/FileEditor.h"

#include <gtest/gtest.h>

namespace qm::admincgi {
namespace {

TEST(FileListTest, ParsesLinesWithTheSecondFieldRule)
{
    using Kind = FileListLine::Kind;

    const struct {
        const char* Line;
        bool Parsed;
        Kind Type;
        const char* First;
        const char* Second;
        const char* Third;
    } cases[] = {
            {"Program=Engine, /opt/quill, Engine", true, Kind::Program, "Engine", "/opt/quill", "Engine"},
            {"File=$DIR$/Quillmail.ini, Engine settings, READONLY", true, Kind::File, "/q/Quillmail.ini",
             "Engine settings", "READONLY"},
            // The character right after the comma is skipped even when it is not a blank.
            {"File=a.ini,Settings", true, Kind::File, "a.ini", "ettings", ""},
            {"file=a.ini,", true, Kind::File, "a.ini", "", ""},
            {"File=$DIR$\\Logs\\x.log, Log", true, Kind::File, "/q/Logs/x.log", "Log", ""},
            {"File=no comma", false, Kind::File, "", "", ""},
            {"Other=a, b, c", false, Kind::File, "", "", ""},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.Line);
        std::optional<FileListLine> line = ParseFileListLine(c.Line, "/q");
        ASSERT_EQ(line.has_value(), c.Parsed);
        if (!line) {
            continue;
        }
        EXPECT_EQ(line->Type, c.Type);
        EXPECT_EQ(line->First, c.First);
        EXPECT_EQ(line->Second, c.Second);
        EXPECT_EQ(line->Third, c.Third);
    }
}

TEST(FileListTest, DirectoryHoldingTheMarkerIsReplacedOnce)
{
    std::optional<FileListLine> line = ParseFileListLine("File=$DIR$/a$DIR$, d", "/x/$DIR$");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->First, "/x/$DIR$/a/x/$DIR$");
}

TEST(FileListTest, PagesUsers)
{
    std::vector<std::string> names;
    for (int i = 1; i <= 250; ++i) {
        names.push_back(std::to_string(i));
    }
    UserPage page = PageOfUsers(names, 100, 100);
    ASSERT_EQ(page.Names.size(), 100u);
    EXPECT_EQ(page.Names.front(), "101");
    EXPECT_EQ(page.Names.back(), "200");
    EXPECT_TRUE(page.More);

    names.resize(200);
    page = PageOfUsers(names, 100, 100);
    EXPECT_EQ(page.Names.size(), 100u);
    EXPECT_FALSE(page.More);
}

} // namespace
} // namespace qm::admincgi
