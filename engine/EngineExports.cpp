// The engine library's exports (the host contract) and its attach and detach when a process loads and unloads it.
#include "common/EntryGuard.h"
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
    qm::SetEntryFailureReporter(&qm::engine::ReportEngineEntryFailure);
    qm::GuardEntry("Quillmail.so load", [] { static ProcessAttachment s_attachment; });
}

} // namespace

QM_EXPORT int StartUp(void);
QM_EXPORT int Main(int inFd, int outFd, const char* environment);
QM_EXPORT int MainToReply(int inFd, const QmHostReply* reply, const char* environment);
QM_EXPORT int ShutDown(void);

QM_EXPORT int StartUp(void)
{
    return qm::GuardEntry("StartUp", 0, [] { return qm::engine::EngineStartUp() ? 1 : 0; });
}

// Main always returns true, after a stopped exception too.
QM_EXPORT int Main(int inFd, int outFd, const char* environment)
{
    return qm::GuardEntry("Main", 1, [&] {
        qm::engine::EngineMain(inFd, outFd, environment);
        return 1;
    });
}

// Main with the response handed over in memory (engine/HostReply.h): a host that has this entry point uses it
// instead of an output pipe. The reply is ended in every case, an exception on the way too (the stream that ends it
// is closed as the request unwinds). Always returns true.
QM_EXPORT int MainToReply(int inFd, const QmHostReply* reply, const char* environment)
{
    return qm::GuardEntry("MainToReply", 1, [&] {
        qm::engine::EngineMainToReply(inFd, reply, environment);
        return 1;
    });
}

QM_EXPORT int ShutDown(void)
{
    return qm::GuardEntry("ShutDown", 1, [] { return qm::engine::EngineShutDown() ? 1 : 0; });
}
