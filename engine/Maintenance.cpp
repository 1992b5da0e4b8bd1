#include "engine/Maintenance.h"

#include "common/RequestLog.h"
#include "engine/EngineMessages.h"
#include "engine/SessionsLock.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <system_error>
#include <utility>

namespace qm::engine {

namespace {

// How much of an alert file is read at most: enough for 511 bytes of text after carriage returns are dropped,
// unless the file is mostly carriage returns.
constexpr std::size_t kAlertReadLimit = std::size_t{64} * 1024;

std::string ReadAlertFile(const std::string& path)
{
    std::string bytes;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return bytes;
    }
    char chunk[4096];
    size_t textBytes = 0;
    while (bytes.size() < kAlertReadLimit && textBytes < kMaxAlertLength) {
        const size_t got = std::fread(chunk, 1, sizeof chunk, file);
        if (got == 0) {
            break;
        }
        bytes.append(chunk, got);
        for (size_t i = 0; i < got; ++i) {
            textBytes += chunk[i] != '\r' ? 1 : 0;
        }
    }
    (void)std::fclose(file);
    return bytes;
}

} // namespace

Maintenance::Maintenance(MaintenanceContext context)
    : m_context(std::move(context))
{}

void Maintenance::Start() const
{
    m_context.Log->LogMsg(5, kMsgMaintenanceStarting);
    const std::string baseDir = m_context.BaseDir();
    auto markers = platform::ListDirectory(baseDir, "*.sem");
    if (!markers) {
        return;
    }
    for (const auto& entry : *markers) {
        if (entry.Type != platform::EntryType::Directory) {
            (void)platform::RemoveFile(platform::PathJoin(baseDir, entry.Name));
        }
    }
}

void Maintenance::Round()
{
    ::tzset();
    if (m_context.Log->CheckRotation() && m_context.LogFileChanged) {
        m_context.LogFileChanged(m_context.Log->CurrentPath());
    }

    const std::vector<std::string> kills = TakeKillRequests();
    if (!kills.empty()) {
        RequestLog log(*m_context.Log);
        for (const auto& id : kills) {
            log.LogMsg(2, kMsgSessionFlaggedForDeletion, id.c_str());
            if (m_context.Sessions != nullptr) {
                (void)m_context.Sessions->KillById(id.c_str(), log);
            }
        }
        log.Flush();
    }

    if (m_context.Sessions != nullptr) {
        m_context.Sessions->ExpireIdle();
    }
}

std::vector<std::string> Maintenance::TakeKillRequests() const
{
    std::vector<std::string> ids;
    EngineSharedBlock* shared = m_context.Shared;
    if (shared == nullptr) {
        return ids;
    }
    SessionsLock guard(*shared, "TakeKillRequests", m_context.Log);
    if (!guard.Locked()) {
        return ids;
    }
    for (auto& slot : shared->Section.KillList) {
        if (slot[0] != '\0') {
            ids.emplace_back(slot, strnlen(slot, kSessionIdSize - 1));
            std::memset(slot, 0, sizeof slot);
        }
    }
    return ids;
}

std::string Maintenance::AlertText(std::string_view fileBytes)
{
    std::string text;
    for (char c : fileBytes) {
        if (c == '\0' || text.size() == kMaxAlertLength) {
            break;
        }
        if (c == '\r') {
            continue;
        }
        text.push_back(c == '\n' ? ' ' : c);
    }
    return text;
}

bool Maintenance::DeliverAlert() const
{
    const std::string baseDir = m_context.BaseDir();
    const auto name = platform::ResolveNoCase(baseDir, kAlertFileName);
    if (!name) {
        return false;
    }
    const std::string path = platform::PathJoin(baseDir, *name);
    if (!platform::IsRegularFile(path)) {
        return false;
    }
    const std::string text = AlertText(ReadAlertFile(path));
    (void)platform::RemoveFile(path);
    if (m_context.Sessions != nullptr) {
        m_context.Sessions->BroadcastErrorMessage(text.c_str());
    }
    return true;
}

void Maintenance::RunStep(const char* step, const std::function<void()>& body) const noexcept
{
    try {
        body();
    } catch (const std::exception& error) {
        try {
            m_context.Log->Log(1, "Maintenance %s skipped after an error: %s", step, error.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            m_context.Log->Log(1, "Maintenance %s skipped after an error: unknown exception", step);
        } catch (...) {
        }
    }
}

int Maintenance::Run(StopEvent& stop, std::chrono::milliseconds period)
{
    RunStep("start", [this] { Start(); });
    for (;;) {
        RunStep("round", [this] { Round(); });
        if (stop.WaitFor(period)) {
            m_context.Log->LogMsg(1, kMsgMaintenanceShutdownNotice);
            break;
        }
        RunStep("alert", [this] { (void)DeliverAlert(); });
    }
    if (m_context.Exiting) {
        m_context.Exiting();
    }
    m_context.Log->LogMsg(5, kMsgMaintenanceExiting);
    stop.Signal();
    return 0;
}

MaintenanceThread::~MaintenanceThread()
{
    if (m_thread.joinable()) {
        m_stop.Signal();
        m_thread.join();
    }
}

Result<void> MaintenanceThread::Start(MaintenanceContext context, std::chrono::milliseconds period)
{
    if (m_thread.joinable()) {
        return Fail("the maintenance thread runs already", EBUSY);
    }
    m_stop.Reset();
    m_maintenance = std::make_unique<Maintenance>(std::move(context));
    try {
        m_thread = std::thread([this, period] { (void)m_maintenance->Run(m_stop, period); });
    } catch (const std::system_error& error) {
        m_maintenance.reset();
        return Fail(error.what(), error.code().value());
    }
    return {};
}

void MaintenanceThread::Join()
{
    if (m_thread.joinable()) {
        m_thread.join();
    }
    m_maintenance.reset();
}

} // namespace qm::engine
