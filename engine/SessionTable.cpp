#include "engine/SessionTable.h"

#include <algorithm>
#include <cstring>

namespace qm::engine {
namespace {

template <std::size_t N>
void CopyField(char (&field)[N], std::string_view text)
{
    const std::size_t length = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), length);
    std::memset(field + length, 0, N - length);
}

} // namespace

std::optional<std::uint32_t> ParseIPv4(std::string_view text)
{
    unsigned char bytes[4] = {};
    int part = 0;
    std::size_t at = 0;
    for (;;) {
        unsigned value = 0;
        std::size_t digits = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(text[at] - '0');
            ++at;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) {
            return std::nullopt;
        }
        bytes[part++] = static_cast<unsigned char>(value);
        if (part == 4) {
            break;
        }
        if (at >= text.size() || text[at] != '.') {
            return std::nullopt;
        }
        ++at;
    }
    if (at != text.size()) {
        return std::nullopt;
    }
    std::uint32_t address = 0;
    std::memcpy(&address, bytes, sizeof address); // the bytes in their written order: network byte order
    return address;
}

void UpdateSessionRecord(SessionRecord& row, const SessionRowData& data)
{
    row.ClientAddress = data.ClientAddress;
    row.LastAccess = static_cast<std::int32_t>(data.LastAccess);
    CopyField(row.UserName, data.UserName);
    CopyField(row.FullName, data.FullName);
    CopyField(row.EMail, data.EMail);
}

void FillSessionRecord(SessionRecord& row, std::string_view id, const SessionRowData& data)
{
    CopyField(row.SessionId, id);
    UpdateSessionRecord(row, data);
}

int FindSessionRecord(const SessionTableView& table, int count, std::string_view id)
{
    char key[kSessionIdSize] = {};
    std::memcpy(key, id.data(), std::min(id.size(), kSessionIdSize - 1));
    for (int index = 0; index < count; ++index) {
        if (std::memcmp(table.Row(index)->SessionId, key, kSessionIdSize) == 0) {
            return index;
        }
    }
    return -1;
}

void RemoveSessionRecord(const SessionTableView& table, int count, int index)
{
    if (index < 0 || index >= count) {
        return;
    }
    std::memmove(table.Row(index), table.Row(index + 1),
                 static_cast<std::size_t>(count - index - 1) * sizeof(SessionRecord));
    std::memset(table.Row(count - 1), 0, sizeof(SessionRecord));
}

} // namespace qm::engine
