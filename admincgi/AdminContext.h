// The state of one run of the web administration: the request, the configuration paths, what the actions found,
// and the helpers the page provider and the file editor share.
#pragma once

#include "admincgi/EngineApi.h"
#include "common/CgiInput.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qm::admincgi {

/// Whether a request may change anything (its form carries this installation's token).
enum class ChangeAllowed {
    No,
    Yes
};

/// What the status message tells: something done, or something refused or failed. The pages show the two apart.
enum class StatusTone {
    Done,
    Failed
};

/// One run's state. The program serves one request per process; the tests make one per run.
struct AdminContext {
    CgiInput* Request = nullptr;
    std::string ProgramDir;    // the program's directory: CGI.ini, FileList.dat, Templates/
    std::string CgiIniPath;    // <ProgramDir>/CGI.ini
    std::string EngineIniPath; // [CGI] QMSetupFile
    std::string InstallDir;    // the directory of the engine INI: relative settings resolve against it
    std::string FileListPath;  // <ProgramDir>/FileList.dat
    std::string Token;         // the installation's form token
    ChangeAllowed Changes = ChangeAllowed::No;
    std::string StatusMessage;
    StatusTone Tone = StatusTone::Done;
    int KillWaitMs = 5000;

    EngineStatus Status{};
    std::vector<SessionRecord> Rows;
    bool RowsFetched = false;
    int CurrentSession = 0;

    std::vector<std::string> UserList;
    bool UserListLoaded = false;
    std::string CurrentUser;
    std::string CurrentUserIni;

    /// A setting of the engine INI ("" when missing).
    std::string EngineSetting(std::string_view section, std::string_view key, std::string_view def = {}) const;
    /// A directory or file setting of the engine INI: '\' read as '/', a relative value (or, when missing, def)
    /// taken inside the installation directory.
    std::string EnginePath(std::string_view section, std::string_view key, std::string_view def) const;
    /// <UserDir>/<name>/User.ini; "" when the name is not a safe single path component.
    std::string UserIniPath(std::string_view name) const;

    /// Sets the status message of something done (Tell) or refused or failed (Fail).
    void Tell(std::string text)
    {
        StatusMessage = std::move(text);
        Tone = StatusTone::Done;
    }

    void Fail(std::string text)
    {
        StatusMessage = std::move(text);
        Tone = StatusTone::Failed;
    }

    const char* Field(const char* name) const { return Request->Variables().GetValue(name); }

    bool HasField(const char* name) const { return Request->Variables().Contains(name); }

    void Write(std::string_view text) const;
    /// Writes text HTML-escaped (quotes included), for values inside a page or an attribute.
    void WriteEscaped(std::string_view text) const;
};

/// Whether a user name from a form may be used: not empty, no leading '.', no '/', '\', NUL or control bytes.
bool IsValidUserName(std::string_view name);

/// The form token of the installation: read from <dataDir>/AdminCGI.key, made there (mode 0600, random) when
/// missing. "" when it can be neither read nor made, which refuses every change.
std::string LoadFormToken(const std::string& dataDir);

} // namespace qm::admincgi
