#include "platform/IniFile.h"

#include "platform/FdUtil.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/UniqueFd.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>
#include <mutex>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qm::platform {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

std::string_view TrimBlanks(std::string_view s)
{
    std::size_t begin = s.find_first_not_of(" \t");
    if (begin == std::string_view::npos) {
        return s.substr(s.size()); // empty, but still pointing into s
    }
    std::size_t end = s.find_last_not_of(" \t");
    return s.substr(begin, end - begin + 1);
}

enum class LineKind {
    Other,
    Section,
    Entry,
};

struct ParsedLine {
    LineKind Kind = LineKind::Other;
    std::string_view Name;
    std::string_view Value;
};

// Classifies one line (without its line end). The views point into line.
ParsedLine ParseLine(std::string_view line)
{
    std::string_view text = TrimBlanks(line);
    if (text.empty() || text.front() == ';') {
        return {};
    }
    if (text.front() == '[') {
        std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return {};
        }
        return {LineKind::Section, TrimBlanks(text.substr(1, close - 1)), {}};
    }
    std::size_t eq = text.find('=');
    if (eq == std::string_view::npos) {
        return {};
    }
    std::string_view key = TrimBlanks(text.substr(0, eq));
    if (key.empty()) {
        return {};
    }
    std::string_view value = TrimBlanks(text.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    }
    return {LineKind::Entry, key, value};
}

// Calls f(line) for every line of text (line end removed) until f returns false.
template <class F>
void ForEachLine(std::string_view text, F&& f)
{
    if (text.substr(0, kBom.size()) == kBom) {
        text.remove_prefix(kBom.size());
    }
    while (!text.empty()) {
        std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (!f(line)) {
            return;
        }
    }
}

std::optional<std::string> FindValue(std::string_view text, std::string_view section, std::string_view key)
{
    section = TrimBlanks(section);
    key = TrimBlanks(key);
    std::optional<std::string> found;
    bool inSection = false;
    ForEachLine(text, [&](std::string_view line) {
        ParsedLine p = ParseLine(line);
        if (p.Kind == LineKind::Section) {
            inSection = EqualsNoCase(p.Name, section);
        } else if (p.Kind == LineKind::Entry && inSection && EqualsNoCase(p.Name, key)) {
            found = std::string(p.Value);
            return false;
        }
        return true;
    });
    return found;
}

bool HasLineBreakOrNul(std::string_view s)
{
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

void AddOnce(std::vector<std::string>& names, std::string_view name)
{
    for (const std::string& n : names) {
        if (EqualsNoCase(n, name)) {
            return;
        }
    }
    names.emplace_back(name);
}

} // namespace

bool IsValidIniSection(std::string_view section)
{
    return !TrimBlanks(section).empty() && !HasLineBreakOrNul(section) && section.find(']') == std::string_view::npos;
}

bool IsValidIniKey(std::string_view key)
{
    std::string_view name = TrimBlanks(key);
    return !name.empty() && !HasLineBreakOrNul(key) && key.find('=') == std::string_view::npos && name.front() != '[' &&
           name.front() != ';';
}

bool IsValidIniValue(std::string_view value)
{
    return !HasLineBreakOrNul(value);
}

// ---- IniDocument ----

IniDocument::Line IniDocument::MakeLine(std::string text)
{
    Line line;
    line.Text = std::move(text);
    ParsedLine p = ParseLine(line.Text);
    const char* base = line.Text.data();
    if (p.Kind == LineKind::Section || p.Kind == LineKind::Entry) {
        line.LineKind = p.Kind == LineKind::Section ? Kind::Section : Kind::Entry;
        line.NameBegin = static_cast<std::uint32_t>(p.Name.data() - base);
        line.NameLength = static_cast<std::uint32_t>(p.Name.size());
        if (p.Kind == LineKind::Entry) {
            line.ValueBegin = static_cast<std::uint32_t>(p.Value.data() - base);
            line.ValueLength = static_cast<std::uint32_t>(p.Value.size());
        }
    }
    return line;
}

IniDocument IniDocument::Parse(std::string_view text)
{
    IniDocument doc;
    if (text.substr(0, kBom.size()) == kBom) {
        doc.m_bom = std::string(kBom);
    }
    ForEachLine(text, [&](std::string_view line) {
        doc.m_lines.push_back(MakeLine(std::string(line)));
        return true;
    });
    return doc;
}

std::optional<std::string> IniDocument::Get(std::string_view section, std::string_view key) const
{
    section = TrimBlanks(section);
    key = TrimBlanks(key);
    bool inSection = false;
    for (const Line& line : m_lines) {
        if (line.LineKind == Kind::Section) {
            inSection = EqualsNoCase(line.Name(), section);
        } else if (line.LineKind == Kind::Entry && inSection && EqualsNoCase(line.Name(), key)) {
            return std::string(line.Value());
        }
    }
    return std::nullopt;
}

