#include "store/HeaderBlock.h"

#include "common/StringUtil.h"
#include "store/EncodedWords.h"
#include "store/StoreText.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace qm::store {

namespace {

bool IsBlankOrTab(char c)
{
    return c == ' ' || c == '\t';
}

// The characters that end an unquoted boundary: the RFC 2045 specials, blanks and control bytes.
bool EndsBoundaryToken(char c)
{
    return static_cast<unsigned char>(c) <= ' ' || std::strchr("()<>@,;:\\\"/[]?=", c) != nullptr;
}

std::string_view SkipBlanks(std::string_view s)
{
    std::size_t i = 0;
    while (i < s.size() && IsBlankOrTab(s[i])) {
        ++i;
    }
    return s.substr(i);
}

} // namespace

// The header state is taken before the list itself is moved.
HeaderBlock::HeaderBlock(HeaderBlock&& other) noexcept
    : m_limits(other.m_limits)
    , m_current(std::exchange(other.m_current, nullptr))
    , m_endsWithEncodedWord(std::exchange(other.m_endsWithEncodedWord, false))
    , m_carry(std::exchange(other.m_carry, {}))
    , m_totalSize(std::exchange(other.m_totalSize, 0))
{
    NameValueList::operator=(std::move(other));
}

HeaderBlock& HeaderBlock::operator=(HeaderBlock&& other) noexcept
{
    if (this != &other) {
        m_limits = other.m_limits;
        m_current = std::exchange(other.m_current, nullptr);
        m_endsWithEncodedWord = std::exchange(other.m_endsWithEncodedWord, false);
        m_carry = std::exchange(other.m_carry, {});
        m_totalSize = std::exchange(other.m_totalSize, 0);
        NameValueList::operator=(std::move(other));
    }
    return *this;
}

HeaderBlock HeaderBlock::ReadFile(const char* path, const HeaderLimits& limits)
{
    HeaderBlock block(limits);
    FilePtr file = OpenFile(path, "rb");
    if (!file) {
        return block;
    }
    LineReader reader(file.get());
    std::string line;
    while (reader.Next(line, limits.MaxLineLength) && !line.empty()) {
        block.AddLine(line);
    }
    return block;
}

void HeaderBlock::Clear()
{
    NameValueList::Clear();
    m_current = nullptr;
    m_endsWithEncodedWord = false;
    m_carry = {};
    m_totalSize = 0;
}

void HeaderBlock::AddLine(std::string_view line)
{
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    line = line.substr(0, m_limits.MaxLineLength);
    if (line.empty()) {
        return;
    }
    // Values are NUL-terminated strings: a NUL byte would silently cut the rest of the header away.
    m_scratch.assign(line);
    std::replace(m_scratch.begin(), m_scratch.end(), '\0', ' ');
    if (IsBlankOrTab(m_scratch[0])) {
        AddContinuation(m_scratch);
    } else {
        AddHeader(m_scratch);
    }
}

void HeaderBlock::AddHeader(std::string_view line)
{
    m_current = nullptr;
    m_carry = {};
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || static_cast<std::size_t>(Count()) >= m_limits.MaxHeaders) {
        return;
    }
    const std::string_view name = line.substr(0, colon);
    std::string value(SkipBlanks(line.substr(colon + 1)));
    m_endsWithEncodedWord = DecodeEncodedWords(value, &m_carry).EndsWithEncodedWord;
    const std::size_t size = std::min(name.size(), NameValuePair::kMaxNameLength) + value.size();
    if (size > m_limits.MaxTotalSize - m_totalSize) {
        return;
    }
    // NewItem leaves the list's remembered pair alone, so a look-up still finds the first of repeated headers.
    NameValuePair* pair = NewItem();
    pair->SetName(std::string(name).c_str());
    pair->SetValue(value.c_str());
    m_totalSize += size;
    m_current = pair;
}

void HeaderBlock::AddContinuation(std::string_view line)
{
    if (m_current == nullptr) {
        return;
    }
    std::string text(SkipBlanks(line));
    const bool endedWithWord = m_endsWithEncodedWord;
    EncodedWordCarry carry = std::exchange(m_carry, {});
    if (!endedWithWord) {
        carry = {};
    }
    const std::size_t shown = carry.Shown;
    const EncodedWordScan scan = DecodeEncodedWords(text, &carry);
    m_endsWithEncodedWord = scan.EndsWithEncodedWord;
    // White space between two encoded words is not part of the text, folding included.
    const bool joinTight = endedWithWord && scan.StartsWithEncodedWord;
    // The bytes of a character cut off at the end of the last line were shown as they were; this line completes it.
    const std::size_t dropped = scan.UsedCarry ? std::min(shown, m_totalSize) : 0;
    const std::size_t size = (joinTight ? 0 : 1) + text.size();
    if (size > m_limits.MaxTotalSize - (m_totalSize - dropped)) {
        m_current = nullptr; // the value stops here; later continuations are not glued onto a cut value
        return;
    }
    m_current->DropValueTail(dropped);
    m_totalSize -= dropped;
    if (!joinTight) {
        m_current->AppendValue(" ");
    }
    m_current->AppendValue(text);
    m_totalSize += size;
    m_carry = std::move(carry);
}

bool HeaderBlock::GetBoundary(std::string& boundary) const
{
    boundary.clear();
    const char* type = GetValue("Content-Type");
    const char* found = FindNoCase(type, "boundary=");
    if (found == nullptr) {
        return false;
    }
    const char* p = found + std::strlen("boundary=");
    boundary = "--";
    if (*p == '"') {
        // A quoted string: up to the closing quote, a backslash taking the next character as it is.
        for (++p; *p != '\0' && *p != '"' && boundary.size() < kMaxBoundaryLength; ++p) {
            if (*p == '\\') {
                if (*++p == '\0') {
                    break;
                }
            }
            boundary.push_back(*p);
        }
    } else {
        for (; *p != '\0' && !EndsBoundaryToken(*p) && boundary.size() < kMaxBoundaryLength; ++p) {
            boundary.push_back(*p);
        }
    }
    if (boundary.size() == 2) {
        boundary.clear(); // "boundary=" without a value: every line beginning "--" would match it
        return false;
    }
    return true;
}

bool HeaderBlock::GetBoundary(char* buf, std::size_t size) const
{
    std::string boundary;
    const bool found = GetBoundary(boundary);
    if (buf != nullptr && size > 0) {
        const std::size_t len = std::min(boundary.size(), size - 1);
        std::memcpy(buf, boundary.data(), len);
        buf[len] = '\0';
    }
    return found;
}

} // namespace qm::store
