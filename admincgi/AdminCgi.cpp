// The request flow of the web administration: start-up, the server and view actions, and the page.
#include "admincgi/AdminCgi.h"

#include "admincgi/AdminContext.h"
#include "admincgi/AdminPageProvider.h"
#include "admincgi/EngineApi.h"
#include "common/IniAccess.h"
#include "common/StringUtil.h"
#include "platform/Path.h"
#include "platform/Service.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <thread>

namespace qm::admincgi {
namespace {

constexpr const char* kMainServerService = "Quillmail";

constexpr std::array<const char*, 7> kPages = {"Main", "Menu", "QMAdmin", "FileList", "EditFile", "NewUser", "Users"};

// The listed page of that name in its own spelling, or "Main" for an empty or unknown name.
std::string CanonicalView(std::string_view view)
{
    for (const char* page : kPages) {
        if (EqualsNoCase(view, page)) {
            return page;
        }
    }
    return "Main";
}

void StartMainServer(AdminContext& context)
{
    context.Fail("Error starting Quillmail Service!");
    Result<int> started = StartService(kMainServerService);
    if (started) {
        context.Tell("Starting Quillmail Service...");
    }
}

void StopMainServer(AdminContext& context)
{
    context.Fail("Error stopping Quillmail Service!");
    Result<void> stopped = RequestServiceStop(kMainServerService);
    if (stopped) {
        context.Tell("Stopping Quillmail Service...");
    }
}

void FetchSessions(AdminContext& context)
{
    EngineApi& api = Engine();
    context.Status = EngineStatus{};
    api.QM_GetStatus(&context.Status);
    const int count = std::clamp(context.Status.Sessions, 0, 100000);
    context.Rows.assign(static_cast<std::size_t>(count), SessionRecord{});
    int got = count > 0 ? api.QM_GetSessionStatus(context.Rows.data(), count) : 0;
    context.Rows.resize(static_cast<std::size_t>(std::clamp(got, 0, count)));
    context.RowsFetched = true;
}

void SessionsAction(AdminContext& context)
{
    FetchSessions(context);
    const NameValueList& fields = context.Request->Variables();
    for (int i = 0; i < fields.Count(); ++i) {
        const std::string_view name = fields.Item(i)->Name();
        if (!StartsWithNoCase(name, "Kill:")) {
            continue;
        }
        if (context.Changes == ChangeAllowed::No) {
            return;
        }
        const std::string id(name.substr(5));
        Engine().QM_KillSession(id.c_str());
        // The engine removes the session on its maintenance round.
        std::this_thread::sleep_for(std::chrono::milliseconds(context.KillWaitMs));
        FetchSessions(context);
        return;
    }
}

void SetActive(AdminContext& context, const std::string& user, const char* value)
{
    const std::string ini = context.UserIniPath(user);
    if (ini.empty() || !FileExists(ini)) {
        context.Fail("No such user.");
        return;
    }
    if (!WriteIniStringFile("User", "Active", value, ini.c_str())) {
        context.Fail("Error writing the user's settings.");
    }
}

void UsersAction(AdminContext& context)
{
    static constexpr std::array<const char*, 4> kPrefixes = {"Edit:", "Enable:", "Disable:", "Delete:"};
    NameValueList& fields = context.Request->Variables();
    for (int i = 0; i < fields.Count(); ++i) {
        const std::string_view name = fields.Item(i)->Name();
        std::size_t which = 0;
        while (which < kPrefixes.size() && !StartsWithNoCase(name, kPrefixes[which])) {
            ++which;
        }
        if (which == kPrefixes.size()) {
            continue;
        }
        const std::string user(name.substr(std::string_view(kPrefixes[which]).size()));
        // A field name at the list's length limit may have been cut, and so may name another account.
        if (!IsValidUserName(user) || name.size() >= NameValuePair::kMaxNameLength) {
            context.Fail("Invalid user name!");
            return;
        }
        if (which == 0) {
            fields.Set("View", "EditFile");
            fields.Set("EditUser", user.c_str());
            return;
        }
        if (context.Changes == ChangeAllowed::No) {
            return;
        }
        if (which == 1 || which == 2) {
            SetActive(context, user, which == 1 ? "Yes" : "No");
        } else {
            (void)Engine().QM_UserDelete(user.c_str());
        }
        return;
    }
}

void NewUserAction(AdminContext& context)
{
    if (!context.HasField("CreateUser") || context.Changes == ChangeAllowed::No) {
        return;
    }
    const std::string name = context.Field("Name");
    if (name.empty()) {
        context.Fail("You must provide a new user name!");
        return;
    }
    if (!IsValidUserName(name)) {
        context.Fail("Error creating Quillmail user " + name + ".");
        return;
    }
    if (Engine().QM_UserCreate(name.c_str(), context.Field("Pass"), context.Field("Lang"), context.Field("FullName"),
                               context.Field("Email")) != 0) {
        context.Tell("Account created for " + name + ".");
        context.Request->Variables().Set("View", "Users");
        return;
    }
    context.Fail("Error creating Quillmail user " + name + ".");
}

// A request changes something when it asks for a server action, a kill, a user action other than Edit, a new
// account or a save.
bool AsksForChange(const AdminContext& context)
{
    if (context.HasField("StartQM") || context.HasField("StopQM") || context.HasField("CreateUser") ||
        context.HasField("Save")) {
        return true;
    }
    const NameValueList& fields = context.Request->Variables();
    for (int i = 0; i < fields.Count(); ++i) {
        const std::string_view name = fields.Item(i)->Name();
        if (StartsWithNoCase(name, "Kill:") || StartsWithNoCase(name, "Enable:") ||
            StartsWithNoCase(name, "Disable:") || StartsWithNoCase(name, "Delete:")) {
            return true;
        }
    }
    return false;
}

bool TokenMatches(const std::string& expected, std::string_view given)
{
    if (expected.empty() || given.size() != expected.size()) {
        return false;
    }
    unsigned char diff = 0;
    for (std::size_t i = 0; i < given.size(); ++i) {
        diff |= static_cast<unsigned char>(given[i] ^ expected[i]);
    }
    return diff == 0;
}

void RunActions(AdminContext& context)
{
    const bool overflowed = context.Request->Overflowed() != InputOverflow::None;
    context.Changes =
            !overflowed && TokenMatches(context.Token, context.Field("Token")) ? ChangeAllowed::Yes : ChangeAllowed::No;
    if (context.Changes == ChangeAllowed::No && AsksForChange(context)) {
        context.Fail("Request refused: the form has expired or came from another page.");
    }
    if (context.Changes == ChangeAllowed::Yes && context.HasField("StartQM")) {
        StartMainServer(context);
    } else if (context.Changes == ChangeAllowed::Yes && context.HasField("StopQM")) {
        StopMainServer(context);
    }
    const std::string view = context.Field("View");
    if (EqualsNoCase(view, "QMAdmin")) {
        SessionsAction(context);
    } else if (EqualsNoCase(view, "Users")) {
        UsersAction(context);
    } else if (EqualsNoCase(view, "NewUser")) {
        NewUserAction(context);
    }
}

} // namespace

int RunAdminCgi(const AdminCgiOptions& options, std::FILE* in, std::FILE* out)
{
    CgiInput request(in, out, nullptr);
    request.ReadInput(true);
    (void)std::fputs("Content-type: text/html\r\n\r\n", out);

    AdminContext context;
    context.Request = &request;
    context.ProgramDir = options.ProgramDir;
    context.KillWaitMs = options.KillWaitMs;
    context.CgiIniPath = options.ProgramDir + "/CGI.ini";
    context.FileListPath = options.ProgramDir + "/FileList.dat";
    context.EngineIniPath = ReadIniStringFile("CGI", "QMSetupFile", "", context.CgiIniPath);
    if (context.EngineIniPath.empty()) {
        (void)std::fputs("<HTML><BODY>Error locating Quillmail.ini!</BODY></HTML>\r\n", out);
        return kStartUpFailure;
    }
    // A relative setup file (as a fresh installation ships it: "../Quillmail.ini") lies beside the program.
    std::filesystem::path engineIni = platform::NativePath(context.EngineIniPath);
    if (engineIni.is_relative()) {
        engineIni = std::filesystem::path(options.ProgramDir) / engineIni;
    }
    context.EngineIniPath = engineIni.lexically_normal().string();
    context.InstallDir = engineIni.lexically_normal().parent_path().string();
    const std::string library = context.EnginePath("WebServer", "CgiFile1", "Quillmail.so");
    if (!LoadEngineDll(library.c_str(), UserCalls::Wanted)) {
        (void)std::fputs("<HTML><BODY>Error loading Quillmail.dll!</BODY></HTML>\r\n", out);
        return kStartUpFailure;
    }
    context.Token = LoadFormToken(options.ProgramDir);
    {
        AdminPageProvider provider(context, options.ProgramDir + "/Templates");
        RunActions(context);
        const std::string view = CanonicalView(context.Field("View"));
        request.Variables().Set("View", view.c_str());
        provider.RenderPage(view);
    }
    (void)std::fflush(out);
    UnloadEngineDll();
    return 0;
}

} // namespace qm::admincgi
