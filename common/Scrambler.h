// The password scrambler (the stored form of passwords and the session cookie) and the base64 codec.
// Scrambling is obfuscation only: it keeps passwords from being read at a glance, not from an attacker.
#pragma once

#include "base/Result.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qm {

/// Scrambles `plain`: a keyed XOR chain over the bytes, written with the base64 alphabet without padding.
/// The result has ceil(4n/3) characters, all from the alphabet, so it never starts with '-', '\' or '*'.
std::string ScramblePassword(std::string_view plain);

/// In place: the NUL-terminated `s` becomes its scrambled text. `size` is the size of the buffer, which must hold
/// ceil(4n/3) + 1 bytes for n = strlen(s); when it does not, returns false and leaves `s` unchanged.
bool ScramblePassword(char* s, std::size_t size);

/// The inverse of ScramblePassword. Reads up to the first character outside the base64 alphabet (a NUL, a blank,
/// '=' or anything else), so that hand-edited trailing text cannot corrupt the value.
std::string UnscramblePassword(std::string_view scrambled);

/// In place: the NUL-terminated `s` becomes its plain text, NUL-terminated; returns the plain length.
std::size_t UnscramblePassword(char* s);

/// Standard base64 (RFC 4648 alphabet) with '=' padding.
std::string Base64Encode(std::string_view data);

/// In place: encodes the first `length` bytes of `buf` and NUL-terminates the text; returns the encoded length.
/// `size` is the size of the buffer, which must hold 4 * ceil(length / 3) + 1 bytes; when it does not, fails and
/// leaves `buf` unchanged.
Result<std::size_t> Base64EncodeInPlace(char* buf, std::size_t length, std::size_t size);

/// In place: encodes the NUL-terminated `s`. Returns `s`, or null (leaving `s` unchanged) when the buffer of `size`
/// bytes cannot hold the encoded text and its NUL.
char* Base64EncodeString(char* s, std::size_t size);

/// In place: decodes the NUL-terminated `s` up to its first byte outside the alphabet ('=' and NUL included) and
/// NUL-terminates the result; leftover bits are dropped. Returns `s`. For binary data use Base64Decode or
/// Base64Decoder, which report the length.
char* Base64DecodeInPlace(char* s);

/// Decodes `text` up to its first byte outside the alphabet; the result may hold any byte, NUL included.
std::string Base64Decode(std::string_view text);

/// A base64 decoder whose leftover bits carry over from one call to the next, for text that arrives in lines.
class Base64Decoder {
public:
    /// Decodes `text` up to its first byte outside the alphabet and writes the whole bytes to `out`, which must
    /// hold text.size() * 3 / 4 + 1 bytes and may be the text's own buffer. Returns the number of bytes written;
    /// bits short of a byte are kept for the next call.
    std::size_t Decode(std::string_view text, unsigned char* out);

    /// Drops the bits kept from earlier calls.
    void Reset()
    {
        m_bits = 0;
        m_bitCount = 0;
    }

private:
    std::uint32_t m_bits = 0;
    int m_bitCount = 0;
};

/// In place: base64-decodes `s`, then subtracts the descrambler key text from the decoded bytes up to the first
/// decoded NUL, the key position starting again after its 242nd character. Returns `s`.
char* KeyedDescramble(char* s);

/// Deciphers the companion's enciphered text as it arrives in pieces (lines without their line ends): base64 up to
/// the first byte outside the alphabet, then the descrambler key text subtracted from every decoded byte, the key
/// position starting again after its 242nd character. It goes by length: a decoded byte of 0 is a byte like any
/// other, where KeyedDescramble would end the text.
class KeyedDescrambler {
public:
    /// Appends the deciphered bytes of `text` to `out`. After the first byte outside the alphabet nothing more is
    /// decoded, in this call or later ones.
    void Decipher(std::string_view text, std::string& out);

    /// Something other than '=' padding followed the end of the base64 text: the text was damaged, and what came
    /// after the damage is missing from the result.
    bool Damaged() const { return m_damaged; }

    /// Deciphered bytes so far.
    std::uint64_t Length() const { return m_length; }

private:
    Base64Decoder m_decoder;
    bool m_ended = false;
    bool m_damaged = false;
    std::size_t m_keyPosition = 0;
    std::uint64_t m_length = 0;
};

} // namespace qm
