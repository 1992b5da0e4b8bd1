#include "common/IniCache.h"

#include <algorithm>
#include <atomic>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

namespace qm {

namespace {

// One kept version: the document is trusted while the file's stamp stays Stamp. An entry without a document marks
// a file that this process has just written and that no use has read since.
struct Entry {
    platform::IniFileStamp Stamp;
    IniSnapshot Document;
};

// The kept files, most recently used first. The mutex guards only the map and the order; files are read and parsed
// outside it, and a reader keeps its snapshot after the entry is replaced or dropped.
class Cache {
public:
    std::shared_ptr<const Entry> Find(const std::string& path)
    {
        std::lock_guard lock(m_mutex);
        auto it = m_slots.find(path);
        if (it == m_slots.end()) {
            return nullptr;
        }
        m_order.splice(m_order.begin(), m_order, it->second.Order);
        return it->second.Kept;
    }

    void Keep(const std::string& path, std::shared_ptr<const Entry> entry)
    {
        std::lock_guard lock(m_mutex);
        auto it = m_slots.find(path);
        if (it != m_slots.end()) {
            it->second.Kept = std::move(entry);
            m_order.splice(m_order.begin(), m_order, it->second.Order);
            return;
        }
        m_order.push_front(path);
        m_slots.emplace(path, Slot{std::move(entry), m_order.begin()});
        while (m_slots.size() > kIniCacheMaxFiles) {
            m_slots.erase(m_order.back());
            m_order.pop_back();
        }
    }

    void Forget(const std::string& path)
    {
        std::lock_guard lock(m_mutex);
        auto it = m_slots.find(path);
        if (it != m_slots.end()) {
            m_order.erase(it->second.Order);
            m_slots.erase(it);
        }
    }

    void Clear()
    {
        std::lock_guard lock(m_mutex);
        m_slots.clear();
        m_order.clear();
    }

    std::size_t Size()
    {
        std::lock_guard lock(m_mutex);
        return m_slots.size();
    }

private:
    struct Slot {
        std::shared_ptr<const Entry> Kept;
        std::list<std::string>::iterator Order;
    };

    std::mutex m_mutex;
    std::unordered_map<std::string, Slot> m_slots;
    std::list<std::string> m_order;
};

// Made on first use, so that shared libraries may read settings from load-time code; destroyed with the program or
// the shared library that holds it (the engine is loaded and unloaded at run time).
Cache& TheCache()
{
    static Cache s_cache;
    return s_cache;
}

constinit std::atomic<std::int64_t> g_settleNs{std::chrono::nanoseconds(kIniCacheSettleTime).count()};
constinit std::atomic<std::uint64_t> g_fileReads{0};

const IniSnapshot& EmptySnapshot()
{
    static const IniSnapshot kEmpty = std::make_shared<const platform::IniDocument>();
    return kEmpty;
}

std::int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
}

enum class Origin {
    Use,
    OwnWrite,
};

// Reads and parses path, whose stamp was stamp just before, and keeps the result when it can be trusted until the
// stamp changes. The text read is that version or a later one: a later one is kept under the earlier stamp, which
// the next use finds changed, so it is read again. Trusted are a version whose last change lies further back than
// the settle time (any later change gets a later status-change time), and, after a write of this process, the
// version read under the shared lock that the INI layer's writers respect when it still had that stamp after the
// read.
IniSnapshot ReadAndKeep(const std::string& path, const platform::IniFileStamp& stamp, Origin origin)
{
    const std::int64_t started = NowNs();
    g_fileReads.fetch_add(1, std::memory_order_relaxed);
    std::optional<platform::IniLockedText> read = platform::IniReadWhole(
            path, platform::kMaxIniFileSize,
            origin == Origin::OwnWrite ? platform::IniReadLock::SharedIfFree : platform::IniReadLock::None);
    if (!read) {
        TheCache().Forget(path);
        return EmptySnapshot();
    }
    auto document = std::make_shared<const platform::IniDocument>(platform::IniDocument::Parse(read->Text));
    const std::int64_t lastChange = std::max(stamp.ModifiedNs, stamp.ChangedNs);
    const bool settled = started - lastChange >= g_settleNs.load(std::memory_order_relaxed);
    const bool ownVersion = origin == Origin::OwnWrite && read->LockedStamp == stamp;
    if ((settled || ownVersion) && std::max<std::uint64_t>(stamp.Size, read->Text.size()) <= kIniCacheMaxFileSize) {
        TheCache().Keep(path, std::make_shared<const Entry>(Entry{stamp, document}));
    } else {
        TheCache().Forget(path);
    }
    return document;
}

} // namespace

IniSnapshot LoadIniCached(std::string_view file)
{
    const std::string path(file);
    std::optional<platform::IniFileStamp> stamp = platform::IniStampOf(path);
    if (!stamp) {
        TheCache().Forget(path);
        return EmptySnapshot();
    }
    std::shared_ptr<const Entry> kept = TheCache().Find(path);
    if (kept != nullptr && kept->Document != nullptr && kept->Stamp == *stamp) {
        return kept->Document;
    }
    return ReadAndKeep(path, *stamp, kept != nullptr && kept->Document == nullptr ? Origin::OwnWrite : Origin::Use);
}

void NoteIniWritten(std::string_view file)
{
    TheCache().Keep(std::string(file), std::make_shared<const Entry>());
}

IniCacheCounts GetIniCacheCounts()
{
    return IniCacheCounts{g_fileReads.load(std::memory_order_relaxed), TheCache().Size()};
}

void SetIniCacheSettleTime(std::chrono::nanoseconds settle)
{
    g_settleNs.store(settle.count(), std::memory_order_relaxed);
}

void ClearIniCache()
{
    TheCache().Clear();
}

} // namespace qm
