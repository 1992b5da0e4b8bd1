// The rows of the session table that other processes read: one 224-byte record per live session, kept packed in
// creation order, and the helpers that write, find and remove them. The caller holds the sessions mutex.
#pragma once

#include "engine/EngineShared.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>

namespace qm::engine {

/// One row of the session table. Its layout binds the console and the web administration, which copy rows out
/// through QM_GetSessionStatus. Every text is NUL-terminated within its field and the rest of the field is zero.
struct SessionRecord {
    char SessionId[8];           // seven letters and a NUL
    std::uint32_t ClientAddress; // the client's IPv4 address in network byte order; 0 when it is not IPv4
    std::int32_t LastAccess;     // seconds since 1970 (32 bits: the layout is fixed)
    char UserName[80];           // 79 characters
    char FullName[64];           // full name of the user's default mail account, 63 characters
    char EMail[64];              // e-mail address of that account, 63 characters
};

static_assert(sizeof(SessionRecord) == kSessionRecordSize);
static_assert(std::is_trivially_copyable_v<SessionRecord> && std::is_standard_layout_v<SessionRecord>);
static_assert(offsetof(SessionRecord, SessionId) == 0);
static_assert(offsetof(SessionRecord, ClientAddress) == 8);
static_assert(offsetof(SessionRecord, LastAccess) == 12);
static_assert(offsetof(SessionRecord, UserName) == 16);
static_assert(offsetof(SessionRecord, FullName) == 96);
static_assert(offsetof(SessionRecord, EMail) == 160);

/// The texts of a row other than its id.
struct SessionRowData {
    std::uint32_t ClientAddress = 0;
    std::int64_t LastAccess = 0;
    std::string_view UserName;
    std::string_view FullName;
    std::string_view EMail;
};

/// The session table in this process: its rows and how many it was made with.
struct SessionTableView {
    unsigned char* Rows = nullptr;
    int Capacity = 0;

    SessionRecord* Row(int index) const { return reinterpret_cast<SessionRecord*>(Rows) + index; }
};

/// The dotted IPv4 address text ("192.0.2.7") in network byte order; nullopt for anything else (IPv6 included).
std::optional<std::uint32_t> ParseIPv4(std::string_view text);

/// Writes the row: id and data, each text cut to its field and the rest of every field zeroed.
void FillSessionRecord(SessionRecord& row, std::string_view id, const SessionRowData& data);

/// Writes the data of a row, keeping its id.
void UpdateSessionRecord(SessionRecord& row, const SessionRowData& data);

/// Index of the row among the first count whose id equals id (all 8 bytes compared); -1 when none does.
int FindSessionRecord(const SessionTableView& table, int count, std::string_view id);

/// Removes row index of the first count rows: the rows after it move down one place and the freed last row is
/// zeroed.
void RemoveSessionRecord(const SessionTableView& table, int count, int index);

} // namespace qm::engine
