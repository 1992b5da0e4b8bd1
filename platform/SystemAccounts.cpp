#include "platform/SystemAccounts.h"

#include <cerrno>
#include <cstring>

#include <pwd.h>

namespace qm::platform {
namespace {

// The buffer for one entry's texts. It starts large, because not every name-service module hands out the same entry
// again after asking for more room with ERANGE (some skip it); glibc's own modules do, so the loop still grows it.
constexpr std::size_t kFirstEntryBuffer = 64u << 10;
constexpr std::size_t kMaxEntryBuffer = 1u << 20;

// Ends the enumeration on every path, so that the next call starts from the first entry again.
struct Enumeration {
    Enumeration() { ::setpwent(); }

    ~Enumeration() { ::endpwent(); }

    Enumeration(const Enumeration&) = delete;
    Enumeration& operator=(const Enumeration&) = delete;
};

std::string FullNameOf(const char* gecos)
{
    if (gecos == nullptr) {
        return {};
    }
    const char* comma = std::strchr(gecos, ',');
    return comma ? std::string(gecos, comma) : std::string(gecos);
}

} // namespace

Result<std::vector<SystemAccount>> ListSystemAccounts()
{
    std::vector<SystemAccount> accounts;
    std::vector<char> buffer(kFirstEntryBuffer);
    Enumeration enumeration;
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int rc = ::getpwent_r(&entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE) {
            if (buffer.size() >= kMaxEntryBuffer) {
                return Fail("an account entry is too large", ERANGE);
            }
            // The entry that did not fit is read again into the larger buffer.
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc == ENOENT || (rc == 0 && found == nullptr)) {
            return accounts;
        }
        if (rc != 0) {
            return Fail("cannot list the system's accounts", rc);
        }
        accounts.push_back({found->pw_name ? found->pw_name : "", static_cast<std::uint32_t>(found->pw_uid),
                            FullNameOf(found->pw_gecos)});
    }
}

} // namespace qm::platform
