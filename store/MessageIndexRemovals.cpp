// The files of deleted and moved messages that the index removes after a save, and the list of those whose removal
// failed, which later saves, also of the next sessions, try again.
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "store/MessageIndex.h"
#include "store/StoreSeams.h"

#include <cerrno>
#include <cstdint>
#include <set>
#include <string_view>

namespace qm::store {

// The files whose removal an earlier Save could not do are due again. A path that a stored entry names again (the
// list outlived a crash, or was edited) is never removed.
void MessageIndex::LoadPendingRemovals()
{
    const Result<std::string> text =
            platform::ReadWholeFile(platform::PathJoin(m_userDir, kPendingRemovalsFile), std::uint64_t{4} << 20);
    if (!text.has_value()) {
        return;
    }
    std::set<std::string> live;
    for (const auto& e : m_entries) {
        if (!e->m_folder.empty()) {
            live.insert(e->GetMessagePath());
            live.insert(e->GetPartIndexPath());
        }
    }
    std::string_view rest = *text;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        const std::string relative = platform::NativePath(line);
        bool safe = !relative.empty();
        for (std::size_t at = 0; safe && at <= relative.size();) {
            const std::size_t slash = std::min(relative.find('/', at), relative.size());
            safe = platform::IsSafeName(std::string_view(relative).substr(at, slash - at));
            at = slash + 1;
        }
        const std::string path = platform::PathJoin(m_userDir, relative);
        if (safe && !live.contains(path) && !AwaitsRemoval(path)) {
            m_removeAfterSave.push_back(path);
            m_pendingRemovals.push_back(path);
        }
    }
}

void MessageIndex::RemoveFilesAfterSave()
{
    std::vector<std::string> failed;
    for (const std::string& path : m_removeAfterSave) {
        const Result<void> removed = platform::RemoveFile(path);
        if (removed.has_value() || removed.error().Code == ENOENT) {
            continue;
        }
        failed.push_back(path);
        if (m_removalsReported.insert(path).second) {
            ReportFileFailure(removed.error().Message, "the file of a deleted or moved message stays deleted and is "
                                                       "removed at a later save");
        }
    }
    m_removeAfterSave = failed;
    if (failed == m_pendingRemovals) {
        return;
    }
    std::string text;
    const std::string prefix = m_userDir + "/";
    for (const std::string& path : failed) {
        if (path.starts_with(prefix)) {
            text += platform::StoredPath(std::string_view(path).substr(prefix.size())) + "\r\n";
        }
    }
    const std::string list = platform::PathJoin(m_userDir, kPendingRemovalsFile);
    const Result<void> written = text.empty() ? platform::RemoveFile(list) : platform::WriteFileAtomic(list, text);
    if (written.has_value() || (text.empty() && written.error().Code == ENOENT)) {
        m_pendingRemovals = failed;
    } else if (m_removalsReported.insert(list).second) {
        ReportFileFailure(written.error().Message, "the files of deleted messages may come back in the next session");
    }
}

} // namespace qm::store
