#include "platform/FileSystem.h"

#include "platform/FdUtil.h"
#include "testsupport/ScopedUmask.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
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

void MakeDir(const std::string& path)
{
    ASSERT_EQ(mkdir(path.c_str(), 0777), 0) << path;
}

void MakeLink(const std::string& target, const std::string& link)
{
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;
}

bool Exists(const std::string& path)
{
    struct stat st = {};
    return lstat(path.c_str(), &st) == 0;
}

// Every name in dir, hidden ones included.
std::vector<std::string> AllNames(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A user directory with a file, a nested folder, a hidden file, a '.' directory and links that lead outside.
struct TreeFixture {
    TempDir Root;
    std::string User = Root / "user";
    std::string Outside = Root / "outside";

    TreeFixture()
    {
        MakeDir(User);
        MakeDir(Outside);
        WriteBytes(Outside + "/keep.txt", "outside data");
        WriteBytes(User + "/User.ini", "12345"); // 5
        MakeDir(User + "/Inbox");
        MakeDir(User + "/Inbox/Sub");
        WriteBytes(User + "/Inbox/QM000001.msg", "1234567890"); // 10
        WriteBytes(User + "/Inbox/Sub/QM000002.msg", "123");    // 3
        WriteBytes(User + "/.hidden", "12");                    // 2: a hidden file counts and is deleted
        MakeDir(User + "/.cache");
        WriteBytes(User + "/.cache/big", std::string(1000, 'c')); // a '.' directory is not entered
        MakeLink(Outside, User + "/linkdir");
        MakeLink(Outside + "/keep.txt", User + "/linkfile");
    }
};

TEST(FileSystemTest, ListingSkipsHiddenNamesAndReportsLinksAsLinks)
{
    TreeFixture t;
    WriteBytes(t.User + "/B.MSG", "x");
    auto listed = ListDirectory(t.User);
    ASSERT_TRUE(listed) << listed.error().Message;
    std::vector<std::string> names;
    for (const DirEntry& e : *listed) {
        names.push_back(e.Name);
        EntryType want = e.Name == "Inbox"                               ? EntryType::Directory
                         : (e.Name == "linkdir" || e.Name == "linkfile") ? EntryType::Symlink
                                                                         : EntryType::File;
        EXPECT_EQ(static_cast<int>(e.Type), static_cast<int>(want)) << e.Name;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"B.MSG", "Inbox", "linkdir", "linkfile", "User.ini"}));

    auto msgs = ListDirectory(t.User + "/Inbox", "*.MSG");
    ASSERT_TRUE(msgs);
    ASSERT_EQ(msgs->size(), 1u);
    EXPECT_EQ((*msgs)[0].Name, "QM000001.msg");

    auto missing = ListDirectory(t.Root / "missing");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().Code, ENOENT);
}

TEST(FileSystemTest, SubdirectoryListingHasOnlyDirectoriesNeverLinksOrHiddenOnes)
{
    TreeFixture t;
    MakeDir(t.User + "/archive");
    auto listed = ListSubdirectories(t.User);
    ASSERT_TRUE(listed) << listed.error().Message;
    std::vector<std::string> names;
    for (const DirEntry& e : *listed) {
        names.push_back(e.Name);
        EXPECT_EQ(static_cast<int>(e.Type), static_cast<int>(EntryType::Directory)) << e.Name;
    }
    // "linkdir" points to a directory and ".cache" is hidden: neither is listed.
    EXPECT_EQ(names, (std::vector<std::string>{"archive", "Inbox"}));
    EXPECT_FALSE(ListSubdirectories(t.Root / "missing"));
}

TEST(FileSystemTest, ReportsExistenceSizesAndTimes)
{
    TempDir dir;
    WriteBytes(dir / "f", "hello");
    MakeLink(dir / "gone", dir / "dangling");

    EXPECT_TRUE(PathExists(dir / "f"));
    EXPECT_TRUE(PathExists(dir.Path()));
    EXPECT_FALSE(PathExists(dir / "dangling"));
    EXPECT_FALSE(PathExists(""));
    EXPECT_TRUE(IsDirectory(dir.Path()));
    EXPECT_FALSE(IsDirectory(dir / "f"));
    EXPECT_TRUE(IsRegularFile(dir / "f"));

    EXPECT_EQ(FileSize(dir / "f").value_or(99), 5u);
    EXPECT_FALSE(FileSize(dir / "missing"));
    EXPECT_FALSE(FileSize(dir.Path()));

    const struct timespec times[2] = {{1000000000, 5}, {1234567890, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "f").c_str(), times, 0), 0);
    auto t = GetFileTimes(dir / "f");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->Modified.Seconds, 1234567890);
    EXPECT_EQ(t->Modified.Nanoseconds, 123456789);
    EXPECT_EQ(t->Accessed.Seconds, 1000000000);
    EXPECT_FALSE(GetFileTimes(dir / "missing"));
}

