#include "store/PartIndex.h"

#include "base/Assert.h"
#include "common/IniAccess.h"
#include "common/StringUtil.h"
#include "platform/FileSystem.h"
#include "store/StoreText.h"

#include <array>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>

namespace qm::store {

namespace {

constexpr char kSeparator = '\x01';
// Lines longer than this are cut (and then usually lack their separators); the writer never makes one.
constexpr std::size_t kMaxLineLength = 4095;
constexpr std::size_t kFieldCount = 9;
// The charset of a text part follows the nine fields when it has one; older files have none. The disposition
// follows the charset (empty or not) for a part sent as an attachment.
constexpr std::size_t kCharsetField = kFieldCount;
constexpr std::size_t kDispositionField = kCharsetField + 1;
constexpr std::string_view kAttachmentDisposition = "attachment";

// A signed field as atoi reads it, held within int.
int ParseInt(const char* s)
{
    const long v = std::strtol(s, nullptr, 10);
    if (v > INT_MAX) {
        return INT_MAX;
    }
    if (v < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(v);
}

// An unsigned 32-bit field. Older files wrote these signed, so "-1" must read as 4294967295: strtoul negates a
// leading '-' in unsigned arithmetic and the value is then taken modulo 2^32.
std::uint32_t ParseUnsigned(const char* s)
{
    return static_cast<std::uint32_t>(std::strtoul(s, nullptr, 10));
}

// At most kMaxText bytes of s, cut where no UTF-8 character is split.
std::string CutText(std::string_view s)
{
    if (s.size() <= PartIndexEntry::kMaxText) {
        return std::string(s);
    }
    std::size_t cut = PartIndexEntry::kMaxText;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return std::string(s.substr(0, cut));
}

// Appends a number in decimal and the field separator.
template <class T>
void AppendNumber(std::string& line, T value)
{
    char buf[24];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    QM_ASSERT(ec == std::errc());
    line.append(buf, end);
    line.push_back(kSeparator);
}

} // namespace

bool PartIndex::Read(const char* path)
{
    FilePtr file = OpenFile(path, "rb");
    if (!file) {
        return false;
    }
    LineReader reader(file.get());
    std::string line;
    while (reader.Next(line, kMaxLineLength)) {
        if (CountChar(line.c_str(), kSeparator) < kFieldCount - 1) {
            continue; // short or foreign line (counted up to a NUL, where the fields below stop too)
        }
        // Cut the line into its fields in place; the last one ends at the next separator or the line end.
        std::array<const char*, kDispositionField + 1> fields{};
        char* p = line.data();
        for (std::size_t i = 0; i <= kDispositionField && p != nullptr; ++i) {
            fields[i] = p;
            char* end = std::strchr(p, kSeparator);
            if (end == nullptr) {
                p = nullptr; // the last field runs to the line end; no charset field follows
                break;
            }
            *end = '\0';
            p = end + 1;
        }
        PartIndexEntry& entry = *NewEntry();
        entry.Part = ParseInt(fields[0]);
        entry.SubPart = ParseUnsigned(fields[1]);
        entry.FileName = CutText(fields[2]);
        entry.ContentType = CutText(fields[3]);
        entry.TransferEncoding = CutText(fields[4]);
        entry.ContentId = CutText(fields[5]);
        entry.Size = ParseInt(fields[6]);
        entry.Offset = ParseUnsigned(fields[7]);
        entry.LineCount = ParseUnsigned(fields[8]);
        if (fields[kCharsetField] != nullptr) {
            entry.Charset = CutText(fields[kCharsetField]);
        }
        entry.Attachment =
                fields[kDispositionField] != nullptr && EqualsNoCase(fields[kDispositionField], kAttachmentDisposition);
    }
    return true;
}

bool PartIndex::Write(const char* path) const
{
    return path != nullptr && platform::WriteFileAtomic(path, Text()).has_value();
}

std::string PartIndex::Text() const
{
    std::string data;
    for (const PartIndexEntry& e : m_entries) {
        AppendNumber(data, e.Part);
        AppendNumber(data, e.SubPart);
        for (const std::string* text : {&e.FileName, &e.ContentType, &e.TransferEncoding, &e.ContentId}) {
            AppendRecordField(data, CutText(*text), kSeparator);
        }
        AppendNumber(data, e.Size);
        AppendNumber(data, e.Offset);
        AppendNumber(data, e.LineCount);
        if (!e.Charset.empty() || e.Attachment) {
            AppendRecordField(data, CutText(e.Charset), kSeparator);
        }
        if (e.Attachment) {
            AppendRecordField(data, kAttachmentDisposition, kSeparator);
        }
        data.append("\r\n");
    }
    return data;
}

const PartIndexEntry* PartIndex::FindByFileName(const char* name) const
{
    const std::string_view wanted = name == nullptr ? "" : name;
    for (const PartIndexEntry& e : m_entries) {
        if (EqualsNoCase(e.FileName, wanted)) {
            return &e;
        }
    }
    return nullptr;
}

const PartIndexEntry* PartIndex::FindByContentId(const char* id) const
{
    const std::string_view wanted = id == nullptr ? "" : id;
    for (const PartIndexEntry& e : m_entries) {
        if (EqualsNoCase(e.ContentId, wanted)) {
            return &e;
        }
    }
    return nullptr;
}

const PartIndexEntry* PartIndex::FindByPartId(const char* id) const
{
    if (id == nullptr) {
        return nullptr;
    }
    char buf[32];
    for (const PartIndexEntry& e : m_entries) {
        static_cast<void>(std::snprintf(buf, sizeof buf, "%d.%u", e.Part, static_cast<unsigned>(e.SubPart)));
        if (std::strcmp(buf, id) == 0) {
            return &e;
        }
    }
    return nullptr;
}

bool PartIndex::IsInlinePart(const PartIndexEntry& part, const char* preferredType, int maxInlineKB) const
{
    if (part.Attachment ||
        (maxInlineKB > 0 && static_cast<long long>(part.Size) > static_cast<long long>(maxInlineKB) * 1024)) {
        return false;
    }
    const std::string_view preferred = preferredType == nullptr ? "" : preferredType;
    if (part.SubPart != 0) {
        if (EqualsNoCase(part.ContentType, preferred)) {
            return true;
        }
        if (!EqualsNoCase(part.ContentType, "text/plain")) {
            return false;
        }
        for (const PartIndexEntry& other : m_entries) {
            if (&other != &part && other.Part == part.Part && EqualsNoCase(other.ContentType, preferred)) {
                return false;
            }
        }
        return true;
    }
    return StartsWithNoCase(part.ContentType, "text") || EqualsNoCase(part.ContentType, "message/delivery-status") ||
           EqualsNoCase(part.ContentType, "message/report");
}

bool PartIndex::IsInlinePart(const PartIndexEntry& part, const char* preferredType) const
{
    return IsInlinePart(part, preferredType, ReadIniInt("General", "MaxInlineAttachSize", kDefaultMaxInlineAttachKB));
}

PartIndexEntry* PartIndex::NewEntry()
{
    return &m_entries.emplace_back();
}

PartIndexEntry& PartIndex::Item(int index)
{
    QM_ASSERT(index >= 0 && index < Count());
    return m_entries[static_cast<std::size_t>(index)];
}

const PartIndexEntry& PartIndex::Item(int index) const
{
    QM_ASSERT(index >= 0 && index < Count());
    return m_entries[static_cast<std::size_t>(index)];
}

} // namespace qm::store
