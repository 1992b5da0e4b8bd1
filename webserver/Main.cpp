// Quillmail: the main web server. It hosts the web-mail engine library for the mail users: every request under
// the engine's URL prefix ([WebServer] CgiBase1, "/mail") goes to the engine's Main with a CGI environment block,
// "/" is redirected there, and other paths are static files of [WebServer] HtmlDir.
//
// Usage: Quillmail            (no arguments; the engine INI is $QUILLMAIL_INI, else Quillmail.ini beside the program)
//        Quillmail --install  writes (or rewrites) the record of the service "Quillmail" in the service directory
//                             ($QUILLMAIL_SVCDIR, else /var/lib/quillmail/services), then exits
//        Quillmail --remove   deletes that record, then exits
// It runs as the service "Quillmail" of the service layer: it holds the service's lock while it runs and stops
// cleanly on SIGTERM or SIGINT (every Main returns, then the engine's ShutDown runs).
//
// Trust: requests come from anyone who can reach the port. Heads, bodies and the engine's replies are bounded,
// slow or silent clients are dropped after [WebServer] ConnectionTimeout, static paths are resolved inside HtmlDir
// only (no "..", no hidden names, no symbolic link that leads out). The INI and the engine library are trusted:
// they belong to the administrator.
//
// Exit codes: 0 stopped on request; 1 the configuration, the engine's start-up or the listening socket failed
// (the reason is on stderr); 2 other arguments were given; 3 the service already runs. --install and --remove
// exit 0 when done, 1 when the record could not be written or there was none to remove.
#include "platform/ProcessSetup.h"
#include "platform/ProgramPath.h"
#include "platform/Service.h"
#include "webserver/ServiceRecord.h"
#include "webserver/WebServerProgram.h"

#include <cstdio>
#include <exception>
#include <string_view>

namespace {

int Serve()
{
    qm::Result<std::string> iniPath = qm::FindEngineIni();
    qm::Result<qm::ServerConfig> config =
            iniPath ? qm::LoadServerConfig(*iniPath) : qm::Result<qm::ServerConfig>(qm::Unexpected{iniPath.error()});
    if (!config) {
        (void)std::fprintf(stderr, "Quillmail: %s\n", config.error().Message.c_str());
        return qm::kExitFailure;
    }
    qm::StopLatch stop;
    qm::Result<int> result = qm::RunService(
            qm::kWebServerServiceName,
            [&](qm::ServiceControl& control) { return qm::RunWebServer(*config, control, stop); },
            [&stop] { stop.Set(); });
    if (!result) {
        (void)std::fprintf(stderr, "Quillmail: %s\n", result.error().Message.c_str());
        return result.error().Code == qm::kServiceAlreadyRunning ? qm::kExitAlreadyRun : qm::kExitFailure;
    }
    return *result;
}

// --install and --remove: the service record, by hand.
int ChangeServiceRecord(std::string_view option)
{
    qm::Result<void> done;
    if (option == "--install") {
        qm::Result<std::string> program = qm::ProgramPath();
        qm::Result<std::string> iniPath = qm::FindEngineIni();
        done = !program   ? qm::Result<void>(qm::Unexpected{program.error()})
               : !iniPath ? qm::Result<void>(qm::Unexpected{iniPath.error()})
                          : qm::InstallWebServerService(*program, *iniPath);
    } else {
        done = qm::RemoveWebServerService();
    }
    if (!done) {
        (void)std::fprintf(stderr, "Quillmail: %s\n", done.error().Message.c_str());
        return qm::kExitFailure;
    }
    (void)std::printf("Quillmail: service record %s in %s\n", option == "--install" ? "installed" : "removed",
                      qm::ServiceDirectory().c_str());
    return qm::kExitOk;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::string_view(argv[1]) == "--install" || std::string_view(argv[1]) == "--remove")) {
        try {
            return ChangeServiceRecord(argv[1]);
        } catch (const std::exception& failure) {
            (void)std::fprintf(stderr, "Quillmail: %s\n", failure.what());
            return qm::kExitFailure;
        }
    }
    if (argc > 1) {
        (void)std::fprintf(stderr,
                           "usage: %s [--install | --remove]\n(no arguments: serve; the engine INI is $QUILLMAIL_INI "
                           "or Quillmail.ini beside the program)\n",
                           argv[0]);
        return qm::kExitUsage;
    }
    qm::IgnoreBrokenPipes();
    qm::RaiseDescriptorLimit();
    try {
        return Serve();
    } catch (const std::exception& failure) {
        (void)std::fprintf(stderr, "Quillmail: %s\n", failure.what());
        return qm::kExitFailure;
    }
}
