#include "webserver/WebServerProgram.h"

#include "common/EntryGuard.h"
#include "common/MimeTypeTable.h"
#include "platform/Service.h"
#include "webserver/AccessLog.h"
#include "webserver/CgiHost.h"
#include "webserver/HttpServer.h"

#include <cstdio>
#include <filesystem>

namespace qm {

namespace {

// The server's log is its standard error (the journal under systemd); an exception stopped at a callback of the
// HTTP library is always written there.
void ReportToServerLog(const char* entry, const char* what) noexcept
{
    (void)std::fprintf(stderr, "Quillmail: %s stopped an exception: %s\n", entry, what);
}

} // namespace

void StopLatch::Set()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_isSet = true;
    }
    m_set.notify_all();
}

void StopLatch::Wait()
{
    std::unique_lock<std::mutex> hold(m_lock);
    m_set.wait(hold, [this] { return m_isSet; });
}

int RunWebServer(const ServerConfig& config, ServiceControl& control, StopLatch& stop)
{
    SetEntryFailureReporter(&ReportToServerLog);
    std::error_code ignored;
    std::filesystem::create_directories(config.LogDir, ignored);
    std::filesystem::create_directories(config.Http.TempDir, ignored);
    if (!std::filesystem::is_directory(config.Http.TempDir, ignored)) {
        (void)std::fprintf(stderr, "Quillmail: cannot create the temporary directory %s; POST requests will fail\n",
                           config.Http.TempDir.c_str());
    }

    Result<std::unique_ptr<CgiHost>> host = CgiHost::Load(config.CgiFile, kMaxMainThreads);
    if (!host) {
        (void)std::fprintf(stderr, "Quillmail: cannot load the engine library: %s\n", host.error().Message.c_str());
        return kExitFailure;
    }
    if (!(*host)->StartUp()) {
        (void)std::fprintf(stderr, "Quillmail: the engine library %s did not start up (StartUp returned false)\n",
                           config.CgiFile.c_str());
        return kExitFailure;
    }
    MimeTypeTable types;
    if (!types.Load((config.InstallDir + "/MimeTypes.cfg").c_str())) {
        (void)std::fprintf(stderr, "Quillmail: cannot read %s/MimeTypes.cfg; static files get no content type\n",
                           config.InstallDir.c_str());
    }
    AccessLog log(config.LogDir, config.MaxLogFileSizeKb);
    if (!log.Opened()) {
        (void)std::fprintf(stderr, "Quillmail: cannot open the access log in %s\n", config.LogDir.c_str());
    }
    HttpServer server(config.Http, **host, &log, &types);
    if (Result<void> started = server.Start(); !started) {
        (void)std::fprintf(stderr, "Quillmail: cannot serve: %s\n", started.error().Message.c_str());
        (*host)->Stop();
        return kExitFailure;
    }
    control.ReportRunning();
    if (!control.StopRequested()) {
        stop.Wait();
    }
    server.Stop();
    (*host)->Stop();
    return kExitOk;
}

} // namespace qm
