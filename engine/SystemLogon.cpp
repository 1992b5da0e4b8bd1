#include "engine/SystemLogon.h"

#include "common/StringUtil.h"
#include "engine/RequestMessages.h"

#include <security/pam_appl.h>

#include <cstdlib>
#include <cstring>

namespace qm::engine {
namespace {

constexpr std::size_t kMaxAccount = 79;
constexpr std::size_t kMaxService = 32;

bool ServiceCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
}

// Answers the module's password prompts with the typed password; every other prompt gets an empty answer.
int Converse(int count, const pam_message** messages, pam_response** responses, void* data)
{
    if (count <= 0 || count > PAM_MAX_NUM_MSG) {
        return PAM_CONV_ERR;
    }
    auto* replies = static_cast<pam_response*>(std::calloc(static_cast<std::size_t>(count), sizeof(pam_response)));
    if (replies == nullptr) {
        return PAM_BUF_ERR;
    }
    const auto* typed = static_cast<const std::string*>(data);
    for (int i = 0; i < count; ++i) {
        const int style = messages[i]->msg_style;
        if (style == PAM_PROMPT_ECHO_OFF || style == PAM_PROMPT_ECHO_ON) {
            replies[i].resp = strdup(style == PAM_PROMPT_ECHO_OFF ? typed->c_str() : "");
            if (replies[i].resp == nullptr) {
                for (int j = 0; j < i; ++j) {
                    std::free(replies[j].resp);
                }
                std::free(replies);
                return PAM_BUF_ERR;
            }
        }
    }
    *responses = replies;
    return PAM_SUCCESS;
}

// The failed-logon throttle makes callers wait; a module's own delay would only hold the request's thread.
void NoDelay(int /*status*/, unsigned /*delay*/, void* /*data*/) {}

// Ends the PAM transaction on every path.
class Transaction {
public:
    Transaction() = default;
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    ~Transaction()
    {
        if (m_handle != nullptr) {
            pam_end(m_handle, m_status);
        }
    }

    pam_handle_t*& Handle() { return m_handle; }

    int Status(int status) { return m_status = status; }

private:
    pam_handle_t* m_handle = nullptr;
    int m_status = PAM_SUCCESS;
};

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
    const bool first = (domain.front() >= 'a' && domain.front() <= 'z') || (domain.front() >= '0' && domain.front() <= '9');
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
        log.LogMsg(1, kLogSystemLogonFailed, PAM_SERVICE_ERR);
        return LogonResult::Refused;
    }
    const std::string password(typed);
    const pam_conv conversation{Converse, const_cast<std::string*>(&password)};
    Transaction transaction;
    const char* confDir = std::getenv(kPamConfDirVariable);
    int status = confDir != nullptr && *confDir != '\0'
                         ? pam_start_confdir(service->c_str(), account.c_str(), &conversation, confDir,
                                             &transaction.Handle())
                         : pam_start(service->c_str(), account.c_str(), &conversation, &transaction.Handle());
    if (status == PAM_SUCCESS) {
        (void)pam_set_item(transaction.Handle(), PAM_FAIL_DELAY, reinterpret_cast<const void*>(&NoDelay));
        status = transaction.Status(pam_authenticate(transaction.Handle(), PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK));
    }
    if (status == PAM_SUCCESS) {
        status = transaction.Status(pam_acct_mgmt(transaction.Handle(), PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK));
    }
    if (status != PAM_SUCCESS) {
        log.LogMsg(1, kLogSystemLogonFailed, status);
        return LogonResult::Refused;
    }
    return LogonResult::Accepted;
}

} // namespace qm::engine
