#include "common/StringTable.h"

#include "base/Assert.h"

#include <algorithm>

namespace qm {
namespace {

// Set once at start, then only read.
const StringEntry* g_entries = nullptr;
size_t g_count = 0;

} // namespace

void SetStringTable(const StringEntry* entries, size_t count)
{
    if (entries == nullptr) {
        count = 0;
    }
    // Look-ups are binary searches: an unsorted or duplicated id is a bug in the program's table.
    for (size_t i = 1; i < count; ++i) {
        QM_ASSERT(entries[i - 1].Id < entries[i].Id);
    }
    g_entries = entries;
    g_count = count;
}

const char* LoadResourceString(int id)
{
    const StringEntry* end = g_entries + g_count;
    const StringEntry* found =
            std::lower_bound(g_entries, end, id, [](const StringEntry& entry, int key) { return entry.Id < key; });
    if (found == end || found->Id != id || found->Text == nullptr) {
        return "";
    }
    return found->Text;
}

} // namespace qm
