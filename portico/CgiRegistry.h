// The CGI registry of the admin web server: URL prefixes mapped to CGI programs and CGI libraries, loaded from
// [AdminWebServer] CgiBase%d, CgiFile%d and CgiAuth%d.
#pragma once

#include "common/Log.h"
#include "platform/SharedLibrary.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qm::portico {

/// Highest number of the CgiBase%d keys.
inline constexpr int kMaxCgiEntries = 50;

/// One registered CGI. A library entry (a ".so" file) has Main; a program entry has no library.
struct CgiEntry {
    using StartUpFunction = int();
    using MainFunction = int(int inFd, int outFd, const char* environment);
    using ShutDownFunction = int();

    std::string Prefix;
    std::string File;
    std::string Auth; // CgiAuth%d in its scrambled form; "" when none
    std::unique_ptr<SharedLibrary> Library;
    MainFunction* Main = nullptr;
    StartUpFunction* StartUp = nullptr;
    ShutDownFunction* ShutDown = nullptr;

    bool IsLibrary() const { return Main != nullptr; }
};

/// The registry, in the order of the keys. Used by the server's one thread.
class CgiRegistry {
public:
    CgiRegistry() = default;
    CgiRegistry(const CgiRegistry&) = delete;
    CgiRegistry& operator=(const CgiRegistry&) = delete;
    /// Unloads every library (without ShutDown).
    ~CgiRegistry() = default;

    /// Reads the registry from the main INI, logging every entry that is skipped. A CgiAuth%d value that begins
    /// with '-' is scrambled and written back.
    void Load(Logger& log);

    /// Calls StartUp of every library in order. When one fails: logs it, calls ShutDown of those before it, and
    /// returns false (nothing is shut down again later).
    bool StartLibraries(Logger& log);

    /// The first entry whose prefix begins `path` without regard to case and is followed there by the end or '/';
    /// `pathInfo` becomes the rest of the path from that '/' ("" at the end). Null when none matches.
    const CgiEntry* Find(std::string_view path, std::string* pathInfo) const;

    /// Number of library entries.
    size_t LibraryCount() const;

    /// ShutDown of every library that has it, in order (once; later calls do nothing).
    void ShutDownAll();

    /// Adds an entry (for tests and for Load).
    void Add(std::unique_ptr<CgiEntry> entry) { m_entries.push_back(std::move(entry)); }

private:
    std::vector<std::unique_ptr<CgiEntry>> m_entries;
    bool m_started = false;
};

} // namespace qm::portico
