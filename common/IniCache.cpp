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

// One kept version (a parsed document or the text as read): trusted while the file's stamp stays Stamp. An entry
// without a version marks a file that this process has just written and that no use has read since.
template <class T>
struct Entry {
    platform::IniFileStamp Stamp;
    std::shared_ptr<const T> Document;
};

// The kept files, most recently used first. The mutex guards only the map and the order; files are read and parsed
// outside it, and a reader keeps its snapshot after the entry is replaced or dropped.
template <class T>
class Cache {
public:
    using Kept = std::shared_ptr<const Entry<T>>;

    explicit Cache(std::size_t maxFiles)
        : m_maxFiles(maxFiles)
    {}

    Kept Find(const std::string& path)
    {
        std::lock_guard lock(m_mutex);
        auto it = m_slots.find(path);
        if (it == m_slots.end()) {
            return nullptr;
        }
        m_order.splice(m_order.begin(), m_order, it->second.Order);
        return it->second.Version;
    }

    void Keep(const std::string& path, Kept entry)
    {
        std::lock_guard lock(m_mutex);
        auto it = m_slots.find(path);
        if (it != m_slots.end()) {
            it->second.Version = std::move(entry);
            m_order.splice(m_order.begin(), m_order, it->second.Order);
            return;
        }
        m_order.push_front(path);
        m_slots.emplace(path, Slot{std::move(entry), m_order.begin()});
        while (m_slots.size() > m_maxFiles) {
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
        Kept Version;
        std::list<std::string>::iterator Order;
    };

    const std::size_t m_maxFiles;
    std::mutex m_mutex;
    std::unordered_map<std::string, Slot> m_slots;
    std::list<std::string> m_order;
};

// Made on first use, so that shared libraries may read settings from load-time code; destroyed with the program or
// the shared library that holds it (the engine is loaded and unloaded at run time).
Cache<platform::IniDocument>& TheCache()
{
    static Cache<platform::IniDocument> s_cache(kIniCacheMaxFiles);
    return s_cache;
}

Cache<std::string>& TheTextCache()
{
    static Cache<std::string> s_cache(kTextCacheMaxFiles);
    return s_cache;
}

constinit std::atomic<std::int64_t> g_settleNs{std::chrono::nanoseconds(kIniCacheSettleTime).count()};
constinit std::atomic<std::uint64_t> g_fileReads{0};

template <class T>
const std::shared_ptr<const T>& EmptySnapshot()
{
    static const std::shared_ptr<const T> kEmpty = std::make_shared<const T>();
    return kEmpty;
}

std::shared_ptr<const platform::IniDocument> Make(Cache<platform::IniDocument>& /*cache*/, std::string& text)
{
    return std::make_shared<const platform::IniDocument>(platform::IniDocument::Parse(text));
}

std::shared_ptr<const std::string> Make(Cache<std::string>& /*cache*/, std::string& text)
{
    return std::make_shared<const std::string>(std::move(text));
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
template <class T>
std::shared_ptr<const T> ReadAndKeep(Cache<T>& cache, const std::string& path, const platform::IniFileStamp& stamp,
                                     Origin origin)
{
    const std::int64_t started = NowNs();
    g_fileReads.fetch_add(1, std::memory_order_relaxed);
    std::optional<platform::IniLockedText> read = platform::IniReadWhole(
            path, platform::kMaxIniFileSize,
            origin == Origin::OwnWrite ? platform::IniReadLock::SharedIfFree : platform::IniReadLock::None);
    if (!read) {
        cache.Forget(path);
        return EmptySnapshot<T>();
    }
    const std::uint64_t size = read->Text.size();
    std::shared_ptr<const T> document = Make(cache, read->Text);
    const std::int64_t lastChange = std::max(stamp.ModifiedNs, stamp.ChangedNs);
    const bool settled = started - lastChange >= g_settleNs.load(std::memory_order_relaxed);
    const bool ownVersion = origin == Origin::OwnWrite && read->LockedStamp == stamp;
    if ((settled || ownVersion) && std::max(stamp.Size, size) <= kIniCacheMaxFileSize) {
        cache.Keep(path, std::make_shared<const Entry<T>>(Entry<T>{stamp, document}));
    } else {
        cache.Forget(path);
    }
    return document;
}

} // namespace

namespace {

template <class T>
std::shared_ptr<const T> LoadCached(Cache<T>& cache, std::string_view file)
{
    const std::string path(file);
    std::optional<platform::IniFileStamp> stamp = platform::IniStampOf(path);
    if (!stamp) {
        cache.Forget(path);
        return EmptySnapshot<T>();
    }
    typename Cache<T>::Kept kept = cache.Find(path);
    if (kept != nullptr && kept->Document != nullptr && kept->Stamp == *stamp) {
        return kept->Document;
    }
    return ReadAndKeep(cache, path, *stamp,
                       kept != nullptr && kept->Document == nullptr ? Origin::OwnWrite : Origin::Use);
}

} // namespace

IniSnapshot LoadIniCached(std::string_view file)
{
    return LoadCached(TheCache(), file);
}

TextSnapshot LoadTextCached(std::string_view file)
{
    return LoadCached(TheTextCache(), file);
}

void NoteIniWritten(std::string_view file)
{
    TheCache().Keep(std::string(file), std::make_shared<const Entry<platform::IniDocument>>());
    TheTextCache().Keep(std::string(file), std::make_shared<const Entry<std::string>>());
}

IniCacheCounts GetIniCacheCounts()
{
    return IniCacheCounts{g_fileReads.load(std::memory_order_relaxed), TheCache().Size() + TheTextCache().Size()};
}

void SetIniCacheSettleTime(std::chrono::nanoseconds settle)
{
    g_settleNs.store(settle.count(), std::memory_order_relaxed);
}

void ClearIniCache()
{
    TheCache().Clear();
    TheTextCache().Clear();
}

} // namespace qm
