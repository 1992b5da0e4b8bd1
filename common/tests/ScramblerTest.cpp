#include "common/Scrambler.h"

#include "common/ScramblerKeys.h"
#include "testsupport/Program.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace qm {
namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string RandomBytes(std::mt19937& rng, std::size_t n, int lo, int hi)
{
    std::uniform_int_distribution<int> byte(lo, hi);
    std::string s(n, '\0');
    for (char& c : s) {
        c = static_cast<char>(byte(rng));
    }
    return s;
}

// A buffer of exactly `size` bytes holding `text`, so that a write past its end is caught by the address sanitizer.
std::vector<char> Buffer(const std::string& text, std::size_t size)
{
    std::vector<char> buf(size, '#');
    std::memcpy(buf.data(), text.c_str(), std::min(text.size() + 1, size));
    return buf;
}

// The inverse of KeyedDescramble: the key text added to each byte, then base64.
std::string KeyedScramble(std::string_view plain)
{
    std::string bytes(plain);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(static_cast<unsigned char>(bytes[i]) +
                                     static_cast<unsigned char>(kDescramblerKeyText[i % 242]));
    }
    return Base64Encode(bytes);
}

TEST(ScramblerTest, RoundTripsEveryShortPassword)
{
    std::mt19937 rng(104);
    for (std::size_t n = 0; n <= 95; ++n) {
        SCOPED_TRACE(n);
        const std::string plain = RandomBytes(rng, n, 1, 255);
        const std::size_t want = (4 * n + 2) / 3; // ceil(4n/3)

        std::vector<char> buf = Buffer(plain, want + 1);
        ASSERT_TRUE(ScramblePassword(buf.data(), buf.size()));
        const std::string scrambled = buf.data();
        EXPECT_EQ(scrambled.size(), want);
        EXPECT_EQ(scrambled.find_first_not_of(kAlphabet), std::string::npos) << "got " << scrambled;
        if (!scrambled.empty()) {
            EXPECT_EQ(std::string_view("-\\*").find(scrambled[0]), std::string_view::npos);
        }
        EXPECT_EQ(ScramblePassword(plain), scrambled);

        EXPECT_EQ(UnscramblePassword(buf.data()), n);
        EXPECT_EQ(std::string(buf.data()), plain);
        EXPECT_EQ(UnscramblePassword(scrambled), plain);
    }
}

TEST(ScramblerTest, RoundTripsEveryLengthModulo256)
{
    // The key index starts at the length as one byte, so lengths past 255 take the other branch of every index.
    std::mt19937 rng(256);
    for (std::size_t n = 0; n <= 300; ++n) {
        SCOPED_TRACE(n);
        const std::string plain = RandomBytes(rng, n, 0, 255);
        const std::string scrambled = ScramblePassword(plain);
        EXPECT_EQ(scrambled.size(), (4 * n + 2) / 3);
        EXPECT_EQ(UnscramblePassword(scrambled), plain);
    }
}

