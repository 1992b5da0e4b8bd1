#include "common/MimeTypeTable.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qm {
namespace {

// The entries of a table as (extension, type) pairs in order.
std::vector<std::pair<std::string, std::string>> EntriesOf(const MimeTypeTable& table)
{
    std::vector<std::pair<std::string, std::string>> entries;
    for (int i = 0; i < table.Entries().Count(); ++i) {
        entries.emplace_back(table.Entries().Item(i)->Name(), table.Entries().Item(i)->Value());
    }
    return entries;
}

TEST(MimeTypeTableTest, LooksUpBothWaysWithoutRegardToCase)
{
    test::TempDir dir;
    const std::string path = dir.WriteFile("MimeTypes.cfg", "text/html html htm\n"
                                                            "text/plain\ttxt  text\n"
                                                            "application/x-empty\n"
                                                            "text/x-other txt\n"
                                                            "image/jpeg jpg jpeg jpe\n");
    MimeTypeTable table;
    ASSERT_TRUE(table.Load(path.c_str()));
    // The first call after Load, for a type on the last line: still the first extension of that line.
    EXPECT_STREQ(table.ExtensionForType("IMAGE/JPEG"), "jpg");

    struct Case {
        const char* Extension;
        const char* Type;
    };

    const Case types[] = {{"JPG", "image/jpeg"},
                          {"jpe", "image/jpeg"},
                          {"Htm", "text/html"},
                          {"txt", "text/plain"},
                          {"text", "text/plain"},
                          {"application/x-empty", MimeTypeTable::kDefaultType},
                          {"exe", MimeTypeTable::kDefaultType},
                          {"", MimeTypeTable::kDefaultType},
                          {nullptr, MimeTypeTable::kDefaultType}};
    for (const Case& c : types) {
        SCOPED_TRACE(c.Extension == nullptr ? "(null)" : c.Extension);
        EXPECT_STREQ(table.TypeForExtension(c.Extension), c.Type);
    }
    const Case extensions[] = {{"html", "text/html"}, {"txt", "text/plain"}, {"txt", "TEXT/X-OTHER"},
                               {"jpg", "image/jpeg"}, {"att", "image/png"},  {"att", "application/x-empty"},
                               {"att", ""},           {"att", nullptr}};
    for (const Case& c : extensions) {
        SCOPED_TRACE(c.Type == nullptr ? "(null)" : c.Type);
        EXPECT_STREQ(table.ExtensionForType(c.Type), c.Extension);
    }
}

TEST(MimeTypeTableTest, MissingFileLeavesTheDefaults)
{
    test::TempDir dir;
    MimeTypeTable table;
    ASSERT_TRUE(table.Load(dir.WriteFile("first.cfg", "image/png png\n").c_str()));
    EXPECT_FALSE(table.Load(dir.PathOf("missing.cfg").c_str()));
    EXPECT_EQ(table.Entries().Count(), 0);
    EXPECT_STREQ(table.TypeForExtension("png"), "application/octet-stream");
    EXPECT_STREQ(table.ExtensionForType("image/png"), "att");
    EXPECT_FALSE(table.Load(nullptr));
}

TEST(MimeTypeTableTest, ReadsCrLfAndLfLinesAlike)
{
    test::TempDir dir;
    const std::string lines[] = {"text/html html htm", "", "  image/gif \t gif", "# format words", "audio/x-last au"};
    std::string lf;
    std::string crlf;
    for (const std::string& line : lines) {
        lf += line + "\n";
        crlf += line + "\r\n";
    }
    MimeTypeTable fromLf;
    MimeTypeTable fromCrLf;
    MimeTypeTable noFinalLineEnd;
    ASSERT_TRUE(fromLf.Load(dir.WriteFile("lf.cfg", lf).c_str()));
    ASSERT_TRUE(fromCrLf.Load(dir.WriteFile("crlf.cfg", crlf).c_str()));
    ASSERT_TRUE(noFinalLineEnd.Load(dir.WriteFile("last.cfg", lf.substr(0, lf.size() - 1)).c_str()));

    const std::vector<std::pair<std::string, std::string>> want = {{"html", "text/html"}, {"htm", "text/html"},
                                                                   {"gif", "image/gif"},  {"format", "#"},
                                                                   {"words", "#"},        {"au", "audio/x-last"}};
    EXPECT_EQ(EntriesOf(fromLf), want);
    EXPECT_EQ(EntriesOf(fromCrLf), want);
    EXPECT_EQ(EntriesOf(noFinalLineEnd), want);
}

TEST(MimeTypeTableTest, ReadsLongLinesInPiecesOf255Bytes)
{
    test::TempDir dir;
    // The first piece ends after the blank that follows the long word; the rest is read as a line of its own, so
    // its first word becomes a type.
    const std::string first = "type/one " + std::string(245, 'x') + " ";
    ASSERT_EQ(first.size(), 255u);
    MimeTypeTable table;
    ASSERT_TRUE(table.Load(dir.WriteFile("long.cfg", first + "type/two ext\n").c_str()));
    EXPECT_STREQ(table.TypeForExtension("ext"), "type/two");
    EXPECT_STREQ(table.TypeForExtension("type/two"), "application/octet-stream");
    // Extensions keep at most 59 characters, as every name of the list.
    EXPECT_STREQ(table.TypeForExtension(std::string(59, 'x').c_str()), "type/one");
}

TEST(MimeTypeTableTest, ReadsTheSystemMimeTypesFile)
{
    const char* path = "/etc/mime.types";
    ASSERT_TRUE(std::filesystem::exists(path)) << "install the media-types package (scripts/deps)";
    MimeTypeTable table;
    ASSERT_TRUE(table.Load(path));
    EXPECT_STREQ(table.TypeForExtension("JPG"), "image/jpeg");
    EXPECT_STREQ(table.ExtensionForType("image/jpeg"), "jpeg");
    EXPECT_STREQ(table.TypeForExtension("html"), "text/html");
    // The file's comment lines start with '#', which this format reads as a type.
    EXPECT_STREQ(table.TypeForExtension("format"), "#");
}

TEST(MimeTypeTableTest, ConcurrentLookUpsAgree)
{
    test::TempDir dir;
    std::string file;
    std::vector<std::pair<std::string, std::string>> known;
    for (int i = 0; i < 200; ++i) {
        const std::string type = "type/t" + std::to_string(i);
        const std::string ext = "e" + std::to_string(i);
        file += type + " " + ext + " " + ext + "b\n";
        known.emplace_back(ext, type);
    }
    MimeTypeTable table;
    ASSERT_TRUE(table.Load(dir.WriteFile("many.cfg", file).c_str()));

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&table, &known, &wrong, t] {
            for (int round = 0; round < 20; ++round) {
                for (std::size_t i = static_cast<std::size_t>(t); i < known.size(); i += 3) {
                    const auto& [ext, type] = known[i];
                    if (type != table.TypeForExtension(ext.c_str()) || ext != table.ExtensionForType(type.c_str()) ||
                        std::string(MimeTypeTable::kDefaultType) != table.TypeForExtension("none")) {
                        ++wrong;
                    }
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
} // namespace qm