std::vector<std::string> IniDocument::SectionNames() const
{
    std::vector<std::string> names;
    for (const Line& line : m_lines) {
        if (line.LineKind == Kind::Section) {
            AddOnce(names, line.Name());
        }
    }
    return names;
}

std::vector<std::string> IniDocument::KeyNames(std::string_view section) const
{
    std::vector<std::string> names;
    for (auto& entry : Entries(section)) {
        names.push_back(std::move(entry.first));
    }
    return names;
}

std::vector<std::pair<std::string, std::string>> IniDocument::Entries(std::string_view section) const
{
    section = TrimBlanks(section);
    std::vector<std::pair<std::string, std::string>> entries;
    bool inSection = false;
    for (const Line& line : m_lines) {
        if (line.LineKind == Kind::Section) {
            inSection = EqualsNoCase(line.Name(), section);
            continue;
        }
        if (line.LineKind != Kind::Entry || !inSection) {
            continue;
        }
        bool seen = false;
        for (const auto& e : entries) {
            seen = seen || EqualsNoCase(e.first, line.Name());
        }
        if (!seen) {
            entries.emplace_back(line.Name(), line.Value());
        }
    }
    return entries;
}

bool IniDocument::HasSection(std::string_view section) const
{
    section = TrimBlanks(section);
    return std::ranges::any_of(m_lines, [&](const Line& line) {
        return line.LineKind == Kind::Section && EqualsNoCase(line.Name(), section);
    });
}

bool IniDocument::Set(std::string_view section, std::string_view key, std::string_view value)
{
    if (!IsValidIniSection(section) || !IsValidIniKey(key) || !IsValidIniValue(value)) {
        return false;
    }
    section = TrimBlanks(section);
    key = TrimBlanks(key);
    bool inSection = false;
    bool inFirstBlock = false;
    std::size_t firstHeader = m_lines.size();
    std::size_t insertAt = m_lines.size();
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        const Line& line = m_lines[i];
        if (line.LineKind == Kind::Section) {
            inSection = EqualsNoCase(line.Name(), section);
            inFirstBlock = inSection && firstHeader == m_lines.size();
            if (inFirstBlock) {
                firstHeader = i;
                insertAt = i + 1;
            }
            continue;
        }
        if (line.LineKind != Kind::Entry || !inSection) {
            continue;
        }
        if (EqualsNoCase(line.Name(), key)) {
            std::string text = std::string(line.Name()) + "=" + std::string(value);
            if (text != line.Text) {
                m_lines[i] = MakeLine(std::move(text));
                m_changed = true;
            }
            return true;
        }
        if (inFirstBlock) {
            insertAt = i + 1;
        }
    }
    Line entry = MakeLine(std::string(key) + "=" + std::string(value));
    if (firstHeader < m_lines.size()) {
        m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(entry));
    } else {
        if (!m_lines.empty() && !TrimBlanks(m_lines.back().Text).empty()) {
            m_lines.push_back(MakeLine(std::string()));
        }
        m_lines.push_back(MakeLine("[" + std::string(section) + "]"));
        m_lines.push_back(std::move(entry));
    }
    m_changed = true;
    return true;
}

void IniDocument::DeleteKey(std::string_view section, std::string_view key)
{
    section = TrimBlanks(section);
    key = TrimBlanks(key);
    bool inSection = false;
    std::erase_if(m_lines, [&](const Line& line) {
        if (line.LineKind == Kind::Section) {
            inSection = EqualsNoCase(line.Name(), section);
            return false;
        }
        bool remove = line.LineKind == Kind::Entry && inSection && EqualsNoCase(line.Name(), key);
        m_changed = m_changed || remove;
        return remove;
    });
}

void IniDocument::DeleteSection(std::string_view section)
{
    section = TrimBlanks(section);
    bool inSection = false;
    bool removedLast = false;
    std::size_t remaining = m_lines.size();
    std::erase_if(m_lines, [&](const Line& line) {
        if (line.LineKind == Kind::Section) {
            inSection = EqualsNoCase(line.Name(), section);
        }
        removedLast = --remaining == 0 && inSection;
        m_changed = m_changed || inSection;
        return inSection;
    });
    // A section removed from the end takes the blank line that separated it from the one before.
    while (removedLast && !m_lines.empty() && m_lines.back().LineKind == Kind::Other &&
           TrimBlanks(m_lines.back().Text).empty()) {
        m_lines.pop_back();
    }
}

std::string IniDocument::Text() const
{
    std::size_t size = m_bom.size();
    for (const Line& line : m_lines) {
        size += line.Text.size() + 2;
    }
    std::string text;
    text.reserve(size);
    text += m_bom;
    for (const Line& line : m_lines) {
        text += line.Text;
        text += "\r\n";
    }
    return text;
}

