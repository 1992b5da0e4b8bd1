#include "common/Scrambler.h"

#include "common/ScramblerKeys.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace qm {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 64;

constexpr std::array<std::uint8_t, 256> BuildDecodeTable()
{
    std::array<std::uint8_t, 256> table{};
    table.fill(kInvalid);
    for (std::uint8_t i = 0; i < 64; ++i) {
        table[static_cast<unsigned char>(kAlphabet[i])] = i;
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> kDecodeTable = BuildDecodeTable();

enum class Padding {
    None,   // the scrambler's form: the last 2 or 4 bits make one more character
    Equals, // standard base64: '=' fills the text to a multiple of four characters
};

// Whether a buffer of `size` bytes holds the encoding of `n` bytes and its NUL; sets `encoded` to its length.
bool EncodingFits(std::size_t n, std::size_t size, Padding padding, std::size_t& encoded)
{
    if (n > (SIZE_MAX - 8) / 4) {
        return false;
    }
    encoded = padding == Padding::Equals ? (n + 2) / 3 * 4 : (n * 4 + 2) / 3;
    return encoded < size;
}

// Encodes the first `n` bytes of `buf` into `buf` itself and returns the encoded length (no NUL is written).
// Groups are written from the last to the first: group i is written at 4i, after its bytes at 3i were read, and
// never over an earlier group's bytes. `buf` must hold the encoded length.
std::size_t EncodeInPlace(unsigned char* buf, std::size_t n, Padding padding)
{
    const std::size_t full = n / 3;
    const std::size_t rest = n % 3;
    std::size_t length = full * 4;
    if (rest != 0) {
        const std::uint32_t group =
                (std::uint32_t{buf[full * 3]} << 16) | (rest == 2 ? std::uint32_t{buf[full * 3 + 1]} << 8 : 0);
        unsigned char* out = buf + full * 4;
        out[0] = static_cast<unsigned char>(kAlphabet[(group >> 18) & 63]);
        out[1] = static_cast<unsigned char>(kAlphabet[(group >> 12) & 63]);
        std::size_t written = 2;
        if (rest == 2) {
            out[written++] = static_cast<unsigned char>(kAlphabet[(group >> 6) & 63]);
        }
        while (padding == Padding::Equals && written < 4) {
            out[written++] = '=';
        }
        length += written;
    }
    for (std::size_t i = full; i-- > 0;) {
        const unsigned char* in = buf + i * 3;
        const std::uint32_t group = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
        unsigned char* out = buf + i * 4;
        out[3] = static_cast<unsigned char>(kAlphabet[group & 63]);
        out[2] = static_cast<unsigned char>(kAlphabet[(group >> 6) & 63]);
        out[1] = static_cast<unsigned char>(kAlphabet[(group >> 12) & 63]);
        out[0] = static_cast<unsigned char>(kAlphabet[(group >> 18) & 63]);
    }
    return length;
}

// The scrambler's XOR chain: the key index starts at the length as one byte, then follows each output byte.
void ChainForward(unsigned char* buf, std::size_t n)
{
    std::uint8_t index = static_cast<std::uint8_t>(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t c = buf[i] ^ kScramblerKeyTable[index];
        buf[i] = c;
        index = c;
    }
}

void ChainBackward(unsigned char* buf, std::size_t n)
{
    std::uint8_t index = static_cast<std::uint8_t>(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t c = buf[i];
        buf[i] = c ^ kScramblerKeyTable[index];
        index = c;
    }
}

unsigned char* Bytes(char* s)
{
    return reinterpret_cast<unsigned char*>(s);
}

} // namespace

std::size_t Base64Decoder::Decode(std::string_view text, unsigned char* out)
{
    std::size_t n = 0;
    for (const char ch : text) {
        const std::uint8_t value = kDecodeTable[static_cast<unsigned char>(ch)];
        if (value == kInvalid) {
            break;
        }
        m_bits = (m_bits << 6) | value;
        m_bitCount += 6;
        if (m_bitCount >= 8) {
            m_bitCount -= 8;
            out[n++] = static_cast<unsigned char>(m_bits >> m_bitCount);
            m_bits &= (1u << m_bitCount) - 1;
        }
    }
    return n;
}

std::string ScramblePassword(std::string_view plain)
{
    std::size_t encoded = 0;
    if (!EncodingFits(plain.size(), SIZE_MAX, Padding::None, encoded)) {
        return {};
    }
    std::string out(encoded, '\0'); // the encoding is never shorter than its input
    std::copy(plain.begin(), plain.end(), out.begin());
    ChainForward(Bytes(out.data()), plain.size());
    EncodeInPlace(Bytes(out.data()), plain.size(), Padding::None);
    return out;
}

bool ScramblePassword(char* s, std::size_t size)
{
    if (s == nullptr) {
        return false;
    }
    const std::size_t n = std::strlen(s);
    std::size_t encoded = 0;
    if (!EncodingFits(n, size, Padding::None, encoded)) {
        return false;
    }
    ChainForward(Bytes(s), n);
    s[EncodeInPlace(Bytes(s), n, Padding::None)] = '\0';
    return true;
}

std::string UnscramblePassword(std::string_view scrambled)
{
    std::string out(scrambled.size() * 3 / 4 + 1, '\0');
    Base64Decoder decoder;
    const std::size_t n = decoder.Decode(scrambled, Bytes(out.data()));
    ChainBackward(Bytes(out.data()), n);
    out.resize(n);
    return out;
}

std::size_t UnscramblePassword(char* s)
{
    if (s == nullptr) {
        return 0;
    }
    Base64Decoder decoder;
    const std::size_t n = decoder.Decode(s, Bytes(s));
    ChainBackward(Bytes(s), n);
    s[n] = '\0';
    return n;
}

std::string Base64Encode(std::string_view data)
{
    std::size_t encoded = 0;
    if (!EncodingFits(data.size(), SIZE_MAX, Padding::Equals, encoded)) {
        return {};
    }
    std::string out(encoded, '\0');
    std::copy(data.begin(), data.end(), out.begin());
    EncodeInPlace(Bytes(out.data()), data.size(), Padding::Equals);
    return out;
}

Result<std::size_t> Base64EncodeInPlace(char* buf, std::size_t length, std::size_t size)
{
    std::size_t encoded = 0;
    if (buf == nullptr || !EncodingFits(length, size, Padding::Equals, encoded)) {
        return Fail("base64 text does not fit the buffer");
    }
    buf[EncodeInPlace(Bytes(buf), length, Padding::Equals)] = '\0';
    return encoded;
}

char* Base64EncodeString(char* s, std::size_t size)
{
    if (s == nullptr) {
        return nullptr;
    }
    return Base64EncodeInPlace(s, std::strlen(s), size) ? s : nullptr;
}

char* Base64DecodeInPlace(char* s)
{
    if (s == nullptr) {
        return nullptr;
    }
    Base64Decoder decoder;
    s[decoder.Decode(s, Bytes(s))] = '\0';
    return s;
}

std::string Base64Decode(std::string_view text)
{
    std::string out(text.size() * 3 / 4 + 1, '\0');
    Base64Decoder decoder;
    out.resize(decoder.Decode(text, Bytes(out.data())));
    return out;
}

char* KeyedDescramble(char* s)
{
    if (Base64DecodeInPlace(s) == nullptr) {
        return nullptr;
    }
    constexpr std::size_t kKeyLength = kDescramblerKeyText.size() - 1; // 242 characters
    std::size_t position = 0;
    for (unsigned char* p = Bytes(s); *p != '\0'; ++p) {
        *p = static_cast<unsigned char>(*p - static_cast<unsigned char>(kDescramblerKeyText[position]));
        position = position + 1 == kKeyLength ? 0 : position + 1;
    }
    return s;
}

void KeyedDescrambler::Decipher(std::string_view text, std::string& out)
{
    std::size_t valid = text.size();
    if (m_ended) {
        valid = 0;
    } else {
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (kDecodeTable[static_cast<unsigned char>(text[i])] == kInvalid) {
                valid = i;
                m_ended = true;
                break;
            }
        }
    }
    if (text.substr(valid).find_first_not_of('=') != std::string_view::npos) {
        m_damaged = true;
    }
    const std::size_t start = out.size();
    out.resize(start + valid * 3 / 4 + 1);
    unsigned char* decoded = Bytes(out.data() + start);
    const std::size_t n = m_decoder.Decode(text.substr(0, valid), decoded);
    constexpr std::size_t kKeyLength = kDescramblerKeyText.size() - 1; // 242 characters
    for (std::size_t i = 0; i < n; ++i) {
        decoded[i] =
                static_cast<unsigned char>(decoded[i] - static_cast<unsigned char>(kDescramblerKeyText[m_keyPosition]));
        m_keyPosition = m_keyPosition + 1 == kKeyLength ? 0 : m_keyPosition + 1;
    }
    out.resize(start + n);
    m_length += n;
}

} // namespace qm
