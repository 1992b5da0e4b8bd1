// The variables, blocks and conditions of the web administration's pages. Every value written into a page is
// HTML-escaped.
#include "admincgi/AdminPageProvider.h"

#include "common/IniAccess.h"
#include "common/StringUtil.h"
#include "platform/FileSystem.h"
#include "platform/IniFile.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>

namespace qm::admincgi {
namespace {

std::string LocalTimeText(std::int64_t seconds)
{
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr) {
        return {};
    }
    char text[256];
    // The locale's own time and date, as the console shows them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-y2k"
    const std::size_t n = std::strftime(text, sizeof text, "%X %x", &local);
#pragma GCC diagnostic pop
    return std::string(text, n);
}

std::string Dotted(std::uint32_t networkOrder)
{
    unsigned char b[4];
    std::memcpy(b, &networkOrder, 4);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

std::string FieldText(const char* field, std::size_t size)
{
    return std::string(field, strnlen(field, size));
}

} // namespace

UserPage PageOfUsers(const std::vector<std::string>& sortedNames, int first, int perPage)
{
    UserPage page;
    for (std::size_t index = 0; index < sortedNames.size(); ++index) {
        if (static_cast<int>(page.Names.size()) == perPage) {
            page.More = true;
            break;
        }
        if (static_cast<long long>(index) >= first) {
            page.Names.push_back(sortedNames[index]);
        }
    }
    return page;
}

AdminPageProvider::AdminPageProvider(AdminContext& context, std::string templateDir)
    : TemplateProvider(context.Request->Output(), std::move(templateDir))
    , m_context(context)
    , m_fileList(context.FileListPath, context.InstallDir)
{}

std::string AdminPageProvider::Link() const
{
    return std::string(m_context.Request->GetEnv("SCRIPT_NAME")) + "?View=";
}

bool AdminPageProvider::CommonVariable(const std::string& name)
{
    static constexpr const char* kPages[] = {"Main", "Menu", "QMAdmin", "FileList", "EditFile", "NewUser", "Users"};
    if (EqualsNoCase(name, "StatusMesg")) {
        m_context.WriteEscaped(m_context.StatusMessage);
        m_context.StatusMessage.clear();
        return true;
    }
    if (EqualsNoCase(name, "Link")) {
        m_context.WriteEscaped(Link());
        return true;
    }
    if (EqualsNoCase(name, "Token")) {
        m_context.WriteEscaped(m_context.Token);
        return true;
    }
    for (const char* page : kPages) {
        if (EqualsNoCase(name, page)) {
            m_context.WriteEscaped(Link() + name);
            return true;
        }
    }
    if (name == "BASE") {
        m_context.WriteEscaped(std::string("http://") + m_context.Request->GetEnv("SERVER_NAME") + ":" +
                               m_context.Request->GetEnv("SERVER_PORT"));
        return true;
    }
    return false;
}

void AdminPageProvider::Variable(const std::string& name)
{
    if (CommonVariable(name)) {
        return;
    }
    const std::string_view view = m_context.Field("View");
    if (EqualsNoCase(view, "QMAdmin")) {
        SessionVariable(name);
    } else if (EqualsNoCase(view, "Users")) {
        UserVariable(name);
    } else if (EqualsNoCase(view, "FileList")) {
        FileListVariable(name);
    } else if (EqualsNoCase(view, "EditFile")) {
        if (EqualsNoCase(name, "File")) {
            m_context.WriteEscaped(std::string_view(m_context.Field("File")).substr(0, 259));
        } else if (EqualsNoCase(name, "Body")) {
            EditFilePage(m_context);
        } else if (EqualsNoCase(name, "EditUser")) {
            m_context.WriteEscaped(std::string_view(m_context.Field("EditUser")).substr(0, 79));
        }
    } else if (EqualsNoCase(name, "LangSelect")) {
        LangSelect();
    }
}

void AdminPageProvider::SessionVariable(const std::string& name)
{
    const EngineStatus& s = m_context.Status;

    const struct {
        const char* Name;
        std::int32_t Value;
    } counters[] = {{"Sessions", s.Sessions},      {"MaxSessions", s.MaxSessions},   {"PopSessions", s.PopSessions},
                    {"PopErrors", s.PopErrors},    {"SMTPSessions", s.SmtpSessions}, {"SMTPErrors", s.SmtpErrors},
                    {"QMErrors", s.FailedRemovals}};

    for (const auto& counter : counters) {
        if (EqualsNoCase(name, counter.Name)) {
            m_context.Write(std::to_string(counter.Value));
            return;
        }
    }
    if (EqualsNoCase(name, "StartTime")) {
        m_context.WriteEscaped(s.StartTime <= 0 ? std::string("Quillmail isn't running!") : LocalTimeText(s.StartTime));
        return;
    }
    const std::size_t index = static_cast<std::size_t>(m_context.CurrentSession);
    if (!m_context.RowsFetched || index >= m_context.Rows.size()) {
        return;
    }
    const SessionRecord& row = m_context.Rows[index];
    if (EqualsNoCase(name, "ID")) {
        m_context.WriteEscaped(FieldText(row.SessionId, sizeof row.SessionId));
    } else if (EqualsNoCase(name, "User")) {
        m_context.WriteEscaped(FieldText(row.UserName, sizeof row.UserName));
    } else if (EqualsNoCase(name, "EMail")) {
        const std::string mail = FieldText(row.EMail, sizeof row.EMail);
        m_context.WriteEscaped(mail.empty() ? std::string("N/A") : mail);
    } else if (EqualsNoCase(name, "LastAccessTime")) {
        m_context.WriteEscaped(LocalTimeText(row.LastAccess));
    } else if (EqualsNoCase(name, "LastAccessIP")) {
        m_context.Write(Dotted(row.ClientAddress));
    }
}

void AdminPageProvider::LoadUserList()
{
    const std::string userDir = m_context.EnginePath("Directories", "UserDir", "Users");
    Result<std::vector<platform::DirEntry>> entries = platform::ListDirectory(userDir);
    if (!entries) {
        return;
    }
    int perPage = ReadIniIntFile("CGI", "UsersPerPage", -1, m_context.CgiIniPath);
    if (perPage < 0) {
        (void)WriteIniStringFile("CGI", "UsersPerPage", "100", m_context.CgiIniPath.c_str());
        perPage = 100;
    }
    if (perPage == 0) {
        perPage = INT_MAX;
    }
    const int first = m_context.HasField("Num") ? std::max(0, ParseDecimalInt(m_context.Field("Num"))) : 0;
    std::vector<std::string> names;
    for (const platform::DirEntry& entry : *entries) {
        if (entry.Type == platform::EntryType::Directory && !entry.Name.empty() && entry.Name.front() != '.') {
            names.push_back(entry.Name);
        }
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return CompareNoCase(a, b) < 0; });
    UserPage page = PageOfUsers(names, first, perPage);
    m_context.UserList = std::move(page.Names);
    NameValueList& fields = m_context.Request->Variables();
    if (first > 0) {
        fields.Set("PrevNum", std::to_string(std::max(first - perPage, 0)).c_str());
    }
    if (page.More) {
        fields.Set("NextNum", std::to_string(static_cast<long long>(first) + perPage).c_str());
    }
    m_context.UserListLoaded = true;
}

