// Binding the engine library's administration exports.
#include "admincgi/EngineApi.h"

#include "platform/ProgramPath.h"
#include "platform/SharedLibrary.h"

#include <memory>

namespace qm::admincgi {
namespace {

std::unique_ptr<SharedLibrary>& Library()
{
    static std::unique_ptr<SharedLibrary> library;
    return library;
}

} // namespace

EngineApi& Engine()
{
    static EngineApi api;
    return api;
}

bool LoadEngineDll(const char* path, UserCalls wantUserCalls)
{
    UnloadEngineDll();
    std::string name;
    if (path != nullptr) {
        name = path;
    } else {
        Result<std::string> dir = ProgramDirectory();
        if (!dir) {
            return false;
        }
        name = *dir + "/Quillmail.so";
    }
    if (name.empty()) {
        return false;
    }
    Result<SharedLibrary> opened = SharedLibrary::Open(name);
    if (!opened) {
        return false;
    }
    auto library = std::make_unique<SharedLibrary>(std::move(*opened));
    EngineApi& api = Engine();
    api.QM_RegisterWindow = library->Function<QmRegisterWindowFn>("QM_RegisterWindow");
    api.QM_UnRegisterWindow = library->Function<QmUnRegisterWindowFn>("QM_UnRegisterWindow");
    api.QM_GetStatus = library->Function<QmGetStatusFn>("QM_GetStatus");
    api.QM_GetSessionStatus = library->Function<QmGetSessionStatusFn>("QM_GetSessionStatus");
    api.QM_KillSession = library->Function<QmKillSessionFn>("QM_KillSession");
    bool ok = api.QM_RegisterWindow && api.QM_UnRegisterWindow && api.QM_GetStatus && api.QM_GetSessionStatus &&
              api.QM_KillSession;
    if (wantUserCalls == UserCalls::Wanted) {
        api.QM_UserCreate = library->Function<QmUserCreateFn>("QM_UserCreate");
        api.QM_UserDelete = library->Function<QmUserDeleteFn>("QM_UserDelete");
        api.QM_UserRename = library->Function<QmUserRenameFn>("QM_UserRename");
        api.QM_UserChange = library->Function<QmUserChangeFn>("QM_UserChange");
        api.QM_UserExists = library->Function<QmUserExistsFn>("QM_UserExists");
        api.QM_UserDiskSpace = library->Function<QmUserDiskSpaceFn>("QM_UserDiskSpace");
        api.UserCalls = ok && api.QM_UserCreate && api.QM_UserDelete && api.QM_UserRename && api.QM_UserChange &&
                        api.QM_UserExists && api.QM_UserDiskSpace;
        ok = api.UserCalls;
    }
    api.Module = library.get();
    Library() = std::move(library);
    if (!ok) {
        UnloadEngineDll();
    }
    return ok;
}

void UnloadEngineDll()
{
    Engine() = EngineApi{};
    Library().reset();
}

void RemoveAll(std::string& s, std::string_view pattern)
{
    if (pattern.empty()) {
        return;
    }
    std::string out;
    out.reserve(s.size());
    std::size_t from = 0;
    for (std::size_t at = s.find(pattern); at != std::string::npos; at = s.find(pattern, from)) {
        out.append(s, from, at - from);
        from = at + pattern.size();
    }
    out.append(s, from, std::string::npos);
    s = std::move(out);
}

} // namespace qm::admincgi
