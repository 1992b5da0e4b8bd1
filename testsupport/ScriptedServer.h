// A scripted fake server for the tests of line-based protocol clients: it accepts one connection on 127.0.0.1 (port
// chosen by the system), then plays a table of steps on a thread of its own, each a line to expect from the client
// and the reply to give, and records everything the client sent.
#pragma once

#include "testsupport/LoopbackListener.h"
#include "testsupport/WaitUntil.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qm::test {

/// One step of a script.
struct ServerStep {
    /// What the client must send before the reply goes out: one line, without its CR LF, equal to this; or
    /// kAnyLine (any one line); or kDataBlock (message data up to and including the line "."); or "" (nothing:
    /// the reply goes out at once, as a greeting does).
    std::string Expect;
    /// Sent after it, as it is (several lines, each with its CR LF); "" sends nothing.
    std::string Reply;
    /// Closes the connection after the reply.
    bool CloseAfter = false;
};

/// Expect values with a meaning of their own.
inline const std::string kAnyLine = "<any line>";
inline const std::string kDataBlock = "<data>";

/// Plays `script` to the first client that connects. A line that differs from the step's Expect is recorded as the
/// mismatch and the connection is closed. After the last step the server goes on reading (and recording) lines
/// until the client closes. Every wait is bounded by kPatience; the destructor stops the thread.
class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<ServerStep> script)
        : m_script(std::move(script))
    {
        if (!m_listener.Valid() || ::pipe2(m_wake, O_CLOEXEC) != 0) {
            return;
        }
        m_thread = std::thread([this] { Run(); });
    }

    ~ScriptedServer()
    {
        if (m_thread.joinable()) {
            char stop = 1;
            (void)!::write(m_wake[1], &stop, 1);
            m_thread.join();
        }
        for (int fd : m_wake) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    bool Valid() const { return m_thread.joinable(); }

    int Port() const { return m_listener.Port(); }

    /// Waits until the connection has ended (the client closed it, the script closed it, or a wait ran out).
    bool WaitFinished(TestClock::duration budget = kPatience) const
    {
        return WaitUntil([this] { return m_finished.load(); }, budget);
    }

    /// The lines the client sent outside data blocks, without their CR LF, in order.
    std::vector<std::string> Lines() const
    {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

    /// The raw bytes of every data block, the closing "." line included.
    std::string Data() const
    {
        std::lock_guard lock(m_mutex);
        return m_data;
    }

    /// What went wrong on the server's side ("" when nothing did): a line that was not expected, a time-out.
    std::string Problem() const
    {
        std::lock_guard lock(m_mutex);
        return m_problem;
    }

    /// The number of script steps played to their end.
    std::size_t StepsPlayed() const { return m_stepsPlayed.load(); }

    /// The IPv4 address (host byte order) the client connected from; 0 before it did.
    std::uint32_t PeerAddress() const { return m_peer.load(); }

private:
    enum class Got {
        Line,
        Closed,
        Stopped
    };

    void Run()
    {
        ScopedFd connection = Accept();
        if (connection.Get() >= 0) {
            Play(connection.Get());
        }
        m_finished = true;
    }

    ScopedFd Accept()
    {
        pollfd entries[2] = {{m_listener.Fd(), POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(entries, 2, Patience()) != 1 || (entries[0].revents & POLLIN) == 0) {
            Note("no connection");
            return ScopedFd();
        }
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        ScopedFd fd(::accept4(m_listener.Fd(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
        m_peer = ntohl(peer.sin_addr.s_addr);
        return fd;
    }

    void Play(int fd)
    {
        for (const ServerStep& step : m_script) {
            if (!step.Expect.empty()) {
                std::string got;
                Got result = step.Expect == kDataBlock ? ReadData(fd, got) : ReadLine(fd, got);
                if (result != Got::Line) {
                    Note("wanted \"" + step.Expect + "\", the connection ended first");
                    return;
                }
                if (step.Expect != kDataBlock && step.Expect != kAnyLine && got != step.Expect) {
                    Note("got \"" + got + "\", want \"" + step.Expect + "\"");
                    return;
                }
            }
            if (!step.Reply.empty() && !SendAll(fd, step.Reply)) {
                Note("could not send \"" + step.Reply + "\"");
                return;
            }
            ++m_stepsPlayed;
            if (step.CloseAfter) {
                return;
            }
        }
        std::string extra;
        while (ReadLine(fd, extra) == Got::Line) {
        }
    }

    // One line without its CR LF (recorded), or why there is none.
    Got ReadLine(int fd, std::string& line)
    {
        for (;;) {
            if (std::size_t end = m_buffer.find("\r\n"); end != std::string::npos) {
                line = m_buffer.substr(0, end);
                m_buffer.erase(0, end + 2);
                std::lock_guard lock(m_mutex);
                m_lines.push_back(line);
                return Got::Line;
            }
            if (Got got = Fill(fd); got != Got::Line) {
                return got;
            }
        }
    }

    // Message data up to and including the line "." (recorded).
    Got ReadData(int fd, std::string& data)
    {
        for (;;) {
            std::size_t end = std::string::npos;
            if (m_buffer.compare(0, 3, ".\r\n") == 0) {
                end = 3; // no data at all
            } else if (std::size_t marker = m_buffer.find("\r\n.\r\n"); marker != std::string::npos) {
                end = marker + 5;
            }
            if (end != std::string::npos) {
                data = m_buffer.substr(0, end);
                m_buffer.erase(0, end);
                std::lock_guard lock(m_mutex);
                m_data += data;
                return Got::Line;
            }
            if (Got got = Fill(fd); got != Got::Line) {
                return got;
            }
        }
    }

    // Appends what has arrived to the buffer, waiting at most kPatience for it.
    Got Fill(int fd)
    {
        pollfd entries[2] = {{fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(entries, 2, Patience()) <= 0) {
            Note("nothing from the client in time");
            return Got::Stopped;
        }
        if (entries[1].revents != 0) {
            return Got::Stopped;
        }
        char chunk[4096];
        long n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return Got::Closed;
        }
        m_buffer.append(chunk, static_cast<std::size_t>(n));
        return Got::Line;
    }

    static bool SendAll(int fd, const std::string& text)
    {
        std::size_t sent = 0;
        while (sent < text.size()) {
            long n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    static int Patience() { return static_cast<int>(std::chrono::milliseconds(kPatience).count()); }

    void Note(const std::string& problem)
    {
        std::lock_guard lock(m_mutex);
        if (m_problem.empty()) {
            m_problem = problem;
        }
    }

    const std::vector<ServerStep> m_script;
    LoopbackListener m_listener;
    int m_wake[2] = {-1, -1};
    std::thread m_thread;
    std::string m_buffer; // the server thread's only
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
    std::string m_data;
    std::string m_problem;
    std::atomic<bool> m_finished{false};
    std::atomic<std::size_t> m_stepsPlayed{0};
    std::atomic<std::uint32_t> m_peer{0};
};

} // namespace qm::test