// ---- files ----

namespace {

// Reads a whole INI file without locking; empty when it is missing, unreadable or too large.
std::string ReadIniText(const std::string& file)
{
    std::string text;
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd || ReadAllAt0(fd.Get(), kMaxIniFileSize, text) != 0) {
        text.clear();
    }
    return text;
}

// The file that a change replaces: the target of a symbolic link, so that the link stays a link.
std::string ReplacedPath(const std::string& file)
{
    struct stat st = {};
    if (::lstat(file.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
        return file;
    }
    char* real = ::realpath(file.c_str(), nullptr);
    if (real == nullptr) {
        return file;
    }
    std::string resolved(real);
    std::free(real);
    return resolved;
}

std::mutex& FileMutex(const std::string& path)
{
    // One mutex per hash bucket keeps memory bounded however many files are written; two files that share a
    // bucket only wait for each other.
    static std::array<std::mutex, 64> s_mutexes;
    return s_mutexes[std::hash<std::string>{}(path) % s_mutexes.size()];
}

enum class CreateFile {
    No,
    Yes,
};

IniFileStamp StampOf(const struct stat& st);

// One locked read-modify-write of file. edit changes the document; nothing is written when it changes nothing.
// With written, on success it holds the text that the file holds now and the stamp of that version, both taken
// under the lock (for a rewrite, from the new file once it is in place).
Result<void> ModifyIni(const std::string& file, CreateFile create, const std::function<void(IniDocument&)>& edit,
                       IniLinks links = IniLinks::Follow, IniLockedText* written = nullptr)
{
    if (file.empty()) {
        return SystemFailure("write", file, ENOENT);
    }
    const std::string target = links == IniLinks::Follow ? ReplacedPath(file) : file;
    const int noFollow = links == IniLinks::Follow ? 0 : O_NOFOLLOW;
    std::lock_guard<std::mutex> guard(FileMutex(target));
    // The lock is taken on the file itself. A writer that waited for it may find that the path now names the
    // new file another writer renamed into place; it then locks that one instead.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        UniqueFd fd(::open(target.c_str(), O_RDWR | O_CLOEXEC | noFollow));
        if (!fd && errno == ENOENT && create == CreateFile::Yes) {
            // A new INI file may hold passwords: owner only from its first byte, whatever the umask.
            fd.Reset(::open(target.c_str(), O_RDWR | O_CLOEXEC | O_CREAT | O_EXCL | noFollow,
                            platform::kPrivateFileMode));
            if (fd) {
                ::fchmod(fd.Get(), platform::kPrivateFileMode);
            } else if (errno == EEXIST) {
                continue; // another writer made it meanwhile
            }
        }
        if (!fd) {
            if (errno == ENOENT && create == CreateFile::No) {
                return {};
            }
            return SystemFailure("open", target, errno);
        }
        while (::flock(fd.Get(), LOCK_EX) != 0) {
            if (errno != EINTR) {
                return SystemFailure("lock", target, errno);
            }
        }

        struct stat locked = {};
        struct stat current = {};
        if (::fstat(fd.Get(), &locked) != 0) {
            return SystemFailure("stat", target, errno);
        }
        const int statted = noFollow != 0 ? ::lstat(target.c_str(), &current) : ::stat(target.c_str(), &current);
        if (statted != 0 || current.st_ino != locked.st_ino || current.st_dev != locked.st_dev) {
            continue;
        }
        std::string text;
        if (int err = ReadAllAt0(fd.Get(), kMaxIniFileSize, text); err != 0) {
            return SystemFailure("read", target, err);
        }
        IniDocument doc = IniDocument::Parse(text);
        edit(doc);
        if (!doc.Changed()) {
            if (written != nullptr) {
                *written = IniLockedText{std::move(text), StampOf(locked)};
            }
            return {};
        }
        // The lock on the old file is held until the new one is in place.
        if (written == nullptr) {
            return WriteFileAtomic(target, doc.Text());
        }
        IniLockedText left{doc.Text(), IniFileStamp{}};
        Result<void> done = WriteFileAtomic(target, left.Text, *left.LockedStamp);
        if (done) {
            *written = std::move(left);
        }
        return done;
    }
    return SystemFailure("lock", target, EAGAIN);
}

Unexpected InvalidChange(const std::string& file)
{
    return SystemFailure("refused to write a name or value with a line break into", file, EINVAL);
}

IniFileStamp StampOf(const struct stat& st)
{
    IniFileStamp stamp;
    stamp.Device = static_cast<std::uint64_t>(st.st_dev);
    stamp.Inode = static_cast<std::uint64_t>(st.st_ino);
    stamp.Size = static_cast<std::uint64_t>(st.st_size);
    stamp.ModifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    stamp.ChangedNs = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
    return stamp;
}

} // namespace

