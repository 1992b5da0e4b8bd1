// A stand-in companion library with only three of the entry points, for the binding tests: it counts the calls of
// CV_ReloadUsers and knows one address.
#include "store/CvUserApi.h"

#include <cstring>

#define TEST_EXPORT extern "C" [[gnu::visibility("default")]]

namespace {
int g_reloads = 0;
} // namespace

TEST_EXPORT int CV_ReloadUsers();
TEST_EXPORT qm::store::CvHandle CV_GetByEmail(const char* address);
TEST_EXPORT void CV_GetFree(qm::store::CvHandle handle);
TEST_EXPORT int CvTestReloadCount();

TEST_EXPORT int CV_ReloadUsers()
{
    ++g_reloads;
    return 1;
}

TEST_EXPORT qm::store::CvHandle CV_GetByEmail(const char* address)
{
    return address != nullptr && std::strcmp(address, "known@example.com") == 0 ? 7 : qm::store::kCvNoUser;
}

TEST_EXPORT void CV_GetFree(qm::store::CvHandle /*handle*/)
{}

TEST_EXPORT int CvTestReloadCount()
{
    return g_reloads;
}