TEST(ScramblerTest, KeepsTheStoredForm)
{
    // Values scrambled by earlier runs and by every other program must keep reading back, so the form is fixed.
    struct Case {
        const char* Plain;
        const char* Scrambled;
    };

    const Case cases[] = {
            {"secret", "R7VLOOSU"},
            {"a", "Dw"},
            {"Passw0rd!", "9cmYi8/CwEli"},
            {"The quick brown fox jumps over the lazy dog, 0123456789 times.",
             "Yp994qonv2YxyPjnkKT6V5vS21r13UwBHabL+PAVB/4XaaxsF3bqlZ6IFPi1GC+Mop7Slc24yLpEJasojd0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Plain);
        EXPECT_EQ(ScramblePassword(c.Plain), c.Scrambled);
        EXPECT_EQ(UnscramblePassword(c.Scrambled), c.Plain);
    }
}

TEST(ScramblerTest, InPlaceScrambleRefusesASmallBuffer)
{
    const std::string plain = "hunter22"; // 8 bytes: 11 characters and a NUL
    std::vector<char> small = Buffer(plain, 11);
    EXPECT_FALSE(ScramblePassword(small.data(), small.size()));
    EXPECT_STREQ(small.data(), "hunter22");
    EXPECT_FALSE(ScramblePassword(nullptr, 64));

    std::vector<char> exact = Buffer(plain, 12);
    ASSERT_TRUE(ScramblePassword(exact.data(), exact.size()));
    EXPECT_EQ(std::strlen(exact.data()), 11u);
}

TEST(ScramblerTest, UnscrambleStopsAtTheFirstCharacterOutsideTheAlphabet)
{
    const std::string scrambled = ScramblePassword("hunter2");
    const char* tails[] = {"", " ", "\r\n", "*junk", "=", " trailing words", "\xE9"};
    for (const char* tail : tails) {
        SCOPED_TRACE(tail);
        const std::string edited = scrambled + tail;
        EXPECT_EQ(UnscramblePassword(edited), "hunter2");
        std::vector<char> buf = Buffer(edited, edited.size() + 1);
        EXPECT_EQ(UnscramblePassword(buf.data()), 7u);
        EXPECT_STREQ(buf.data(), "hunter2");
    }
    // A single character holds only six bits: no byte.
    EXPECT_EQ(UnscramblePassword(std::string_view("A")), "");
}

TEST(ScramblerTest, Base64MatchesTheStandardVectors)
{
    struct Case {
        const char* Plain;
        const char* Encoded;
    };

    const Case cases[] = {{"", ""},
                          {"f", "Zg=="},
                          {"fo", "Zm8="},
                          {"foo", "Zm9v"},
                          {"foob", "Zm9vYg=="},
                          {"fooba", "Zm9vYmE="},
                          {"foobar", "Zm9vYmFy"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Plain);
        const std::size_t n = std::strlen(c.Plain);
        const std::size_t size = std::strlen(c.Encoded) + 1;
        EXPECT_EQ(Base64Encode(c.Plain), c.Encoded);

        std::vector<char> buf = Buffer(c.Plain, size);
        const Result<std::size_t> length = Base64EncodeInPlace(buf.data(), n, buf.size());
        ASSERT_TRUE(length);
        EXPECT_EQ(*length, size - 1);
        EXPECT_STREQ(buf.data(), c.Encoded);

        std::vector<char> str = Buffer(c.Plain, size);
        EXPECT_EQ(Base64EncodeString(str.data(), str.size()), str.data());
        EXPECT_STREQ(str.data(), c.Encoded);

        std::vector<char> dec = Buffer(c.Encoded, size);
        EXPECT_EQ(Base64DecodeInPlace(dec.data()), dec.data());
        EXPECT_STREQ(dec.data(), c.Plain);
        EXPECT_EQ(Base64Decode(c.Encoded), c.Plain);
    }
}

TEST(ScramblerTest, Base64EncodeRefusesASmallBuffer)
{
    std::vector<char> buf = Buffer("foob", 8); // needs 8 characters and a NUL
    EXPECT_FALSE(Base64EncodeInPlace(buf.data(), 4, buf.size()));
    EXPECT_EQ(Base64EncodeString(buf.data(), buf.size()), nullptr);
    EXPECT_STREQ(buf.data(), "foob");
    std::vector<char> none(1, 'x');
    EXPECT_FALSE(Base64EncodeInPlace(none.data(), 0, 0));
    EXPECT_EQ(none[0], 'x');
}

TEST(ScramblerTest, Base64DecodeStopsAtTheFirstByteOutsideTheAlphabet)
{
    struct Case {
        std::string Encoded;
        std::string Want;
    };

    const Case cases[] = {
            {"Zg*x", "f"},
            {"Zm9v\r\nYmFy", "foo"},
            {"Zm9", "fo"},
            {"Zg==Zm8=", "f"},
            {"Zm9v YmFy", "foo"},
            {std::string("Zm9v\0YmFy", 9), "foo"},
            {"AAEC", std::string("\0\1\2", 3)},
            {"*", ""},
            {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Encoded);
        EXPECT_EQ(Base64Decode(c.Encoded), c.Want);
        if (c.Want.find('\0') == std::string::npos) {
            std::vector<char> buf(c.Encoded.begin(), c.Encoded.end());
            buf.push_back('\0');
            EXPECT_STREQ(Base64DecodeInPlace(buf.data()), c.Want.c_str());
        }
    }
}

TEST(ScramblerTest, Base64DecoderCarriesBitsAcrossLines)
{
    std::mt19937 rng(2045);
    const std::string data = RandomBytes(rng, 1000, 0, 255);
    const std::string text = Base64Encode(data);
    // Lines of uneven lengths, so that groups of four characters are cut at every position.
    Base64Decoder decoder;
    std::string got;
    std::size_t at = 0;
    for (std::size_t cut = 1; at < text.size(); cut = cut % 7 + 1) {
        std::string line = text.substr(at, cut) + "\r\n";
        at += cut;
        const std::size_t n = decoder.Decode(line, reinterpret_cast<unsigned char*>(line.data()));
        got.append(line, 0, n);
    }
    EXPECT_EQ(got, data);
}

TEST(ScramblerTest, EmptyTextStaysEmpty)
{
    char buf[1] = {'\0'};
    EXPECT_TRUE(ScramblePassword(buf, sizeof buf));
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(UnscramblePassword(buf), 0u);
    EXPECT_STREQ(buf, "");
    const Result<std::size_t> length = Base64EncodeInPlace(buf, 0, sizeof buf);
    ASSERT_TRUE(length);
    EXPECT_EQ(*length, 0u);
    EXPECT_STREQ(buf, "");
    EXPECT_STREQ(Base64EncodeString(buf, sizeof buf), "");
    EXPECT_STREQ(Base64DecodeInPlace(buf), "");
    EXPECT_STREQ(KeyedDescramble(buf), "");
    EXPECT_EQ(ScramblePassword(std::string_view()), "");
    EXPECT_EQ(UnscramblePassword(std::string_view()), "");
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Decode(""), "");
}

