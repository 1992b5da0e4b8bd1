// PartIndex: the parts of a stored message (attachments, alternatives, uuencoded blocks) and the ".att" file that
// lists them beside the message file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace qm::store {

/// One part: where its body lies in the message file and what it is.
struct PartIndexEntry {
    /// The longest text a part keeps in each of its four texts; longer ones are cut when read or written.
    static constexpr std::size_t kMaxText = 79;

    int Part = 0;
    /// 0 means "no sub-part": a part that is neither an alternative nor nested.
    std::uint32_t SubPart = 0;
    std::string FileName;
    std::string ContentType;
    std::string TransferEncoding;
    std::string ContentId;
    /// Bytes; for base64 and quoted-printable bodies an estimate of the decoded size.
    int Size = 0;
    /// Byte offset of the part's body in the message file.
    std::uint32_t Offset = 0;
    /// Lines of the part's body.
    std::uint32_t LineCount = 0;
    /// The "charset" parameter of a text part's content type ("" when it has none).
    std::string Charset = {};
    /// The part's Content-Disposition is "attachment": a file sent along, never shown as the message's text.
    bool Attachment = false;
};

/// The size limit of inline parts in kilobytes when the main INI does not set [General] MaxInlineAttachSize.
inline constexpr int kDefaultMaxInlineAttachKB = 20;

/// The part list of one message, in order. Entries stay at their addresses while entries are added.
/// Not thread-safe: one thread at a time.
///
/// File format, one line per part: part, sub-part, file name, content type, transfer encoding, content id, size,
/// offset, line count, each followed by the byte 0x01, then the charset and 0x01 when the part has one or is an
/// attachment, then "attachment" and 0x01 for an attachment, and CR LF.
/// Numbers are decimal; the three unsigned ones (sub-part, offset, line count) are written unsigned. Texts have every
/// byte below 0x20 replaced by a blank and are cut to kMaxText bytes without splitting a UTF-8 character.
class PartIndex {
public:
    /// Reads the ".att" file at path, appending its entries. Lines with fewer than 8 separators are skipped; texts
    /// are cut to kMaxText characters. False when the file cannot be opened.
    bool Read(const char* path);

    /// The file's text: one line per entry.
    std::string Text() const;

    /// Writes every entry to path as one step (a crash leaves the old or the new file whole). False when the file
    /// cannot be written.
    bool Write(const char* path) const;

    /// The first entry whose file name equals name without regard to ASCII case, or null.
    const PartIndexEntry* FindByFileName(const char* name) const;

    /// The first entry whose content id equals id without regard to ASCII case, or null.
    const PartIndexEntry* FindByContentId(const char* id) const;

    /// The first entry whose "part.sub-part" ("1.2", "0.0") equals id exactly, or null.
    const PartIndexEntry* FindByPartId(const char* id) const;

    /// Whether the Message page shows part (an entry of this list) in the body instead of as an attachment, with
    /// preferredType the type wanted among alternatives (the user's "text/html" or "text/plain") and maxInlineKB the
    /// size limit in kilobytes (0 or less: none):
    /// 1. a part larger than maxInlineKB * 1024 bytes, or one sent as an attachment, is not inline;
    /// 2. a part with a sub-part number is inline when its type is preferredType; otherwise only a "text/plain" part
    ///    is, and only when no other part with the same part number has preferredType;
    /// 3. any other part is inline when its type begins with "text" or is "message/delivery-status" or
    ///    "message/report".
    /// Types are compared without regard to ASCII case.
    bool IsInlinePart(const PartIndexEntry& part, const char* preferredType, int maxInlineKB) const;

    /// As above with the size limit of the main INI, read at every call: [General] MaxInlineAttachSize, default
    /// kDefaultMaxInlineAttachKB.
    bool IsInlinePart(const PartIndexEntry& part, const char* preferredType) const;

    /// Appends an empty entry and returns it.
    PartIndexEntry* NewEntry();

    void Clear() { m_entries.clear(); }

    int Count() const { return static_cast<int>(m_entries.size()); }

    /// The entry at index 0..Count()-1.
    PartIndexEntry& Item(int index);
    const PartIndexEntry& Item(int index) const;

private:
    std::deque<PartIndexEntry> m_entries;
};

} // namespace qm::store