TEST(FileSystemTest, SizesBeyondFourGigabytesAreExact)
{
    TempDir dir;
    const std::uint64_t big = (5ull << 30) + 7; // sparse: takes no real space
    WriteBytes(dir / "big", "");
    ASSERT_EQ(truncate((dir / "big").c_str(), static_cast<off_t>(big)), 0);
    WriteBytes(dir / "small", "abc");
    EXPECT_EQ(FileSize(dir / "big").value_or(0), big);
    EXPECT_EQ(DirectoryTreeSize(dir.Path()), big + 3);
}

TEST(FileSystemTest, CreateNewFileNeverOpensWhatExists)
{
    TempDir dir;
    ASSERT_TRUE(CreateNewFile(dir / "a", "first"));
    auto again = CreateNewFile(dir / "a", "second");
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().Code, EEXIST);
    EXPECT_EQ(ReadBytes(dir / "a"), "first");

    // A link planted at the name is not followed to create its target.
    MakeLink(dir / "target", dir / "planted");
    auto planted = CreateNewFile(dir / "planted", "x");
    ASSERT_FALSE(planted);
    EXPECT_EQ(planted.error().Code, EEXIST);
    EXPECT_FALSE(Exists(dir / "target"));
}

TEST(FileSystemTest, ReadsWholeFilesWithinALimit)
{
    TempDir dir;
    std::string bytes("a\0b\r\nc\xff", 7);
    WriteBytes(dir / "f", bytes);
    auto read = ReadWholeFile(dir / "f");
    ASSERT_TRUE(read);
    EXPECT_EQ(*read, bytes);
    auto limited = ReadWholeFile(dir / "f", 6);
    ASSERT_FALSE(limited);
    EXPECT_EQ(limited.error().Code, EFBIG);
    EXPECT_TRUE(ReadWholeFile(dir / "f", 7));
    EXPECT_FALSE(ReadWholeFile(dir / "missing"));
}

TEST(FileSystemTest, NewFilesBelongToTheOwnerAloneWhateverTheUmask)
{
    // They may hold passwords (User.ini, Quillmail.ini, Domains.Ini) or what users typed (logs).
    for (const mode_t mask : {mode_t{022}, mode_t{0}, mode_t{077}, mode_t{0277}}) {
        SCOPED_TRACE("umask 0" + std::to_string(mask));
        TempDir dir;
        test::ScopedUmask scoped(mask);
        ASSERT_TRUE(WriteFileAtomic(dir / "User.ini", "Password=x"));
        EXPECT_EQ(test::ModeOf((dir / "User.ini").c_str()), 0600U);
        ASSERT_TRUE(CreateNewFile(dir / "new.ini", "x"));
        EXPECT_EQ(test::ModeOf((dir / "new.ini").c_str()), 0600U);
        auto temp = CreateSiblingTemp(dir / "Domains.Ini");
        ASSERT_TRUE(temp);
        EXPECT_EQ(test::ModeOf(temp->Path.c_str()), 0600U) << "from the first byte";
        std::FILE* log = OpenFileForAppend(dir / "Quillmail.log");
        ASSERT_NE(log, nullptr);
        std::fclose(log);
        EXPECT_EQ(test::ModeOf((dir / "Quillmail.log").c_str()), 0600U);
        if ((mask & 0200) == 0) {
            ASSERT_TRUE(WriteFileSynced(dir / "synced.ini", "x"));
            EXPECT_EQ(test::ModeOf((dir / "synced.ini").c_str()), 0600U);
        }
    }
}

TEST(FileSystemTest, AppendingKeepsAnExistingFileAndItsMode)
{
    TempDir dir;
    WriteBytes(dir / "Quillmail.log", "one\n");
    ASSERT_EQ(chmod((dir / "Quillmail.log").c_str(), 0640), 0);
    std::FILE* log = OpenFileForAppend(dir / "Quillmail.log");
    ASSERT_NE(log, nullptr);
    std::fputs("two\n", log);
    std::fclose(log);
    EXPECT_EQ(ReadBytes(dir / "Quillmail.log"), "one\ntwo\n");
    EXPECT_EQ(test::ModeOf((dir / "Quillmail.log").c_str()), 0640U);
    EXPECT_EQ(OpenFileForAppend(dir / "missing/x.log"), nullptr);
}

