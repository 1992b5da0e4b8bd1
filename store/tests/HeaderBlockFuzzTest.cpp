// Random, mutated and truncated header blocks through the header code, for the sanitizers to watch.
#include "store/tests/HeaderBlockExercise.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

namespace qm::store {
namespace {

const std::vector<std::string>& Samples()
{
    static const std::vector<std::string> kSamples = {
            "From: =?ISO-8859-1?Q?Andr=E9?= <a@example.com>\r\n"
            "Subject: =?UTF-8?B?Q2Fmw6k=?= =?UTF-8?Q?_au_lait?=\r\n"
            "\t=?ISO-2022-JP?B?GyRCMCEbKEI=?=\r\n"
            "Content-Type: multipart/mixed;\r\n"
            " boundary=\"----=_Part_1.2\\\"x\"\r\n"
            "\r\n",
            "Received: from a\n by b\n"
            "Subject: \x1B$B0!\x1B(B \x1B$B-!\x1B(B\n"
            "Content-Type: multipart/alternative; boundary=abc;x=y\n"
            "X-Q: =?x?Q?a=0Ab=01c=00=?= =?bad =?a?q?50=_off=4?=\n",
            "No colon\n\tcontinued\n=?a?B?YW*i?=: x\nTo:\n",
    };
    return kSamples;
}

std::string Mutated(std::string text, std::mt19937& rng)
{
    static const std::vector<std::string> kPieces = {"=?",
                                                     "?=",
                                                     "?Q?",
                                                     "?B?",
                                                     "\x1B$B",
                                                     "\x1B(B",
                                                     "\x1B",
                                                     "\r\n",
                                                     "\n",
                                                     "\n\t",
                                                     "=",
                                                     "_",
                                                     ":",
                                                     "\"",
                                                     "\\",
                                                     "boundary=",
                                                     std::string(1, '\0'),
                                                     "ISO-2022-JP"};
    std::uniform_int_distribution<int> what(0, 3);
    const int edits = std::uniform_int_distribution<int>(1, 8)(rng);
    for (int i = 0; i < edits; ++i) {
        const std::size_t at = std::uniform_int_distribution<std::size_t>(0, text.size())(rng);
        switch (what(rng)) {
        case 0: // flip a byte
            if (at < text.size()) {
                text[at] = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng));
            }
            break;
        case 1: // insert a piece that the decoder looks for
            text.insert(at, kPieces[std::uniform_int_distribution<std::size_t>(0, kPieces.size() - 1)(rng)]);
            break;
        case 2: // cut it off
            text.resize(at);
            break;
        default: // drop a run
            text.erase(at, std::uniform_int_distribution<std::size_t>(0, 16)(rng));
            break;
        }
    }
    return text;
}

std::string RandomBytes(std::mt19937& rng)
{
    std::string text(std::uniform_int_distribution<std::size_t>(0, 600)(rng), '\0');
    for (char& c : text) {
        c = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng));
    }
    return text;
}

TEST(HeaderBlockFuzzTest, EveryTruncationOfTheSamplesHolds)
{
    for (const std::string& sample : Samples()) {
        for (std::size_t n = 0; n <= sample.size(); ++n) {
            const std::string cut = sample.substr(0, n);
            ASSERT_EQ(test::ExerciseHeaderBlock(cut, {}), "") << "cut after " << n << " bytes";
            ASSERT_EQ(test::ExerciseHeaderBlock(cut, test::TightLimits()), "")
                    << "tight limits, cut after " << n << " bytes";
        }
    }
}

TEST(HeaderBlockFuzzTest, RandomAndMutatedBlocksHold)
{
    std::mt19937 rng(20240611); // NOLINT(cert-msc51-cpp): a fixed seed, so that a failure can be replayed
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int runs = 0;
    for (; runs < 4000 && std::chrono::steady_clock::now() < deadline; ++runs) {
        const std::string input =
                runs % 4 == 0 ? RandomBytes(rng) : Mutated(Samples()[static_cast<std::size_t>(runs) % 3], rng);
        const std::string broken =
                test::ExerciseHeaderBlock(input, runs % 2 == 0 ? HeaderLimits{} : test::TightLimits());
        ASSERT_EQ(broken, "") << "run " << runs;
    }
    EXPECT_GE(runs, 500) << "too few runs within the time bound to mean anything";
}

} // namespace
} // namespace qm::store
