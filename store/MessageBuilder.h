// MessageBuilder: takes one message, a line at a time, into the store: its index entry from the top header block,
// its message file, and the part index that the MIME walk finds in it.
#pragma once

#include "store/HeaderBlock.h"
#include "store/MessageIndex.h"
#include "store/PartIndex.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace qm {
class MimeTypeTable;
class StringList;
} // namespace qm

namespace qm::store {

class MailHostAccount;
class MessageIndex;
class MessageIndexEntry;
class StoreBatch;
class StoreUser;

/// The longest top-level content type the builder keeps.
inline constexpr std::size_t kMaxTopContentType = 63;

/// Raw header bytes the builder holds before the top header block ends; a header block that runs past it is ended
/// there (the line that passes it is taken as the first body line), so no message can make the builder hold
/// more.
inline constexpr std::size_t kMaxTopHeaderBytes = std::size_t{8} << 20;

/// Parts the builder lists of one message; parts past it are not listed (their bytes stay in the message file), so
/// no message can make the part list or its index file grow without bound.
inline constexpr int kMaxMessageParts = 10000;

/// The builder's walk states.
enum class BuildState {
    TopHeader,   ///< the top header block
    Body,        ///< a body without structure, or after the last boundary
    OuterWait,   ///< waiting for an outer boundary
    PartHeader,  ///< a part's header block
    PartBody,    ///< a part's body
    InnerWait,   ///< waiting for an inner boundary
    InnerHeader, ///< an inner part's header block
    InnerBody,   ///< an inner part's body
};

/// Points the builders at the MIME-type table that names and types parts without them; null (the default) leaves
/// the table's defaults ("application/octet-stream", "att"). The engine sets it once its table is loaded; nothing
/// may be building while it changes.
void SetStoreMimeTypes(const MimeTypeTable* table) noexcept;

/// Builds one message. Not thread-safe: one thread, and the owner of the index, at a time.
///
/// A new message file is written to a hidden temporary file in the user directory (".QM000123.msg.tmp") and renamed
/// into its folder once it is flushed to disk, so a crash leaves either no message file or a whole one: by Finish,
/// or, for a builder given a StoreBatch, by the batch's Commit together with the other messages of the batch.
/// A builder destroyed without Finish removes what it wrote and clears the entry's stored flag; it never removes a
/// file it did not create.
class MessageBuilder {
public:
    /// A message for folder ('/' between levels): adoption, compose, the welcome message.
    MessageBuilder(MessageIndex& index, std::string folder);

    /// A message fetched over POP3 from account: its folder comes from user's filters. uid ("" for none) becomes
    /// the entry's Uid and is added to seenUids (when given) once the entry exists.
    MessageBuilder(const MailHostAccount& account, MessageIndex& index, StringList* seenUids, std::string_view uid,
                   StoreUser* user);

    /// Re-reads an existing entry: keeps its FileId and folder. With storing on (a headers-only entry being
    /// completed) the message file is written; with storing off the caller feeds the existing file through
    /// AddReadLine and the part offsets are positions in it.
    explicit MessageBuilder(MessageIndexEntry& entry);

    ~MessageBuilder();
    MessageBuilder(const MessageBuilder&) = delete;
    MessageBuilder& operator=(const MessageBuilder&) = delete;

    /// Starts the message: size (bytes) becomes the entry's Size; store says whether the message file is written.
    /// Takes a new number from the index unless bound to an entry. False when the index has no free number left
    /// (nothing is stored then; lines are still taken).
    bool Begin(std::int64_t size, bool store);

    /// Adds one line given without its line end; returns its length + 2.
    int AddLine(std::string_view line);

    /// Adds one line read from an existing message file (rebuilding): fileBytes is what the line takes in the file,
    /// its line end included, so that part offsets stay positions in that file.
    void AddReadLine(std::string_view line, std::uint64_t fileBytes);

    /// True while the top header block is being read.
    bool InHeader() const { return m_state == BuildState::TopHeader; }

    /// Ends the message: closes and places the message file (setting the stored flag), finishes the part list and
    /// writes the part index file when the message has parts. Returns the entry (null when none was created: the
    /// top header block never ended). With a batch the files are written but wait for the batch's Commit, which
    /// places them and sets the stored flag (Queued tells).
    MessageIndexEntry* Finish();

