#include "webserver/CgiHost.h"

#include "base/Assert.h"

#include <memory>
#include <system_error>
#include <utility>

namespace qm {

Result<std::unique_ptr<CgiHost>> CgiHost::Load(const std::string& path, size_t maxThreads)
{
    Result<SharedLibrary> library = SharedLibrary::Open(path);
    if (!library) {
        return Fail(library.error().Message);
    }
    std::unique_ptr<CgiHost> host(new CgiHost(std::move(library.value()), maxThreads));
    if (host->m_main == nullptr) {
        return Fail(path + " has no Main entry point");
    }
    return host;
}

CgiHost::CgiHost(SharedLibrary library, size_t maxThreads)
    : m_library(std::move(library))
    , m_startUp(m_library.Function<StartUpFunction*>("StartUp"))
    , m_main(m_library.Function<MainFunction*>("Main"))
    , m_mainToReply(m_library.Function<MainToReplyFunction*>("MainToReply"))
    , m_shutDown(m_library.Function<ShutDownFunction*>("ShutDown"))
    , m_maxThreads(maxThreads == 0 ? 1 : maxThreads)
{}

CgiHost::~CgiHost()
{
    Stop();
}

bool CgiHost::StartUp()
{
    QM_ASSERT(!m_started && !m_stopped);
    if (m_startUp != nullptr && m_startUp() == 0) {
        m_stopped = true;
        return false;
    }
    m_started = true;
    return true;
}

bool CgiHost::Submit(CgiCall& call)
{
    std::unique_lock<std::mutex> hold(m_lock);
    QM_ASSERT(m_started && !m_stopping);
    m_queue.push_back(std::move(call));
    if (m_idle >= m_queue.size() || m_threads.size() >= m_maxThreads) {
        // Woken after the lock is given up, so that the thread does not wake only to wait for the lock.
        hold.unlock();
        m_wake.notify_one();
        return true;
    }
    // Every thread is busy: one more, up to the bound.
    try {
        m_threads.emplace_back([this] { RunThread(); });
    } catch (const std::system_error&) {
        if (m_threads.empty()) {
            // Nothing would ever run the call: give it back.
            call = std::move(m_queue.back());
            m_queue.pop_back();
            return false;
        }
        hold.unlock();
        m_wake.notify_one(); // a busy thread takes it when it is free
    }
    return true;
}

void CgiHost::RunThread()
{
    std::unique_lock<std::mutex> hold(m_lock);
    for (;;) {
        while (m_queue.empty() && !m_stopping) {
            ++m_idle;
            m_wake.wait(hold);
            --m_idle;
        }
        if (m_queue.empty()) {
            return; // stopping, and nothing left to run
        }
        CgiCall call = std::move(m_queue.front());
        m_queue.pop_front();
        hold.unlock();
        if (call.Reply != nullptr && m_mainToReply != nullptr) {
            const QmHostReply sink = call.Reply->Sink();
            (void)m_mainToReply(call.Input.Release(), &sink, call.Environment.c_str());
            call.Reply->End(); // the library ends it; this only makes sure
        } else {
            if (call.Reply != nullptr) {
                call.Reply->End(); // no reply entry point: nothing can write into it
            }
            (void)m_main(call.Input.Release(), call.Output.Release(), call.Environment.c_str());
        }
        call = CgiCall{};
        hold.lock();
    }
}

void CgiHost::Stop()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_stopped) {
            return;
        }
        m_stopping = true;
        threads.swap(m_threads);
    }
    m_wake.notify_all();
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::lock_guard<std::mutex> hold(m_lock);
    m_stopped = true;
    if (m_started && m_shutDown != nullptr) {
        (void)m_shutDown();
    }
}

} // namespace qm
