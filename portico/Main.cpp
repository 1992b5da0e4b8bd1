// Portico: the admin web server. A small HTTP/1.0 server, one request at a time, for the administration
// pages: static files of [AdminWebServer] HtmlDir, CGI programs and CGI libraries of the CGI registry
// ([AdminWebServer] CgiBase%d / CgiFile%d) and scripts of CgiDir under CgiAlias.
//
// Usage: Portico            with [General] RunAsService "Yes" (the default): the first start installs the service
//                           "QMAdmin" in the service directory ($QUILLMAIL_SVCDIR, else
//                           /var/lib/quillmail/services) and exits; once it is installed, only the service layer (or
//                           a system unit that sets QUILLMAIL_SERVICE=QMAdmin) starts it to serve, and a start by
//                           hand fails. With "No": serves in the foreground.
//        Portico -u         removes the service "QMAdmin" (when RunAsService is "Yes") and exits.
//        Portico --install  writes (or rewrites) the record of the service "QMAdmin" and, while [AdminWebServer]
//                           Auth is empty, makes the first admin logon (AdminLogon.txt beside the INI); then exits.
//                           The installation runs it.
// The configuration is $QUILLMAIL_INI, else Quillmail.ini beside the program. It stops on SIGTERM or SIGINT.
//
// Trust: requests come from anyone who can reach the port. While [AdminWebServer] Auth is empty only 127.0.0.1 is
// served (others get 403); otherwise every request is authenticated against Auth (or the CGI's CgiAuth%d) unless
// it comes from 127.0.0.1 with LocalAuth "No". A request let in for being local must name this machine in Host,
// when it sends one. Heads are bounded (4095 bytes, 15 s) and read from up to 64 connections at once, bodies too
// (8 MiB), failed logons lock an address out for a while, paths with a ".." segment are refused, CGIs run with a
// time limit. The INI, HtmlDir, CgiDir and the CGIs are the administrator's and trusted. No password reaches a log.
//
// Exit codes: 0 stopped on request (or the service was installed or removed); 1 the initialisation or the service
// layer failed, or the program was started by hand while its service is installed (reason in
// Logs/Portico-admin.log or on stderr); 3 the service already runs; 255 the configuration file is missing.
#include "common/IniAccess.h"
#include "common/StringTable.h"
#include "common/StringUtil.h"
#include "platform/Path.h"
#include "platform/ProcessSetup.h"
#include "platform/ProgramPath.h"
#include "platform/Registry.h"
#include "platform/Service.h"
#include "portico/AdminLogon.h"
#include "portico/AdminServer.h"
#include "portico/Messages.h"
#include "portico/ServiceRecord.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

