// StoreBatch: new message files that builders wrote aside and that go into their folders together: one sync of
// their data, then their names, then one sync of each folder, instead of syncs for every message.
#pragma once

#include "platform/FileSystem.h"
#include "platform/SyncBatch.h"
#include "store/MessageIndex.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qm::store {

/// Messages finished by builders given this batch (MessageBuilder::SetBatch) wait here, written to hidden temporary
/// files, until Commit. Until then their entries are in the index without the stored flag, and nothing may save
/// that index or act on the messages' copies elsewhere (a server's DELE): that is what Commit orders. A kill before
/// Commit leaves only the temporary files, which the adoption of folder files removes. Not thread-safe.
class StoreBatch {
public:
    StoreBatch() = default;
    /// Removes the temporary files of messages never committed.
    ~StoreBatch();
    StoreBatch(const StoreBatch&) = delete;
    StoreBatch& operator=(const StoreBatch&) = delete;

    /// Messages waiting, and the sizes given to their builders' Begin, summed.
    std::size_t Count() const { return m_pending.size(); }

    std::uint64_t Bytes() const { return m_bytes; }

    /// Makes the data of every waiting message durable with one sync, then places each: a fetched message's line
    /// in the fetch journal, its part index, its message file (never over another file); then, with DirSync::Now,
    /// syncs every folder once, so that on return each placed message is on disk under its name; with
    /// DirSync::Later the index syncs the folders at its next Save. A placed entry gets the stored flag. An entry
    /// whose data sync or rename failed does not, its temporary files are removed, and it is returned: the caller
    /// decides what becomes of it. The batch is empty afterwards.
    std::vector<MessageIndexEntry*> Commit(platform::DirSync folders = platform::DirSync::Now);

    /// Sync calls made by the batch so far (tests, benchmarks).
    int SyncCalls() const { return m_sync.SyncCalls(); }

private:
    friend class MessageBuilder;

    struct Pending {
        MessageIndexEntry* Entry = nullptr;
        std::string MessageTemp;
        std::string PartsTemp; ///< "" when the message has no part index
        ServerCopy Copy = ServerCopy::Kept;
        bool Bound = false; ///< completes an existing entry: replaces its file
    };

    bool Place(const Pending& pending, platform::DirSync folders);
    static void Discard(const Pending& pending);

    platform::SyncBatch m_sync;
    std::vector<Pending> m_pending;
    std::uint64_t m_bytes = 0;
};

} // namespace qm::store
