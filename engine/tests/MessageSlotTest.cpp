#include "engine/MessageSlot.h"

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
// freed, and each taken text is whole (the sanitizers check the rest).
TEST(MessageSlotTest, WriterAndReadersNeverShareAText)
{
    MessageSlot slot;
    std::atomic<bool> done{false};
    std::atomic<int> taken{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!done.load()) {
                if (auto text = slot.Take()) {
                    const std::string copy(text.get());
                    EXPECT_TRUE(copy == std::string(40, 'a') || copy == std::string(40, 'b')) << copy;
                    ++taken;
                }
            }
        });
    }
    for (int i = 0; i < 20000; ++i) {
        slot.Set(std::string(40, (i % 2) != 0 ? 'a' : 'b'));
    }
    done.store(true);
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_GT(taken.load(), 0);
}

} // namespace
} // namespace qm::engine
