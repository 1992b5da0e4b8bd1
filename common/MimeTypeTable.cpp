#include "common/MimeTypeTable.h"

#include "common/StringUtil.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace qm {

namespace {

constexpr const char* kSeparators = " \t\r\n";

// The next token of a line, NUL-terminated in place, or null at the end of the line.
char* NextToken(char*& cursor)
{
    cursor += std::strspn(cursor, kSeparators);
    if (*cursor == '\0') {
        return nullptr;
    }
    char* token = cursor;
    cursor += std::strcspn(cursor, kSeparators);
    if (*cursor != '\0') {
        *cursor++ = '\0';
    }
    return token;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

} // namespace

bool MimeTypeTable::Load(const char* path)
{
    m_entries.Clear();
    if (path == nullptr) {
        return false;
    }
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "rb"));
    if (!file) {
        return false;
    }
    // A 256-byte buffer: a longer line arrives in 255-byte pieces, each read as a line of its own.
    char line[256];
    while (std::fgets(line, sizeof line, file.get()) != nullptr) {
        char* cursor = line;
        const char* type = NextToken(cursor);
        if (type == nullptr) {
            continue;
        }
        while (const char* extension = NextToken(cursor)) {
            m_entries.Add(extension, type);
        }
    }
    return true;
}

// Both look-ups walk the entries by index instead of calling Find, which would remember its hit: they change
// nothing, so concurrent request threads may share one table.
const char* MimeTypeTable::TypeForExtension(const char* extension) const
{
    if (extension == nullptr) {
        return kDefaultType;
    }
    for (int i = 0; i < m_entries.Count(); ++i) {
        const NameValuePair* pair = m_entries.Item(i);
        if (EqualsNoCase(pair->Name(), extension)) {
            return pair->Value();
        }
    }
    return kDefaultType;
}

const char* MimeTypeTable::ExtensionForType(const char* type) const
{
    if (type == nullptr) {
        return kDefaultExtension;
    }
    for (int i = 0; i < m_entries.Count(); ++i) {
        const NameValuePair* pair = m_entries.Item(i);
        if (EqualsNoCase(pair->Value(), type)) {
            return pair->Name();
        }
    }
    return kDefaultExtension;
}

} // namespace qm
