#include "platform/SharedMemory.h"

#include "platform/tests/IpcTestSupport.h"
#include "testsupport/ShmObjects.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qm {
namespace {

using ipctest::HelperProcess;
using ipctest::IpcTest;
using ipctest::kInitialLevel;
using ipctest::kSectionName;
using ipctest::TestSection;

class ShmSegmentTest : public IpcTest {};

class SharedSectionTest : public IpcTest {};

bool AllZero(const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

void InitSection(void* block)
{
    auto* section = static_cast<TestSection*>(block);
    section->Level = kInitialLevel;
    ASSERT_TRUE(section->Mutex.Init());
}

Result<ShmSegment> AttachSection(const IpcNamespace& ns)
{
    return ShmSegment::Attach(ns, kSectionName, sizeof(TestSection), InitSection);
}

TEST_F(ShmSegmentTest, CreatedSegmentIsSharedUntilUnlinked)
{
    auto created = ShmSegment::CreateExclusive(Ns(), "sessions", 4096);
    ASSERT_TRUE(created) << created.error().Message;
    EXPECT_TRUE(created->Created());
    EXPECT_EQ(created->Size(), 4096U);
    EXPECT_EQ(created->Name(), "/qm." + Ns().Name() + ".sessions");
    EXPECT_TRUE(AllZero(created->Data(), created->Size()));
    ipctest::PutText(created->Data(), created->Size(), "row one");

    auto again = ShmSegment::CreateExclusive(Ns(), "sessions", 4096);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().Code, EEXIST);

    auto reader = ShmSegment::Open(Ns(), "sessions", ShmAccess::ReadOnly);
    ASSERT_TRUE(reader) << reader.error().Message;
    EXPECT_FALSE(reader->Created());
    EXPECT_EQ(reader->Size(), 4096U);
    EXPECT_STREQ(reader->As<const char>(), "row one");

    auto writer = ShmSegment::Open(Ns(), "sessions", ShmAccess::ReadWrite);
    ASSERT_TRUE(writer) << writer.error().Message;
    ipctest::PutText(writer->Data(), writer->Size(), "row two");
    EXPECT_STREQ(created->As<const char>(), "row two");

    ASSERT_TRUE(ShmSegment::Unlink(Ns(), "sessions"));
    auto gone = ShmSegment::Open(Ns(), "sessions", ShmAccess::ReadOnly);
    ASSERT_FALSE(gone);
    EXPECT_EQ(gone.error().Code, ENOENT);
    EXPECT_STREQ(reader->As<const char>(), "row two") << "mappings outlive the name";
    EXPECT_TRUE(ShmSegment::Unlink(Ns(), "sessions")) << "removing a missing name is no error";
}

TEST_F(ShmSegmentTest, OpenRefusesASegmentSmallerThanNeeded)
{
    auto created = ShmSegment::CreateExclusive(Ns(), "sessions", 100);
    ASSERT_TRUE(created);
    auto small = ShmSegment::Open(Ns(), "sessions", ShmAccess::ReadOnly, std::size_t{224} * 2);
    ASSERT_FALSE(small);
    EXPECT_EQ(small.error().Code, EINVAL);
    EXPECT_TRUE(ShmSegment::Open(Ns(), "sessions", ShmAccess::ReadOnly, 100));
}

TEST_F(ShmSegmentTest, OpenOrCreateCreatesOnceAndChecksTheSize)
{
    auto first = ShmSegment::OpenOrCreate(Ns(), "sessions", 512);
    ASSERT_TRUE(first) << first.error().Message;
    EXPECT_TRUE(first->Created());
    first->As<char>()[10] = 'x';

    auto second = ShmSegment::OpenOrCreate(Ns(), "sessions", 512);
    ASSERT_TRUE(second) << second.error().Message;
    EXPECT_FALSE(second->Created());
    EXPECT_EQ(second->As<char>()[10], 'x');

    auto other = ShmSegment::OpenOrCreate(Ns(), "sessions", 1024);
    ASSERT_FALSE(other);
    EXPECT_EQ(other.error().Code, EINVAL);
}

TEST_F(ShmSegmentTest, RecreateReplacesALeftOverSegment)
{
    auto leftOver = ShmSegment::CreateExclusive(Ns(), "sessions", 256);
    ASSERT_TRUE(leftOver);
    ipctest::PutText(leftOver->Data(), leftOver->Size(), "stale");

    auto fresh = ShmSegment::Recreate(Ns(), "sessions", 512);
    ASSERT_TRUE(fresh) << fresh.error().Message;
    EXPECT_TRUE(fresh->Created());
    EXPECT_EQ(fresh->Size(), 512U);
    EXPECT_TRUE(AllZero(fresh->Data(), fresh->Size()));
    auto reader = ShmSegment::Open(Ns(), "sessions", ShmAccess::ReadOnly);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->Size(), 512U) << "the name now reaches the new segment";
}