void AdminPageProvider::PrevNextLinks()
{
    if (!m_context.UserListLoaded) {
        LoadUserList();
    }
    const std::string users = Link() + "Users&Num=";
    std::string out = "<CENTER>";
    if (m_context.HasField("PrevNum")) {
        out += "<A HREF=\"";
        AppendHtmlEscaped(out, users + std::to_string(ParseDecimalInt(m_context.Field("PrevNum"))), true);
        out += "\">[Prev Page]</A>";
    }
    out += "&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;";
    if (m_context.HasField("NextNum")) {
        out += "<A HREF=\"";
        AppendHtmlEscaped(out, users + std::to_string(ParseDecimalInt(m_context.Field("NextNum"))), true);
        out += "\">[Next Page]</A>";
    }
    out += "</CENTER>";
    m_context.Write(out);
}

std::string AdminPageProvider::UserFullName() const
{
    const platform::IniDocument ini = platform::IniLoad(m_context.CurrentUserIni);
    const auto get = [&ini](const std::string& section, const char* key, const char* def) {
        return std::string(TrimmedView(ini.Get(section, key).value_or(def)));
    };
    std::string fullName = "N/A";
    for (int n = 1; n < 1000; ++n) {
        const std::string section = "MailHost" + std::to_string(n);
        if (get(section, "Host", "").empty()) {
            break;
        }
        if (IniTextToBool(get(section, "Default", "No"))) {
            fullName = get(section, "FullName", "N/A").substr(0, 63);
            break;
        }
    }
    if (fullName == "N/A") {
        fullName = get("MailHost1", "FullName", "N/A").substr(0, 63);
    }
    return fullName.empty() ? std::string("N/A") : fullName;
}

void AdminPageProvider::UserVariable(const std::string& name)
{
    const std::string& user = m_context.CurrentUser;
    const std::string& ini = m_context.CurrentUserIni;
    if (EqualsNoCase(name, "PrevNextLinks")) {
        PrevNextLinks();
    } else if (EqualsNoCase(name, "CurrentUser")) {
        m_context.WriteEscaped(user);
    } else if (EqualsNoCase(name, "UserDir")) {
        m_context.WriteEscaped(UrlEncode(m_context.EnginePath("Directories", "UserDir", "Users") + "/" + user + "/"));
    } else if (EqualsNoCase(name, "FullName")) {
        m_context.WriteEscaped(UserFullName());
    } else if (EqualsNoCase(name, "MsgCount")) {
        m_context.Write(std::to_string(ReadIniIntFile("Stats", "MessageCount", 0, ini)));
    } else if (EqualsNoCase(name, "DirSize")) {
        m_context.Write(std::to_string(ReadIniIntFile("Stats", "DiskSpace", 0, ini)));
    } else if (EqualsNoCase(name, "EnableDisable")) {
        const bool active = ReadIniBoolFile("User", "Active", true, ini);
        std::string out = active ? "<INPUT TYPE=\"Submit\" NAME=\"Disable:" : "<INPUT TYPE=\"Submit\" NAME=\"Enable:";
        AppendHtmlEscaped(out, user, true);
        out += active ? "\" VALUE=\"Disable\">" : "\" VALUE=\"Enable\">";
        m_context.Write(out);
    }
}

