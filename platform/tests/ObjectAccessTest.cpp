#include "platform/ObjectAccess.h"

#include "platform/EngineLock.h"
#include "platform/SharedMemory.h"
#include "platform/tests/IpcTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qm {
namespace {

using ipctest::IpcTest;
using ipctest::kSectionName;
using ipctest::ScopedEnv;
using ipctest::ScopedUmask;
using ipctest::TestSection;
using platform::kAdminGroupEnv;

// A group this process may give its objects; a supplementary one when there is one, as that differs from the group
// a new object gets anyway.
gid_t OwnGroup()
{
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
    const int count = ::getgroups(static_cast<int>(groups.size()), groups.data());
    for (int i = 0; i < count; ++i) {
        if (groups[static_cast<std::size_t>(i)] != ::getegid()) {
            return groups[static_cast<std::size_t>(i)];
        }
    }
    return ::getegid();
}

std::string GroupName(gid_t gid)
{
    const struct group* entry = ::getgrgid(gid);
    return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

struct stat StatOf(const std::string& path)
{
    struct stat st {};

    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

TEST(ObjectAccessTest, OnlyAGroupThisProcessMayGiveWidensTheAccess)
{
    const gid_t own = OwnGroup();

    struct Case {
        std::string group;
        unsigned mode;
        long gid;
    };

    std::vector<Case> cases = {
            {"", 0600, -1},
            {GroupName(own), 0660, static_cast<long>(own)},
            {std::to_string(own), 0660, static_cast<long>(own)},
            {"qm-no-such-group-x", 0600, -1},
            {"4294967290", 0600, -1}, // a number no group has
    };
    if (::geteuid() != 0 && ::getegid() != 0 && OwnGroup() != 0) {
        bool inRoot = false;
        std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
        const int count = ::getgroups(static_cast<int>(groups.size()), groups.data());
        for (int i = 0; i < count; ++i) {
            inRoot = inRoot || groups[static_cast<std::size_t>(i)] == 0;
        }
        if (!inRoot) {
            cases.push_back({"0", 0600, -1}); // a group of others: fchown() would fail, so it is not used
        }
    }
    for (const Case& c : cases) {
        const platform::ObjectAccess access = platform::SharedObjectAccessFor(c.group);
        EXPECT_EQ(access.Mode, c.mode) << "group '" << c.group << "'";
        EXPECT_EQ(access.Group, c.gid) << "group '" << c.group << "'";
    }
    EXPECT_EQ(platform::DirectoryMode({0600, -1}), 0700U);
    EXPECT_EQ(platform::DirectoryMode({0660, 5}), 0770U);
}

// Every object the inter-process layer makes, under several umasks and group settings: never open to others, and
// exactly the mode the setting asks for.
class ObjectModeTest : public IpcTest {};

TEST_F(ObjectModeTest, SegmentsLocksAndTheRuntimeDirectoryBelongToTheOwnerAndTheNamedGroup)
{
    const gid_t own = OwnGroup();

    struct Case {
        const char* group; // $QUILLMAIL_ADMIN_GROUP; null: unset
        mode_t umask;
        unsigned mode;
        gid_t gid; // the group the objects must have
    };

    const std::string ownName = GroupName(own);
    const Case cases[] = {
            {nullptr, 022, 0600, ::getegid()},
            {nullptr, 0, 0600, ::getegid()},
            {nullptr, 077, 0600, ::getegid()},
            {nullptr, 0277, 0600, ::getegid()}, // a umask narrower than the mode does not narrow it
            {ownName.c_str(), 022, 0660, own},
            {ownName.c_str(), 077, 0660, own},
            {"qm-no-such-group-x", 0, 0600, ::getegid()},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("group ") + (c.group != nullptr ? c.group : "(unset)") + " umask 0" +
                     std::to_string(c.umask));
        const std::string runDir = RuntimeDir() + "/run" + std::to_string(++round);
        ScopedEnv group(kAdminGroupEnv, c.group);
        ScopedEnv runtime(kRuntimeDirEnv, runDir.c_str());
        ScopedUmask mask(c.umask);

        auto created = ShmSegment::CreateExclusive(Ns(), "sessions", 64);
        ASSERT_TRUE(created) << created.error().Message;
        auto attached = ShmSegment::Attach(Ns(), kSectionName, sizeof(TestSection), nullptr);
        ASSERT_TRUE(attached) << attached.error().Message;
        auto lock = EngineLock::TryAcquire(Ns());
        ASSERT_TRUE(lock) << lock.error().Message;

        for (const std::string& path : {"/dev/shm" + created->Name(), "/dev/shm" + attached->Name(),
                                        "/dev/shm" + attached->Name() + ".init", lock->Path()}) {
            const struct stat st = StatOf(path);
            EXPECT_EQ(st.st_mode & 07777, c.mode) << path;
            EXPECT_EQ(st.st_gid, c.gid) << path;
        }
        const struct stat dir = StatOf(runDir);
        EXPECT_EQ(dir.st_mode & 07777, c.mode == 0600 ? 0700U : 0770U);
        EXPECT_EQ(dir.st_gid, c.gid);

        lock->Release();
        attached->Close();
        created->Close();
        ASSERT_TRUE(ShmSegment::Unlink(Ns(), "sessions"));
    }
}

TEST_F(ObjectModeTest, ALeftOverBlockOpenToEveryoneIsClosedByItsNextFirstAttacher)
{
    {
        auto leftOver = ShmSegment::CreateExclusive(Ns(), kSectionName, sizeof(TestSection));
        ASSERT_TRUE(leftOver);
        ASSERT_EQ(::chmod(("/dev/shm" + leftOver->Name()).c_str(), 0666), 0); // as an older build made it
    }
    auto attached = ShmSegment::Attach(Ns(), kSectionName, sizeof(TestSection), nullptr);
    ASSERT_TRUE(attached) << attached.error().Message;
    ASSERT_TRUE(attached->FirstAttacher());
    EXPECT_EQ(StatOf("/dev/shm" + attached->Name()).st_mode & 07777, 0600U);
}

} // namespace
} // namespace qm