TEST_F(SharedSectionTest, OnlyTheFirstAttacherInitialisesTheBlock)
{
    // Two attachments of one process stand for two processes: each holds its own locks.
    auto first = AttachSection(Ns());
    ASSERT_TRUE(first) << first.error().Message;
    EXPECT_TRUE(first->FirstAttacher());
    auto* section = first->As<TestSection>();
    EXPECT_EQ(section->Level, kInitialLevel);
    EXPECT_STREQ(section->Text, "");
    ipctest::PutText(section->Text, sizeof section->Text, "/opt/quillmail/Quillmail.ini");
    section->Level = 5;

    auto second = AttachSection(Ns());
    ASSERT_TRUE(second) << second.error().Message;
    EXPECT_FALSE(second->FirstAttacher());
    EXPECT_EQ(second->As<TestSection>()->Level, 5);
    EXPECT_STREQ(second->As<TestSection>()->Text, "/opt/quillmail/Quillmail.ini");

    first->Close();
    EXPECT_EQ(second->As<TestSection>()->Level, 5) << "one detach leaves the block to the others";
    second->Close();
    auto gone = ShmSegment::Open(Ns(), kSectionName, ShmAccess::ReadOnly);
    ASSERT_FALSE(gone) << "the last detach removes the block";

    auto next = AttachSection(Ns());
    ASSERT_TRUE(next);
    EXPECT_TRUE(next->FirstAttacher());
    EXPECT_EQ(next->As<TestSection>()->Level, kInitialLevel);
    EXPECT_STREQ(next->As<TestSection>()->Text, "");
}

TEST_F(SharedSectionTest, TheLastDetachLeavesNoObjectBehind)
{
    ASSERT_TRUE(test::ShmObjectsOf(Ns().Name()).empty());
    const std::vector<std::string> both = {"qm." + Ns().Name() + ".shared", "qm." + Ns().Name() + ".shared.init"};
    auto first = AttachSection(Ns());
    auto second = AttachSection(Ns());
    ASSERT_TRUE(first && second);
    first->Close();
    EXPECT_EQ(test::ShmObjectsOf(Ns().Name()), both) << "the block and its lock stay for the other user";
    second->Close();
    EXPECT_EQ(test::ShmObjectsOf(Ns().Name()), std::vector<std::string>{}) << "the last user removes both";
}

