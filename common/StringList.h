// StringList: a growable array of owned strings, with case-insensitive search and sort, and line-file load and save.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qm {

/// Owned strings in order. Not thread-safe: one thread at a time.
class StringList {
public:
    /// Lines longer than this many bytes are loaded as several items, one per piece.
    static constexpr std::size_t kMaxLoadPiece = 255;

    /// Appends a copy of s (null gives ""); returns the new count.
    int Add(const char* s);

    /// Replaces the string at index with a copy of s (null gives ""); s may be that very string. An index outside
    /// 0..Count()-1 is ignored.
    void Replace(int index, const char* s);

    /// The index of the first string equal to s without regard to ASCII case, or -1.
    int IndexOf(const char* s) const;

    bool Contains(const char* s) const { return IndexOf(s) >= 0; }

    /// Sorts ascending without regard to ASCII case ('_' before letters); equal strings keep their order.
    void Sort();

    /// Appends every line of the file, without its line end (CR LF or LF). A line longer than kMaxLoadPiece bytes
    /// arrives as several items, one per piece. False when the file cannot be opened.
    bool Load(const char* path);

    /// Creates or truncates the file and writes every string followed by CR LF. False when the file cannot be
    /// created or written in full.
    bool Save(const char* path) const;

    void Clear() { m_items.clear(); }

    int Count() const { return static_cast<int>(m_items.size()); }

    /// The string at index 0..Count()-1.
    const char* Item(int index) const;

private:
    std::vector<std::string> m_items;
};

} // namespace qm
