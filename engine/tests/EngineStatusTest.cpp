#include "engine/EngineShared.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace qm::engine {
namespace {

// Requests of many threads count POP3 and SMTP runs on the same words: no count may be lost.
TEST(EngineStatusTest, CountsFromManyThreadsAreNeverLost)
{
    EngineStatus status;
    std::memset(&status, 0, sizeof status);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&status] {
            for (int i = 0; i < 20000; ++i) {
                AddToStatus(status, StatusWord::Pop3Sessions, 1);
                AddToStatus(status, StatusWord::SmtpFailures, 2);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(GetStatus(status, StatusWord::Pop3Sessions), 80000);
    EXPECT_EQ(status.Words[7], 160000);
    EXPECT_EQ(status.Words[4], 80000) << "word 4 is the POP3 count the console reads";
    EXPECT_EQ(status.Words[8], 0);
}

} // namespace
} // namespace qm::engine