TEST_F(SharedSectionTest, AttachersRacingTheLastDetachAlwaysFindAWholeBlock)
{
    // The last detacher removes the attach lock while others may wait for it; each of them must notice and lock the
    // name anew, or two could make the block at once and one would see it half-made.
    constexpr int kThreads = 4;
    constexpr int kRounds = 150;
    std::atomic<int> ready{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
                std::this_thread::yield();
            }
            for (int round = 0; round < kRounds; ++round) {
                auto attached = ShmSegment::Attach(Ns(), kSectionName, sizeof(TestSection), [](void* block) {
                    static_cast<TestSection*>(block)->Level = kInitialLevel;
                });
                if (!attached || attached->As<TestSection>()->Level != kInitialLevel) {
                    failures.fetch_add(1);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(test::ShmObjectsOf(Ns().Name()), std::vector<std::string>{});
}

TEST_F(SharedSectionTest, ContentLeftByDeadProcessesIsZeroed)
{
    {
        // A block whose users all died: the segment is there, nobody holds it.
        auto leftOver = ShmSegment::CreateExclusive(Ns(), kSectionName, sizeof(TestSection) + 100);
        ASSERT_TRUE(leftOver);
        std::memset(leftOver->Data(), 0x5A, leftOver->Size());
    }
    auto attached = AttachSection(Ns());
    ASSERT_TRUE(attached) << attached.error().Message;
    EXPECT_TRUE(attached->FirstAttacher());
    EXPECT_FALSE(attached->Created());
    EXPECT_EQ(attached->Size(), sizeof(TestSection));
    EXPECT_EQ(attached->As<TestSection>()->Level, kInitialLevel);
    EXPECT_TRUE(AllZero(attached->As<TestSection>()->Text, sizeof TestSection::Text));
}

TEST_F(SharedSectionTest, AttachRefusesABlockOfAnotherLayout)
{
    auto attached = AttachSection(Ns());
    ASSERT_TRUE(attached);
    attached->As<TestSection>()->Level = 9;
    auto other = ShmSegment::Attach(Ns(), kSectionName, sizeof(TestSection) + 8, nullptr);
    ASSERT_FALSE(other);
    EXPECT_EQ(other.error().Code, EINVAL);
    EXPECT_EQ(attached->As<TestSection>()->Level, 9);
}

TEST_F(SharedSectionTest, AnotherProcessKeepsTheContentOfAHeldBlock)
{
    auto mine = AttachSection(Ns());
    ASSERT_TRUE(mine);
    ASSERT_TRUE(mine->FirstAttacher());
    ipctest::PutText(mine->As<TestSection>()->Text, sizeof TestSection::Text, "from-parent");
    mine->As<TestSection>()->Level = 7;

    HelperProcess child("attach", "from-child");
    EXPECT_EQ(child.ReadLine(), "first=0 level=7 text=from-parent");
    EXPECT_EQ(child.ReadLine(), "stored");
    EXPECT_STREQ(mine->As<TestSection>()->Text, "from-child");

    // The parent leaves while the child stays: coming back, it finds the child's block.
    mine->Close();
    auto back = AttachSection(Ns());
    ASSERT_TRUE(back);
    EXPECT_FALSE(back->FirstAttacher());
    EXPECT_STREQ(back->As<TestSection>()->Text, "from-child");
    back->Close();

    child.CloseInput();
    EXPECT_EQ(child.Wait(), 0);
    HelperProcess late("attach");
    EXPECT_EQ(late.ReadLine(), "first=1 level=1 text=") << "with everybody gone the block starts afresh";
}

TEST_F(SharedSectionTest, AForkedChildThatLeavesKeepsTheParentAttached)
{
    auto mine = AttachSection(Ns());
    ASSERT_TRUE(mine);
    mine->As<TestSection>()->Level = 5;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        mine->Close(); // what the child's destructors would do on its way out
        ::_exit(0);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);

    auto other = AttachSection(Ns());
    ASSERT_TRUE(other);
    EXPECT_FALSE(other->FirstAttacher()) << "the child detached the parent";
    EXPECT_EQ(other->As<TestSection>()->Level, 5);
}

TEST_F(SharedSectionTest, AKilledAttacherDoesNotCount)
{
    HelperProcess child("attach", "child-was-here");
    ASSERT_EQ(child.ReadLine(), "first=1 level=1 text=");
    ASSERT_EQ(child.ReadLine(), "stored");
    EXPECT_EQ(child.Kill(), 128 + 9);

    auto attached = AttachSection(Ns());
    ASSERT_TRUE(attached) << attached.error().Message;
    EXPECT_TRUE(attached->FirstAttacher());
    EXPECT_STREQ(attached->As<TestSection>()->Text, "");
}

} // namespace
} // namespace qm
