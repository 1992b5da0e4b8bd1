#include "common/IniCache.h"

#include "common/IniAccess.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qm {
namespace {

using qm::test::TempDir;

// Rewrites path in place (same inode), as an editor or a script would.
void RewriteInPlace(const std::string& path, const std::string& bytes)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

struct timespec ModifiedTime(const std::string& path)
{
    struct stat st = {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return st.st_mtim;
}

void SetModifiedTime(const std::string& path, struct timespec when)
{
    const struct timespec times[2] = {when, when};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::int64_t ChangedNs(const std::string& path)
{
    struct stat st = {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
}

std::int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
}

// Waits until the file system's clock has moved on from path's last change, so that the next change of path is
// sure to get a later status-change time.
void WaitForLaterTick(const std::string& path)
{
    const std::int64_t changed = ChangedNs(path);
    ASSERT_TRUE(test::WaitUntil([&] { return NowNs() > changed + 100'000'000; }));
}

std::uint64_t FileReads()
{
    return GetIniCacheCounts().FileReads;
}

class IniCacheTest : public ::testing::Test {
protected:
    void SetUp() override { ClearIniCache(); }

    void TearDown() override
    {
        SetIniCacheSettleTime(kIniCacheSettleTime);
        SetIniScopeTrustTime(kIniScopeTrustTime);
        EnableIniFileCounts(false);
        ResetIniFileCounts();
        ClearIniCache();
    }

    std::string Value(const std::string& file) { return ReadIniStringFile("S", "k", "missing", file); }

    // Writes User.ini with k=aaa; settled, waits until an edit is sure to change its stamp (else an edit within the
    // same clock tick could keep every time stamp, which the settle time is there for).
    void FreshFile(bool settled)
    {
        m_dir.WriteFile("User.ini", "[S]\r\nk=aaa\r\n");
        if (settled) {
            WaitForLaterTick(m_ini);
        }
    }

    TempDir m_dir;
    std::string m_ini = m_dir.PathOf("User.ini");
};

// Edits by other writers right after a read (within the same clock tick as the version read): the file changed
// so recently that the cached copy is not trusted.
TEST_F(IniCacheTest, SeesAForeignEditAtTheNextRead)
{
    struct Case {
        const char* Name;
        void (*Edit)(const std::string& path, const std::string& bytes);
    };

    const Case cases[] = {
            {"rewritten in place",
             [](const std::string& path, const std::string& bytes) {
                 RewriteInPlace(path, bytes);
             }},
            {"rewritten in place, modification time restored",
             [](const std::string& path, const std::string& bytes) {
                 const struct timespec before = ModifiedTime(path);
                 RewriteInPlace(path, bytes);
                 SetModifiedTime(path, before);
             }},
            {"replaced by a rename",
             [](const std::string& path, const std::string& bytes) {
                 const std::string temp = path + ".new";
                 test::WriteBytes(temp, bytes);
                 std::filesystem::rename(temp, path);
             }},
    };
    // However loaded the machine, every read below comes within the settle time of the last change.
    SetIniCacheSettleTime(std::chrono::hours(1));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        m_dir.WriteFile("User.ini", "[S]\r\nk=aaa\r\n");
        const std::uint64_t reads = FileReads();
        ASSERT_EQ(Value(m_ini), "aaa");
        ASSERT_EQ(Value(m_ini), "aaa");
        // Where the file system's clock ticks coarsely, the edit below would keep every time stamp; so a file this
        // fresh is read at each use.
        EXPECT_EQ(FileReads(), reads + 2);
        c.Edit(m_ini, "[S]\r\nk=bbb\r\n"); // the same size
        EXPECT_EQ(Value(m_ini), "bbb");
        EXPECT_EQ(Value(m_ini), "bbb");
    }
    std::filesystem::remove(m_ini);
    EXPECT_EQ(Value(m_ini), "missing");
}

// A file last changed longer ago than the settle time is read once and then served from the cache; an edit that
// keeps the size and the modification time (nanoseconds included) is still seen, by its status-change time.
TEST_F(IniCacheTest, ReadsASettledFileOnceAndSeesAnEditThatKeepsSizeAndModificationTime)
{
    SetIniCacheSettleTime(std::chrono::nanoseconds(0));
    m_dir.WriteFile("User.ini", "[S]\r\nk=aaa\r\n");
    SetModifiedTime(m_ini, {1'500'000'000, 123'456'789});
    WaitForLaterTick(m_ini);

    ASSERT_EQ(Value(m_ini), "aaa");
    const std::uint64_t reads = FileReads();
    EXPECT_EQ(Value(m_ini), "aaa");
    EXPECT_EQ(ReadIniIntFile("S", "none", 7, m_ini), 7);
    EXPECT_EQ(FileReads(), reads) << "an unchanged settled file is not read again";

    RewriteInPlace(m_ini, "[S]\r\nk=bbb\r\n");
    SetModifiedTime(m_ini, {1'500'000'000, 123'456'789});
    EXPECT_EQ(Value(m_ini), "bbb");
}

// A write through the INI functions is seen by the very next read, however many fall within one clock tick, and
// the version it left is kept (no read of the file per use after it).
TEST_F(IniCacheTest, SeesOwnWritesAtOnce)
{
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(WriteIniIntFile("S", "n", i, m_ini));
        ASSERT_EQ(ReadIniIntFile("S", "n", -1, m_ini), i);
    }
    const std::uint64_t reads = FileReads();
    EXPECT_EQ(ReadIniIntFile("S", "n", -1, m_ini), 49);
    EXPECT_EQ(FileReads(), reads);
}

// A write through the INI functions keeps the version it left without reading the file, even one written within
// the settle time; a later change by anyone else is still seen at once.
TEST_F(IniCacheTest, KeepsTheVersionItsOwnWriteLeftWithoutReadingIt)
{
    ASSERT_TRUE(WriteIniStringFile("Stats", "LastAccess", "1", m_ini));
    ASSERT_EQ(ReadIniStringFile("Stats", "LastAccess", "missing", m_ini), "1");
    for (const char* value : {"2", "3"}) {
        SCOPED_TRACE(value);
        const std::uint64_t reads = FileReads();
        ASSERT_TRUE(WriteIniStringFile("Stats", "LastAccess", value, m_ini));
        EXPECT_EQ(ReadIniStringFile("Stats", "LastAccess", "missing", m_ini), value);
        EXPECT_EQ(ReadIniStringFile("Stats", "LastAccess", "missing", m_ini), value);
        EXPECT_EQ(FileReads(), reads) << "the written version was read back";
    }
    RewriteInPlace(m_ini, "[Stats]\r\nLastAccess=edited\r\n");
    EXPECT_EQ(ReadIniStringFile("Stats", "LastAccess", "missing", m_ini), "edited");
    ASSERT_TRUE(platform::IniWrite(m_ini, "Stats", "LastAccess", "other"));
    EXPECT_EQ(ReadIniStringFile("Stats", "LastAccess", "missing", m_ini), "other");
}

TEST_F(IniCacheTest, SeesDeletionsAndWritesThatBypassTheCacheAtOnce)
{
    ASSERT_TRUE(WriteIniIntFile("S", "n", 1, m_ini));
    ASSERT_EQ(ReadIniIntFile("S", "n", -1, m_ini), 1);
    ASSERT_TRUE(WriteIniStringFile("S", "n", nullptr, m_ini.c_str()));
    EXPECT_EQ(ReadIniIntFile("S", "n", -1, m_ini), -1);
    ASSERT_TRUE(WriteIniStringFile("S", "n", "5", m_ini.c_str()));
    ASSERT_TRUE(WriteIniStringFile("S", nullptr, nullptr, m_ini.c_str()));
    EXPECT_EQ(ReadIniIntFile("S", "n", -1, m_ini), -1);

    // A write of another process, or one straight through the INI layer, replaces the file: the kept copy does not
    // hide it.
    ASSERT_TRUE(platform::IniWrite(m_ini, "S", "n", "9"));
    EXPECT_EQ(ReadIniIntFile("S", "n", -1, m_ini), 9);
}

// Files with a format of their own are kept as text under the same rules.
TEST_F(IniCacheTest, KeepsTextsUntilTheFileChanges)
{
    SetIniCacheSettleTime(std::chrono::nanoseconds(0));
    const std::string languages = m_dir.WriteFile("Languages.ini", "[en]\n001=English\n");
    WaitForLaterTick(languages);
    ASSERT_EQ(*LoadTextCached(languages), "[en]\n001=English\n");
    const std::uint64_t reads = FileReads();
    EXPECT_EQ(*LoadTextCached(languages), "[en]\n001=English\n");
    EXPECT_EQ(FileReads(), reads);

    RewriteInPlace(languages, "[en]\n001=Engl1sh\n");
    EXPECT_EQ(*LoadTextCached(languages), "[en]\n001=Engl1sh\n");
    std::filesystem::remove(languages);
    EXPECT_EQ(*LoadTextCached(languages), "");
}

TEST_F(IniCacheTest, KeepsAtMostTheCapOfFilesAndNoLargeFile)
{
    SetIniCacheSettleTime(std::chrono::nanoseconds(0));
    const std::size_t files = kIniCacheMaxFiles + 20;
    for (std::size_t i = 0; i < files; ++i) {
        m_dir.WriteFile("u" + std::to_string(i) + ".ini", "[S]\r\nk=" + std::to_string(i) + "\r\n");
    }
    WaitForLaterTick(m_dir.PathOf("u" + std::to_string(files - 1) + ".ini"));
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t i = 0; i < files; ++i) {
            ASSERT_EQ(Value(m_dir.PathOf("u" + std::to_string(i) + ".ini")), std::to_string(i));
        }
        EXPECT_EQ(GetIniCacheCounts().KeptFiles, kIniCacheMaxFiles);
    }

    // A file past the size cap is read correctly at each use, and not kept.
    ClearIniCache();
    const std::string big =
            m_dir.WriteFile("big.ini", "[S]\r\nk=big\r\n;" + std::string(kIniCacheMaxFileSize, 'x') + "\r\n");
    WaitForLaterTick(big);
    const std::uint64_t reads = FileReads();
    EXPECT_EQ(Value(big), "big");
    EXPECT_EQ(Value(big), "big");
    EXPECT_EQ(FileReads(), reads + 2);
    EXPECT_EQ(GetIniCacheCounts().KeptFiles, 0u);
}

// Inside a scope each file is checked once, and a write of this process (from any thread) is seen at the next use.
TEST_F(IniCacheTest, AScopeChecksEachFileOnceAndSeesTheWritesOfThisProcess)
{
    EnableIniFileCounts(true);
    const std::string other = m_dir.WriteFile("Domains.Ini", "[D]\r\nx=1\r\n");
    m_dir.WriteFile("User.ini", "[S]\r\nk=aaa\r\n");
    {
        const IniReadScope scope;
        for (int i = 0; i < 5; ++i) {
            ASSERT_EQ(Value(m_ini), "aaa");
            ASSERT_EQ(ReadIniIntFile("D", "x", 0, other), 1);
        }
        EXPECT_EQ(GetIniFileCounts(m_ini).StampChecks, 1u);
        EXPECT_EQ(GetIniFileCounts(other).StampChecks, 1u);

        ASSERT_TRUE(WriteIniStringFile("S", "k", "bbb", m_ini));
        EXPECT_EQ(Value(m_ini), "bbb");
        std::thread([&] { ASSERT_TRUE(WriteIniStringFile("S", "k", "ccc", m_ini)); }).join();
        EXPECT_EQ(Value(m_ini), "ccc");
        {
            const IniReadScope inner; // changes nothing
            EXPECT_EQ(Value(m_ini), "ccc");
        }
        EXPECT_EQ(Value(m_ini), "ccc");
        // The first use, the first use after each write, and the other thread's (unscoped) use for its write.
        EXPECT_EQ(GetIniFileCounts(m_ini).StampChecks, 4u);
    }
    // Without a scope every use checks.
    const std::uint64_t checks = GetIniFileCounts(m_ini).StampChecks;
    EXPECT_EQ(Value(m_ini), "ccc");
    EXPECT_EQ(Value(m_ini), "ccc");
    EXPECT_EQ(GetIniFileCounts(m_ini).StampChecks, checks + 2);
}

// An edit by another process, and what the file reads as after it.
struct ForeignEdit {
    const char* Name;
    void (*Edit)(const std::string& path);
    const char* After;
};

// Edits by other processes during a scope: the scope keeps the version it checked, the next scope sees the edit,
// however little it changed the stamp; and a scope older than its trust time checks again.
TEST_F(IniCacheTest, AnEditDuringAScopeIsSeenByTheNextScope)
{
    const ForeignEdit edits[] = {
            {"rewritten in place with the same size, modification time restored",
             [](const std::string& path) {
                 const struct timespec before = ModifiedTime(path);
                 RewriteInPlace(path, "[S]\r\nk=bbb\r\n");
                 SetModifiedTime(path, before);
             },
             "bbb"},
            {"replaced by a rename",
             [](const std::string& path) {
                 test::WriteBytes(path + ".new", "[S]\r\nk=ccc\r\n");
                 std::filesystem::rename(path + ".new", path);
             },
             "ccc"},
            {"deleted", [](const std::string& path) { std::filesystem::remove(path); }, "missing"},
    };
    // Settled: the version is kept in the cache and trusted by its stamp; otherwise it is read at every check.
    for (const bool settled : {false, true}) {
        SetIniCacheSettleTime(settled ? std::chrono::nanoseconds(0) : std::chrono::hours(1));
        for (const ForeignEdit& edit : edits) {
            SCOPED_TRACE(std::string(edit.Name) + (settled ? ", settled" : ", fresh"));
            ClearIniCache();
            FreshFile(settled);
            {
                const IniReadScope scope;
                ASSERT_EQ(Value(m_ini), "aaa");
                edit.Edit(m_ini);
                EXPECT_EQ(Value(m_ini), "aaa") << "one version for the whole scope";
            }
            {
                const IniReadScope scope;
                EXPECT_EQ(Value(m_ini), edit.After);
            }
            FreshFile(settled);
            SetIniScopeTrustTime(std::chrono::nanoseconds(0));
            {
                const IniReadScope scope;
                ASSERT_EQ(Value(m_ini), "aaa");
                edit.Edit(m_ini);
                EXPECT_EQ(Value(m_ini), edit.After) << "a check older than the trust time is made again";
            }
            SetIniScopeTrustTime(kIniScopeTrustTime);
        }
    }
}

// A write that would leave the file as it is does not touch it; several changes go in one rewrite.
TEST_F(IniCacheTest, WritesOnlyWhatChangesTheFileAndBatchesInOneRewrite)
{
    EnableIniFileCounts(true);
    ASSERT_TRUE(WriteIniIntFile("S", "n", 1, m_ini));
    struct stat before = {};
    ASSERT_EQ(::stat(m_ini.c_str(), &before), 0);
    const std::uint64_t writes = GetIniFileCounts(m_ini).Writes;
    EXPECT_TRUE(WriteIniIntFile("S", "n", 1, m_ini));
    EXPECT_TRUE(WriteIniStringFile("S", "gone", nullptr, m_ini.c_str()));
    EXPECT_TRUE(WriteIniStringFile("Nothing", nullptr, nullptr, m_ini.c_str()));
    EXPECT_EQ(GetIniFileCounts(m_ini).Writes, writes);
    struct stat after = {};
    ASSERT_EQ(::stat(m_ini.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the file was replaced";

    const platform::IniChange changes[] = {
            {"S", "n", std::string("2")},
            {"Stats", "MessageCount", std::string("5")},
            {"Stats", "DiskSpace", std::string("7")},
    };
    ASSERT_TRUE(WriteIniChangesFile(m_ini, changes));
    EXPECT_EQ(GetIniFileCounts(m_ini).Writes, writes + 1);
    EXPECT_EQ(ReadIniIntFile("S", "n", 0, m_ini), 2);
    EXPECT_EQ(ReadIniIntFile("Stats", "MessageCount", 0, m_ini), 5);
    EXPECT_EQ(ReadIniIntFile("Stats", "DiskSpace", 0, m_ini), 7);

    // A change that cannot be written refuses the whole batch.
    const platform::IniChange refused[] = {
            {"S", "n", std::string("3")},
            {"S", "bad", std::string("a\r\n[x]")},
    };
    EXPECT_FALSE(WriteIniChangesFile(m_ini, refused));
    EXPECT_EQ(ReadIniIntFile("S", "n", 0, m_ini), 2);
    EXPECT_EQ(GetIniFileCounts(m_ini).Writes, writes + 1);
}

// Readers on several threads while a writer counts up: no reader ever sees a value go back, and all see the last.
TEST_F(IniCacheTest, ConcurrentReadersAndAWriter)
{
    SetIniCacheSettleTime(std::chrono::nanoseconds(0));
    const std::string other = m_dir.WriteFile("Domains.Ini", "[D]\r\nx=1\r\n");
    constexpr int kLast = 200;
    ASSERT_TRUE(WriteIniIntFile("S", "n", 0, m_ini));
    std::atomic<bool> failed{false};
    const auto deadline = test::TestClock::now() + test::kPatience;
    constexpr int kReaders = 4;
    std::vector<std::thread> readers;
    readers.reserve(kReaders);
    for (int t = 0; t < kReaders; ++t) {
        readers.emplace_back([&] {
            int seen = 0;
            while (seen < kLast && test::TestClock::now() < deadline) {
                const int now = ReadIniIntFile("S", "n", -1, m_ini);
                if (now < seen || ReadIniIntFile("D", "x", 0, other) != 1) {
                    failed = true;
                    return;
                }
                seen = now;
            }
            failed = failed || seen != kLast;
        });
    }
    bool written = true;
    for (int i = 1; i <= kLast && written; ++i) {
        written = WriteIniIntFile("S", "n", i, m_ini);
    }
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_TRUE(written);
    EXPECT_FALSE(failed);
}

// Readers in scopes of their own (as requests are) while a writer of this process counts up: within a scope and
// across scopes no value goes back, each scope sees the writes, and all readers see the last value.
TEST_F(IniCacheTest, ConcurrentScopedReadersAndAWriter)
{
    SetIniCacheSettleTime(std::chrono::nanoseconds(0));
    const std::string other = m_dir.WriteFile("Domains.Ini", "[D]\r\nx=1\r\n");
    constexpr int kLast = 200;
    ASSERT_TRUE(WriteIniIntFile("S", "n", 0, m_ini));
    std::atomic<bool> failed{false};
    const auto deadline = test::TestClock::now() + test::kPatience;
    constexpr int kReaders = 4;
    std::vector<std::thread> readers;
    readers.reserve(kReaders);
    for (int t = 0; t < kReaders; ++t) {
        readers.emplace_back([&] {
            int seen = 0;
            while (seen < kLast && test::TestClock::now() < deadline) {
                const IniReadScope scope;
                for (int i = 0; i < 3; ++i) {
                    const int now = ReadIniIntFile("S", "n", -1, m_ini);
                    if (now < seen || ReadIniIntFile("D", "x", 0, other) != 1) {
                        failed = true;
                        return;
                    }
                    seen = now;
                }
            }
            failed = failed || seen != kLast;
        });
    }
    bool written = true;
    for (int i = 1; i <= kLast && written; ++i) {
        written = WriteIniIntFile("S", "n", i, m_ini);
    }
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_TRUE(written);
    EXPECT_FALSE(failed);
}

} // namespace
} // namespace qm
