// A CGI library for the web server's tests: it speaks the host contract (StartUp, Main, ShutDown) and answers by
// the path info:
//   /env         the environment block, one entry a line, in its order
//   /echo        the request body, byte for byte ("-" when Main got no body descriptor)
//   /small       the smallest page ("ok")
//   /slow        the page after ms=N milliseconds of the query string (default 1000)
//   /after       the page at once, then closes the output and keeps working until the file "<marker>.go" exists
//                (at most 20 seconds), then records "after-done"
//   /cookies     "Status: 201 Created", two Set-Cookie lines and a page
//   /redirect    a Location line without Status
//   /sized       a page with its Content-Length
//   /garbage     output without a head
//   /nothing     no output at all
//   /hang        no output (with part=1: half a head) until the server closes its end of the output pipe, at
//                most 60 seconds; then "hang released" is recorded
// The process environment says what to record and how to behave:
//   QM_TEST_CGI_MARKER         file to which "startup", "shutdown active=N" and "after-done" lines are appended
//   QM_TEST_CGI_FAIL_STARTUP   "1": StartUp returns false
#include "testsupport/WaitUntil.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include <poll.h>
#include <unistd.h>

extern "C" {
int StartUp(void);
int Main(int inFd, int outFd, const char* environment);
int ShutDown(void);
}

namespace {

std::atomic<int> g_active{0};

void Mark(const std::string& line)
{
    const char* path = std::getenv("QM_TEST_CGI_MARKER"); // NOLINT(concurrency-mt-unsafe): nobody sets it
    if (path == nullptr || *path == '\0') {
        return;
    }
    if (std::FILE* file = std::fopen(path, "a")) {
        (void)std::fprintf(file, "%s\n", line.c_str());
        (void)std::fclose(file);
    }
}

// Stands for work that goes on after the page: it ends when the test creates "<marker>.go", or after 20 seconds.
void WaitForGo()
{
    const char* marker = std::getenv("QM_TEST_CGI_MARKER"); // NOLINT(concurrency-mt-unsafe): nobody sets it
    const std::string go = std::string(marker != nullptr ? marker : "") + ".go";
    (void)qm::test::WaitUntil([&] { return access(go.c_str(), F_OK) == 0; }, std::chrono::seconds(20));
}

void Put(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t put = write(fd, text.data(), text.size());
        if (put <= 0) {
            return;
        }
        text.remove_prefix(static_cast<size_t>(put));
    }
}

// The value of NAME in a CGI environment block, or "".
std::string_view Lookup(const char* block, std::string_view name)
{
    for (const char* entry = block; *entry != '\0'; entry += std::strlen(entry) + 1) {
        const std::string_view text(entry);
        if (text.size() > name.size() && text.substr(0, name.size()) == name && text[name.size()] == '=') {
            return text.substr(name.size() + 1);
        }
    }
    return {};
}

int QueryNumber(std::string_view query, std::string_view key, int fallback)
{
    const size_t at = query.find(std::string(key) + "=");
    if (at == std::string_view::npos) {
        return fallback;
    }
    return std::atoi(std::string(query.substr(at + key.size() + 1)).c_str());
}

// Waits until the reader of `outFd` has gone (the pipe reports an error), at most `limit`.
bool WaitForReaderToGo(int outFd, std::chrono::seconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        pollfd wait{outFd, 0, 0};
        if (poll(&wait, 1, 100) > 0 && (wait.revents & POLLERR) != 0) {
            return true;
        }
    }
    return false;
}

void Answer(int inFd, int outFd, const char* environment)
{
    const std::string_view path = Lookup(environment, "PATH_INFO");
    const std::string_view text = "Content-type: text/plain\r\n\r\n";
    if (path == "/env") {
        Put(outFd, text);
        for (const char* entry = environment; *entry != '\0'; entry += std::strlen(entry) + 1) {
            Put(outFd, entry);
            Put(outFd, "\n");
        }
    } else if (path == "/echo") {
        Put(outFd, "Content-type: application/octet-stream\r\n\r\n");
        if (inFd < 0) {
            Put(outFd, "-");
            return;
        }
        char buffer[65536];
        ssize_t got = 0;
        while ((got = read(inFd, buffer, sizeof buffer)) > 0) {
            Put(outFd, std::string_view(buffer, static_cast<size_t>(got)));
        }
    } else if (path == "/small") {
        Put(outFd, "Content-type: text/html\r\n\r\nok");
    } else if (path == "/slow") {
        std::this_thread::sleep_for(
                std::chrono::milliseconds(QueryNumber(Lookup(environment, "QUERY_STRING"), "ms", 1000)));
        Put(outFd, text);
        Put(outFd, "slow page");
    } else if (path == "/cookies") {
        Put(outFd, "Status: 201 Created\r\nSet-Cookie: Session=abc; path=/\r\nSet-Cookie: Lang=en; path=/\r\n");
        Put(outFd, "Content-type: text/plain\r\n\r\ncookies set");
    } else if (path == "/redirect") {
        Put(outFd, "Location: /mail/elsewhere\r\n\r\n");
    } else if (path == "/sized") {
        Put(outFd, "Content-type: text/plain\r\nContent-Length: 5\r\n\r\nsized");
    } else if (path == "/garbage") {
        Put(outFd, "this is no head\r\n\r\nbody");
    } else if (path == "/hang") {
        if (QueryNumber(Lookup(environment, "QUERY_STRING"), "part", 0) == 1) {
            Put(outFd, "Content-type: text/plain\r\n");
        }
        if (WaitForReaderToGo(outFd, std::chrono::seconds(60))) {
            Mark("hang released");
        }
    } else if (path != "/nothing" && path != "/after") {
        Put(outFd, "Status: 404 Not Found\r\nContent-type: text/plain\r\n\r\nno such test page");
    }
}

} // namespace

extern "C" int StartUp(void)
{
    const char* fail = std::getenv("QM_TEST_CGI_FAIL_STARTUP"); // NOLINT(concurrency-mt-unsafe): nobody sets it
    if (fail != nullptr && std::strcmp(fail, "1") == 0) {
        Mark("startup refused");
        return 0;
    }
    Mark("startup");
    return 1;
}

extern "C" int Main(int inFd, int outFd, const char* environment)
{
    ++g_active;
    Answer(inFd, outFd, environment);
    if (Lookup(environment, "PATH_INFO") == "/after") {
        Put(outFd, "Content-type: text/plain\r\n\r\npage before the work");
        close(outFd);
        outFd = -1;
        WaitForGo();
        Mark("after-done");
    }
    if (inFd >= 0) {
        close(inFd);
    }
    if (outFd >= 0) {
        close(outFd);
    }
    --g_active;
    return 1;
}

extern "C" int ShutDown(void)
{
    Mark("shutdown active=" + std::to_string(g_active.load()));
    return 1;
}
