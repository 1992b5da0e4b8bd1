#include "portico/tests/integration/PorticoHarness.h"

#include "testsupport/Program.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <sstream>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qm::test {

std::optional<std::string> CurlReply::Header(const std::string& name) const
{
    std::istringstream lines(Raw.substr(0, Raw.find("\r\n\r\n")));
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.size() > name.size() && line[name.size()] == ':') {
            bool same = true;
            for (size_t i = 0; i < name.size() && same; ++i) {
                same = std::tolower(static_cast<unsigned char>(line[i])) ==
                       std::tolower(static_cast<unsigned char>(name[i]));
            }
            if (same) {
                const size_t start = line.find_first_not_of(' ', name.size() + 1);
                return start == std::string::npos ? "" : line.substr(start);
            }
        }
    }
    return std::nullopt;
}

CurlReply Curl(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {"/usr/bin/curl", "-0", "-i", "-sS", "--max-time", "30"};
    argv.insert(argv.end(), args.begin(), args.end());
    const ProgramRun run = RunProgram(argv);
    CurlReply reply;
    reply.Ran = run.Succeeded();
    EXPECT_TRUE(reply.Ran) << run.Errors;
    reply.Raw = run.Output;
    std::istringstream status(reply.Raw);
    std::string version;
    status >> version >> reply.Status;
    const size_t end = reply.Raw.find("\r\n\r\n");
    reply.Body = end == std::string::npos ? "" : reply.Raw.substr(end + 4);
    return reply;
}

RawClient::RawClient(unsigned port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0) {
        m_fd = fd;
    } else if (fd >= 0) {
        close(fd);
    }
}

RawClient::~RawClient()
{
    if (m_fd >= 0) {
        close(m_fd);
    }
}

bool RawClient::Send(const std::string& bytes) const
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t put = send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (put <= 0) {
            return false;
        }
        sent += static_cast<size_t>(put);
    }
    return true;
}

std::string RawClient::ReadUntil(const std::string& needle, int timeoutMs, bool& closed) const
{
    std::string got;
    closed = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            return got;
        }
        pollfd wait{m_fd, POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            closed = true;
            return got;
        }
        got.append(buffer, static_cast<size_t>(n));
        if (!needle.empty() && got.find(needle) != std::string::npos) {
            return got;
        }
    }
}

} // namespace qm::test
