// The value vocabulary of the page templates: what each "<$NAME$>" that is not a directive writes. A page with a
// session uses the session table, a page without one the sessionless table. Every text that comes from the request,
// the user or the configuration is escaped for where it goes: HTML text and double-quoted attribute values, or a
// URL's query.
#include "common/CgiInput.h"
#include "common/IniAccess.h"
#include "common/StringUtil.h"
#include "common/Version.h"
#include "engine/DomainSettings.h"
#include "engine/LanguagesFile.h"
#include "engine/PageChoice.h"
#include "engine/TemplateRender.h"
#include "engine/TemplateVocabulary.h"
#include "engine/Views.h"
#include "store/FolderList.h"
#include "store/MailHostList.h"

#include <string>

namespace qm::engine {
namespace {

// Longest text of a user or domain setting that a value shows, and of the style.
constexpr std::size_t kMaxSettingText = 79;
constexpr std::size_t kMaxStyleText = 63;
constexpr std::size_t kMaxJsMessage = 255;

// Language messages of these values.
constexpr int kMsgFetching = 21;
constexpr int kMsgFetchProgress = 22;
constexpr int kMsgDeleteProgress = 23;
constexpr int kMsgMessageProgress = 24;
constexpr int kMsgDeleteModeProgress = 28;
constexpr int kMsgCharset = 64;

std::string_view Cut(std::string_view text, std::size_t length)
{
    return text.substr(0, length);
}

// Texts of the request, as a page may echo them: cut to kMaxEchoedText bytes.
std::string_view Env(TemplateRender& render, const char* name)
{
    return CutEchoedText(render.Context().Input().GetEnv(name));
}

std::string_view Field(TemplateRender& render, const char* name)
{
    return CutEchoedText(render.Context().Input().Variables().GetValue(name));
}

std::string_view FieldOf(TemplateRender& render, std::string_view name)
{
    return Field(render, std::string(name).c_str());
}

std::string_view CookieOf(TemplateRender& render, const char* name)
{
    return CutEchoedText(render.Context().Input().Cookies().GetValue(name));
}

std::string_view Message(TemplateRender& render, int number)
{
    return LanguageText(render.Context(), number);
}

// The page name of the request's view: the view's table name, or the raw `View` field for a view outside the table.
std::string_view PageName(TemplateRender& render)
{
    const std::string_view name = ViewName(render.Context().View());
    return name.empty() ? Field(render, "View") : name;
}

// Shows a one-shot message and clears it: the session's when it holds one, else the request's.
template <class Write>
void TakeMessage(TemplateRender& render, MessageSlot& (PageSession::*sessionSlot)(),
                 MessageSlot& (PageContext::*requestSlot)(), Write write)
{
    std::unique_ptr<char[]> text;
    if (PageSession* session = render.Session()) {
        text = (session->*sessionSlot)().Take();
    }
    if (!text) {
        text = (render.Context().*requestSlot)().Take();
    }
    if (text) {
        write(std::string_view(text.get()));
    }
}

// ---- values of both vocabularies ----

void ValueCgi(TemplateRender& render, std::string_view field)
{
    render.WriteEscaped(FieldOf(render, field));
}

void ValueDomain(TemplateRender& render, std::string_view key)
{
    render.WriteEscaped(Cut(GetDomainSetting(key, render.Context().Domain()), kMaxSettingText));
}

void ValueBase(TemplateRender& render, std::string_view)
{
    const std::string_view port = Env(render, "SERVER_PORT");
    render.WritePlain("http://");
    render.WriteEscapedRaw(Env(render, "SERVER_NAME"));
    if (!port.empty() && port != "80") {
        render.WritePlain(":");
        render.WriteEscapedRaw(port);
    }
    render.WritePlain("/");
    render.WriteEscapedRaw(render.Context().Theme());
    render.WritePlain("/");
}

void ValueCharset(TemplateRender& render, std::string_view)
{
    render.WriteEscaped(Message(render, kMsgCharset));
}

void ValueLang(TemplateRender& render, std::string_view)
{
    render.WriteEscapedRaw(render.Context().Language());
}

void ValueTheme(TemplateRender& render, std::string_view)
{
    render.WriteEscapedRaw(render.Context().Theme());
}

void ValueVersion(TemplateRender& render, std::string_view)
{
    render.WritePlain(ShortVersionString());
}

void ValueStatusMessage(TemplateRender& render, std::string_view)
{
    TakeMessage(render, &PageSession::StatusMessage, &PageContext::RequestStatusMessage,
                [&render](std::string_view text) { render.WriteEscaped(text); });
}

void ValueErrorMessage(TemplateRender& render, std::string_view)
{
    TakeMessage(render, &PageSession::ErrorMessage, &PageContext::RequestErrorMessage,
                [&render](std::string_view text) { render.WriteEscaped(text); });
}

// ---- the session vocabulary ----

void WriteLink(TemplateRender& render)
{
    render.WriteEscapedRaw(Env(render, "SCRIPT_NAME"));
    render.WritePlain("?Session=");
    render.WriteEscapedRaw(render.Session()->Id());
}

void ValueUserSetting(TemplateRender& render, std::string_view key)
{
    render.WriteEscaped(Cut(GetUserSetting(key, render.Session()->Settings()), kMaxSettingText));
}

void ValueAction(TemplateRender& render, std::string_view)
{
    WriteLink(render);
    render.WritePlain("&View=");
    render.WriteUrl(PageName(render));
    if (render.Context().Input().Variables().Contains("NoKeepAlive")) {
        render.WritePlain("&NoKeepAlive=Yes");
    }
}

void ValueLink(TemplateRender& render, std::string_view)
{
    WriteLink(render);
}

void ValueScriptName(TemplateRender& render, std::string_view)
{
    render.WriteEscapedRaw(Env(render, "SCRIPT_NAME"));
}

void ValueHelp(TemplateRender& render, std::string_view)
{
    if (render.Context().Language() == "en") {
        render.WritePlain("/help/");
        return;
    }
    WriteLink(render);
    render.WritePlain("&View=HELP");
}

void ValueStyle(TemplateRender& render, std::string_view)
{
    render.WriteEscapedRaw(Cut(GetUserSetting("Style", render.Session()->Settings()), kMaxStyleText));
}

void ValueUser(TemplateRender& render, std::string_view)
{
    render.WriteEscaped(render.Session()->UserName());
}

void ValueErrorMessageJs(TemplateRender& render, std::string_view)
{
    TakeMessage(render, &PageSession::ErrorMessage, &PageContext::RequestErrorMessage,
                [&render](std::string_view text) { render.WriteJs(text, kMaxJsMessage); });
}

// Seconds between refreshes of the pages that list mail: the user's ListRefreshTime in minutes; a day when 0 or
// less.
void ValueListRefreshTime(TemplateRender& render, std::string_view)
{
    const int minutes = GetUserInt("ListRefreshTime", render.Session()->Settings());
    render.WriteInt(minutes > 0 ? static_cast<long long>(minutes) * 60 : 86400);
}

void ValueRedirectTime(TemplateRender& render, std::string_view)
{
    render.WriteInt(ReadIniInt("General", "RedirectWait", 2));
}

void ValueRedirectStatus(TemplateRender& render, std::string_view)
{
    const std::optional<FetchProgress> progress = render.Session()->GetFetchProgress();
    if (!progress) {
        return;
    }
    const auto number = [](int value) {
        return std::to_string(value);
    };
    const FetchProgress& p = *progress;
    std::string text;
    if (render.Context().View() == kViewList) {
        if (p.DeleteMode) {
            if (p.Total >= 1) {
                text = FormatLanguageMessage(Message(render, kMsgDeleteModeProgress),
                                             {number(p.Done), number(p.Total), p.Mailbox});
            }
        } else if (p.Total >= 1) {
            text = FormatLanguageMessage(Message(render, kMsgFetchProgress),
                                         {number(p.Done), number(p.Total), p.Mailbox});
        } else if (p.ToDelete >= 1) {
            text = FormatLanguageMessage(Message(render, kMsgDeleteProgress),
                                         {number(p.Deleted), number(p.ToDelete), p.Mailbox});
        } else {
            text = FormatLanguageMessage(Message(render, kMsgFetching), {p.Mailbox});
        }
    } else if (render.Context().View() == kViewMessage && p.Received > 0 && p.Size > 0) {
        text = FormatLanguageMessage(Message(render, kMsgMessageProgress), {number(p.Received), number(p.Size)});
    }
    render.WriteEscaped(text);
}

void ValueFrameView(TemplateRender& render, std::string_view)
{
    const std::string_view field = Field(render, "FrameView");
    if (field.empty() || EqualsNoCase(field, "Main")) {
        const std::string_view pending = ViewName(render.Session()->TakePendingFrameView());
        render.WriteUrl(pending.empty() ? ViewName(kViewList) : pending);
        return;
    }
    render.WriteUrl(field);
    if (EqualsNoCase(field, ViewName(kViewOptionsHosts))) {
        // The account options open on a default account without an address: make it active so it is filled in.
        store::StoreUser& user = render.Session()->User();
        store::MailHostList& accounts = user.MailHosts();
        if (accounts.Count() == 0) {
            return;
        }
        store::MailHostAccount& account = accounts.Item(accounts.IndexOf(accounts.GetDefaultMailbox()));
        if (account.EMail().empty()) {
            account.SetActive(true);
            (void)accounts.Save(user.UserDir());
        }
    }
}

// ---- folders: the selected folder of the user's folder list ----

constexpr std::size_t kMaxJsFolder = 159;

store::FolderList& Folders(TemplateRender& render)
{
    return render.Session()->User().Folders();
}

// Writes what part gives of the selected folder; nothing when the user has no folder.
template <class Part>
void WriteFolder(TemplateRender& render, Part part)
{
    if (const store::FolderEntry* folder = Folders(render).GetSelected()) {
        part(*folder);
    }
}

void ValueFolderName(TemplateRender& render, std::string_view)
{
    WriteFolder(render, [&](const store::FolderEntry& f) { render.WriteEscaped(f.Name()); });
}

void ValueFolderNameJs(TemplateRender& render, std::string_view)
{
    WriteFolder(render, [&](const store::FolderEntry& f) { render.WriteJs(f.Name(), kMaxJsFolder); });
}

void ValueFolderNameUrl(TemplateRender& render, std::string_view)
{
    WriteFolder(render, [&](const store::FolderEntry& f) { render.WriteUrl(f.Name()); });
}

void ValueFolderDisplayName(TemplateRender& render, std::string_view)
{
    WriteFolder(render, [&](const store::FolderEntry& f) { render.WriteEscaped(f.DisplayName()); });
}

void ValueFolderNumber(TemplateRender& render, std::string_view)
{
    WriteFolder(render, [&](const store::FolderEntry& f) { render.WriteInt(Folders(render).IndexOf(f.Name())); });
}

void ValueFolderParent(TemplateRender& render, std::string_view)
{
    WriteFolder(render, [&](const store::FolderEntry& f) { render.WriteEscaped(f.GetParentName()); });
}

void ValueFolderParentJs(TemplateRender& render, std::string_view)
{
    WriteFolder(render, [&](const store::FolderEntry& f) { render.WriteJs(f.GetParentName(), kMaxJsFolder); });
}

void ValueSubFolderName(TemplateRender& render, std::string_view)
{
    WriteFolder(render, [&](const store::FolderEntry& f) { render.WriteEscaped(f.GetLeafName()); });
}

void ValueSubFolderNameJs(TemplateRender& render, std::string_view)
{
    WriteFolder(render, [&](const store::FolderEntry& f) { render.WriteJs(f.GetLeafName(), kMaxJsFolder); });
}

void ValueSubFolderDisplayName(TemplateRender& render, std::string_view)
{
    WriteFolder(render, [&](const store::FolderEntry& f) { render.WriteEscaped(f.GetShortName()); });
}

void ValueSubFolderDisplayNameJs(TemplateRender& render, std::string_view)
{
    WriteFolder(render, [&](const store::FolderEntry& f) { render.WriteJs(f.GetShortName(), kMaxJsFolder); });
}

// The height of the navigation frame: a line per mail account and per folder.
void ValueLeftFrameHeight(TemplateRender& render, std::string_view)
{
    store::StoreUser& user = render.Session()->User();
    render.WriteInt((static_cast<long long>(user.MailHosts().Count()) + user.Folders().Count()) * 18 + 136);
}

// ---- the sessionless vocabulary ----

void ValueSessionlessAction(TemplateRender& render, std::string_view)
{
    render.WriteEscapedRaw(Env(render, "SCRIPT_NAME"));
    render.WritePlain(render.Context().View() == kViewNewUser ? "?View=NewUser" : "?View=Main");
}

void ValueSessionlessStyle(TemplateRender& render, std::string_view)
{
    render.WriteEscapedRaw(GetInheritedUserSetting("Style", render.Context().Domain()));
}

void ValueSessionlessUser(TemplateRender& render, std::string_view)
{
    if (render.Context().View() == kViewNewUser) {
        render.WriteEscapedRaw(Field(render, "User"));
        return;
    }
    if (UseCookies()) {
        render.WriteEscapedRaw(CookieOf(render, "User"));
    }
}

constexpr ValueEntry kSessionValues[] = {
        {"USER:", ValueUserSetting, NameMatch::Prefix},
        {"DOMAIN:", ValueDomain, NameMatch::Prefix},
        {"CGI:", ValueCgi, NameMatch::Prefix},
        {"ACTION", ValueAction},
        {"LINK", ValueLink},
        {"SCRIPTNAME", ValueScriptName},
        {"BASE", ValueBase},
        {"HELP", ValueHelp},
        {"LANG", ValueLang},
        {"THEME", ValueTheme},
        {"STYLE", ValueStyle},
        {"VERSION", ValueVersion},
        {"CHARSET", ValueCharset},
        {"USER", ValueUser},
        {"STATUSMESG", ValueStatusMessage},
        {"ERRORMESG", ValueErrorMessage},
        {"ERRORMESG,JS", ValueErrorMessageJs},
        {"REDIRECTTIME", ValueRedirectTime},
        {"REDIRECTSTATUS", ValueRedirectStatus},
        {"FRAMEVIEW", ValueFrameView},
        {"LEFTFRAMEHEIGHT", ValueLeftFrameHeight},
        {"LISTREFRESHTIME", ValueListRefreshTime},
        {"FOLDERNAME", ValueFolderName},
        {"FOLDERNAME,JS", ValueFolderNameJs},
        {"FOLDERNAME,URL", ValueFolderNameUrl},
        {"FOLDERDISPLAYNAME", ValueFolderDisplayName},
        {"FOLDERNUMBER", ValueFolderNumber},
        {"FOLDERPARENT", ValueFolderParent},
        {"FOLDERPARENT,JS", ValueFolderParentJs},
        {"SUBFOLDERNAME", ValueSubFolderName},
        {"SUBFOLDERNAME,JS", ValueSubFolderNameJs},
        {"SUBFOLDERDISPLAYNAME", ValueSubFolderDisplayName},
        {"SUBFOLDERDISPLAYNAME,JS", ValueSubFolderDisplayNameJs},
};

constexpr ValueEntry kSessionlessValues[] = {
        {"DOMAIN:", ValueDomain, NameMatch::Prefix},
        {"CGI:", ValueCgi, NameMatch::Prefix},
        {"ACTION", ValueSessionlessAction},
        {"PREFS_THEME", ValueTheme},
        {"THEME", ValueTheme},
        {"BASE", ValueBase},
        {"CHARSET", ValueCharset},
        {"ERRORMESG", ValueErrorMessage},
        {"STATUSMESG", ValueStatusMessage},
        {"LANG", ValueLang},
        {"STYLE", ValueSessionlessStyle},
        {"USER", ValueSessionlessUser},
        {"VERSION", ValueVersion},
};

} // namespace

std::span<const ValueEntry> SessionValues()
{
    return kSessionValues;
}

std::span<const ValueEntry> SessionlessValues()
{
    return kSessionlessValues;
}

} // namespace qm::engine
