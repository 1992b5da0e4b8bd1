#include "portico/AccessLog.h"

#include "platform/FileSystem.h"

#include <cstdio>
#include <cstdlib>

namespace qm::portico {

std::string FormatAccessLine(const AccessRecord& record)
{
    std::tm local{};
    (void)localtime_r(&record.RequestTime, &local);
    char stamp[64];
    (void)std::strftime(stamp, sizeof stamp, "%d/%b/%Y:%H:%M:%S ", &local);
    // tm_gmtoff is east of UTC; the zone's bias is its negation.
    const long east = local.tm_gmtoff;
    char zone[48];
    (void)std::snprintf(zone, sizeof zone, "%c%02ld%02ld", east < 0 ? '-' : '+', std::labs(east) / 3600,
                        (std::labs(east) / 60) % 60);
    std::string request(record.RequestLine.empty() ? std::string_view("-") : record.RequestLine);
    for (char& c : request) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = '?';
        }
    }
    std::string line;
    line.reserve(request.size() + 128);
    line.append(record.ClientAddress).append(" - ");
    line.append(record.User.empty() ? std::string_view("-") : record.User);
    line.append(" [").append(stamp).append(zone).append("] \"").append(request).append("\" ");
    line.append(std::to_string(record.Status)).append(" ").append(std::to_string(record.Bytes)).append("\r\n");
    return line;
}

AccessLog::~AccessLog()
{
    Close();
}

bool AccessLog::Open(const std::string& logDir)
{
    std::lock_guard lock(m_lock);
    Close();
    m_path = logDir + "/http-admin.log";
    m_oldPath = logDir + "/http-admin.old";
    m_file = platform::OpenFileForAppend(m_path);
    return m_file != nullptr;
}

void AccessLog::Write(const AccessRecord& record)
{
    std::lock_guard lock(m_lock);
    if (m_file == nullptr) {
        return;
    }
    const std::string line = FormatAccessLine(record);
    (void)std::fwrite(line.data(), 1, line.size(), m_file);
    (void)std::fflush(m_file);
}

void AccessLog::Rotate(int sizeLimitKb)
{
    std::lock_guard lock(m_lock);
    if (sizeLimitKb <= 0 || m_file == nullptr) {
        return;
    }
    const long position = std::ftell(m_file);
    if (position < 0 || position < static_cast<long>(sizeLimitKb) * 1024) {
        return;
    }
    (void)std::fclose(m_file);
    m_file = nullptr;
    (void)platform::RemoveFile(m_oldPath);
    (void)std::rename(m_path.c_str(), m_oldPath.c_str());
    m_file = platform::OpenFileForAppend(m_path);
}

void AccessLog::Close()
{
    std::lock_guard lock(m_lock);
    if (m_file != nullptr) {
        (void)std::fclose(m_file);
        m_file = nullptr;
    }
}

} // namespace qm::portico
