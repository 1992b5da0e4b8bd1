#include "store/StoreBatch.h"

#include "platform/Path.h"

namespace qm::store {

StoreBatch::~StoreBatch()
{
    for (const Pending& pending : m_pending) {
        Discard(pending);
    }
}

void StoreBatch::Discard(const Pending& pending)
{
    static_cast<void>(platform::RemoveFile(pending.MessageTemp));
    if (!pending.PartsTemp.empty()) {
        static_cast<void>(platform::RemoveFile(pending.PartsTemp));
    }
    pending.Entry->ChangeFlags(MessageFlag::Stored, false);
}

std::vector<MessageIndexEntry*> StoreBatch::Commit(platform::DirSync folders)
{
    std::vector<Pending> pending = std::move(m_pending);
    m_pending.clear();
    m_bytes = 0;
    std::vector<MessageIndexEntry*> failed;
    // The data first: a name that a power loss keeps always leads to the whole message.
    if (!m_sync.SyncFiles().has_value()) {
        for (const Pending& p : pending) {
            Discard(p);
            failed.push_back(p.Entry);
        }
        return failed;
    }
    for (const Pending& p : pending) {
        if (!Place(p, folders)) {
            failed.push_back(p.Entry);
        }
    }
    if (folders == platform::DirSync::Now) {
        // A folder that cannot be synced leaves its names as durable as the file system makes them; the data is.
        static_cast<void>(m_sync.SyncDirectories());
    }
    return failed;
}

bool StoreBatch::Place(const Pending& p, platform::DirSync folders)
{
    MessageIndexEntry& entry = *p.Entry;
    const std::string attPath = entry.GetPartIndexPath();
    const std::string msgPath = entry.GetMessagePath();
    const std::string folderDir = platform::ParentDirectory(msgPath);
    if (!platform::IsDirectory(folderDir)) {
        static_cast<void>(platform::MakeDirectories(folderDir));
    }
    // A part index left by an earlier message of this number would list parts this one does not have. The part
    // index goes first: a message file in its folder always has its parts listed beside it.
    static_cast<void>(platform::RemoveFile(attPath));
    bool wroteParts = false;
    if (!p.PartsTemp.empty()) {
        wroteParts = platform::MoveNoReplace(p.PartsTemp, attPath).has_value();
        if (!wroteParts) {
            static_cast<void>(platform::RemoveFile(p.PartsTemp));
        }
    }
    if (!entry.Uid().empty() && !entry.Mailbox().empty()) {
        entry.Owner().RecordFetched(entry.FileId(), entry.Folder(), entry.Mailbox(), entry.Uid(), p.Copy);
    }
    const Result<void> placed =
            p.Bound ? platform::ReplaceFile(p.MessageTemp, msgPath) : platform::MoveNoReplace(p.MessageTemp, msgPath);
    if (!placed.has_value()) {
        if (wroteParts) {
            static_cast<void>(platform::RemoveFile(attPath));
        }
        static_cast<void>(platform::RemoveFile(p.MessageTemp));
        entry.ChangeFlags(MessageFlag::Stored, false);
        return false;
    }
    if (folders == platform::DirSync::Now) {
        m_sync.AddDirectory(folderDir);
    } else {
        entry.Owner().SyncBeforeSave(folderDir);
    }
    entry.ChangeFlags(MessageFlag::Stored, true);
    entry.ForgetPartIndex();
    return true;
}

} // namespace qm::store
