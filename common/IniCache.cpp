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
constinit std::atomic<std::int64_t> g_scopeTrustNs{std::chrono::nanoseconds(kIniScopeTrustTime).count()};
constinit std::atomic<std::uint64_t> g_fileReads{0};
constinit std::atomic<std::uint64_t> g_stampChecks{0};
constinit std::atomic<std::uint64_t> g_writes{0};
// Moves on with every write of this process (NoteIniWritten): a scope trusts what it checked only while this
// stays as it was at the check.
constinit std::atomic<std::uint64_t> g_writeGeneration{0};

// A plain pointer (no destructor to register), so that a library holding this code can be unloaded while threads
// that used it live on.
constinit thread_local IniReadScope* g_threadScope = nullptr;

// Per-file counts for tests, only while enabled.
constinit std::atomic<bool> g_fileCountsOn{false};
constinit std::mutex g_fileCountsMutex;

std::unordered_map<std::string, IniCacheCounts>& FileCounts()
{
    static std::unordered_map<std::string, IniCacheCounts> s_counts;
    return s_counts;
}

enum class Counted {
    Read,
    StampCheck,
    Write,
};

void Count(Counted what, std::string_view path)
{
    std::atomic<std::uint64_t>& total =
            what == Counted::Read ? g_fileReads : (what == Counted::StampCheck ? g_stampChecks : g_writes);
    total.fetch_add(1, std::memory_order_relaxed);
    if (!g_fileCountsOn.load(std::memory_order_relaxed)) {
        return;
    }
    std::lock_guard lock(g_fileCountsMutex);
    IniCacheCounts& counts = FileCounts()[std::string(path)];
    ++(what == Counted::Read ? counts.FileReads : (what == Counted::StampCheck ? counts.StampChecks : counts.Writes));
}

std::int64_t SteadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
}

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
    Count(Counted::Read, path);
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
std::shared_ptr<const T> LoadChecked(Cache<T>& cache, const std::string& path)
{
    Count(Counted::StampCheck, path);
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

// The version of path for this use: inside a scope the one this thread checked before, while no write of this
// process came since and the check is recent enough; otherwise checked now (and remembered by the scope).
template <class T>
std::shared_ptr<const T> LoadCached(Cache<T>& cache, std::string_view file, bool text)
{
    const std::string path(file);
    IniReadScope* scope = g_threadScope;
    if (scope == nullptr) {
        return LoadChecked(cache, path);
    }
    // Read before the check, so that a write that follows the check makes the next use check again.
    const std::uint64_t generation = g_writeGeneration.load(std::memory_order_acquire);
    const std::int64_t now = SteadyNs();
    if (detail::ScopeFile* seen = scope->Find(path, text)) {
        if (seen->Generation == generation && now - seen->CheckedNs < g_scopeTrustNs.load(std::memory_order_relaxed)) {
            return std::static_pointer_cast<const T>(seen->Document);
        }
    }
    std::shared_ptr<const T> document = LoadChecked(cache, path);
    scope->Remember(path, text, document, generation, now);
    return document;
}

} // namespace

IniReadScope::IniReadScope()
{
    if (g_threadScope == nullptr) {
        g_threadScope = this;
        m_outermost = true;
        m_files.reserve(8); // a request uses a handful of settings files
    }
}

IniReadScope::~IniReadScope()
{
    if (m_outermost) {
        g_threadScope = nullptr;
    }
}

IniReadScope* IniReadScope::Current()
{
    return g_threadScope;
}

detail::ScopeFile* IniReadScope::Find(const std::string& path, bool text)
{
    for (detail::ScopeFile& file : m_files) {
        if (file.Text == text && file.Path == path) {
            return &file;
        }
    }
    return nullptr;
}

void IniReadScope::Remember(const std::string& path, bool text, std::shared_ptr<const void> document,
                            std::uint64_t generation, std::int64_t checkedNs)
{
    if (detail::ScopeFile* seen = Find(path, text)) {
        seen->Document = std::move(document);
        seen->Generation = generation;
        seen->CheckedNs = checkedNs;
        return;
    }
    if (m_files.size() < kIniScopeMaxFiles) {
        m_files.push_back(detail::ScopeFile{path, text, std::move(document), generation, checkedNs});
    }
}

IniSnapshot LoadIniCached(std::string_view file)
{
    return LoadCached(TheCache(), file, false);
}

TextSnapshot LoadTextCached(std::string_view file)
{
    return LoadCached(TheTextCache(), file, true);
}

IniSnapshot LoadIniCurrent(std::string_view file)
{
    return LoadChecked(TheCache(), std::string(file));
}

void NoteIniWritten(std::string_view file)
{
    TheCache().Keep(std::string(file), std::make_shared<const Entry<platform::IniDocument>>());
    TheTextCache().Keep(std::string(file), std::make_shared<const Entry<std::string>>());
    g_writeGeneration.fetch_add(1, std::memory_order_acq_rel);
    Count(Counted::Write, file);
}

void NoteIniWritten(std::string_view file, const platform::IniLockedText& written)
{
    if (!written.LockedStamp ||
        std::max(written.LockedStamp->Size, std::uint64_t{written.Text.size()}) > kIniCacheMaxFileSize) {
        NoteIniWritten(file);
        return;
    }
    const std::string path(file);
    auto document = std::make_shared<const platform::IniDocument>(platform::IniDocument::Parse(written.Text));
    TheCache().Keep(path, std::make_shared<const Entry<platform::IniDocument>>(
                                  Entry<platform::IniDocument>{*written.LockedStamp, std::move(document)}));
    TheTextCache().Keep(path, std::make_shared<const Entry<std::string>>());
    g_writeGeneration.fetch_add(1, std::memory_order_acq_rel);
    Count(Counted::Write, file);
}

IniCacheCounts GetIniCacheCounts()
{
    return IniCacheCounts{g_fileReads.load(std::memory_order_relaxed), g_stampChecks.load(std::memory_order_relaxed),
                          g_writes.load(std::memory_order_relaxed), TheCache().Size() + TheTextCache().Size()};
}

void EnableIniFileCounts(bool on)
{
    g_fileCountsOn.store(on, std::memory_order_relaxed);
}

void ResetIniFileCounts()
{
    std::lock_guard lock(g_fileCountsMutex);
    FileCounts().clear();
}

IniCacheCounts GetIniFileCounts(std::string_view file)
{
    std::lock_guard lock(g_fileCountsMutex);
    auto it = FileCounts().find(std::string(file));
    return it == FileCounts().end() ? IniCacheCounts{} : it->second;
}

void SetIniScopeTrustTime(std::chrono::nanoseconds trust)
{
    g_scopeTrustNs.store(trust.count(), std::memory_order_relaxed);
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
