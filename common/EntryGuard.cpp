// The reporter behind the entry guard.
#include "common/EntryGuard.h"

#include <atomic>
#include <cstdio>

namespace qm {
namespace {

void ReportToStandardError(const char* entry, const char* what) noexcept
{
    std::fprintf(stderr, "%s: stopped an exception: %s\n", entry, what);
}

std::atomic<EntryFailureReporter> g_reporter{&ReportToStandardError};

} // namespace

void SetEntryFailureReporter(EntryFailureReporter reporter) noexcept
{
    g_reporter.store(reporter != nullptr ? reporter : &ReportToStandardError);
}

void ReportEntryFailure(const char* entry, const char* what) noexcept
{
    g_reporter.load()(entry, what != nullptr ? what : "");
}

} // namespace qm
