// Running a CGI for one request: the request body into a nameless file, the environment, the start of a CGI
// program or a call of a CGI library's Main, and the relay of its output under a time limit.
#include "common/StringUtil.h"
#include "platform/ChildProcess.h"
#include "platform/DescriptorIo.h"
#include "platform/Path.h"
#include "platform/SocketOps.h"
#include "portico/HttpConnection.h"
#include "portico/Messages.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <future>
#include <system_error>

namespace qm::portico {
namespace {

using Clock = std::chrono::steady_clock;

std::string Dotted(std::uint32_t address)
{
    char text[16];
    (void)std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xFF, (address >> 16) & 0xFF,
                        (address >> 8) & 0xFF, address & 0xFF);
    return text;
}

// Variables a request sets: a copy of the server's own must never pass for the request's.
bool IsRequestVariable(std::string_view name)
{
    static constexpr std::string_view kNames[] = {
            "QUERY_STRING", "CONTENT_LENGTH",    "CONTENT_TYPE",    "COOKIE",          "SERVER_NAME",     "SERVER_PORT",
            "SERVER_ADDR",  "REMOTE_ADDR",       "REQUEST_METHOD",  "SCRIPT_NAME",     "PATH_INFO",       "REMOTE_USER",
            "AUTH_TYPE",    "GATEWAY_INTERFACE", "SERVER_PROTOCOL", "SERVER_SOFTWARE", "PATH_TRANSLATED", "REMOTE_HOST",
    };
    if (StartsWithNoCase(name, "HTTP_")) {
        return true;
    }
    return std::any_of(std::begin(kNames), std::end(kNames),
                       [name](std::string_view n) { return EqualsNoCase(n, name); });
}

int MsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT32_MAX));
}

} // namespace

std::vector<std::string> CgiEnvironment(const HttpRequest& request, const Transport& transport,
                                        std::string_view scriptName, std::string_view pathInfo,
                                        const std::vector<std::string>& inherited)
{
    std::vector<std::string> entries;
    for (const std::string& entry : inherited) {
        const std::size_t equals = entry.find('=');
        if (equals != std::string::npos && !IsRequestVariable(std::string_view(entry).substr(0, equals))) {
            entries.push_back(entry);
        }
    }
    const std::string local = Dotted(transport.LocalAddress());
    std::string serverName = local;
    std::string serverPort = std::to_string(transport.LocalPort());
    if (request.Host) {
        const std::size_t colon = request.Host->rfind(':');
        serverName = request.Host->substr(0, colon);
        serverPort = colon == std::string::npos ? "80" : request.Host->substr(colon + 1);
    }
    entries.push_back("SERVER_NAME=" + serverName);
    entries.push_back("SERVER_PORT=" + serverPort);
    entries.push_back("SERVER_ADDR=" + local);
    entries.push_back("REMOTE_ADDR=" + Dotted(transport.PeerAddress()));
    entries.push_back("HTTP_USER_AGENT=" + request.UserAgent);
    entries.push_back("REQUEST_METHOD=" + request.Method);
    entries.push_back("SCRIPT_NAME=" + std::string(scriptName));
    entries.push_back("PATH_INFO=" + std::string(pathInfo));
    entries.push_back("QUERY_STRING=" + request.Query.value_or(""));
    if (request.ContentType) {
        entries.push_back("CONTENT_TYPE=" + *request.ContentType);
        entries.push_back("CONTENT_LENGTH=" + std::to_string(request.ContentLength));
    }
    if (request.Cookie) {
        entries.push_back("HTTP_COOKIE=" + *request.Cookie);
    }
    return entries;
}

std::string EnvironmentBlock(const std::vector<std::string>& entries)
{
    std::string block;
    for (const std::string& entry : entries) {
        block.append(entry).push_back('\0');
    }
    block.push_back('\0');
    return block;
}

bool HttpConnection::ReceiveBody(int inputFd)
{
    auto want = static_cast<std::uint64_t>(m_request.ContentLength);
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(m_filled - m_bodyStart, want));
    if (take > 0 && !WriteAll(inputFd, m_buffer + m_bodyStart, take)) {
        SendError(500);
        return false;
    }
    want -= take;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_context.Settings.BodyTimeoutMs);
    while (want > 0) {
        const int left = MsLeft(deadline);
        const long got = left == 0
                                 ? Transport::kTimedOut
                                 : m_transport.Receive(m_buffer, std::min<std::uint64_t>(want, sizeof m_buffer), left);
        if (got == Transport::kTimedOut) {
            m_log.LogMsg(4, kMsgTimedOut);
            m_failed = true;
            return false;
        }
        if (got <= 0) {
            if (got == 0) {
                m_log.LogMsg(4, kMsgClosedUnexpectedly);
            } else {
                m_log.LogMsg(4, kMsgReceiveError, m_transport.LastError());
            }
            m_failed = true;
            return false;
        }
        if (!WriteAll(inputFd, m_buffer, static_cast<std::size_t>(got))) {
            SendError(500);
            return false;
        }
        want -= static_cast<std::uint64_t>(got);
    }
    if (!Rewind(inputFd)) {
        SendError(500);
        return false;
    }
    return true;
}