TEST(ScramblerTest, KeyedDescrambleReversesTheKeyTextAndWraps)
{
    std::mt19937 rng(242);
    // Lengths around the key text's length, and well past it, so that the key position starts again.
    for (std::size_t n : {0u, 1u, 241u, 242u, 243u, 600u}) {
        SCOPED_TRACE(n);
        const std::string plain = RandomBytes(rng, n, 32, 126);
        std::string text = KeyedScramble(plain);
        std::vector<char> buf(text.begin(), text.end());
        buf.push_back('\0');
        EXPECT_STREQ(KeyedDescramble(buf.data()), plain.c_str());
    }
}

TEST(ScramblerTest, KeyedDescrambleStopsAtTheFirstDecodedNul)
{
    std::string enciphered;
    const std::string plain = "abc?def";
    for (std::size_t i = 0; i < plain.size(); ++i) {
        enciphered += static_cast<char>(plain[i] + kDescramblerKeyText[i]);
    }
    enciphered[3] = '\0'; // a NUL inside the decoded bytes ends the text
    std::string text = Base64Encode(enciphered);
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    EXPECT_STREQ(KeyedDescramble(buf.data()), "abc");
}

TEST(ScramblerTest, KeyedDescramblerGoesByLengthAcrossPieces)
{
    // Latin-1 and UTF-8 letters: 0xE0 at a blank of the key text, 0x9F at a 'a', so their ciphered bytes are 0.
    std::string plain = "voil\xE0 \xE0 la gare, stra\xC3\x9F"
                        "e";
    for (int i = 0; i < 40; ++i) {
        plain += " \xE0\xC3\x9F\x01";
    }
    plain += '\0';
    const std::string text = KeyedScramble(plain);
    ASSERT_NE(Base64Decode(text).find('\0'), std::string::npos) << "the fixture must hold a ciphered 0";
    // Every split into two pieces, and pieces of 76 characters as the companion's lines are.
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        SCOPED_TRACE(cut);
        KeyedDescrambler descrambler;
        std::string out;
        descrambler.Decipher(std::string_view(text).substr(0, cut), out);
        descrambler.Decipher(std::string_view(text).substr(cut), out);
        ASSERT_TRUE(out == plain) << "got " << out.size() << " bytes, want " << plain.size();
        EXPECT_EQ(descrambler.Length(), plain.size());
        EXPECT_FALSE(descrambler.Damaged());
    }
    KeyedDescrambler lines;
    std::string out;
    for (std::size_t at = 0; at < text.size(); at += 76) {
        lines.Decipher(std::string_view(text).substr(at, 76), out);
    }
    EXPECT_TRUE(out == plain);
}

TEST(ScramblerTest, KeyedDescramblerTellsPaddingFromDamage)
{
    const std::string text = KeyedScramble("ab"); // "xxx=" : one '=' of padding
    ASSERT_EQ(text.back(), '=');

    struct Case {
        std::vector<std::string> Pieces;
        bool Damaged;
    };

    const std::vector<Case> cases = {
            {{text}, false},        {{text, "=", ""}, false},          {{text.substr(0, 2), "*", text.substr(2)}, true},
            {{text, "QUJD"}, true}, {{text.substr(0, 3) + " "}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.Pieces));
        KeyedDescrambler descrambler;
        std::string out;
        for (const std::string& piece : c.Pieces) {
            descrambler.Decipher(piece, out);
        }
        EXPECT_EQ(descrambler.Damaged(), c.Damaged);
    }
}

// Compares the encoder with the system's base64 command on random inputs, in one run of the shell.
TEST(ScramblerTest, Base64AgreesWithTheSystemCommand)
{
    if (test::FindProgram("base64").empty()) {
        GTEST_SKIP() << "the base64 command is not installed";
    }
    std::mt19937 rng(4648);
    std::vector<std::string> inputs;
    for (std::size_t n = 0; n < 70; ++n) {
        inputs.push_back(RandomBytes(rng, n, 0, 255));
    }
    for (std::size_t n : {255u, 256u, 257u, 1000u, 4099u}) {
        inputs.push_back(RandomBytes(rng, n, 0, 255));
    }

    const test::TempDir dir;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%04zu", i);
        (void)dir.WriteFile(name, inputs[i]);
    }
    test::ProgramOptions options;
    options.WorkingDirectory = dir.Path().string();
    const test::ProgramRun run =
            test::RunProgram({"/bin/sh", "-c", "for f in [0-9]*; do base64 -w0 \"$f\"; echo; done"}, options);
    ASSERT_TRUE(run.Succeeded()) << run.Errors;
    std::vector<std::string> answers;
    std::istringstream lines(run.Output);
    for (std::string line; std::getline(lines, line);) {
        answers.push_back(line);
    }
    ASSERT_EQ(answers.size(), inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        SCOPED_TRACE(inputs[i].size());
        EXPECT_EQ(Base64Encode(inputs[i]), answers[i]);
        EXPECT_EQ(Base64Decode(answers[i]), inputs[i]);
    }
}

} // namespace
} // namespace qm
