#include "testsupport/Program.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include <poll.h>
#include <unistd.h>

namespace qm::test {

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra)
{
    std::vector<std::string> environment;
    for (const char* name :
         {"PATH", "LD_LIBRARY_PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name); value != nullptr) { // NOLINT(concurrency-mt-unsafe)
            environment.push_back(std::string(name) + "=" + value);
        }
    }
    environment.insert(environment.end(), extra.begin(), extra.end());
    return environment;
}

std::string FindProgram(const std::string& name)
{
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char* path = std::getenv("PATH"); // NOLINT(concurrency-mt-unsafe)
    std::istringstream directories(path != nullptr && *path != '\0' ? path : "/usr/bin:/bin");
    std::string directory;
    while (std::getline(directories, directory, ':')) {
        if (directory.empty()) {
            continue;
        }
        const std::string candidate = directory + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0 && !std::filesystem::is_directory(candidate)) {
            return candidate;
        }
    }
    return {};
}

ProgramRun RunProgram(const std::vector<std::string>& argv, const ProgramOptions& options)
{
    ProgramRun run;
    if (argv.empty()) {
        run.Errors = "no program given";
        return run;
    }
    ChildOptions child;
    child.Argv = argv;
    child.Argv[0] = FindProgram(argv[0]);
    if (child.Argv[0].empty()) {
        run.Errors = argv[0] + " is not installed";
        return run;
    }
    child.Environment = options.Environment;
    child.WorkingDirectory = options.WorkingDirectory;
    child.Stdin = ChildStdio::Pipe();
    child.Stdout = ChildStdio::Pipe();
    child.Stderr = ChildStdio::Pipe();
    Result<ChildProcess> started = ChildProcess::Start(child);
    if (!started) {
        run.Errors = "cannot start " + child.Argv[0] + ": " + started.error().Message;
        return run;
    }
    run.Started = true;
    CommunicateLimits limits;
    limits.TimeoutMs = static_cast<int>(options.Timeout.count());
    Result<ChildStatus> status = started->Communicate(options.Input, &run.Output, &run.Errors, limits);
    if (!status) {
        run.Errors += "\ncannot talk to " + child.Argv[0] + ": " + status.error().Message;
        run.Status = ChildStatus{};
        return run;
    }
    run.Status = *status;
    return run;
}

std::string ReadLineFrom(int fd, std::string& buffer, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::size_t end = buffer.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            return line;
        }
        const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (fd < 0 || left.count() <= 0) {
            return {};
        }
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char chunk[512];
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got <= 0) {
            return {};
        }
        buffer.append(chunk, static_cast<std::size_t>(got));
    }
}

std::string LineReader::ReadLine(std::chrono::milliseconds timeout)
{
    return ReadLineFrom(m_fd, m_buffer, timeout);
}

} // namespace qm::test
