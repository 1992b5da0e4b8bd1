// A scripted POP3 (or any line protocol) server for client tests: a thread on 127.0.0.1, port chosen by the system,
// that takes one connection and replays a table of expected command lines and the replies to them, recording every
// line the client sent. Every wait has a deadline, so a client that stops talking cannot hang a test.
#pragma once

#include "testsupport/LoopbackListener.h"
#include "testsupport/WaitUntil.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <poll.h>
#include <sys/socket.h>

namespace qm::test {

/// What the server does once a step's reply is sent.
enum class AfterReply {
    Continue, ///< the next step
    Close,    ///< closes the connection at once
    Silence,  ///< sends nothing more and waits for the client to close
};

/// One step: the line the client must send (without CR LF; "" for none: the greeting; a trailing '*' matches any
/// rest) and the bytes sent back: Reply, then Repeated sent Times times (Pace apart: a slow server), then Tail. A
/// large answer is sent that way without being held whole.
struct ScriptStep {
    std::string Expect;
    std::string Reply;
    AfterReply Then = AfterReply::Continue;
    std::string Repeated = {};
    std::size_t Times = 0;
    std::string Tail = {};
    std::chrono::milliseconds Pace{0};
};

/// Lines joined with CR LF after each: a single reply or a whole multi-line answer.
inline std::string CrLfLines(std::initializer_list<std::string_view> lines)
{
    std::string text;
    for (std::string_view line : lines) {
        text.append(line).append("\r\n");
    }
    return text;
}

class ScriptedPop3Server {
public:
    /// Starts listening and serving script in a thread. Valid() tells whether the listener was set up.
    explicit ScriptedPop3Server(std::vector<ScriptStep> script)
        : m_script(std::move(script))
    {
        if (m_listener.Valid()) {
            m_thread = std::thread([this] { Serve(); });
        }
    }

    ~ScriptedPop3Server()
    {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

    ScriptedPop3Server(const ScriptedPop3Server&) = delete;
    ScriptedPop3Server& operator=(const ScriptedPop3Server&) = delete;

    bool Valid() const { return m_listener.Valid(); }

    int Port() const { return m_listener.Port(); }

    /// Waits until the connection has ended (the client closed it after the script, or the server did); false when
    /// it had not within budget.
    bool WaitDone(TestClock::duration budget = kPatience) const
    {
        return WaitUntil([this] { return m_done.load(); }, budget);
    }

    /// Whether a client connected at all.
    bool Connected() const { return m_connected.load(); }

    /// Every line the client sent, without CR LF, in order.
    std::vector<std::string> Commands() const
    {
        std::lock_guard lock(m_lock);
        return m_commands;
    }

    /// The commands joined with '\n', for messages and searches.
    std::string CommandText() const
    {
        std::string text;
        for (const std::string& line : Commands()) {
            text.append(line).push_back('\n');
        }
        return text;
    }

    /// Steps whose expected line did not come, as "step N: got X, want Y" (empty when the client followed the
    /// script); a client that sent fewer lines than the script expects shows as "got end of connection".
    std::vector<std::string> Mismatches() const
    {
        std::lock_guard lock(m_lock);
        return m_mismatches;
    }

private:
    void Serve()
    {
        ScopedFd connection = AcceptUntilStopped();
        if (connection.Get() < 0) {
            m_done = true;
            return;
        }
        m_connected = true;
        for (std::size_t i = 0; i < m_script.size() && !m_stop; ++i) {
            const ScriptStep& step = m_script[i];
            if (!step.Expect.empty()) {
                std::string line;
                const bool got = ReadLine(connection.Get(), line);
                if (!got || !Matches(step.Expect, line)) {
                    Mismatch(i, got ? line : "end of connection", step.Expect);
                    if (!got) {
                        break;
                    }
                }
            }
            if (!SendStep(connection.Get(), step) || step.Then == AfterReply::Close) {
                break;
            }
            if (step.Then == AfterReply::Silence) {
                DrainUntilClosed(connection.Get());
                break;
            }
            if (i + 1 == m_script.size()) {
                DrainUntilClosed(connection.Get()); // any command past the script is recorded
            }
        }
        connection.Reset();
        m_done = true;
    }

    ScopedFd AcceptUntilStopped()
    {
        const auto deadline = TestClock::now() + kPatience;
        while (!m_stop && TestClock::now() < deadline) {
            ScopedFd fd = m_listener.AcceptWithin(50);
            if (fd.Get() >= 0) {
                return fd;
            }
        }
        return ScopedFd();
    }

    static bool Matches(const std::string& expect, const std::string& line)
    {
        if (!expect.empty() && expect.back() == '*') {
            return line.compare(0, expect.size() - 1, expect, 0, expect.size() - 1) == 0;
        }
        return line == expect;
    }

    void Mismatch(std::size_t step, const std::string& got, const std::string& want)
    {
        std::lock_guard lock(m_lock);
        m_mismatches.push_back("step " + std::to_string(step) + ": got \"" + got + "\", want \"" + want + "\"");
    }

    // Waits up to 50 ms for data; false on stop, error or the end of the stream.
    bool Fill(int fd)
    {
        char chunk[4096];
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, 50);
        if (ready <= 0) {
            return ready == 0 && !m_stop;
        }
        const long n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            m_eof = true;
            return false;
        }
        m_buffer.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    // The next line without its CR LF, recorded; false when none came within the patience.
    bool ReadLine(int fd, std::string& line)
    {
        const auto deadline = TestClock::now() + kPatience;
        for (;;) {
            const std::size_t lf = m_buffer.find('\n');
            if (lf != std::string::npos) {
                line = m_buffer.substr(0, lf > 0 && m_buffer[lf - 1] == '\r' ? lf - 1 : lf);
                m_buffer.erase(0, lf + 1);
                std::lock_guard lock(m_lock);
                m_commands.push_back(line);
                return true;
            }
            if (m_eof || m_stop || TestClock::now() >= deadline || (!Fill(fd) && (m_eof || m_stop))) {
                return false;
            }
        }
    }

    void DrainUntilClosed(int fd)
    {
        std::string line;
        while (ReadLine(fd, line)) {
        }
    }

    bool SendStep(int fd, const ScriptStep& step)
    {
        if (!SendAll(fd, step.Reply)) {
            return false;
        }
        for (std::size_t i = 0; i < step.Times && !m_stop; ++i) {
            if (step.Pace.count() > 0 && ClientHungUpWithin(fd, step.Pace)) {
                return false;
            }
            if (!SendAll(fd, step.Repeated)) {
                return false;
            }
        }
        return SendAll(fd, step.Tail);
    }

    // A slow server's pause between two pieces: it waits for the client to hang up, for at most pace. True when
    // the client went (the rest is not sent).
    static bool ClientHungUpWithin(int fd, std::chrono::milliseconds pace)
    {
        pollfd watch{fd, POLLRDHUP, 0};
        const int ready = ::poll(&watch, 1, static_cast<int>(pace.count()));
        return ready > 0 && (watch.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
    }

    static bool SendAll(int fd, std::string_view bytes)
    {
        while (!bytes.empty()) {
            const long n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    LoopbackListener m_listener;
    std::vector<ScriptStep> m_script;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
    std::atomic<bool> m_connected{false};
    std::string m_buffer;
    bool m_eof = false;
    mutable std::mutex m_lock;
    std::vector<std::string> m_commands;
    std::vector<std::string> m_mismatches;
};

} // namespace qm::test
