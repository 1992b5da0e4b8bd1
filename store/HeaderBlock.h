// HeaderBlock: the header fields of one message or MIME part, folded lines joined and encoded words decoded.
#pragma once

#include "common/NameValueList.h"
#include "store/EncodedWords.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace qm::store {

/// Limits on one header block. What lies beyond them is dropped; nothing is split off or read past.
struct HeaderLimits {
    /// Header items kept; a header line past it is dropped together with its continuation lines.
    std::size_t MaxHeaders = 1000;
    /// Bytes kept of one line (the line end not counted); the rest of a longer line is dropped.
    std::size_t MaxLineLength = 4095;
    /// Bytes of all names and values together; a header line or continuation that would pass it is dropped.
    std::size_t MaxTotalSize = std::size_t{256} * 1024;
};

/// The longest text that GetBoundary gives, its leading "--" included.
inline constexpr std::size_t kMaxBoundaryLength = 79;

/// The header fields of one RFC 822 message or MIME part: one item per header, in order, with names as written
/// (looked up without regard to case) and values unfolded and decoded into UTF-8 (see DecodeEncodedWords), a character
/// split across encoded words on two folded lines included. A header that occurs
/// several times gives several items; look-ups find the first. Values never hold a NUL byte (it becomes a blank)
/// but may hold any other byte, CR, LF and 0x01 included: writers of store records clean them.
///
/// Not thread-safe: one thread at a time.
class HeaderBlock : private NameValueList {
public:
    explicit HeaderBlock(const HeaderLimits& limits = {})
        : m_limits(limits)
    {}

    HeaderBlock(const HeaderBlock&) = delete;
    HeaderBlock& operator=(const HeaderBlock&) = delete;
    HeaderBlock(HeaderBlock&& other) noexcept;
    HeaderBlock& operator=(HeaderBlock&& other) noexcept;
    ~HeaderBlock() = default;

    /// The header block of the message file at path: its lines up to the first empty one. A file that cannot be
    /// opened gives an empty block.
    static HeaderBlock ReadFile(const char* path, const HeaderLimits& limits = {});

    /// Adds one line, given without its line end (a final CR is dropped too):
    /// - an empty line is ignored;
    /// - a line beginning with a blank or tab continues the current header: its leading white space becomes one
    ///   blank, its encoded words are decoded and it is appended; when the value ended with an encoded word and the
    ///   continuation begins with one, they are joined without the blank; with no current header it is dropped;
    /// - any other line is split at its first ':' (a line without ':' is ignored): the name is the text before it,
    ///   the value the text after it without leading blanks and tabs, with its encoded words decoded.
    void AddLine(std::string_view line);

    /// Drops every item and the current header.
    void Clear();

    /// The "boundary=" parameter of "Content-Type" with "--" in front: a quoted value runs to its closing quote
    /// (a backslash takes the next character as it is), any other value to the first blank, control byte or
    /// ( ) < > @ , ; : \ " / [ ] ? =. Cut at kMaxBoundaryLength characters. False, leaving boundary empty, when
    /// there is no such parameter or its value is empty.
    bool GetBoundary(std::string& boundary) const;

    /// As above into buf of size bytes: at most size - 1 characters and a NUL. With a null buf or a size of 0 only
    /// the result is given.
    bool GetBoundary(char* buf, std::size_t size) const;

    /// True when the text decoded last ended with an encoded word.
    bool EndsWithEncodedWord() const { return m_endsWithEncodedWord; }

    const HeaderLimits& Limits() const { return m_limits; }

    /// The items as a NameValueList, for code that takes one.
    const NameValueList& Items() const { return *this; }

    // Look-ups and additions of the list. Add and Set do not touch the current header.
    using NameValueList::Add;
    using NameValueList::Contains;
    using NameValueList::Count;
    using NameValueList::Find;
    using NameValueList::GetValue;
    using NameValueList::IsBlank;
    using NameValueList::IsEmpty;
    using NameValueList::Item;
    using NameValueList::Set;

private:
    void AddHeader(std::string_view line);
    void AddContinuation(std::string_view line);

    HeaderLimits m_limits;
    NameValuePair* m_current = nullptr;
    bool m_endsWithEncodedWord = false;
    EncodedWordCarry m_carry; // what the current header's last word left of a character cut off
    std::size_t m_totalSize = 0;
    std::string m_scratch; // the line being added, reused from line to line
};

} // namespace qm::store
