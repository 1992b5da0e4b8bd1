// The engine library's administration exports: thin C entry points over the administration calls. Each goes
// through the entry guard, so an exception is logged and turned into the export's failure value.
#include "common/EntryGuard.h"
#include "engine/AdminApi.h"
#include "engine/AdminCalls.h"

#include <cstdint>
#include <type_traits>

#define QM_EXPORT extern "C" [[gnu::visibility("default")]]

namespace admin = qm::engine::admin;

QM_EXPORT void QM_RegisterWindow(std::uint64_t window);
QM_EXPORT void QM_UnRegisterWindow(std::uint64_t window);
QM_EXPORT void QM_GetStatus(void* buffer);
QM_EXPORT int QM_GetSessionStatus(void* buffer, int max);
QM_EXPORT void QM_KillSession(const char* id);
QM_EXPORT unsigned char QM_UserCreate(const char* user, const char* password, const char* language,
                                      const char* fullName, const char* email);
QM_EXPORT unsigned char QM_UserDelete(const char* user);
QM_EXPORT unsigned char QM_UserRename(const char* oldUser, const char* newUser);
QM_EXPORT unsigned char QM_UserChange(const char* user, const char* newUser, const char* fullName,
                                      const char* password);
QM_EXPORT unsigned char QM_UserExists(const char* user);
QM_EXPORT int QM_UserDiskSpace(const char* user);

// The exports have the types their callers bind them with.
static_assert(std::is_same_v<decltype(&QM_RegisterWindow), qm::engine::QmRegisterWindowFn>);
static_assert(std::is_same_v<decltype(&QM_UnRegisterWindow), qm::engine::QmUnRegisterWindowFn>);
static_assert(std::is_same_v<decltype(&QM_GetStatus), qm::engine::QmGetStatusFn>);
static_assert(std::is_same_v<decltype(&QM_GetSessionStatus), qm::engine::QmGetSessionStatusFn>);
static_assert(std::is_same_v<decltype(&QM_KillSession), qm::engine::QmKillSessionFn>);
static_assert(std::is_same_v<decltype(&QM_UserCreate), qm::engine::QmUserCreateFn>);
static_assert(std::is_same_v<decltype(&QM_UserDelete), qm::engine::QmUserDeleteFn>);
static_assert(std::is_same_v<decltype(&QM_UserRename), qm::engine::QmUserRenameFn>);
static_assert(std::is_same_v<decltype(&QM_UserChange), qm::engine::QmUserChangeFn>);
static_assert(std::is_same_v<decltype(&QM_UserExists), qm::engine::QmUserExistsFn>);
static_assert(std::is_same_v<decltype(&QM_UserDiskSpace), qm::engine::QmUserDiskSpaceFn>);

namespace {

constexpr unsigned char kFalse = 0;

unsigned char Bool(bool value)
{
    return value ? 1 : 0;
}

} // namespace

QM_EXPORT void QM_RegisterWindow(std::uint64_t window)
{
    qm::GuardEntry("QM_RegisterWindow", [&] { admin::RegisterWindow(window); });
}

QM_EXPORT void QM_UnRegisterWindow(std::uint64_t window)
{
    qm::GuardEntry("QM_UnRegisterWindow", [&] { admin::UnRegisterWindow(window); });
}

QM_EXPORT void QM_GetStatus(void* buffer)
{
    qm::GuardEntry("QM_GetStatus", [&] { admin::GetStatus(static_cast<qm::engine::EngineStatus*>(buffer)); });
}

QM_EXPORT int QM_GetSessionStatus(void* buffer, int max)
{
    return qm::GuardEntry("QM_GetSessionStatus", admin::kTableUnreadable, [&] {
        return admin::GetSessionStatus(static_cast<qm::engine::SessionRecord*>(buffer), max);
    });
}

QM_EXPORT void QM_KillSession(const char* id)
{
    qm::GuardEntry("QM_KillSession", [&] { admin::KillSession(id); });
}

QM_EXPORT unsigned char QM_UserCreate(const char* user, const char* password, const char* language,
                                      const char* fullName, const char* email)
{
    return qm::GuardEntry("QM_UserCreate", kFalse,
                          [&] { return Bool(admin::UserCreate(user, password, language, fullName, email)); });
}

QM_EXPORT unsigned char QM_UserDelete(const char* user)
{
    return qm::GuardEntry("QM_UserDelete", kFalse, [&] { return Bool(admin::UserDelete(user)); });
}

QM_EXPORT unsigned char QM_UserRename(const char* oldUser, const char* newUser)
{
    return qm::GuardEntry("QM_UserRename", kFalse, [&] { return Bool(admin::UserRename(oldUser, newUser)); });
}

QM_EXPORT unsigned char QM_UserChange(const char* user, const char* newUser, const char* fullName, const char* password)
{
    return qm::GuardEntry("QM_UserChange", kFalse,
                          [&] { return Bool(admin::UserChange(user, newUser, fullName, password)); });
}

QM_EXPORT unsigned char QM_UserExists(const char* user)
{
    return qm::GuardEntry("QM_UserExists", kFalse, [&] { return Bool(admin::UserExists(user)); });
}

QM_EXPORT int QM_UserDiskSpace(const char* user)
{
    return qm::GuardEntry("QM_UserDiskSpace", 0, [&] { return admin::UserDiskSpace(user); });
}
