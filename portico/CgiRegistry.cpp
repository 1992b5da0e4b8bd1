#include "portico/CgiRegistry.h"

#include "common/IniAccess.h"
#include "common/Scrambler.h"
#include "common/StringUtil.h"
#include "platform/FileSystem.h"
#include "portico/Messages.h"

#include <cerrno>
#include <string>

namespace qm::portico {
namespace {

constexpr const char* kSection = "AdminWebServer";

// Reads a key of [AdminWebServer], cut to `limit` characters.
std::string ReadKey(const std::string& key, size_t limit)
{
    std::string value = ReadIniString(kSection, key, "");
    if (value.size() > limit) {
        value.resize(limit);
    }
    return value;
}

std::string Extension(const std::string& file)
{
    const size_t dot = file.rfind('.');
    const size_t slash = file.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return "";
    }
    return file.substr(dot);
}

} // namespace

void CgiRegistry::Load(Logger& log)
{
    for (int number = 1; number <= kMaxCgiEntries; ++number) {
        const std::string suffix = std::to_string(number);
        std::string prefix = ReadKey("CgiBase" + suffix, 127);
        std::string file = ReadKey("CgiFile" + suffix, 255);
        if (prefix.empty() || file.empty()) {
            continue;
        }
        std::string auth = ReadKey("CgiAuth" + suffix, 127);
        if (!auth.empty() && auth[0] == '-') {
            auth = ScramblePassword(std::string_view(auth).substr(1));
            (void)WriteIniString(kSection, "CgiAuth" + suffix, auth);
        }
        if (!FileExists(file)) {
            log.LogMsg(3, kMsgCannotFindCgi, file.c_str());
            continue;
        }
        auto entry = std::make_unique<CgiEntry>();
        entry->Prefix = std::move(prefix);
        entry->Auth = std::move(auth);
        if (EqualsNoCase(Extension(file), ".so")) {
            Result<SharedLibrary> library = SharedLibrary::Open(file);
            if (!library) {
                log.LogMsg(3, kMsgErrorLoadingCgi, library.error().Code, file.c_str());
                continue;
            }
            entry->Library = std::make_unique<SharedLibrary>(std::move(*library));
            entry->Main = entry->Library->Function<CgiEntry::MainFunction*>("Main");
            if (entry->Main == nullptr) {
                log.LogMsg(3, kMsgErrorLoadingCgi, ENOENT, file.c_str());
                continue;
            }
            entry->StartUp = entry->Library->Function<CgiEntry::StartUpFunction*>("StartUp");
            entry->ShutDown = entry->Library->Function<CgiEntry::ShutDownFunction*>("ShutDown");
            log.LogMsg(1, kMsgCgiLoaded, file.c_str());
        } else if (!platform::IsExecutableFile(file)) {
            // Programs need no extension here: any file this process may execute is one.
            log.LogMsg(3, kMsgUnknownCgiKind, file.c_str());
            continue;
        }
        entry->File = std::move(file);
        Add(std::move(entry));
    }
}

bool CgiRegistry::StartLibraries(Logger& log)
{
    if (LibraryCount() == 0) {
        return true;
    }
    log.LogMsg(1, kMsgStartingCgiLibraries);
    for (size_t i = 0; i < m_entries.size(); ++i) {
        const CgiEntry& entry = *m_entries[i];
        if (entry.StartUp == nullptr || entry.StartUp() != 0) {
            continue;
        }
        log.LogMsg(4, kMsgCgiStartUpFailed, entry.File.c_str());
        for (size_t j = 0; j < i; ++j) {
            if (m_entries[j]->ShutDown != nullptr) {
                m_entries[j]->ShutDown();
            }
        }
        return false;
    }
    m_started = true;
    return true;
}

const CgiEntry* CgiRegistry::Find(std::string_view path, std::string* pathInfo) const
{
    for (const std::unique_ptr<CgiEntry>& entry : m_entries) {
        const std::string_view prefix = entry->Prefix;
        if (path.size() < prefix.size() || !EqualsNoCase(path.substr(0, prefix.size()), prefix)) {
            continue;
        }
        if (path.size() > prefix.size() && path[prefix.size()] != '/') {
            continue;
        }
        if (pathInfo != nullptr) {
            *pathInfo = std::string(path.substr(prefix.size()));
        }
        return entry.get();
    }
    return nullptr;
}

size_t CgiRegistry::LibraryCount() const
{
    size_t count = 0;
    for (const std::unique_ptr<CgiEntry>& entry : m_entries) {
        count += entry->IsLibrary() ? 1 : 0;
    }
    return count;
}

void CgiRegistry::ShutDownAll()
{
    if (!m_started) {
        return;
    }
    m_started = false;
    for (const std::unique_ptr<CgiEntry>& entry : m_entries) {
        if (entry->ShutDown != nullptr) {
            entry->ShutDown();
        }
    }
}

} // namespace qm::portico