    /// Makes Finish leave the message's files to batch (which must outlive the builder's Finish) instead of
    /// syncing and placing them itself. Null (the default): Finish places them.
    void SetBatch(StoreBatch* batch) { m_batch = batch; }

    /// True when Finish handed the message to the batch: it is stored once the batch's Commit placed it.
    bool Queued() const { return m_queued; }

    /// A copy of the part list.
    PartIndex TakeParts() const { return m_parts; }

    /// The walk state (for tests and the POP3 client's checks).
    BuildState State() const { return m_state; }

    /// The number the message got ("QM%06d" of it is its FileId).
    std::uint32_t Number() const { return m_number; }

private:
    void Consume(std::string_view line);
    void EndTopHeader();
    void CreateEntry();
    bool OpenMessageFile();
    void WriteLine(std::string_view line);
    void StartPart(int part, std::uint32_t subPart);
    void CountBodyLine(std::string_view line);
    void AdjustSize();
    void ReachInnerBoundary(std::string_view line);
    void ScanUuencodedParts(const std::string& path);
    void NameParts();
    void Abandon();

    MessageIndex& m_index;
    MessageIndexEntry* m_entry = nullptr;
    StringList* m_seenUids = nullptr;
    StoreUser* m_user = nullptr;
    std::int64_t m_size = 0;
    std::string m_uid;
    std::string m_mailbox;
    // The account deletes each message on the server right after fetching it.
    ServerCopy m_serverCopy = ServerCopy::Kept;
    std::string m_folder;
    std::string m_fileId;
    HeaderBlock m_headers;
    std::vector<std::string> m_topLines;
    std::size_t m_topBytes = 0;
    std::string m_topType = "text/plain";
    std::string m_topCharset; // the top content type's charset, for the text parts of a plain body
    std::string m_outerBoundary;
    std::string m_innerBoundary;
    PartIndex m_parts;
    PartIndexEntry* m_current = nullptr;

    // The message file being written: a temporary file until Finish places it. When rebuilding, the caller reads
    // the existing file and only the position in it is kept.
    std::FILE* m_file = nullptr;
    std::string m_tempPath;
    std::uint64_t m_position = 0;

    std::uint32_t m_number = 0;
    BuildState m_state = BuildState::TopHeader;
    int m_partCounter = 0;
    std::uint32_t m_subPartCounter = 0;
    bool m_bound = false;
    bool m_store = false;
    bool m_singlePart = false;
    bool m_beginSeen = false;
    bool m_endSeen = false;
    bool m_writeFailed = false;
    bool m_reading = false;
    StoreBatch* m_batch = nullptr;
    bool m_queued = false;
};

/// Stores the message file at path again as a new message of folder (the adoption step of the index): reads it
/// whole lines at a time through a builder with storing on. Returns the new entry, or null when the file cannot be
/// read or the message could not be stored (nothing of it is left in the index then).
MessageIndexEntry* RestoreMessageFile(MessageIndex& index, const std::string& folder, const std::string& path);

/// Stores lines as a new message of folder, storing on, Size the sum of the line lengths (an empty line is added
/// when the lines hold no end of the header block). Returns the new, stored entry, or null when the message could
/// not be stored (nothing of it is left in the index then).
/// With a batch the entry is returned queued (stored once the batch's Commit placed it), or null when it could not
/// even be written.
MessageIndexEntry* StoreMessageLines(MessageIndex& index, const std::string& folder,
                                     const std::vector<std::string>& lines, StoreBatch* batch = nullptr);

/// Whether line opens a uuencoded block: "begin", a blank, three or four octal digits, a blank and a name.
bool IsUuencodeBegin(std::string_view line);

/// Whether line closes a uuencoded block: exactly "end", white space after it allowed.
bool IsUuencodeEnd(std::string_view line);

/// A part's file name made safe for a file of its own: the text after the last '/' or '\', without control bytes,
/// trimmed; "." and ".." give "".
std::string CleanPartFileName(std::string_view name);

} // namespace qm::store
