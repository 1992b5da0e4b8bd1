#include "webserver/AccessLog.h"

#include "common/CgiInput.h"
#include "common/StringUtil.h"
#include "platform/FileSystem.h"

#include <cstring>
#include <filesystem>
#include <string>

namespace qm {

bool IsPasswordFieldName(std::string_view raw)
{
    // Decoded exactly as the engine decodes form fields, so that "%50assword", "Pass%77ord" or "%5Xassword"
    // (a non-digit after '%' counts as 0) cannot slip past.
    const std::string name = DecodeFormName(raw);
    static constexpr std::string_view kPassword = "pass";
    for (size_t at = 0; at + kPassword.size() <= name.size(); ++at) {
        if (EqualsNoCase(std::string_view(name).substr(at, kPassword.size()), kPassword)) {
            return true;
        }
    }
    return false;
}

namespace {

// Appends to a line under construction without passing its end; `at` may move past `size`, which marks a cut.
class LineWriter {
public:
    LineWriter(char* out, size_t size)
        : m_out(out)
        , m_size(size)
    {}

    void Put(char c)
    {
        if (m_at < m_size) {
            m_out[m_at] = c;
        }
        ++m_at;
    }

    void Put(std::string_view text)
    {
        for (const char c : text) {
            Put(c);
        }
    }

    void PutEscaped(std::string_view text)
    {
        static constexpr char kHex[] = "0123456789abcdef";
        for (const char c : text) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x20 || byte >= 0x7f || c == '"' || c == '\\') {
                Put('\\');
                Put('x');
                Put(kHex[byte >> 4]);
                Put(kHex[byte & 15]);
            } else {
                Put(c);
            }
        }
    }

    // The path and query as received, with the value of every password field replaced by "*".
    void PutTarget(std::string_view target)
    {
        const size_t question = target.find('?');
        PutEscaped(target.substr(0, question));
        if (question == std::string_view::npos) {
            return;
        }
        Put('?');
        std::string_view rest = target.substr(question + 1);
        for (;;) {
            const size_t amp = rest.find('&');
            const std::string_view field = rest.substr(0, amp);
            const size_t equals = field.find('=');
            if (equals != std::string_view::npos && IsPasswordFieldName(field.substr(0, equals))) {
                PutEscaped(field.substr(0, equals));
                Put("=*");
            } else {
                PutEscaped(field);
            }
            if (amp == std::string_view::npos) {
                return;
            }
            Put('&');
            rest.remove_prefix(amp + 1);
        }
    }

    void PutNumber(uint64_t value)
    {
        char digits[24];
        const int length = std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(value));
        Put(std::string_view(digits, static_cast<size_t>(length)));
    }

    // Ends the line with '\n' (and a NUL when there is room), cutting it where it does not fit.
    size_t Finish()
    {
        if (m_size < 2) {
            return 0;
        }
        size_t length = m_at + 1;
        if (length + 1 > m_size) {
            length = m_size - 1;
        }
        m_out[length - 1] = '\n';
        m_out[length] = '\0';
        return length;
    }

private:
    char* m_out;
    size_t m_size;
    size_t m_at = 0;
};

} // namespace

size_t FormatAccessLogLine(const AccessLogEntry& entry, char* out, size_t size)
{
    char when[40];
    std::tm local{};
    localtime_r(&entry.When, &local);
    if (std::strftime(when, sizeof when, "%d/%b/%Y:%H:%M:%S %z", &local) == 0) {
        when[0] = '\0';
    }
    LineWriter line(out, size);
    line.PutEscaped(entry.Client.empty() ? std::string_view("-") : entry.Client);
    line.Put(" - - [");
    line.Put(when);
    line.Put("] \"");
    line.PutEscaped(entry.Method);
    line.Put(' ');
    line.PutTarget(entry.Target);
    line.Put(' ');
    line.PutEscaped(entry.Version);
    line.Put("\" ");
    line.PutNumber(entry.Status);
    line.Put(' ');
    line.PutNumber(entry.Bytes);
    return line.Finish();
}

AccessLog::AccessLog(const std::string& logDir, int64_t maxKb)
    : m_path(logDir + "/" + kAccessLogName)
    , m_oldPath(logDir + "/" + kAccessLogOldName)
    , m_maxBytes(maxKb > 0 ? maxKb * 1024 : 0)
{
    m_file.reset(platform::OpenFileForAppend(m_path)); // owner only: request lines carry what users typed
    if (m_file) {
        std::error_code ignored;
        m_size = static_cast<int64_t>(std::filesystem::file_size(m_path, ignored));
        if (ignored) {
            m_size = 0;
        }
    }
}

bool AccessLog::Opened() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_file != nullptr;
}

void AccessLog::Write(const AccessLogEntry& entry)
{
    char line[2048];
    const size_t length = FormatAccessLogLine(entry, line, sizeof line);
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_file) {
        return;
    }
    (void)std::fwrite(line, 1, length, m_file.get());
    (void)std::fflush(m_file.get());
    m_size += static_cast<int64_t>(length);
    RotateIfDue();
}

void AccessLog::RotateIfDue()
{
    if (m_maxBytes <= 0 || m_size < m_maxBytes) {
        return;
    }
    m_file.reset();
    std::error_code ignored;
    std::filesystem::rename(m_path, m_oldPath, ignored);
    m_file.reset(platform::OpenFileForAppend(m_path)); // owner only: request lines carry what users typed
    m_size = 0;
}

void FormatHttpDate(time_t when, char* out, size_t size)
{
    std::tm utc{};
    gmtime_r(&when, &utc);
    if (std::strftime(out, size, "%a, %d %b %Y %H:%M:%S GMT", &utc) == 0 && size > 0) {
        out[0] = '\0';
    }
}

} // namespace qm
