// Quillmail: the main web server. It hosts the web-mail engine library for the mail users: every request under
// the engine's URL prefix ([WebServer] CgiBase1, "/mail") goes to the engine's Main with a CGI environment block,
// "/" is redirected there, and other paths are static files of [WebServer] HtmlDir.
//
// Usage: Quillmail            (no arguments; the engine INI is $QUILLMAIL_INI, else Quillmail.ini beside the program)
// It runs as the service "Quillmail" of the service layer: it holds the service's lock while it runs and stops
// cleanly on SIGTERM or SIGINT (every Main returns, then the engine's ShutDown runs).
//
// Trust: requests come from anyone who can reach the port. Heads, bodies and the engine's replies are bounded,
// slow or silent clients are dropped after [WebServer] ConnectionTimeout, static paths are resolved inside HtmlDir
// only (no "..", no hidden names, no symbolic link that leads out). The INI and the engine library are trusted:
// they belong to the administrator.
//
// Exit codes: 0 stopped on request; 1 the configuration, the engine's start-up or the listening socket failed
// (the reason is on stderr); 2 arguments were given; 3 the service already runs.
#include "platform/ProcessSetup.h"
#include "platform/Service.h"
#include "webserver/WebServerProgram.h"

#include <cstdio>
#include <exception>

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

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1) {
        (void)std::fprintf(stderr,
                           "usage: %s\n(no arguments: the engine INI is $QUILLMAIL_INI or Quillmail.ini "
                           "beside the program)\n",
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
