#include "store/StoreSeams.h"

#include "common/Log.h"
#include "common/StringUtil.h"

#include <atomic>
#include <string_view>

namespace qm::store {

namespace {

std::atomic<Logger*> g_log{nullptr};

} // namespace

void SetStoreLog(Logger* log) noexcept
{
    g_log.store(log);
}

void ReportSkippedRecord(const std::string& file, const std::string& record, const char* reason)
{
    Logger* log = g_log.load();
    if (log != nullptr) {
        log->Log(kStoreSkipLogLevel, "%s: %s %s", EscapeControlBytes(file).c_str(), EscapeControlBytes(record).c_str(),
                 reason);
    }
}

void ReportFileFailure(const std::string& failure, const char* consequence)
{
    Logger* log = g_log.load();
    if (log != nullptr) {
        log->Log(kStoreSkipLogLevel, "%s; %s.", EscapeControlBytes(failure).c_str(), consequence);
    }
}

} // namespace qm::store
