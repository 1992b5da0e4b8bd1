#include "engine/MessageSlot.h"

#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace qm::engine {
namespace {

TEST(MessageSlotTest, TakeGivesTheLastTextOnce)
{
    MessageSlot slot;
    EXPECT_FALSE(slot.IsSet());
    EXPECT_EQ(slot.Take(), nullptr);
    slot.Set("first");
    slot.Set("second");
    EXPECT_TRUE(slot.IsSet());
    auto text = slot.Take();
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text.get(), "second");
    EXPECT_EQ(slot.Take(), nullptr);
    slot.Set("");
    EXPECT_STREQ(slot.Take().get(), "");
    slot.Set("dropped");
    slot.Clear();
    EXPECT_FALSE(slot.IsSet());
}

// A writer that keeps replacing the text and pages that keep taking and reading it: no text is read after it was
// freed, and each taken text is whole (the sanitizers check the rest). All threads start together, and the writer
// goes on until every reader has taken texts, so that writing and reading overlap however the threads are run.
TEST(MessageSlotTest, WriterAndReadersNeverShareAText)
{
    constexpr int kReaders = 3;
    constexpr int kTakesEach = 100;
    MessageSlot slot;
    std::atomic<bool> done{false};
    std::atomic<int> taken[kReaders] = {};
    qm::test::StartLine start(kReaders + 1);
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&, r] {
            if (!start.ArriveAndWait()) {
                return;
            }
            while (!done.load()) {
                if (auto text = slot.Take()) {
                    const std::string copy(text.get());
                    EXPECT_TRUE(copy == std::string(40, 'a') || copy == std::string(40, 'b')) << copy;
                    ++taken[r];
                }
            }
        });
    }
    const auto everyReaderTook = [&] {
        for (const auto& count : taken) {
            if (count.load() < kTakesEach) {
                return false;
            }
        }
        return true;
    };
    EXPECT_TRUE(start.ArriveAndWait()) << "the readers did not all start";
    const auto deadline = qm::test::TestClock::now() + qm::test::kPatience;
    long sets = 0;
    for (; sets < 20000 || (!everyReaderTook() && qm::test::TestClock::now() < deadline); ++sets) {
        slot.Set(std::string(40, (sets % 2) != 0 ? 'a' : 'b'));
        if (sets % 64 == 0) {
            std::this_thread::yield(); // lets a reader in on a machine with fewer cores than threads
        }
    }
    done.store(true);
    for (auto& reader : readers) {
        reader.join();
    }
    for (int r = 0; r < kReaders; ++r) {
        EXPECT_GE(taken[r].load(), kTakesEach) << "reader " << r << " after " << sets << " texts";
    }
}

} // namespace
} // namespace qm::engine