TEST(FileSystemTest, AtomicWriteReplacesWholeKeepsModeAndLeavesNoTemporaryFile)
{
    TempDir dir;
    ASSERT_TRUE(WriteFileAtomic(dir / "User.ini", "old"));
    ASSERT_EQ(chmod((dir / "User.ini").c_str(), 0640), 0);
    ASSERT_TRUE(WriteFileAtomic(dir / "User.ini", "new contents"));
    EXPECT_EQ(ReadBytes(dir / "User.ini"), "new contents");

    struct stat st = {};
    ASSERT_EQ(stat((dir / "User.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(AllNames(dir.Path()), std::vector<std::string>{"User.ini"});

    EXPECT_FALSE(WriteFileAtomic(dir / "missing/User.ini", "x"));
    EXPECT_EQ(AllNames(dir.Path()), std::vector<std::string>{"User.ini"});
}

TEST(FileSystemTest, SyncedWriteLinkAndReplaceKeepABackupAndSwapInOneStep)
{
    TempDir dir;
    ASSERT_TRUE(WriteFileSynced(dir / "a.ini", "old"));
    ASSERT_TRUE(WriteFileSynced(dir / "a.new", "longer new text"));
    ASSERT_TRUE(WriteFileSynced(dir / "a.new", "new")); // truncates what was there
    ASSERT_TRUE(LinkFile(dir / "a.ini", dir / "a.bak"));
    EXPECT_TRUE(SameFile(dir / "a.ini", dir / "a.bak"));
    EXPECT_FALSE(SameFile(dir / "a.ini", dir / "a.new"));
    EXPECT_FALSE(SameFile(dir / "a.ini", dir / "missing"));
    auto twice = LinkFile(dir / "a.ini", dir / "a.bak");
    ASSERT_FALSE(twice);
    EXPECT_EQ(twice.error().Code, EEXIST);
    ASSERT_TRUE(ReplaceFile(dir / "a.new", dir / "a.ini"));
    EXPECT_EQ(ReadBytes(dir / "a.ini"), "new");
    EXPECT_EQ(ReadBytes(dir / "a.bak"), "old");
    EXPECT_EQ(AllNames(dir.Path()), (std::vector<std::string>{"a.bak", "a.ini"}));

    EXPECT_FALSE(WriteFileSynced(dir / "missing/a.new", "x"));
    EXPECT_FALSE(ReplaceFile(dir / "missing.new", dir / "a.ini"));
    EXPECT_EQ(ReadBytes(dir / "a.ini"), "new");
}

TEST(FileSystemTest, CopyOverwritesOnlyWhenAsked)
{
    TempDir dir;
    WriteBytes(dir / "src", "source");
    WriteBytes(dir / "dst", "old");
    const struct timespec times[2] = {{1000000000, 0}, {1100000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "src").c_str(), times, 0), 0);

    auto refused = CopyFile(dir / "src", dir / "dst", CopyMode::NoReplace);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().Code, EEXIST);
    EXPECT_EQ(ReadBytes(dir / "dst"), "old");

    ASSERT_TRUE(CopyFile(dir / "src", dir / "dst", CopyMode::Overwrite));
    EXPECT_EQ(ReadBytes(dir / "dst"), "source");
    ASSERT_TRUE(CopyFile(dir / "src", dir / "new", CopyMode::NoReplace));
    EXPECT_EQ(ReadBytes(dir / "new"), "source");
    EXPECT_EQ(GetFileTimes(dir / "new")->Modified.Seconds, 1100000000);

    MakeDir(dir / "sub");
    EXPECT_FALSE(CopyFile(dir / "sub", dir / "sub2", CopyMode::NoReplace));
    EXPECT_FALSE(Exists(dir / "sub2"));
    EXPECT_FALSE(CopyFile(dir / "missing", dir / "x", CopyMode::Overwrite));
    EXPECT_EQ(AllNames(dir.Path()), (std::vector<std::string>{"dst", "new", "src", "sub"}));
}

TEST(FileSystemTest, MoveNeverReplacesAnExistingFile)
{
    TempDir dir;
    WriteBytes(dir / "QM000001.msg", "message one");
    WriteBytes(dir / "QM000002.msg", "message two");

    auto refused = MoveNoReplace(dir / "QM000001.msg", dir / "QM000002.msg");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().Code, EEXIST);
    EXPECT_EQ(ReadBytes(dir / "QM000001.msg"), "message one");
    EXPECT_EQ(ReadBytes(dir / "QM000002.msg"), "message two");

    ASSERT_TRUE(MoveNoReplace(dir / "QM000001.msg", dir / "QM000003.msg"));
    EXPECT_FALSE(Exists(dir / "QM000001.msg"));
    EXPECT_EQ(ReadBytes(dir / "QM000003.msg"), "message one");

    // Directories move too, and an empty directory at the target is not replaced either.
    MakeDir(dir / "Work");
    WriteBytes(dir / "Work/x", "x");
    MakeDir(dir / "Old");
    EXPECT_FALSE(MoveNoReplace(dir / "Work", dir / "Old"));
    EXPECT_EQ(ReadBytes(dir / "Work/x"), "x");
    ASSERT_TRUE(MoveNoReplace(dir / "Work", dir / "Archive"));
    EXPECT_EQ(ReadBytes(dir / "Archive/x"), "x");

    EXPECT_FALSE(MoveNoReplace(dir / "missing", dir / "other"));
}

