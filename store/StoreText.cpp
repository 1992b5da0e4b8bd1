#include "store/StoreText.h"

#include <algorithm>
#include <cstring>

namespace qm::store {

void CleanRecordValue(std::string& value)
{
    std::replace_if(value.begin(), value.end(), IsRecordBreakingByte, ' ');
}

void CleanRecordValue(char* value)
{
    if (value == nullptr) {
        return;
    }
    for (; *value != '\0'; ++value) {
        if (IsRecordBreakingByte(*value)) {
            *value = ' ';
        }
    }
}

std::string CleanedRecordValue(std::string_view value)
{
    std::string copy(value);
    CleanRecordValue(copy);
    return copy;
}

std::string IniValueAsRead(std::string_view value)
{
    auto isBlank = [](char c) {
        return c == ' ' || c == '\t';
    };
    const bool quoted = value.size() >= 2 && value.front() == '"' && value.back() == '"';
    if (value.empty() || (!quoted && !isBlank(value.front()) && !isBlank(value.back()))) {
        return std::string(value);
    }
    std::string out;
    out.reserve(value.size() + 2);
    out.push_back('"');
    out.append(value);
    out.push_back('"');
    return out;
}

void AppendRecordField(std::string& record, std::string_view value, char separator)
{
    const std::size_t start = record.size();
    record.append(value);
    std::replace_if(record.begin() + static_cast<std::ptrdiff_t>(start), record.end(), IsRecordBreakingByte, ' ');
    record.push_back(separator);
}

FilePtr OpenFile(const char* path, const char* mode)
{
    if (path == nullptr || *path == '\0') {
        return nullptr;
    }
    return FilePtr(std::fopen(path, mode));
}

bool WriteWholeFile(const char* path, std::string_view data)
{
    FilePtr file = OpenFile(path, "wb");
    if (!file) {
        return false;
    }
    const bool written = std::fwrite(data.data(), 1, data.size(), file.get()) == data.size();
    return std::fclose(file.release()) == 0 && written;
}

bool LineReader::Fill()
{
    if (m_eof || m_failed) {
        return false;
    }
    m_pos = 0;
    m_end = std::fread(m_buffer, 1, sizeof m_buffer, m_file);
    if (m_end == 0) {
        m_failed = std::ferror(m_file) != 0;
        m_eof = true;
        return false;
    }
    return true;
}

bool LineReader::Next(std::string& line, std::size_t maxLength)
{
    line.clear();
    m_cut = false;
    bool gotAny = false;
    std::size_t total = 0; // bytes of the line before its LF
    char last = '\0';      // the last of them
    for (;;) {
        if (m_pos == m_end && !Fill()) {
            break;
        }
        gotAny = true;
        const char* start = m_buffer + m_pos;
        const std::size_t avail = m_end - m_pos;
        const auto* lf = static_cast<const char*>(std::memchr(start, '\n', avail));
        const std::size_t take = lf == nullptr ? avail : static_cast<std::size_t>(lf - start);
        if (take > 0) {
            total += take;
            last = start[take - 1];
            const std::size_t room = maxLength - std::min(maxLength, line.size());
            line.append(start, std::min(take, room));
        }
        m_pos += take;
        if (lf != nullptr) {
            ++m_pos; // the LF itself
            break;
        }
    }
    if (!gotAny) {
        return false;
    }
    const std::size_t length = last == '\r' ? total - 1 : total; // without the CR of a CR LF line end
    if (line.size() > length) {
        line.resize(length);
    }
    m_cut = length > maxLength;
    return true;
}

} // namespace qm::store
