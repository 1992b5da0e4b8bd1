// A CGI library for the admin server's tests, speaking the host contract (StartUp, Main, ShutDown). By PATH_INFO:
//   /env    "Content-Type: text/plain", then the environment block, one entry a line
//   /echo   the request body, byte for byte ("-" when Main got no body descriptor)
//   /hang   no output until the server closes its end of the output pipe, then returns once the file named by
//           the query string exists (each wait at most 30 seconds)
//   other   "library ok"
// With QM_PORTICO_TEST_FAIL_STARTUP=1 in the environment, StartUp fails.
#include "testsupport/WaitUntil.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <poll.h>
#include <unistd.h>

extern "C" {
int StartUp(void);
int Main(int inFd, int outFd, const char* environment);
int ShutDown(void);
}

namespace {

void WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n <= 0) {
            return;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

} // namespace

int StartUp(void)
{
    const char* fail = std::getenv("QM_PORTICO_TEST_FAIL_STARTUP"); // NOLINT(concurrency-mt-unsafe)
    return fail != nullptr && std::strcmp(fail, "1") == 0 ? 0 : 1;
}

int Main(int inFd, int outFd, const char* environment)
{
    std::string pathInfo;
    std::string query;
    std::string lines;
    for (const char* entry = environment; *entry != '\0'; entry += std::strlen(entry) + 1) {
        lines.append(entry).push_back('\n');
        if (std::strncmp(entry, "PATH_INFO=", 10) == 0) {
            pathInfo = entry + 10;
        }
        if (std::strncmp(entry, "QUERY_STRING=", 13) == 0) {
            query = entry + 13;
        }
    }
    std::string reply = "Content-Type: text/plain\r\n\r\n";
    if (pathInfo == "/env") {
        reply += lines;
    } else if (pathInfo == "/echo") {
        if (inFd < 0) {
            reply += "-";
        }
        char buffer[4096];
        for (ssize_t n; inFd >= 0 && (n = read(inFd, buffer, sizeof buffer)) > 0;) {
            reply.append(buffer, static_cast<size_t>(n));
        }
    } else if (pathInfo == "/hang") {
        // A write end reports an error once nobody reads the pipe any more.
        pollfd wait{outFd, 0, 0};
        (void)poll(&wait, 1, 30000);
        // The test's go-ahead is the file the query names; it comes within the test's patience.
        (void)qm::test::WaitUntil([&] { return query.empty() || access(query.c_str(), F_OK) == 0; });
        reply.clear();
    } else {
        reply += "library ok";
    }
    WriteAll(outFd, reply);
    if (inFd >= 0) {
        close(inFd);
    }
    close(outFd);
    return 1;
}

int ShutDown(void)
{
    return 1;
}
