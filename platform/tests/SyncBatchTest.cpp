#include "platform/SyncBatch.h"

#include "platform/FileSystem.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <string>

namespace qm::platform {
namespace {

using qm::test::TempDir;

// The sync calls a flush makes: one data sync for the files whatever their number (none without files), one per
// distinct directory.
TEST(SyncBatchTest, SyncsAllFilesOnceAndEachDirectoryOnce)
{
    struct Case {
        int Files;
        int Directories; // named twice each
        int WantCalls;
    };

    for (const Case& c : {Case{0, 0, 0}, Case{1, 0, 1}, Case{1, 1, 2}, Case{5, 1, 2}, Case{40, 2, 3}}) {
        SCOPED_TRACE(std::to_string(c.Files) + " files, " + std::to_string(c.Directories) + " directories");
        TempDir dir("qm-syncbatch");
        SyncBatch batch;
        for (int i = 0; i < c.Files; ++i) {
            const std::string path = (dir.Path() / ("f" + std::to_string(i))).string();
            ASSERT_TRUE(batch.WriteFile(path, "data " + std::to_string(i)).has_value());
            EXPECT_EQ(ReadWholeFile(path).value_or(""), "data " + std::to_string(i));
        }
        for (int i = 0; i < c.Directories; ++i) {
            const std::string sub = (dir.Path() / ("d" + std::to_string(i))).string();
            ASSERT_TRUE(MakeDirectory(sub).has_value());
            batch.AddDirectory(sub);
            batch.AddDirectory(sub);
        }
        EXPECT_EQ(batch.FileCount(), static_cast<std::size_t>(c.Files));
        EXPECT_EQ(batch.DirectoryCount(), static_cast<std::size_t>(c.Directories));
        EXPECT_TRUE(batch.Flush().has_value());
        EXPECT_EQ(batch.SyncCalls(), c.WantCalls);
        EXPECT_EQ(batch.FileCount(), 0u);
        EXPECT_EQ(batch.DirectoryCount(), 0u);
        EXPECT_TRUE(batch.Flush().has_value());
        EXPECT_EQ(batch.SyncCalls(), c.WantCalls) << "a second flush has nothing to sync";
    }
}

TEST(SyncBatchTest, AddedStreamIsSyncedAfterItIsClosed)
{
    TempDir dir("qm-syncbatch");
    const std::string path = (dir.Path() / "stream").string();
    std::FILE* stream = OpenFileForWriting(path);
    ASSERT_NE(stream, nullptr);
    ASSERT_GE(std::fputs("buffered text", stream), 0);
    SyncBatch batch;
    ASSERT_TRUE(batch.AddStream(stream).has_value());
    ASSERT_EQ(std::fclose(stream), 0);
    EXPECT_EQ(ReadWholeFile(path).value_or(""), "buffered text") << "AddStream flushes the stream's buffer";
    EXPECT_TRUE(batch.SyncFiles().has_value());
    EXPECT_EQ(batch.SyncCalls(), 1);
}

TEST(SyncBatchTest, FailuresAreReported)
{
    TempDir dir("qm-syncbatch");
    SyncBatch batch;
    batch.AddDirectory((dir.Path() / "missing").string());
    EXPECT_FALSE(batch.SyncDirectories().has_value());
    EXPECT_EQ(batch.DirectoryCount(), 0u) << "forgotten also on failure";
    EXPECT_FALSE(batch.WriteFile((dir.Path() / "no-dir" / "file").string(), "x").has_value());
    EXPECT_EQ(batch.FileCount(), 0u);
    EXPECT_FALSE(batch.AddFile(-1).has_value());
}

} // namespace
} // namespace qm::platform
