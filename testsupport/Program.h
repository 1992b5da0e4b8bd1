// Running a child program from a test: the one way the tests start other programs (over platform::ChildProcess),
// the environment a child gets, a search of the usual program directories, and a line reader for a child's output.
#pragma once

#include "platform/ChildProcess.h"

#include <chrono>
#include <string>
#include <vector>

namespace qm::test {

/// The variables a child of a test needs from the test's own environment: PATH, LD_LIBRARY_PATH and the
/// sanitizers' options (those that are set), followed by extra.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra = {});

/// The full path of program name in PATH (or /usr/bin:/bin when PATH is empty); "" when there is none.
std::string FindProgram(const std::string& name);

/// What RunProgram got.
struct ProgramRun {
    bool Started = false; ///< false: the program could not start (Errors says why)
    ChildStatus Status;   ///< how it ended (TimedOut when it ran past its time and was killed)
    std::string Output;   ///< its standard output
    std::string Errors;   ///< its standard error, or why it did not start

    /// True when it exited with code 0.
    bool Succeeded() const { return Started && Status.ExitedWith(0); }
};

/// How RunProgram runs a program.
struct ProgramOptions {
    std::vector<std::string> Environment = ChildEnvironment(); ///< its whole environment
    std::string Input;                                         ///< written to its standard input
    std::string WorkingDirectory;                              ///< empty: the test's
    std::chrono::milliseconds Timeout{60000};                  ///< killed after this
};

/// Runs argv (argv[0] a path, or a name looked up with FindProgram) to its end and collects both output streams.
ProgramRun RunProgram(const std::vector<std::string>& argv, const ProgramOptions& options = {});

/// Lines of a child's output descriptor as they come, each waited for with a deadline.
class LineReader {
public:
    explicit LineReader(int fd = -1)
        : m_fd(fd)
    {}

    void Reset(int fd)
    {
        m_fd = fd;
        m_buffer.clear();
    }

    /// The next line without its line end; waits up to timeout; "" at the end of the output, on time-out, or when
    /// there is no descriptor.
    std::string ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(30));

private:
    int m_fd;
    std::string m_buffer; // what was read past the last line given out
};

/// One line from fd with buffer keeping what was read past it (LineReader for callers that keep the buffer).
std::string ReadLineFrom(int fd, std::string& buffer, std::chrono::milliseconds timeout);

} // namespace qm::test
