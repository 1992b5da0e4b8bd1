// A small administration program for the tests across processes: loads the engine library without StartUp and
// binds the QM_* exports by name, as the console and the web administration do, then carries out the commands it
// reads on standard input, one a line, and prints one line of result for each.
//
// Usage: qm_admin_test_client <library>
// Commands (fields separated by TAB, so that names may hold blanks or be empty):
//   create<TAB>user<TAB>password<TAB>language<TAB>full name<TAB>e-mail   -> 1 or 0
//   delete<TAB>user  rename<TAB>old<TAB>new  change<TAB>user<TAB>new<TAB>full name<TAB>password  exists<TAB>user
//                                                                        -> 1 or 0
//   diskspace<TAB>user                                                   -> bytes
//   kill<TAB>id                                                          -> done
//   status                                                               -> the nine status words
//   sessions<TAB>max                                                     -> result, then the rows' ids and users
//   watch<TAB>code<TAB>seconds    registers a window (QM_RegisterWindow), prints "ready", waits until a message
//                                 with that wParam arrives and prints "message <message> <wParam>", or "nothing";
//                                 then unregisters it
// The installation and the namespace come from QUILLMAIL_INI and QUILLMAIL_IPC_NS, as for the library.
#include "engine/AdminApi.h"
#include "engine/SessionTable.h"
#include "platform/IpcNamespace.h"
#include "platform/WindowMessage.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <dlfcn.h>

namespace {

using namespace qm::engine;

struct Api {
    QmRegisterWindowFn RegisterWindow = nullptr;
    QmUnRegisterWindowFn UnRegisterWindow = nullptr;
    QmGetStatusFn GetStatus = nullptr;
    QmGetSessionStatusFn GetSessionStatus = nullptr;
    QmKillSessionFn KillSession = nullptr;
    QmUserCreateFn UserCreate = nullptr;
    QmUserDeleteFn UserDelete = nullptr;
    QmUserRenameFn UserRename = nullptr;
    QmUserChangeFn UserChange = nullptr;
    QmUserExistsFn UserExists = nullptr;
    QmUserDiskSpaceFn UserDiskSpace = nullptr;
};

template <class Fn>
bool Bind(void* library, const char* name, Fn& fn)
{
    fn = reinterpret_cast<Fn>(dlsym(library, name));
    return fn != nullptr;
}

bool BindAll(void* library, Api& api)
{
    return Bind(library, "QM_RegisterWindow", api.RegisterWindow) &&
           Bind(library, "QM_UnRegisterWindow", api.UnRegisterWindow) && Bind(library, "QM_GetStatus", api.GetStatus) &&
           Bind(library, "QM_GetSessionStatus", api.GetSessionStatus) &&
           Bind(library, "QM_KillSession", api.KillSession) && Bind(library, "QM_UserCreate", api.UserCreate) &&
           Bind(library, "QM_UserDelete", api.UserDelete) && Bind(library, "QM_UserRename", api.UserRename) &&
           Bind(library, "QM_UserChange", api.UserChange) && Bind(library, "QM_UserExists", api.UserExists) &&
           Bind(library, "QM_UserDiskSpace", api.UserDiskSpace);
}

std::vector<std::string> Split(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

const char* Field(const std::vector<std::string>& fields, std::size_t index)
{
    return index < fields.size() ? fields[index].c_str() : "";
}

qm::IpcNamespace Namespace()
{
    const char* ini = std::getenv("QUILLMAIL_INI");
    const std::string path = ini != nullptr ? ini : "";
    return qm::IpcNamespace::ForInstallDir(path.substr(0, path.rfind('/')));
}

void Watch(const Api& api, std::uint64_t code, int seconds)
{
    auto endpoint = qm::WindowMessageEndpoint::Create(Namespace());
    if (!endpoint) {
        std::cout << "cannot make a window" << std::endl;
        return;
    }
    api.RegisterWindow(endpoint->Handle());
    std::cout << "ready" << std::endl;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        auto message = left.count() > 0 ? endpoint->WaitFor(left) : std::nullopt;
        if (!message) {
            std::cout << "nothing" << std::endl;
            break;
        }
        if (message->WParam == code) {
            std::cout << "message " << message->Message << ' ' << message->WParam << std::endl;
            break;
        }
    }
    api.UnRegisterWindow(endpoint->Handle());
}

void Sessions(const Api& api, int max)
{
    std::vector<SessionRecord> rows(static_cast<std::size_t>(max > 0 ? max : 0) + 1);
    const int count = api.GetSessionStatus(rows.data(), max);
    std::cout << count;
    for (int i = 0; i < count; ++i) {
        std::cout << ' ' << rows[static_cast<std::size_t>(i)].SessionId << ':'
                  << rows[static_cast<std::size_t>(i)].UserName;
    }
    std::cout << std::endl;
}

void Run(const Api& api, const std::vector<std::string>& f)
{
    const std::string& command = f[0];
    if (command == "create") {
        std::cout << int(api.UserCreate(Field(f, 1), Field(f, 2), Field(f, 3), Field(f, 4), Field(f, 5))) << std::endl;
    } else if (command == "delete") {
        std::cout << int(api.UserDelete(Field(f, 1))) << std::endl;
    } else if (command == "rename") {
        std::cout << int(api.UserRename(Field(f, 1), Field(f, 2))) << std::endl;
    } else if (command == "change") {
        std::cout << int(api.UserChange(Field(f, 1), Field(f, 2), Field(f, 3), Field(f, 4))) << std::endl;
    } else if (command == "exists") {
        std::cout << int(api.UserExists(Field(f, 1))) << std::endl;
    } else if (command == "diskspace") {
        std::cout << api.UserDiskSpace(Field(f, 1)) << std::endl;
    } else if (command == "kill") {
        api.KillSession(Field(f, 1));
        std::cout << "done" << std::endl;
    } else if (command == "status") {
        std::int32_t words[9] = {};
        api.GetStatus(words);
        for (int i = 0; i < 9; ++i) {
            std::cout << (i > 0 ? " " : "") << words[i];
        }
        std::cout << std::endl;
    } else if (command == "sessions") {
        Sessions(api, std::atoi(Field(f, 1)));
    } else if (command == "watch") {
        Watch(api, std::strtoull(Field(f, 1), nullptr, 10), std::atoi(Field(f, 2)));
    } else {
        std::cout << "unknown command" << std::endl;
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: qm_admin_test_client <library>\n";
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::cout << "cannot load: " << dlerror() << std::endl;
        return 2;
    }
    Api api;
    if (!BindAll(library, api)) {
        std::cout << "missing exports" << std::endl;
        dlclose(library);
        return 2;
    }
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty()) {
            Run(api, Split(line));
        }
    }
    dlclose(library);
    return 0;
}
