#include "engine/Engine.h"

#include "common/IniAccess.h"
#include "common/MimeTypeTable.h"
#include "engine/DomainSettings.h"
#include "engine/EngineIniDefaults.h"
#include "engine/EngineMessages.h"
#include "engine/LanguagesCheck.h"
#include "engine/LdapLibrary.h"
#include "engine/Maintenance.h"
#include "engine/Request.h"
#include "engine/SessionManager.h"
#include "engine/SessionsLock.h"
#include "engine/TemplateCache.h"
#include "platform/EngineLock.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/Registry.h"
#include "platform/SharedMemory.h"
#include "platform/UniqueFd.h"
#include "store/CvUserBinding.h"
#include "store/MessageBuilder.h"
#include "store/StoreSeams.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <utility>

namespace qm::engine {
namespace {

using store::CvMissing;
using store::CvReload;
using store::kCvUserLibraryName;
using store::LoadCVUser;
using store::LoadedCVUser;
using store::UnloadCVUser;

// What a process has from attaching to the installation's shared block.
struct ProcessState {
    bool Attached = false;
    std::optional<IpcNamespace> Namespace;
    ShmSegment Shared;
    std::string IniPath;
    std::string InstallDir;
    std::mutex DomainsLock;
    std::string DomainsIni;
};

// What a running engine holds, from StartUp to ShutDown.
struct RunState {
    bool Started = false;
    std::atomic<bool> Running{false};
    std::unique_ptr<LogFile> Log;
    EngineLock Lock;
    ShmSegment SessionTable;
    int SessionRows = 0;
    std::unique_ptr<TemplateCache> Templates;
    std::unique_ptr<MimeTypeTable> MimeTypes;
    std::unique_ptr<SessionService> Sessions;
    MaintenanceThread Maintenance;
};

// Everything of the process's engine, in one object whose members are destroyed in reverse order: a running engine
// (its thread included) goes before the attachment it uses. It is a function-local static because the library's
// attach runs from its load-time constructor, which may come before the dynamic initialisation of namespace-scope
// objects.
struct EngineState {
    ProcessState Process;
    RunState Run;
    std::function<time_t()> Clock;
};

EngineState& State()
{
    static EngineState s_state;
    return s_state;
}

ProcessState& Process()
{
    return State().Process;
}

RunState& Run()
{
    return State().Run;
}

std::function<time_t()>& Clock()
{
    return State().Clock;
}

EngineSharedSection* Section()
{
    EngineSharedBlock* block = SharedBlock();
    return block != nullptr ? &block->Section : nullptr;
}

void ZeroStatus(EngineSharedSection& section)
{
    for (int word = 0; word < 9; ++word) {
        SetStatus(section.Status, static_cast<StatusWord>(word), 0);
    }
}

std::string BaseDir()
{
    return ReadIniString("Directories", "BaseDir", Process().InstallDir);
}

std::string DirectorySetting(const char* key, const char* name)
{
    return ReadIniString("Directories", key, platform::PathJoin(Process().InstallDir, name));
}

// The file `name` of `dir` whatever its case; the name as given when there is none.
std::string FindNoCase(const std::string& dir, std::string_view name)
{
    return platform::PathJoin(dir, platform::ResolveNoCase(dir, name).value_or(std::string(name)));
}

// Undoes what a StartUp made, in the order ShutDown releases it; used by failed start-ups.
void ReleaseRunState()
{
    Run().Running.store(false);
    Run().Maintenance.Join();
    Run().Sessions.reset();
    store::SetStoreMimeTypes(nullptr);
    Run().MimeTypes.reset();
    Run().Templates.reset();
    UnloadLdapLibrary();
    UnloadCVUser();
    if (Run().SessionTable.IsOpen()) {
        Run().SessionTable.Close();
        (void)ShmSegment::Unlink(*Process().Namespace, kSessionTableSegmentName);
    }
    Run().SessionRows = 0;
    store::SetStoreLog(nullptr);
    Run().Log.reset();
    Run().Lock.Release();
    Run().Started = false;
}

bool FailStartUp()
{
    if (EngineSharedSection* section = Section(); section != nullptr && Run().Lock.Held()) {
        ZeroStatus(*section);
    }
    ReleaseRunState();
    return false;
}

// Creates the file in dir (found whatever its case) when it does not exist.
void CreateEmptyFile(const std::string& dir, const char* name)
{
    const std::string path = FindNoCase(dir, name);
    if (!platform::PathExists(path)) {
        (void)platform::CreateNewFile(path);
    }
}

bool OpenLog()
{
    // The registry value and the log directory.
    (void)platform::RegSetString(kRegistryKey, kRegistryBaseDir, Process().InstallDir);
    const std::string logDir = DirectorySetting("LogDir", "Logs");
    (void)platform::MakeDirectories(logDir);

    // The log level every process sees.
    std::atomic_ref<std::int32_t> logLevel(Section()->LogLevel);
    const std::int32_t runningLevel = logLevel.load();
    logLevel.store(ReadIniInt("General", "LogLevel", 1));

    // The log, then the engine lock, so that a second engine of the installation stops here, before it
    // touches the files of the one that runs.
    std::string rotation = ReadIniString("General", "LogRotation", "");
    rotation.resize(std::min<std::size_t>(rotation.size(), 15));
    Run().Log = std::make_unique<LogFile>(logDir.c_str(), "Quillmail.log", "QM", rotation.c_str(),
                                          ReadIniInt("General", "MaxLogFileSize", 5000), [] { return EngineNow(); });
    Run().Log->LogMsg(5, kMsgInitializing);
    auto lock = EngineLock::TryAcquire(*Process().Namespace);
    if (!lock) {
        Run().Log->LogMsg(4, kMsgSharedMemoryCreationError, lock.error().Code);
        logLevel.store(runningLevel); // the level belongs to the engine that runs
        return false;
    }
    Run().Lock = std::move(*lock);
    (void)WriteIniString("Other", "LatestLogFile", Run().Log->CurrentPath());
    store::SetStoreLog(Run().Log.get());
    return true;
}

bool CreateSessionTable(int maximum)
{
    Run().Log->LogMsg(1, kMsgSharedMemoryInitializing);
    if (maximum < 1 || maximum > kMaxSessionRows) {
        Run().Log->LogMsg(4, kMsgSharedMemoryCreationError, EINVAL);
        return false;
    }
    // Under the engine lock a segment of that name can only be a left-over of an engine that died.
    auto table = ShmSegment::Recreate(*Process().Namespace, kSessionTableSegmentName,
                                      static_cast<std::size_t>(maximum) * kSessionRecordSize);
    if (!table) {
        Run().Log->LogMsg(4, kMsgSharedMemoryCreationError, table.error().Code);
        return false;
    }
    Run().SessionTable = std::move(*table);
    Run().SessionRows = maximum;
    return true;
}

// The companion's user library, when the accounts follow the mail server's.
void LoadCompanionLibrary()
{
    const std::string corvidDir = ReadIniString("Directories", "CorvidAppDir", "");
    (void)WriteIniString("Directories", "CorvidAppDir", corvidDir);
    if (ReadIniBool("Mailboxes", "SyncWithMailServer", false) && !corvidDir.empty()) {
        const std::string path = platform::PathJoin(corvidDir, kCvUserLibraryName);
        Run().Log->LogMsg(1, kMsgCorvidLoading, path.c_str());
        auto loaded = LoadCVUser(path.c_str(), CvReload::Yes, CvMissing::Allow);
        if (!loaded) {
            Run().Log->LogMsg(4, kMsgCorvidLoadError, loaded.error().Code);
        }
    }
}

// The template directory; its absence is logged, not fatal.
std::string FindTemplateDir()
{
    std::string templateDir = DirectorySetting("TemplateDir", "Templates");
    if (!platform::IsDirectory(templateDir)) {
        Run().Log->LogMsg(4, kMsgTemplatesDirNotFound);
    }
    return templateDir;
}

// The language file checked and completed, then the template cache.
void LoadLanguagesAndTemplates(const std::string& templateDir)
{
    if (platform::ResolveNoCase(templateDir, "Languages.ini")) {
        (void)CheckLanguagesIni(*Run().Log);
    } else {
        Run().Log->LogMsg(4, kMsgLanguagesIniNotFound);
    }
    Run().Templates = TemplateCache::FromEngineIni(Run().Log.get());
}

// LDAP, always tried; the engine runs without it.
void LoadLdap()
{
    Run().Log->LogMsg(1, kMsgLdapLoading);
    (void)LoadLdapLibrary(*Run().Log);
}

// The user directory, and the temporary directory emptied of what a dead engine left.
void PrepareUserAndTempDirs()
{
    const std::string userDir = DirectorySetting("UserDir", "Users");
    (void)platform::MakeDirectories(userDir);
    if (!platform::IsDirectory(userDir)) {
        Run().Log->LogMsg(4, kMsgUserDirNotFound);
    }
    const std::string tempDir = DirectorySetting("TempDir", "Temp");
    (void)platform::MakeDirectories(tempDir);
    (void)platform::EmptyDirectory(tempDir);
}

// The MIME types, and the global address book and dictionary.
void LoadMimeTypesAndGlobalFiles()
{
    const std::string baseDir = BaseDir();
    Run().MimeTypes = std::make_unique<MimeTypeTable>();
    if (!Run().MimeTypes->Load(FindNoCase(baseDir, "MimeTypes.cfg").c_str())) {
        Run().Log->LogMsg(4, kMsgMimeTypesLoadError);
    }
    // The message builders name and type parts without names from the table.
    store::SetStoreMimeTypes(Run().MimeTypes.get());
    CreateEmptyFile(baseDir, "AddrBook.txt");
    CreateEmptyFile(baseDir, "Dictionary.txt");
}

// The session manager and the status block of a fresh engine.
void CreateSessionsAndStatus(int maximum)
{
    Run().Sessions = CreateSessionManager();
    EngineSharedSection& section = *Section();
    ZeroStatus(section);
    SetStatus(section.Status, StatusWord::StartTime, static_cast<std::int32_t>(EngineNow()));
    SetStatus(section.Status, StatusWord::MaxSessions, maximum);
}

// The defaults of Domains.Ini, then every engine INI key written back, last.
void WriteIniDefaults()
{
    (void)WriteDomainDefaults(LoadedCVUser() != nullptr);
    (void)WriteEngineIniDefaults(Process().IniPath, Process().InstallDir);
}

bool StartMaintenance()
{
    MaintenanceContext context;
    context.Log = Run().Log.get();
    context.Sessions = Run().Sessions.get();
    context.Shared = SharedBlock();
    context.BaseDir = [] {
        return BaseDir();
    };
    context.LogFileChanged = [](const std::string& path) {
        (void)WriteIniString("Other", "LatestLogFile", path);
    };
    context.Exiting = [] {
        Run().Running.store(false);
    };
    Run().Running.store(true);
    auto started = Run().Maintenance.Start(std::move(context));
    if (!started) {
        Run().Running.store(false);
        Run().Log->LogMsg(4, kMsgMaintenanceStartError, started.error().Code);
        return false;
    }
    return true;
}

// The start-up in its order: the log and the engine lock first, the maintenance thread last.
bool StartUpSteps()
{
    if (!OpenLog()) {
        return false;
    }
    PrepareUserAndTempDirs();
    const int maximum = ReadIniInt("Session", "Maximum", 200);
    if (!CreateSessionTable(maximum)) {
        return false;
    }
    SetStatus(Section()->Status, StatusWord::Sessions, 0);
    const std::string templateDir = FindTemplateDir();
    LoadCompanionLibrary();
    LoadLanguagesAndTemplates(templateDir);
    LoadLdap();
    LoadMimeTypesAndGlobalFiles();
    CreateSessionsAndStatus(maximum);
    WriteIniDefaults();
    return StartMaintenance();
}

} // namespace

void EngineProcessAttach(const void* moduleAddress)
{
    EngineProcessDetach();
    if (Run().Started) {
        return;
    }
    std::string iniPath;
    // Read while the library loads, before the engine starts any thread.
    if (const char* fromEnv = std::getenv(kEngineIniEnv); // NOLINT(concurrency-mt-unsafe)
        fromEnv != nullptr && fromEnv[0] != '\0') {
        std::error_code ignored;
        iniPath = std::filesystem::absolute(fromEnv, ignored).lexically_normal().string();
    } else {
        auto dir = ModuleDirectoryOf(moduleAddress);
        if (!dir) {
            return;
        }
        iniPath = platform::PathJoin(*dir, kEngineIniName);
    }
    if (iniPath.empty() || iniPath.size() >= kIniPathSize) {
        return; // the shared block has room for 259 characters
    }

    const IpcNamespace ns = IpcNamespace::ForInstallDir(platform::ParentDirectory(iniPath));
    auto shared = ShmSegment::Attach(ns, kSharedSegmentName, sizeof(EngineSharedBlock), [&iniPath](void* data) {
        auto* block = static_cast<EngineSharedBlock*>(data);
        block->Section.LogLevel = 1;
        std::memcpy(block->Section.IniPath, iniPath.c_str(), iniPath.size() + 1);
        (void)block->SessionsMutex.Init();
    });
    if (!shared) {
        return;
    }
    Process().Namespace = ns;
    Process().Shared = std::move(*shared);
    EngineSharedBlock* block = Process().Shared.As<EngineSharedBlock>();
    // A later process keeps the path the first one set.
    Process().IniPath.assign(block->Section.IniPath, strnlen(block->Section.IniPath, kIniPathSize - 1));
    Process().InstallDir = platform::ParentDirectory(Process().IniPath);
    SetMainIniPath(Process().IniPath);
    SetLogLevelSource(&block->Section.LogLevel);
    Process().Attached = true;
    SetDomainsIniPath(DomainsIniPathIn(BaseDir()));
}

void EngineProcessDetach()
{
    if (Run().Started || !Process().Attached) {
        return;
    }
    SetLogLevelSource(nullptr);
    Process().Shared.Close();
    Process().Attached = false;
    Process().IniPath.clear();
    Process().InstallDir.clear();
}

bool EngineAttached()
{
    return Process().Attached;
}

bool EngineStartUp()
{
    if (!Process().Attached || Run().Started) {
        return false;
    }
    Run().Started = true;
    if (!StartUpSteps()) {
        return FailStartUp();
    }
    return true;
}

void EngineMain(int inFd, int outFd, const char* environment)
{
    if (!EngineRunning() || EngineSessions() == nullptr || Run().Templates == nullptr) {
        // Not running: both descriptors are closed and nothing is written.
        platform::UniqueFd input(inFd);
        platform::UniqueFd output(outFd);
        return;
    }
    Request request(inFd, outFd, environment, RequestServices::FromEngine());
    request.Run();
}

void EngineMainToReply(int inFd, const QmHostReply* reply, const char* environment)
{
    platform::UniqueFile out = StreamOverHostReply(reply);
    if (!EngineRunning() || EngineSessions() == nullptr || Run().Templates == nullptr) {
        // Not running: the body is closed and the reply ended with nothing written.
        platform::UniqueFd input(inFd);
        return;
    }
    Request request(inFd, std::move(out), environment, RequestServices::FromEngine());
    request.Run();
}

bool EngineShutDown()
{
    if (!Run().Started) {
        return true;
    }
    Run().Running.store(false);
    Run().Log->LogMsg(1, kMsgSendingShutdownNotice);
    Run().Maintenance.SignalStop();
    if (Run().Maintenance.Started()) {
        Run().Log->LogMsg(1, kMsgWaitingForMaintenance);
        Run().Maintenance.Join();
    }

    ZeroStatus(*Section());
    NotifyWindows(kNotifySessionRemoved);

    Run().Log->LogMsg(1, kMsgReleasingSharedMemory);
    Run().SessionTable.Close();
    (void)ShmSegment::Unlink(*Process().Namespace, kSessionTableSegmentName);
    Run().SessionRows = 0;

    UnloadCVUser();
    Run().Log->LogMsg(1, kMsgReleasingLdap);
    UnloadLdapLibrary();

    Run().Templates.reset();
    store::SetStoreMimeTypes(nullptr);
    Run().MimeTypes.reset();
    Run().Sessions.reset();

    Run().Log->LogMsg(5, kMsgStopped);
    store::SetStoreLog(nullptr);
    Run().Log.reset();
    Run().Lock.Release();
    Run().Started = false;
    return true;
}

LogFile* EngineLog()
{
    return Run().Log.get();
}

void ReportEngineEntryFailure(const char* entry, const char* what) noexcept
{
    try {
        if (LogFile* log = EngineLog(); log != nullptr) {
            log->Log(1, "%s: stopped an exception: %s", entry, what);
            return;
        }
    } catch (...) {
    }
    (void)std::fprintf(stderr, "%s: stopped an exception: %s\n", entry, what);
}

std::string EngineIniPath()
{
    return Process().IniPath;
}

std::string InstallDir()
{
    return Process().InstallDir;
}

std::string DomainsIniPath()
{
    std::lock_guard lock(Process().DomainsLock);
    return Process().DomainsIni;
}

void SetDomainsIniPath(std::string path)
{
    std::lock_guard lock(Process().DomainsLock);
    Process().DomainsIni = std::move(path);
}

EngineSharedBlock* SharedBlock()
{
    return Process().Attached ? Process().Shared.As<EngineSharedBlock>() : nullptr;
}

const IpcNamespace& EngineNamespace()
{
    QM_ASSERT(Process().Namespace.has_value());
    return *Process().Namespace;
}

bool EngineRunning()
{
    return Run().Running.load();
}

void NotifyWindows(std::uint64_t code)
{
    EngineSharedBlock* block = SharedBlock();
    if (block == nullptr) {
        return;
    }
    SessionsLock guard(*block, "NotifyWindows");
    if (guard.Locked()) {
        NotifyWindowsLocked(code);
    }
}

void NotifyWindowsLocked(std::uint64_t code)
{
    EngineSharedBlock* block = SharedBlock();
    if (block == nullptr) {
        return;
    }
    for (WindowHandle window : block->Section.NotifyWindows) {
        if (window != kNoWindow) {
            (void)PostWindowMessage(*Process().Namespace, window, kWmEngineNotify, code, 0);
        }
    }
}

unsigned char* SessionTableRows()
{
    return Run().SessionTable.IsOpen() ? static_cast<unsigned char*>(Run().SessionTable.Data()) : nullptr;
}

int SessionTableCapacity()
{
    return Run().SessionRows;
}

TemplateCache* EngineTemplates()
{
    return Run().Templates.get();
}

const MimeTypeTable* MimeTypes()
{
    return Run().MimeTypes.get();
}

SessionService* Sessions()
{
    return Run().Sessions.get();
}

time_t EngineNow()
{
    return Clock() ? Clock()() : std::time(nullptr);
}

void SetEngineClock(std::function<time_t()> clock)
{
    Clock() = std::move(clock);
}

} // namespace qm::engine
