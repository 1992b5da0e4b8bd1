#include "engine/Session.h"

#include "engine/SessionManager.h"
#include "engine/SessionTable.h"
#include "platform/FileSystem.h"

#include <cstring>
#include <ctime>
#include <utility>

namespace qm::engine {
namespace {

// The local time as [Stats] LastAccess shows it, "%Y-%m-%d %H:%M:%S".
std::string LocalTimeText(time_t when)
{
    std::tm local{};
    if (::localtime_r(&when, &local) == nullptr) {
        return {};
    }
    char text[32];
    if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
        return {};
    }
    return text;
}

} // namespace

Session::Session(SessionManager& manager, const char* id, std::string cookieSecret, std::string_view clientAddress)
    : m_manager(manager)
    , m_cookieSecret(std::move(cookieSecret))
    , m_clientAddress(clientAddress)
    , m_clientIPv4(ParseIPv4(clientAddress).value_or(0))
{
    std::memcpy(m_id, id, kSessionIdSize - 1);
}

Session::~Session()
{
    if (!m_tempDir.empty()) {
        (void)platform::DeleteDirectoryTree(m_tempDir);
    }
    m_user.reset();
}

bool Session::IsCookieSecret(std::string_view cookie) const
{
    // The length is no secret (always kCookieSecretLength); the bytes are compared all, whatever the first
    // difference.
    if (cookie.size() != m_cookieSecret.size() || m_cookieSecret.empty()) {
        return false;
    }
    volatile unsigned char difference = 0;
    for (std::size_t i = 0; i < cookie.size(); ++i) {
        difference = difference | static_cast<unsigned char>(cookie[i] ^ m_cookieSecret[i]);
    }
    return difference == 0;
}

bool Session::IsFromAddress(std::string_view remoteAddress) const
{
    std::lock_guard lock(m_identityLock);
    const auto address = ParseIPv4(remoteAddress);
    const std::uint32_t own = m_clientIPv4.load();
    if (address && own != 0) {
        return *address == own;
    }
    return remoteAddress == m_clientAddress;
}

std::string Session::ClientAddress() const
{
    std::lock_guard lock(m_identityLock);
    return m_clientAddress;
}

void Session::MoveToAddress(std::string_view remoteAddress)
{
    std::lock_guard lock(m_identityLock);
    m_clientAddress = remoteAddress;
    m_clientIPv4.store(ParseIPv4(remoteAddress).value_or(0));
}

void Session::Touch()
{
    const time_t now = m_manager.Now();
    time_t last = m_lastAccess.load();
    // One refresh a second: of two threads touching in the same second only the first goes on.
    if (now == last || !m_lastAccess.compare_exchange_strong(last, now)) {
        return;
    }
    if (m_user) {
        (void)m_user->SetStat("LastAccess", LocalTimeText(now));
        RefreshIdentity();
    }
    m_manager.UpdateRow(*this);
}

void Session::RefreshIdentity()
{
    if (!m_user) {
        return;
    }
    // The record's accounts belong to the request that holds the lock; without it the last identity stands.
    std::unique_lock request(m_requestLock, std::try_to_lock);
    if (!request.owns_lock()) {
        return;
    }
    Identity identity{m_user->Name(), m_user->DefaultAccountFullName(), m_user->DefaultAccountEMail()};
    std::lock_guard lock(m_identityLock);
    m_identity = std::move(identity);
}

Session::Identity Session::RowIdentity() const
{
    std::lock_guard lock(m_identityLock);
    Identity identity = m_identity;
    if (m_retired.load()) {
        identity.UserName = "*" + identity.UserName + "*";
    }
    return identity;
}

} // namespace qm::engine