TEST(FileSystemTest, MoveAcrossFileSystemsCopiesAndRemovesTheOriginal)
{
    TempDir here;
    const char* shm = "/dev/shm";

    struct stat a = {};
    struct stat b = {};
    if (stat(shm, &a) != 0 || stat(here.Path().c_str(), &b) != 0 || a.st_dev == b.st_dev) {
        GTEST_SKIP() << "no second file system to move to";
    }
    std::string pattern = std::string(shm) + "/qmtest.XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    std::string there = pattern;

    WriteBytes(here / "msg", "payload");
    WriteBytes(there + "/taken", "keep");
    auto refused = MoveNoReplace(here / "msg", there + "/taken");
    EXPECT_FALSE(refused);
    EXPECT_EQ(ReadBytes(there + "/taken"), "keep");
    EXPECT_EQ(ReadBytes(here / "msg"), "payload");

    auto moved = MoveNoReplace(here / "msg", there + "/msg");
    EXPECT_TRUE(moved) << (moved ? "" : moved.error().Message);
    EXPECT_EQ(ReadBytes(there + "/msg"), "payload");
    EXPECT_FALSE(Exists(here / "msg"));
    std::filesystem::remove_all(there);
}

TEST(FileSystemTest, MakesDirectoriesWithParents)
{
    TempDir dir;
    ASSERT_TRUE(MakeDirectories(dir / "a/b/c/"));
    EXPECT_TRUE(IsDirectory(dir / "a/b/c"));
    EXPECT_TRUE(MakeDirectories(dir / "a/b/c"));
    auto exists = MakeDirectory(dir / "a/b");
    ASSERT_FALSE(exists);
    EXPECT_EQ(exists.error().Code, EEXIST);
    ASSERT_TRUE(MakeDirectory(dir / "a/d"));
    WriteBytes(dir / "file", "x");
    EXPECT_FALSE(MakeDirectories(dir / "file/sub"));

    EXPECT_FALSE(RemoveDirectory(dir / "a/b")); // not empty
    ASSERT_TRUE(RemoveDirectory(dir / "a/d"));
    ASSERT_TRUE(RemoveFile(dir / "file"));
    EXPECT_FALSE(RemoveFile(dir / "a"));
}

TEST(FileSystemTest, TreeSizeCountsFilesAndNeverFollowsLinks)
{
    TreeFixture t;
    // 5 + 10 + 3 + 2: not the '.cache' directory, not the linked directory or file.
    EXPECT_EQ(DirectoryTreeSize(t.User), 20u);
    EXPECT_EQ(DirectoryTreeSize(t.Root / "missing"), 0u);
    EXPECT_EQ(DirectoryTreeSize(""), 0u);
}

TEST(FileSystemTest, EmptyDirectoryKeepsDotDirectoriesAndNeverFollowsLinks)
{
    TreeFixture t;
    EXPECT_TRUE(EmptyDirectory(t.User));
    EXPECT_EQ(AllNames(t.User), std::vector<std::string>{".cache"});
    EXPECT_EQ(ReadBytes(t.User + "/.cache/big"), std::string(1000, 'c'));
    EXPECT_EQ(ReadBytes(t.Outside + "/keep.txt"), "outside data");
    EXPECT_EQ(AllNames(t.Outside), std::vector<std::string>{"keep.txt"});

    ASSERT_TRUE(std::filesystem::remove_all(t.User + "/.cache"));
    WriteBytes(t.User + "/a", "a");
    EXPECT_TRUE(EmptyDirectory(" " + t.User + "\t"));
    EXPECT_TRUE(AllNames(t.User).empty());
}

