// The engine of one process: attaching to the shared block when the library is loaded, the host's StartUp, Main
// and ShutDown, and the services the rest of the engine uses (log, INI path, shared block, running flag, window
// notification, session table).
#pragma once

#include "common/LogFile.h"
#include "common/MimeTypeTable.h"
#include "engine/EngineShared.h"
#include "engine/HostReply.h"
#include "engine/SessionService.h"
#include "platform/IpcNamespace.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

namespace qm::engine {

class TemplateCache;

/// Environment variable with the full path of the engine INI; it replaces "Quillmail.ini" beside the library.
inline constexpr const char* kEngineIniEnv = "QUILLMAIL_INI";

/// File name of the engine INI in the installation directory.
inline constexpr const char* kEngineIniName = "Quillmail.ini";

/// Name of the shared block's segment and of the session table's, within the installation's namespace.
inline constexpr const char* kSharedSegmentName = "engine";
inline constexpr const char* kSessionTableSegmentName = "sessions";

/// Largest [Session] Maximum the session table is made for.
inline constexpr int kMaxSessionRows = 100000;

/// The registry key and value that start-up writes the installation directory to.
inline constexpr const char* kRegistryKey = "Software\\Brindlewood Technologies\\Quillmail";
inline constexpr const char* kRegistryBaseDir = "BaseDir";

// ---- Process attach and detach -------------------------------------------------------------------------------

/// Attaches this process to the engine: finds the engine INI ($QUILLMAIL_INI, else "Quillmail.ini" in the
/// directory of the library that holds moduleAddress), attaches to the installation's shared block (the first
/// process sets LogLevel 1 and its IniPath; a later one keeps what it finds), points the log level at the block and
/// notes the Domains.Ini path. Never fails the load of the library: a failure leaves EngineAttached() false, so
/// StartUp fails and the shared data reads as absent. Attaching again first detaches.
void EngineProcessAttach(const void* moduleAddress);

/// Leaves the shared block. Does nothing while the engine runs (a process that exits without ShutDown keeps its
/// threads and mappings to the end; what it leaves is reclaimed by the next engine).
void EngineProcessDetach();

/// The attach succeeded: the shared block and its mutex are there.
bool EngineAttached();

// ---- The host contract -----------------------------------------------------------------------------------------

/// Starts the engine: directories, log, engine lock, session table, libraries, INI defaults, maintenance thread.
/// False when another engine of the installation runs, when the session table or the thread cannot be made, or
/// when the attach failed; everything made so far is then undone.
bool EngineStartUp();

/// Handles one request; closes both descriptors (-1 is none) in every case.
void EngineMain(int inFd, int outFd, const char* environment);

/// The same with the response handed over in memory: written into `reply`, which is ended in every case (at once,
/// with nothing written, when the engine is not running).
void EngineMainToReply(int inFd, const QmHostReply* reply, const char* environment);

/// Stops the engine started by EngineStartUp. True.
bool EngineShutDown();

// ---- Services ---------------------------------------------------------------------------------------------------

/// The entry guard's reporter of the engine library: an exception stopped at an export is logged at level 1 in the
/// engine log while it is open, and written to standard error before StartUp and after ShutDown.
void ReportEngineEntryFailure(const char* entry, const char* what) noexcept;

/// The engine log while the engine runs (from StartUp until ShutDown closes it); null otherwise.
LogFile* EngineLog();

/// The engine INI path of the shared block ("" when not attached).
std::string EngineIniPath();

/// The installation directory: the directory of the engine INI.
std::string InstallDir();

/// The path of Domains.Ini: [Directories] BaseDir and "Domains.Ini", noted at attach and at start-up.
std::string DomainsIniPath();

/// Sets the Domains.Ini path (start-up rebuilds it from [Directories] BaseDir).
void SetDomainsIniPath(std::string path);

/// The shared block, or null when not attached.
EngineSharedBlock* SharedBlock();

/// The namespace of the installation's shared objects (valid once attached).
const IpcNamespace& EngineNamespace();

/// True from a successful StartUp until ShutDown begins or the maintenance thread ends.
bool EngineRunning();

/// Posts the engine's notification with `code` to every registered window, under the sessions mutex.
void NotifyWindows(std::uint64_t code);

/// The same for a caller that holds the sessions mutex already.
void NotifyWindowsLocked(std::uint64_t code);

/// The session table's rows (kSessionRecordSize bytes each) while the engine runs; null otherwise. Guarded by the
/// sessions mutex.
unsigned char* SessionTableRows();

/// The number of rows the session table was made with (0 when there is none).
int SessionTableCapacity();

/// The template cache while the engine runs; null otherwise.
TemplateCache* EngineTemplates();

/// The MIME types of MimeTypes.cfg while the engine runs; null otherwise.
const MimeTypeTable* MimeTypes();

/// The session manager while the engine runs; null otherwise (or when the engine has none).
SessionService* Sessions();

/// The engine's current time; tests replace the clock (SetEngineClock) before StartUp.
time_t EngineNow();

/// Replaces the engine's clock (null restores the system clock). The log and the status block use it.
void SetEngineClock(std::function<time_t()> clock);

/// Builds the engine's session manager at start-up; null when the engine has none.
std::unique_ptr<SessionService> CreateSessionManager();

} // namespace qm::engine
