// The engine library's exports (the host contract) and its attach and detach when a process loads and unloads it.
#include "engine/Engine.h"
#include "engine/EngineMessages.h"

#define QM_EXPORT extern "C" [[gnu::visibility("default")]]

namespace {

int g_moduleAnchor = 0;

// The process's attachment: made when the process loads the library, undone with the library's other objects when
// it unloads it or exits (before the engine state it uses, which it creates first).
class ProcessAttachment {
public:
    ProcessAttachment()
    {
        qm::engine::RegisterEngineMessages();
        qm::engine::EngineProcessAttach(&g_moduleAnchor);
    }

    ProcessAttachment(const ProcessAttachment&) = delete;
    ProcessAttachment& operator=(const ProcessAttachment&) = delete;

    ~ProcessAttachment() { qm::engine::EngineProcessDetach(); }
};

// Runs when a process loads the library. It cannot make the load fail: a failure leaves the engine detached, so
// StartUp returns false.
[[gnu::constructor]] void AttachProcess()
{
    static ProcessAttachment s_attachment;
}

} // namespace

QM_EXPORT int StartUp(void);
QM_EXPORT int Main(int inFd, int outFd, const char* environment);
QM_EXPORT int ShutDown(void);

QM_EXPORT int StartUp(void)
{
    try {
        return qm::engine::EngineStartUp() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

QM_EXPORT int Main(int inFd, int outFd, const char* environment)
{
    try {
        qm::engine::EngineMain(inFd, outFd, environment);
    } catch (...) {
    }
    return 1;
}

QM_EXPORT int ShutDown(void)
{
    try {
        return qm::engine::EngineShutDown() ? 1 : 0;
    } catch (...) {
        return 1;
    }
}
