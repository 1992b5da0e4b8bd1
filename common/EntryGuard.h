// The one guard at every boundary where C++ meets a C caller (exported calls, load-time constructors, callbacks of
// C libraries): an exception that reaches it is reported and turned into the entry's failure value.
#pragma once

#include <exception>
#include <type_traits>

namespace qm {

/// Where a guarded entry reports an exception it stopped: the entry's name and the exception's text ("unknown
/// exception" for one that is not a std::exception). Called on the thread of the failed entry; must not throw.
using EntryFailureReporter = void (*)(const char* entry, const char* what) noexcept;

/// The reporter of this binary (each library or program has its own). Until one is set, failures go to
/// standard error.
void SetEntryFailureReporter(EntryFailureReporter reporter) noexcept;

/// Reports an exception stopped at `entry` through the current reporter.
void ReportEntryFailure(const char* entry, const char* what) noexcept;

/// Runs `body` and returns its result; an exception that escapes it is reported and `failure` returned instead.
/// Use it as the whole body of every extern "C" export and every callback a C library calls.
template <class Body, class Value>
[[nodiscard]] Value GuardEntry(const char* entry, Value failure, Body&& body) noexcept
{
    try {
        return static_cast<Value>(body());
    } catch (const std::exception& error) {
        ReportEntryFailure(entry, error.what());
    } catch (...) {
        ReportEntryFailure(entry, "unknown exception");
    }
    return failure;
}

/// The same for entries that return nothing.
template <class Body>
void GuardEntry(const char* entry, Body&& body) noexcept
{
    try {
        body();
    } catch (const std::exception& error) {
        ReportEntryFailure(entry, error.what());
    } catch (...) {
        ReportEntryFailure(entry, "unknown exception");
    }
}

} // namespace qm