bool HttpConnection::OpenCgiInput(platform::UniqueFd& input)
{
    if (!EqualsNoCase(m_request.Method, "POST")) {
        return true; // no body: the CGI's input is empty
    }
    if (static_cast<std::uint64_t>(m_request.ContentLength) > m_context.Settings.MaxBody) {
        SendError(413);
        return false;
    }
    Result<platform::UniqueFd> temp = OpenAnonymousTempFile(m_context.Settings.BodyDir);
    if (!temp) {
        m_log.LogMsg(4, kMsgNoCgiInputFile, temp.error().Code);
        SendError(500);
        return false;
    }
    input = std::move(*temp);
    return ReceiveBody(input.Get());
}

// Starts the CGI (a thread calling the library's Main, or the program), relays its output under the time limit,
// then makes sure it has ended: a program is killed past its time, a Main that is still running is left to be
// joined at shut-down.
void HttpConnection::RunCgi(const CgiEntry* entry, const std::string& file, const std::string& scriptName,
                            const std::string& pathInfo)
{
    platform::UniqueFd input;
    if (!OpenCgiInput(input)) {
        return;
    }
    Result<PipeEnds> pipe = MakePipe();
    if (!pipe) {
        m_log.LogMsg(4, kMsgNoCgiOutputPipe, pipe.error().Code);
        SendError(500);
        return;
    }
    const std::vector<std::string> environment =
            CgiEnvironment(m_request, m_transport, scriptName, pathInfo, CurrentEnvironment());
    m_log.LogMsg(1, kMsgRunning, file.c_str());
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_context.Settings.CgiTimeLimitMs);

    std::optional<ChildProcess> child;
    std::unique_ptr<LingeringCall> call;
    std::future<void> finished;
    if (entry != nullptr && entry->IsLibrary()) {
        call = std::make_unique<LingeringCall>();
        call->Environment = EnvironmentBlock(environment);
        std::promise<void> done;
        finished = done.get_future();
        // Main owns both descriptors from here on and closes them itself.
        const int inFd = input ? input.Release() : -1;
        const int outFd = pipe->Write.Release();
        try {
            call->Thread = std::thread([main = entry->Main, inFd, outFd, block = call->Environment.c_str(),
                                        done = std::move(done)]() mutable {
                (void)main(inFd, outFd, block);
                done.set_value();
            });
        } catch (const std::system_error&) {
            platform::UniqueFd closeIn(inFd);
            platform::UniqueFd closeOut(outFd);
            SendError(500);
            return;
        }
    } else {
        ChildOptions options;
        options.Argv = {file};
        options.Environment = environment;
        options.WorkingDirectory = platform::ParentDirectory(file);
        options.Stdin = input ? ChildStdio::Fd(input.Get()) : ChildStdio::Null();
        options.Stdout = ChildStdio::Fd(pipe->Write.Get());
        options.Group = ProcessGroup::NewGroup;
        Result<ChildProcess> started = ChildProcess::Start(options);
        pipe->Write.Reset();
        input.Reset();
        if (!started) {
            m_log.Log(4, "Could not start CGI %s: %s", file.c_str(), started.error().Message.c_str());
            SendError(500);
            return;
        }
        child.emplace(std::move(*started));
    }

    bool timedOut = false;
    const bool relayed = RelayOutput(pipe->Read.Get(), deadline, timedOut);
    // Closing our end lets a CGI that still writes see that nobody reads any more.
    pipe->Read.Reset();
    if (timedOut) {
        m_log.Log(4, "CGI %s ran past its time limit of %d ms.", file.c_str(), m_context.Settings.CgiTimeLimitMs);
    }
    m_success = relayed && !m_failed;
    if (child) {
        Result<ChildStatus> status = timedOut || !relayed ? child->Kill(0) : child->Wait(MsLeft(deadline));
        if (status && status->State == ChildState::TimedOut) {
            (void)child->Kill(0);
        }
        return;
    }
    if (finished.wait_until(timedOut ? Clock::now() : deadline) == std::future_status::ready) {
        call->Thread.join();
        return;
    }
    m_context.Lingering.push_back(std::move(call));
}

bool HttpConnection::RelayOutput(int readFd, Clock::time_point deadline, bool& timedOut)
{
    std::string head = "HTTP/1.0 200 OK\r\n";
    head += "Server: Portico/2.2.3\r\n";
    head += "Date: " + HttpDate(m_requestTime) + "\r\nConnection: close\r\n";
    bool headSent = false;
    char piece[4096];
    std::size_t filled = 0;
    SocketOps& ops = SystemSocketOps();
    const auto flush = [&] {
        if (!headSent) {
            m_status = 200;
            if (!SendHead(head)) {
                return false;
            }
            headSent = true;
        }
        const bool sent = filled == 0 || SendBody(piece, filled);
        filled = 0;
        return sent;
    };
    for (;;) {
        const int left = MsLeft(deadline);
        // With output in hand, only look: what is there goes out before the next wait.
        const int ready = ops.Poll(readFd, kPollIn, filled > 0 ? 0 : left);
        if (ready == 0 && filled > 0) {
            if (!flush()) {
                return false;
            }
            continue;
        }
        if (ready == 0) {
            timedOut = true;
            break;
        }
        Result<std::size_t> got = ready < 0 ? Result<std::size_t>(std::size_t{0})
                                            : ReadSome(readFd, piece + filled, sizeof piece - filled);
        if (!got || *got == 0) {
            return flush();
        }
        filled += *got;
        if (filled > 511 && !flush()) {
            return false;
        }
    }
    if (!headSent) {
        SendError(504);
        return false;
    }
    m_failed = true; // the reply is cut off
    return false;
}

} // namespace qm::portico
