// The memory the POP3 client's UID lists take for a mailbox of many messages: the heap in use (glibc mallinfo2)
// after building them, for the layout of string sets the client used before (a hash set of std::string per list,
// the seen list also as a StringList, a work item holding its UID and file name as strings) and for UidSet with
// 24-byte work items. Two cases: every UID known (the ".uid" file and the seen list) and every UID new (the work
// list). Run by scripts/bench-uidlist.
// Usage: qm_uidlist_bench [uids] [uid length]
#include "common/StringList.h"
#include "store/UidSet.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_set>
#include <vector>

#include <malloc.h>

namespace {

std::size_t HeapInUse()
{
    malloc_trim(0);
    return mallinfo2().uordblks;
}

// A UID of the given length: the number in hexadecimal, padded with zeros (dovecot's default form is 16 digits).
std::string Uid(std::size_t n, std::size_t length)
{
    char digits[32];
    static_cast<void>(std::snprintf(digits, sizeof digits, "%llX", static_cast<unsigned long long>(n)));
    std::string uid(digits);
    return std::string(length > uid.size() ? length - uid.size() : 0, '0') + uid;
}

struct OldWorkItem {
    int Number = 0;
    std::string Uid;
    std::string File;
    std::int64_t Size = 0;
    bool DeleAccepted = false;
    bool DeleteOnly = false;
};

struct NewWorkItem {
    int Number = 0;
    std::uint32_t Uid = 0;
    std::uint32_t File = 0;
    std::int64_t Size = 0;
    bool DeleAccepted = false;
    bool DeleteOnly = false;
};

template <typename Build>
std::size_t Measure(Build build)
{
    const std::size_t before = HeapInUse();
    auto kept = build();
    const std::size_t after = HeapInUse();
    static_cast<void>(kept);
    return after - before;
}

void Print(const char* what, std::size_t before, std::size_t after, std::size_t uids)
{
    std::printf("%-34s before %10.1f MB (%5.1f B/UID)   after %10.1f MB (%5.1f B/UID)\n", what,
                static_cast<double>(before) / 1e6, static_cast<double>(before) / static_cast<double>(uids),
                static_cast<double>(after) / 1e6, static_cast<double>(after) / static_cast<double>(uids));
}

} // namespace

int main(int argc, char** argv)
{
    const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const std::size_t length = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 16;
    std::printf("%zu UIDs of %zu characters\n", count, length);

    // Every UID known: the ".uid" file's set, and the seen list the file is rewritten from.
    const std::size_t knownBefore = Measure([&] {
        struct Lists {
            std::unordered_set<std::string> Known;
            qm::StringList Seen;
            std::unordered_set<std::string> SeenSet;
        } lists;
        for (std::size_t i = 0; i < count; ++i) {
            const std::string uid = Uid(i, length);
            lists.Known.insert(uid);
            static_cast<void>(lists.Seen.Add(uid.c_str()));
            lists.SeenSet.insert(uid);
        }
        return lists;
    });
    const std::size_t knownAfter = Measure([&] {
        struct Lists {
            qm::store::UidSet Known;
            qm::store::UidSet Seen;
        } lists;
        // As the client does from the ".uid" file's size.
        lists.Known.Reserve(count, count * length);
        lists.Seen.Reserve(count, count * length);
        for (std::size_t i = 0; i < count; ++i) {
            const std::string uid = Uid(i, length);
            static_cast<void>(lists.Known.Insert(uid));
            static_cast<void>(lists.Seen.Insert(uid));
        }
        return lists;
    });
    Print("every UID known (known + seen)", knownBefore, knownAfter, count);

    // Every UID new: the work list.
    const std::size_t newBefore = Measure([&] {
        std::vector<OldWorkItem> work;
        for (std::size_t i = 0; i < count; ++i) {
            OldWorkItem item;
            item.Number = static_cast<int>(i + 1);
            item.Uid = Uid(i, length);
            work.push_back(std::move(item));
        }
        return work;
    });
    const std::size_t newAfter = Measure([&] {
        struct Work {
            std::vector<NewWorkItem> Items;
            qm::store::UidSet Uids;
        } work;
        for (std::size_t i = 0; i < count; ++i) {
            NewWorkItem item;
            item.Number = static_cast<int>(i + 1);
            item.Uid = static_cast<std::uint32_t>(work.Uids.Insert(Uid(i, length)).first);
            work.Items.push_back(item);
        }
        return work;
    });
    Print("every UID new (work list)", newBefore, newAfter, count);
    return 0;
}