std::optional<IniFileStamp> IniStampOf(const std::string& file)
{
    struct stat st = {};
    if (file.empty() || ::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    return StampOf(st);
}

std::optional<IniLockedText> IniReadWhole(const std::string& file, std::uint64_t maxBytes, IniReadLock lock)
{
    if (file.empty()) {
        return std::nullopt;
    }
    // O_NONBLOCK keeps a FIFO put in the file's place from holding the reader; reading it then fails.
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        return std::nullopt;
    }
    const bool locked = lock == IniReadLock::SharedIfFree && ::flock(fd.Get(), LOCK_SH | LOCK_NB) == 0;
    IniLockedText read;
    if (ReadAllAt0(fd.Get(), maxBytes, read.Text) != 0) {
        return std::nullopt;
    }
    struct stat st = {};
    if (locked && ::fstat(fd.Get(), &st) == 0) {
        read.LockedStamp = StampOf(st);
    }
    return read;
}

std::optional<std::string> IniRead(const std::string& file, std::string_view section, std::string_view key)
{
    return FindValue(ReadIniText(file), section, key);
}

IniDocument IniLoad(const std::string& file)
{
    return IniDocument::Parse(ReadIniText(file));
}

std::vector<std::string> IniSectionNames(const std::string& file)
{
    return IniLoad(file).SectionNames();
}

std::vector<std::string> IniKeyNames(const std::string& file, std::string_view section)
{
    return IniLoad(file).KeyNames(section);
}

Result<void> IniWrite(const std::string& file, std::string_view section, std::string_view key, std::string_view value)
{
    if (!IsValidIniSection(section) || !IsValidIniKey(key) || !IsValidIniValue(value)) {
        return InvalidChange(file);
    }
    return ModifyIni(file, CreateFile::Yes, [&](IniDocument& doc) { doc.Set(section, key, value); });
}

namespace {

Result<void> WriteChanges(const std::string& file, std::span<const IniChange> changes, IniLinks links,
                          IniLockedText* written)
{
    bool creates = false;
    for (const IniChange& change : changes) {
        const bool wholeSection = change.Key.empty() && !change.Value;
        if (!IsValidIniSection(change.Section) || (!wholeSection && !IsValidIniKey(change.Key)) ||
            (change.Value && !IsValidIniValue(*change.Value))) {
            return InvalidChange(file);
        }
        creates = creates || change.Value.has_value();
    }
    if (changes.empty()) {
        return {};
    }
    return ModifyIni(
            file, creates ? CreateFile::Yes : CreateFile::No,
            [&](IniDocument& doc) {
                for (const IniChange& change : changes) {
                    if (change.Value) {
                        doc.Set(change.Section, change.Key, *change.Value);
                    } else if (change.Key.empty()) {
                        doc.DeleteSection(change.Section);
                    } else {
                        doc.DeleteKey(change.Section, change.Key);
                    }
                }
            },
            links, written);
}

} // namespace

Result<void> IniWriteMany(const std::string& file, std::span<const IniChange> changes, IniLinks links)
{
    return WriteChanges(file, changes, links, nullptr);
}

Result<void> IniWriteMany(const std::string& file, std::span<const IniChange> changes, IniLockedText* written)
{
    return WriteChanges(file, changes, IniLinks::Follow, written);
}

Result<void> IniReplaceValue(const std::string& file, std::string_view section, std::string_view key,
                             std::string_view expected, std::string_view value)
{
    if (!IsValidIniSection(section) || !IsValidIniKey(key) || !IsValidIniValue(value)) {
        return InvalidChange(file);
    }
    return ModifyIni(file, CreateFile::No, [&](IniDocument& doc) {
        if (doc.Get(section, key) == expected) {
            doc.Set(section, key, value);
        }
    });
}

Result<void> IniDeleteKey(const std::string& file, std::string_view section, std::string_view key)
{
    return ModifyIni(file, CreateFile::No, [&](IniDocument& doc) { doc.DeleteKey(section, key); });
}

Result<void> IniDeleteSection(const std::string& file, std::string_view section)
{
    return ModifyIni(file, CreateFile::No, [&](IniDocument& doc) { doc.DeleteSection(section); });
}

Result<void> IniReplaceSection(const std::string& file, std::string_view section,
                               std::span<const std::pair<std::string, std::string>> values)
{
    if (!IsValidIniSection(section)) {
        return InvalidChange(file);
    }
    for (const auto& [key, value] : values) {
        if (!IsValidIniKey(key) || !IsValidIniValue(value)) {
            return InvalidChange(file);
        }
    }
    return ModifyIni(file, values.empty() ? CreateFile::No : CreateFile::Yes, [&](IniDocument& doc) {
        doc.DeleteSection(section);
        for (const auto& [key, value] : values) {
            doc.Set(section, key, value);
        }
    });
}

} // namespace qm::platform
