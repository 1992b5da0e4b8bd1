// A CGI library for the admin server's tests, speaking the host contract (StartUp, Main, ShutDown). By PATH_INFO:
//   /env    "Content-Type: text/plain", then the environment block, one entry a line
//   /echo   the request body, byte for byte ("-" when Main got no body descriptor)
//   other   "library ok"
// With QM_PORTICO_TEST_FAIL_STARTUP=1 in the environment, StartUp fails.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

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
    std::string lines;
    for (const char* entry = environment; *entry != '\0'; entry += std::strlen(entry) + 1) {
        lines.append(entry).push_back('\n');
        if (std::strncmp(entry, "PATH_INFO=", 10) == 0) {
            pathInfo = entry + 10;
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
