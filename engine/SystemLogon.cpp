#include "engine/SystemLogon.h"

#include "common/StringUtil.h"
#include "engine/RequestMessages.h"
#include "platform/PamAuth.h"

#include <algorithm>
#include <cstdlib>

namespace qm::engine {
namespace {

constexpr std::size_t kMaxAccount = 79;
constexpr std::size_t kMaxService = 32;

bool ServiceCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
}

} // namespace

std::optional<std::string> PamServiceFor(std::string_view stored)
{
    std::string domain;
    for (const char c : stored.substr(stored.empty() ? 0 : 1)) {
        if (c != '\\') {
            domain += FoldCase(c);
        }
    }
    if (domain.empty() || domain == "." || domain == "nt_any") {
        return std::string(kDefaultPamService);
    }
    const bool first =
            (domain.front() >= 'a' && domain.front() <= 'z') || (domain.front() >= '0' && domain.front() <= '9');
    if (!first || domain.size() > kMaxService) {
        return std::nullopt;
    }
    for (const char c : domain) {
        if (!ServiceCharacter(c)) {
            return std::nullopt;
        }
    }
    return domain;
}

LogonResult PamLogon(std::string_view user, std::string_view stored, std::string_view typed, Logger& log)
{
    const std::string account(user.substr(0, std::min(user.find('@'), kMaxAccount)));
    const std::optional<std::string> service = PamServiceFor(stored);
    if (!service || account.empty() || typed.empty() || typed.find('\0') != std::string_view::npos) {
        log.LogMsg(1, kLogSystemLogonFailed, platform::kPamServiceError);
        return LogonResult::Refused;
    }
    const char* confDir = std::getenv(kPamConfDirVariable); // NOLINT(concurrency-mt-unsafe): read-only
    const int status =
            platform::PamCheckPassword(*service, account, std::string(typed), confDir != nullptr ? confDir : "");
    if (status != 0) {
        log.LogMsg(1, kLogSystemLogonFailed, status);
        return LogonResult::Refused;
    }
    return LogonResult::Accepted;
}

} // namespace qm::engine