TEST(FileSystemTest, EmptyDirectoryOfABlankNameDoesNothing)
{
    TempDir dir;
    WriteBytes(dir / "keep", "x");
    std::string saved = std::filesystem::current_path();
    ASSERT_EQ(chdir(dir.Path().c_str()), 0);
    bool blank = EmptyDirectory("  ");
    bool empty = EmptyDirectory("");
    bool deleted = DeleteDirectoryTree("  ");
    ASSERT_EQ(chdir(saved.c_str()), 0);
    EXPECT_FALSE(blank);
    EXPECT_FALSE(empty);
    EXPECT_FALSE(deleted);
    EXPECT_EQ(ReadBytes(dir / "keep"), "x");
}

TEST(FileSystemTest, NeverEmptiesTheRootDirectory)
{
    // The root is tried inside a chroot, so that a failure could only ever touch the test's own directory.
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to chroot";
    }
    TempDir jail;
    WriteBytes(jail / "file", "x");
    MakeDir(jail / "dir");
    MakeLink("/", jail / "rootlink");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chroot(jail.Path().c_str()) != 0 || chdir("/") != 0) {
            _exit(2);
        }
        int refused = 0;
        for (const char* root : {"/", "//", " / ", "/..", "/./", "/dir/..", "/rootlink/"}) {
            refused += EmptyDirectory(root) ? 0 : 1;
            refused += DeleteDirectoryTree(root) ? 0 : 1;
        }
        // A link to the root is followed by EmptyDirectory (a configured directory may be a link), and refused.
        refused += EmptyDirectory("/rootlink") ? 0 : 1;
        _exit(refused == 15 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 2) << "chroot failed";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a spelling of the root was not refused";
    EXPECT_EQ(ReadBytes(jail / "file"), "x");
    EXPECT_TRUE(IsDirectory(jail / "dir"));
}

TEST(FileSystemTest, DeleteDirectoryTreeReportsWhetherTheDirectoryIsGone)
{
    TreeFixture t;
    EXPECT_FALSE(DeleteDirectoryTree(t.User)) << "'.cache' keeps the directory";
    EXPECT_EQ(AllNames(t.User), std::vector<std::string>{".cache"});
    EXPECT_EQ(ReadBytes(t.Outside + "/keep.txt"), "outside data");

    ASSERT_TRUE(std::filesystem::remove_all(t.User + "/.cache"));
    MakeDir(t.User + "/Sent");
    WriteBytes(t.User + "/Sent/m", "m");
    EXPECT_TRUE(DeleteDirectoryTree(t.User));
    EXPECT_FALSE(Exists(t.User));
    EXPECT_TRUE(DeleteDirectoryTree(t.User)) << "a missing directory is gone";

    // A link in the place of the directory is removed as a link; what it points to stays.
    MakeLink(t.Outside, t.Root / "userlink");
    EXPECT_TRUE(DeleteDirectoryTree(t.Root / "userlink"));
    EXPECT_FALSE(Exists(t.Root / "userlink"));
    EXPECT_EQ(ReadBytes(t.Outside + "/keep.txt"), "outside data");

    // A file is not a directory tree.
    EXPECT_FALSE(DeleteDirectoryTree(t.Outside + "/keep.txt"));
    EXPECT_EQ(ReadBytes(t.Outside + "/keep.txt"), "outside data");
}

TEST(FileSystemTest, TreeWalksHandlePathsOfAnyLength)
{
    TempDir dir;
    // 40 levels of 200-byte names: about 8 KB of path, twice PATH_MAX.
    std::string name(200, 'd');
    int fd = open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (int level = 0; level < 40; ++level) {
        ASSERT_EQ(mkdirat(fd, name.c_str(), 0777), 0);
        int sub = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        ASSERT_GE(sub, 0);
        fd = sub;
    }
    int file = openat(fd, "deep.msg", O_WRONLY | O_CREAT, 0666);
    ASSERT_GE(file, 0);
    ASSERT_EQ(write(file, "1234", 4), 4);
    close(file);
    close(fd);

    EXPECT_EQ(DirectoryTreeSize(dir.Path()), 4u);
    EXPECT_TRUE(DeleteDirectoryTree(dir / name));
    EXPECT_TRUE(AllNames(dir.Path()).empty());
}

} // namespace
} // namespace qm::platform
