// A small host for the tests across processes: loads the engine library the way a web server, the console or the
// administration program does, and reports on standard output what it sees.
//
// Usage: qm_engine_test_host <library> <mode>
//   engine   StartUp, print "startup <result>"; when it started, wait for a line "stop" (or the end of standard
//            input), ShutDown, print "shutdown <result>". Exit 0 when it started, 3 when not.
//   inspect  load only; print the shared block: "ini <path>", "loglevel <n>", "status <nine words>".
//   window   load only; make a window handle, register it in the shared block's window list, print "ready", wait
//            up to 20 seconds for a message and print "message <message> <wParam>", or "nothing".
// The installation and the namespace come from QUILLMAIL_INI and QUILLMAIL_IPC_NS, as for the library.
#include "engine/EngineShared.h"
#include "platform/IpcNamespace.h"
#include "platform/SharedMemory.h"
#include "platform/WindowMessage.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include <dlfcn.h>

namespace {

using qm::engine::EngineSharedBlock;

qm::IpcNamespace Namespace()
{
    std::string ini = std::getenv("QUILLMAIL_INI") != nullptr ? std::getenv("QUILLMAIL_INI") : "";
    return qm::IpcNamespace::ForInstallDir(ini.substr(0, ini.rfind('/')));
}

int RunEngine(void* library)
{
    auto startUp = reinterpret_cast<int (*)()>(dlsym(library, "StartUp"));
    auto shutDown = reinterpret_cast<int (*)()>(dlsym(library, "ShutDown"));
    if (startUp == nullptr || shutDown == nullptr) {
        std::cout << "missing exports" << std::endl;
        return 2;
    }
    const int started = startUp();
    std::cout << "startup " << started << std::endl;
    if (started == 0) {
        return 3;
    }
    std::string line;
    while (std::getline(std::cin, line) && line != "stop") {
    }
    std::cout << "shutdown " << shutDown() << std::endl;
    return 0;
}

int Inspect()
{
    auto segment = qm::ShmSegment::Open(Namespace(), "engine", qm::ShmAccess::ReadOnly, sizeof(EngineSharedBlock));
    if (!segment) {
        std::cout << "no block: " << segment.error().Message << std::endl;
        return 2;
    }
    const auto* block = segment->As<EngineSharedBlock>();
    std::cout << "ini " << block->Section.IniPath << "\n";
    std::cout << "loglevel " << block->Section.LogLevel << "\n";
    std::cout << "status";
    for (std::int32_t word : block->Section.Status.Words) {
        std::cout << ' ' << word;
    }
    std::cout << std::endl;
    return 0;
}

int Window()
{
    const qm::IpcNamespace ns = Namespace();
    auto segment = qm::ShmSegment::Open(ns, "engine", qm::ShmAccess::ReadWrite, sizeof(EngineSharedBlock));
    auto endpoint = qm::WindowMessageEndpoint::Create(ns);
    if (!segment || !endpoint) {
        std::cout << "cannot make a window" << std::endl;
        return 2;
    }
    auto* block = segment->As<EngineSharedBlock>();
    {
        qm::SharedMutexGuard guard(block->SessionsMutex);
        for (auto& slot : block->Section.NotifyWindows) {
            if (slot == qm::kNoWindow) {
                slot = endpoint->Handle();
                break;
            }
        }
    }
    std::cout << "ready" << std::endl;
    auto message = endpoint->WaitFor(std::chrono::seconds(20));
    if (!message) {
        std::cout << "nothing" << std::endl;
        return 1;
    }
    std::cout << "message " << message->Message << ' ' << message->WParam << std::endl;
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: qm_engine_test_host <library> engine|inspect|window\n";
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::cout << "cannot load: " << dlerror() << std::endl;
        return 2;
    }
    const std::string mode = argv[2];
    int status = 2;
    if (mode == "engine") {
        status = RunEngine(library);
    } else if (mode == "inspect") {
        status = Inspect();
    } else if (mode == "window") {
        status = Window();
    }
    dlclose(library);
    return status;
}