namespace {

using namespace qm;
using namespace qm::portico;

constexpr const char* kRegistryKey = "Software\\Brindlewood Technologies\\Quillmail";

int ServeAsService(const std::string& baseDir)
{
    Result<int> result = RunService(kAdminServiceName, [&](ServiceControl& control) {
        AdminServer server(baseDir);
        if (!server.Initialise()) {
            return static_cast<int>(kExitFailure);
        }
        server.Serve({[&control] { return control.StopRequested(); },
                      [&control] {
                          control.ReportRunning();
                      }});
        return static_cast<int>(kExitOk);
    });
    if (!result) {
        (void)std::fprintf(stderr, "Portico: %s\n", result.error().Message.c_str());
        return result.error().Code == kServiceAlreadyRunning ? kExitAlreadyRunning : kExitFailure;
    }
    return *result;
}

enum class Command {
    Serve,
    Uninstall, // -u
    Install,   // --install
};

// RunAsService "Yes": "-u" removes the service; a first start installs it and leaves the serving to the service;
// a later start serves only when the service layer made it. Returns -1 when the program is to serve.
int HandleServiceRecord(Command command, const std::string& iniPath)
{
    if (command == Command::Uninstall) {
        if (IsServiceInstalled(kAdminServiceName)) {
            Result<void> removed = RemoveService(kAdminServiceName);
            if (!removed) {
                (void)std::fprintf(stderr, "Portico: %s\n", removed.error().Message.c_str());
                return kExitFailure;
            }
        }
        return kExitOk;
    }
    if (IsServiceInstalled(kAdminServiceName)) {
        if (StartedAsService(kAdminServiceName)) {
            return -1;
        }
        (void)std::fprintf(stderr,
                           "Portico: Could not initialize.  \n\nThe service %s is installed in %s: it is started "
                           "through the service layer (the console, the launcher or the web administration), not "
                           "by hand. To serve in the foreground, set [General] RunAsService=No.\n",
                           kAdminServiceName, ServiceDirectory().c_str());
        return kExitFailure;
    }
    Result<std::string> program = ProgramPath();
    Result<void> installed =
            program ? InstallAdminService(*program, iniPath) : Result<void>(Unexpected{program.error()});
    if (!installed) {
        (void)std::fprintf(stderr, "Portico: %s\n", installed.error().Message.c_str());
        return kExitFailure;
    }
    (void)std::printf("Portico: service %s installed in %s\n", kAdminServiceName, ServiceDirectory().c_str());
    return kExitOk;
}

// --install: the service record (replacing one that is there) and, while Auth is empty, the first logon.
int Install(const std::string& iniPath)
{
    Result<std::string> program = ProgramPath();
    if (program && IsServiceInstalled(kAdminServiceName)) {
        if (Result<void> removed = RemoveService(kAdminServiceName); !removed) {
            program = Unexpected{removed.error()};
        }
    }
    Result<void> installed =
            program ? InstallAdminService(*program, iniPath) : Result<void>(Unexpected{program.error()});
    if (!installed) {
        (void)std::fprintf(stderr, "Portico: %s\n", installed.error().Message.c_str());
        return kExitFailure;
    }
    (void)std::printf("Portico: service record %s installed in %s\n", kAdminServiceName, ServiceDirectory().c_str());
    Result<std::string> logon = MakeAdminLogonIfNone(iniPath);
    if (!logon) {
        (void)std::fprintf(stderr, "Portico: no admin logon was made: %s\n", logon.error().Message.c_str());
        return kExitFailure;
    }
    if (!logon->empty()) {
        (void)std::printf("Portico: the admin logon (user %s) is in %s, readable by its owner only\n", kAdminLogonUser,
                          logon->c_str());
    }
    return kExitOk;
}

int Run(Command command)
{
    Result<std::string> programDir = ProgramDirectory();
    const char* fromEnvironment = std::getenv("QUILLMAIL_INI"); // NOLINT(concurrency-mt-unsafe): no threads yet
    const std::string iniPath = fromEnvironment != nullptr && *fromEnvironment != '\0'
                                        ? std::string(fromEnvironment)
                                        : platform::PathJoin(programDir ? *programDir : ".", "Quillmail.ini");
    if (!FileExists(iniPath)) {
        (void)std::fprintf(stderr, "Portico: Could not find configuration file.  \n%s  \n", iniPath.c_str());
        return kExitNoConfiguration;
    }
    std::error_code ignored;
    const std::string baseDir =
            std::filesystem::absolute(platform::ParentDirectory(iniPath), ignored).lexically_normal().string();
    if (programDir) {
        std::filesystem::current_path(*programDir, ignored);
    }
    SetMainIniPath(iniPath);
    if (command == Command::Install) {
        return Install(std::filesystem::absolute(iniPath, ignored).lexically_normal().string());
    }
    (void)platform::RegSetString(kRegistryKey, "BaseDir", baseDir);
    const bool runAsService = ReadIniBool("General", "RunAsService", true);
    (void)WriteIniBool("General", "RunAsService", runAsService);
    if (runAsService) {
        if (const int done = HandleServiceRecord(command, iniPath); done >= 0) {
            return done;
        }
    }
    return ServeAsService(baseDir);
}

} // namespace

int main(int argc, char** argv)
{
    qm::portico::RegisterMessages();
    qm::IgnoreBrokenPipes();
    Command command = Command::Serve;
    if (argc >= 2 && qm::EqualsNoCase(argv[1], "-u")) {
        command = Command::Uninstall;
    } else if (argc >= 2 && std::string_view(argv[1]) == "--install") {
        command = Command::Install;
    }
    try {
        return Run(command);
    } catch (const std::exception& failure) {
        (void)std::fprintf(stderr, "Portico: %s\n", failure.what());
        return kExitFailure;
    }
}
