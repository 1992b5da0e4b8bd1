#include "common/StringList.h"

#include "base/Assert.h"
#include "common/StringUtil.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

namespace qm {

namespace {

// Slots are reserved in steps of this many, to keep reallocations rare for lists of a few hundred items.
constexpr std::size_t kGrowthStep = 128;

struct FileCloser {
    void operator()(std::FILE* f) const { static_cast<void>(std::fclose(f)); }
};

using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

const char* OrEmpty(const char* s)
{
    return s == nullptr ? "" : s;
}

bool ReadWholeFile(std::FILE* f, std::string& data)
{
    char chunk[8192];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        data.append(chunk, got);
    }
    return std::ferror(f) == 0;
}

} // namespace

int StringList::Add(const char* s)
{
    if (m_items.size() == m_items.capacity()) {
        m_items.reserve(m_items.size() + kGrowthStep);
    }
    m_items.emplace_back(OrEmpty(s));
    return Count();
}

void StringList::Replace(int index, const char* s)
{
    if (index < 0 || index >= Count()) {
        return;
    }
    // Copy first, then replace: s may be the very string being replaced.
    std::string copy(OrEmpty(s));
    m_items[static_cast<std::size_t>(index)] = std::move(copy);
}

int StringList::IndexOf(const char* s) const
{
    const std::string_view wanted = OrEmpty(s);
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        if (EqualsNoCase(m_items[i], wanted)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void StringList::Sort()
{
    std::stable_sort(m_items.begin(), m_items.end(),
                     [](const std::string& a, const std::string& b) { return CompareNoCase(a, b) < 0; });
}

bool StringList::Load(const char* path)
{
    FilePtr file(std::fopen(OrEmpty(path), "rb"));
    if (!file) {
        return false;
    }
    std::string data;
    const bool readAll = ReadWholeFile(file.get(), data);

    // Each piece runs through its LF, or holds kMaxLoadPiece bytes when the line is longer. When a piece was cut
    // before its line end, a following piece that is only that line end ("\n", or "\r\n") closes the cut line and
    // adds no item; a CR left at the end of the cut piece belongs to the line end and goes too.
    bool previousCut = false;
    std::size_t pos = 0;
    while (pos < data.size()) {
        const std::size_t limit = std::min(data.size() - pos, kMaxLoadPiece);
        const char* start = data.data() + pos;
        const auto* lf = static_cast<const char*>(std::memchr(start, '\n', limit));
        const std::string_view piece(start, lf == nullptr ? limit : static_cast<std::size_t>(lf - start) + 1);
        pos += piece.size();

        if (previousCut && (piece == "\n" || piece == "\r\n")) {
            if (piece == "\n" && !m_items.empty() && !m_items.back().empty() && m_items.back().back() == '\r') {
                m_items.back().pop_back();
            }
            previousCut = false;
            continue;
        }
        previousCut = piece.back() != '\n';
        std::string item(piece.substr(0, piece.find('\0')));
        StripLineEnd(item);
        Add(item.c_str());
    }
    return readAll;
}

bool StringList::Save(const char* path) const
{
    FilePtr file(std::fopen(OrEmpty(path), "wb"));
    if (!file) {
        return false;
    }
    bool ok = true;
    for (const auto& item : m_items) {
        ok = ok && std::fwrite(item.data(), 1, item.size(), file.get()) == item.size();
        ok = ok && std::fwrite("\r\n", 1, 2, file.get()) == 2;
    }
    return std::fclose(file.release()) == 0 && ok;
}

const char* StringList::Item(int index) const
{
    QM_ASSERT(index >= 0 && index < Count());
    return m_items[static_cast<std::size_t>(index)].c_str();
}

} // namespace qm
