#include "store/FetchJournal.h"

#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "store/StoreText.h"

#include <cerrno>
#include <cstdint>

namespace qm::store {

namespace {

// The journal's largest size read: far more than the lines of any run.
constexpr std::uint64_t kMaxJournalBytes = std::uint64_t{16} << 20;

constexpr std::string_view kDeletionDueMark = "D";

} // namespace

std::string FetchJournalText(const FetchJournalLine& line)
{
    std::string text;
    AppendRecordField(text, line.FileId, '\x01');
    AppendRecordField(text, platform::StoredPath(line.Folder), '\x01');
    AppendRecordField(text, line.Mailbox, '\x01');
    AppendRecordField(text, line.Uid, '\x01');
    if (line.DeletionDue) {
        AppendRecordField(text, kDeletionDueMark, '\x01');
    }
    text += "\r\n";
    return text;
}

std::vector<FetchJournalLine> ReadFetchJournal(const std::string& path)
{
    std::vector<FetchJournalLine> lines;
    const Result<std::string> text = platform::ReadWholeFile(path, kMaxJournalBytes);
    if (!text.has_value()) {
        return lines;
    }
    std::string_view rest = text.value();
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        std::vector<std::string_view> fields;
        for (std::size_t at; fields.size() < 5 && (at = line.find('\x01')) != std::string_view::npos;) {
            fields.push_back(line.substr(0, at));
            line.remove_prefix(at + 1);
        }
        if (fields.size() < 4 || fields[2].empty() || fields[3].empty()) {
            continue;
        }
        FetchJournalLine& entry = lines.emplace_back();
        entry.FileId = fields[0];
        entry.Folder = platform::NativePath(fields[1]);
        entry.Mailbox = fields[2];
        entry.Uid = fields[3];
        entry.DeletionDue = fields.size() == 5 && fields[4] == kDeletionDueMark;
    }
    return lines;
}

Result<void> WriteFetchJournal(const std::string& path, const std::vector<FetchJournalLine>& lines)
{
    if (lines.empty()) {
        Result<void> removed = platform::RemoveFile(path);
        if (!removed.has_value() && removed.error().Code != ENOENT) {
            return removed;
        }
        return {};
    }
    std::string text;
    for (const FetchJournalLine& line : lines) {
        text += FetchJournalText(line);
    }
    return platform::WriteFileAtomic(path, text);
}

} // namespace qm::store
