// Text rules shared by every store file: the cleaning of record values and whole-line reading.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace qm::store {

// The store's text files (the message index, the part index, the address book, the INI files) have no quoting:
// their records are split at 0x01, TAB, CR or LF. A value that comes from mail or from a form therefore has every
// byte below 0x20 replaced by a blank before it enters one of those files, so that no value can split a record or
// forge another one. Every writer of a store file uses these functions for that.

/// True for the bytes that a record value must not hold: every byte below 0x20 (NUL, 0x01, TAB, CR, LF, ...).
inline bool IsRecordBreakingByte(char c)
{
    return static_cast<unsigned char>(c) < 0x20;
}

/// In place: replaces every byte below 0x20 with a blank. The length stays the same.
void CleanRecordValue(std::string& value);

/// In place on a NUL-terminated string (null is ignored).
void CleanRecordValue(char* value);

/// A cleaned copy of value.
std::string CleanedRecordValue(std::string_view value);

/// Appends value, cleaned, and then the separator that ends the field.
void AppendRecordField(std::string& record, std::string_view value, char separator);

/// The text to write as an INI value so that a reader gets value back: value itself, or value in double quotes when
/// it begins or ends with a blank or TAB or is itself enclosed in double quotes (a reader drops both). For writing
/// back a value read from an INI file exactly as every reader saw it.
std::string IniValueAsRead(std::string_view value);

/// Closes a C stream when it goes out of scope.
struct FileCloser {
    void operator()(std::FILE* f) const { static_cast<void>(std::fclose(f)); }
};

using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

/// Opens path with the C library's mode text; a null or empty path gives a null FilePtr.
FilePtr OpenFile(const char* path, const char* mode);

/// Writes all of data to a new file at path ("wb": created or truncated) and closes it. False when the file cannot
/// be created or a write or the close fails.
bool WriteWholeFile(const char* path, std::string_view data);

/// Reads a stream line by line. A line ends at LF; the LF and one CR right before it are removed, so CR LF and bare
/// LF files read alike. A last line without LF counts as a line. Lines may hold any byte, NUL included.
class LineReader {
public:
    /// Reads from file, which stays owned by the caller and must outlive the reader.
    explicit LineReader(std::FILE* file)
        : m_file(file)
    {}

    /// Reads the next whole line into line. At most maxLength bytes of it are kept and the rest of that line is
    /// skipped (never returned as a line of its own); Cut() then says so. False at the end of the stream.
    bool Next(std::string& line, std::size_t maxLength = std::string::npos);

    /// True when the last line returned by Next was longer than its maxLength.
    bool Cut() const { return m_cut; }

    /// True when a read error (not the end of the stream) stopped the reader.
    bool Failed() const { return m_failed; }

private:
    bool Fill();

    std::FILE* m_file;
    char m_buffer[8192] = {};
    std::size_t m_pos = 0;
    std::size_t m_end = 0;
    bool m_eof = false;
    bool m_failed = false;
    bool m_cut = false;
};

} // namespace qm::store
