#include "store/StoreSeams.h"

#include "common/Log.h"

#include <atomic>
#include <string_view>

namespace qm::store {

namespace {

std::atomic<Logger*> g_log{nullptr};

// The text with every control byte and DEL written as \xHH, so that a name read from disk cannot split a log line.
std::string Printable(std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            out.append("\\x");
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0x0f]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

} // namespace

void SetStoreLog(Logger* log) noexcept
{
    g_log.store(log);
}

void ReportSkippedRecord(const std::string& file, const std::string& record, const char* reason)
{
    Logger* log = g_log.load();
    if (log != nullptr) {
        log->Log(kStoreSkipLogLevel, "%s: %s %s", Printable(file).c_str(), Printable(record).c_str(), reason);
    }
}

} // namespace qm::store