void AdminPageProvider::FileListVariable(const std::string& name)
{
    const FileListReader& list = m_fileList;
    if (EqualsNoCase(name, "Program")) {
        m_context.WriteEscaped(list.ProgramName);
    } else if (EqualsNoCase(name, "ProgramDesc")) {
        m_context.WriteEscaped(list.ProgramDesc);
    } else if (EqualsNoCase(name, "FileName")) {
        const std::size_t slash = list.FilePath.rfind('/');
        m_context.WriteEscaped(slash == std::string::npos ? std::string() : list.FilePath.substr(slash + 1));
    } else if (EqualsNoCase(name, "FileDesc")) {
        m_context.WriteEscaped(list.FileDesc);
    } else if (EqualsNoCase(name, "FileURL")) {
        m_context.WriteEscaped(Link() + "EditFile&File=" + UrlEncode(list.FilePath));
    }
}

void AdminPageProvider::LangSelect()
{
    const std::string path = m_context.EnginePath("Directories", "TemplateDir", "Templates") + "/Languages.ini";
    Result<std::string> text = platform::ReadWholeFile(path, 1u << 20);
    if (!text) {
        return;
    }
    std::string code;
    std::string out;
    std::string_view rest = *text;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        std::string line(rest.substr(0, std::min<std::size_t>(end, 259)));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        StripLineEnd(line);
        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            code = line.substr(1, 15);
            code = code.substr(0, code.find(']'));
        } else if (line.starts_with("001=")) {
            out += "<OPTION VALUE=\"";
            AppendHtmlEscaped(out, code, true);
            out += "\">";
            AppendHtmlEscaped(out, std::string_view(line).substr(4), false);
            out += "</OPTION>\r\n";
        }
    }
    m_context.Write(out);
}

void AdminPageProvider::ForEach(const std::string& name, std::string_view body)
{
    if (EqualsNoCase(name, "Session")) {
        if (!m_context.RowsFetched) {
            return;
        }
        for (std::size_t i = 0; i < m_context.Rows.size(); ++i) {
            if (m_context.Rows[i].SessionId[0] == '\0') {
                continue;
            }
            m_context.CurrentSession = static_cast<int>(i);
            ExpandTemplate(*this, body);
        }
        m_context.CurrentSession = 0;
        return;
    }
    if (EqualsNoCase(name, "User")) {
        if (!m_context.UserListLoaded) {
            LoadUserList();
        }
        for (const std::string& user : m_context.UserList) {
            m_context.CurrentUser = user.substr(0, 79);
            m_context.CurrentUserIni = m_context.UserIniPath(m_context.CurrentUser);
            ExpandTemplate(*this, body);
        }
        m_context.CurrentUser.clear();
        m_context.CurrentUserIni.clear();
        return;
    }
    if (EqualsNoCase(name, "Program")) {
        while (std::optional<FileListLine> line = m_fileList.Next()) {
            if (line->Type == FileListLine::Kind::File) {
                m_fileList.PutBack(std::move(*line));
                return;
            }
            m_fileList.ProgramName = line->First;
            m_fileList.ProgramDir = line->Second;
            m_fileList.ProgramDesc = line->Third;
            ExpandTemplate(*this, body);
        }
        return;
    }
    if (EqualsNoCase(name, "File")) {
        while (std::optional<FileListLine> line = m_fileList.Next()) {
            if (line->Type == FileListLine::Kind::Program) {
                m_fileList.PutBack(std::move(*line));
                return;
            }
            m_fileList.FilePath = line->First;
            m_fileList.FileDesc = line->Second;
            m_fileList.FileFlags = line->Third;
            if (platform::PathExists(m_fileList.FilePath)) {
                ExpandTemplate(*this, body);
            }
        }
    }
}

bool AdminPageProvider::If(const std::string& condition)
{
    // StatusError: the status message waiting for the page tells of a refusal or a failure.
    if (EqualsNoCase(condition, "StatusError")) {
        return !m_context.StatusMessage.empty() && m_context.Tone == StatusTone::Failed;
    }
    return EqualsNoCase(condition, "ReadOnly") && m_fileList.FileFlags.find("READONLY") != std::string::npos;
}

} // namespace qm::admincgi
