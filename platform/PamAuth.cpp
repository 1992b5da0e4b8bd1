#include "platform/PamAuth.h"

#include <security/pam_appl.h>

#include <cstdlib>
#include <cstring>

namespace qm::platform {
namespace {

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
void NoDelay(int /*status*/, unsigned /*delay*/, void* /*data*/)
{}

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

int PamCheckPassword(const std::string& service, const std::string& account, const std::string& password,
                     const std::string& confDir)
{
    static_assert(kPamServiceError == PAM_SERVICE_ERR);
    const pam_conv conversation{Converse, const_cast<std::string*>(&password)};
    Transaction transaction;
    int status = !confDir.empty() ? pam_start_confdir(service.c_str(), account.c_str(), &conversation, confDir.c_str(),
                                                      &transaction.Handle())
                                  : pam_start(service.c_str(), account.c_str(), &conversation, &transaction.Handle());
    if (status == PAM_SUCCESS) {
        (void)pam_set_item(transaction.Handle(), PAM_FAIL_DELAY, reinterpret_cast<const void*>(&NoDelay));
        status = transaction.Status(pam_authenticate(transaction.Handle(), PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK));
    }
    if (status == PAM_SUCCESS) {
        status = transaction.Status(pam_acct_mgmt(transaction.Handle(), PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK));
    }
    return status;
}

} // namespace qm::platform
