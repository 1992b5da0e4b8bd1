// The program's compiled-in message table: texts of log messages looked up by number.
#pragma once

#include <cstddef>

namespace qm {

/// One message of a program's table.
struct StringEntry {
    int Id;
    const char* Text;
};

/// Registers the calling program's message table; `entries` must stay valid for the life of the process and be
/// sorted by strictly ascending id. Each program registers its table once at start, before other threads run;
/// a later call replaces the table. Passing nullptr (or a count of 0) removes it.
void SetStringTable(const StringEntry* entries, size_t count);

/// The text of message `id` of the registered table; "" (never null) for an id the table does not hold or when
/// no table is registered.
const char* LoadResourceString(int id);

} // namespace qm
