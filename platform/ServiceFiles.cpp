// Service names, the files of a service, and the lock file's text.
#include "platform/ServiceFiles.h"

#include "platform/FdUtil.h"
#include "platform/Service.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qm::svc {
namespace {

constexpr std::size_t kMaxNameLength = 64;

bool IsAsciiAlnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

} // namespace

bool ValidName(std::string_view name)
{
    if (name.empty() || name.size() > kMaxNameLength || !IsAsciiAlnum(name[0])) {
        return false;
    }
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return IsAsciiAlnum(c) || c == '_' || c == '-' || c == '.'; });
}

std::string ServiceFile(std::string_view name, const char* extension)
{
    std::string stem(name);
    for (char& c : stem) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return ServiceDirectory() + "/" + stem + extension;
}

Result<void> CheckName(std::string_view name)
{
    if (!ValidName(name)) {
        return Fail("bad service name '" + std::string(name) + "'", EINVAL);
    }
    return {};
}

Unexpected FailErrno(const std::string& what, int err)
{
    return platform::SystemFailure(what, err);
}

void FormatLockLine(char (&line)[kLockLineLength + 1], int pid, const char* state)
{
    (void)std::snprintf(line, sizeof line, "%10d %-13s\n", pid, state);
}

} // namespace qm::svc
