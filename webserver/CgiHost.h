// CgiHost: the engine library hosted through its three entry points, StartUp, Main and ShutDown, with the
// threads that run Main.
#pragma once

#include "base/Result.h"
#include "platform/DescriptorIo.h"
#include "platform/SharedLibrary.h"
#include "webserver/ReplyBuffer.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qm {

/// One call of Main: the request body (or none), the write end of the output pipe and the environment block.
/// Main receives both descriptors and closes them itself. With a Reply (only for a library that hands replies
/// over, see HandsRepliesOver) the response is written into it instead of an output pipe, and ended in any case.
struct CgiCall {
    platform::UniqueFd Input;
    platform::UniqueFd Output;
    std::shared_ptr<ReplyBuffer> Reply;
    std::string Environment;
};

/// Loads the library, calls StartUp once, runs each Main on a thread of a bounded pool (threads are started
/// as calls need them, up to the bound; further calls wait for a free thread), and calls ShutDown once after
/// every Main has returned.
class CgiHost {
public:
    using StartUpFunction = int();
    using MainFunction = int(int inFd, int outFd, const char* environment);
    using MainToReplyFunction = int(int inFd, const QmHostReply* reply, const char* environment);
    using ShutDownFunction = int();

    /// Loads the library at `path` and binds its entry points. Fails when it cannot be loaded or has no Main
    /// (StartUp and ShutDown may be missing).
    static Result<std::unique_ptr<CgiHost>> Load(const std::string& path, size_t maxThreads);

    /// Stops if still running (see Stop), then unloads the library.
    ~CgiHost();

    CgiHost(const CgiHost&) = delete;
    CgiHost& operator=(const CgiHost&) = delete;

    /// True when the library has the entry point MainToReply: its responses can be handed over in memory.
    bool HandsRepliesOver() const { return m_mainToReply != nullptr; }

    /// Calls StartUp once. False when it returned false; the host must then call no Main and no ShutDown.
    bool StartUp();

    /// Hands the call over to a pool thread (taking it out of `call`). Only between a successful StartUp and Stop.
    /// False, with `call` left as it was, when no thread can be started to run it.
    bool Submit(CgiCall& call);

    /// Waits for every submitted Main to return (queued calls run first), then calls ShutDown once (only after a
    /// successful StartUp). Further calls of Stop do nothing.
    void Stop();

private:
    CgiHost(SharedLibrary library, size_t maxThreads);
    void RunThread();

    SharedLibrary m_library;
    StartUpFunction* m_startUp = nullptr;
    MainFunction* m_main = nullptr;
    MainToReplyFunction* m_mainToReply = nullptr;
    ShutDownFunction* m_shutDown = nullptr;
    const size_t m_maxThreads;

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<CgiCall> m_queue;
    std::vector<std::thread> m_threads;
    size_t m_idle = 0;
    bool m_started = false;
    bool m_stopping = false;
    bool m_stopped = false;
};

} // namespace qm
