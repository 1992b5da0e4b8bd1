// A service program for the service tests: runs under RunService until it is asked to stop.
//
// Usage: qm_test_service_program NAME [--ignore-stop] [--no-report] [--exit CODE] [--linger MS] [--write FILE]
// [WORD...]
//   --ignore-stop  keeps running after SIGTERM (so that only SIGKILL ends it)
//   --no-report    never reports running (stays start pending)
//   --exit CODE    the exit code after a stop (default 0)
//   --linger MS    stays alive this long after the service has stopped (its lock released)
//   --write FILE   once running, writes its process id, its arguments and its environment there, one a line
//   WORD           ignored (a test of how arguments are passed)
// Prints "started NAME" when running and "stop requested" on a stop, on stdout.
// Exit codes: CODE after a stop; 2 when the service already runs; 1 on any other failure or a bad command line.
#include "platform/Service.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include <poll.h>
#include <unistd.h>

namespace {

struct Arguments {
    std::string Name;
    bool IgnoreStop = false;
    bool Report = true;
    int ExitCode = 0;
    int LingerMs = 0;
    std::string WriteFile;
};

bool Parse(int argc, char** argv, Arguments& args)
{
    if (argc < 2) {
        return false;
    }
    args.Name = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--ignore-stop") {
            args.IgnoreStop = true;
        } else if (arg == "--no-report") {
            args.Report = false;
        } else if (arg == "--exit" && i + 1 < argc) {
            args.ExitCode = std::atoi(argv[++i]);
        } else if (arg == "--linger" && i + 1 < argc) {
            args.LingerMs = std::atoi(argv[++i]);
        } else if (arg == "--write" && i + 1 < argc) {
            args.WriteFile = argv[++i];
        } else if (arg.rfind("--", 0) == 0) {
            return false;
        } // other words are only there to be passed on
    }
    return true;
}

// Written beside the final name and renamed, so that a reader never sees half of it.
void WriteFacts(const std::string& path, int argc, char** argv)
{
    std::string temp = path + ".tmp";
    {
        std::ofstream out(temp);
        out << ::getpid() << "\n";
        for (int i = 0; i < argc; ++i) {
            out << "arg:" << argv[i] << "\n";
        }
        for (char** entry = environ; *entry != nullptr; ++entry) {
            out << "env:" << *entry << "\n";
        }
    }
    (void)std::rename(temp.c_str(), path.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    Arguments args;
    if (!Parse(argc, argv, args)) {
        (void)std::fprintf(stderr,
                           "usage: %s NAME [--ignore-stop] [--no-report] [--exit CODE] [--linger MS] [--write FILE]\n",
                           argv[0]);
        return 1;
    }
    auto result = qm::RunService(
            args.Name,
            [&](qm::ServiceControl& control) {
                if (args.Report) {
                    control.ReportRunning();
                }
                if (!args.WriteFile.empty()) {
                    WriteFacts(args.WriteFile, argc, argv);
                }
                (void)std::printf("started %s\n", args.Name.c_str());
                (void)std::fflush(stdout);
                while (args.IgnoreStop) {
                    std::this_thread::sleep_for(std::chrono::seconds(1));
                }
                pollfd stop{control.StopFd(), POLLIN, 0};
                while (!control.StopRequested()) {
                    ::poll(&stop, 1, -1);
                }
                return args.ExitCode;
            },
            [] {
                (void)std::printf("stop requested\n");
                (void)std::fflush(stdout);
            });
    std::this_thread::sleep_for(std::chrono::milliseconds(args.LingerMs));
    if (!result) {
        (void)std::fprintf(stderr, "%s\n", result.error().Message.c_str());
        return result.error().Code == qm::kServiceAlreadyRunning ? 2 : 1;
    }
    return *result;
}
