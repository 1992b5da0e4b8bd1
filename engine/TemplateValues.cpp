// The value vocabulary of the page templates: what each "<$NAME$>" that is not a directive writes. A page with a
// session uses the session table, a page without one the sessionless table. Every text that comes from the request,
// the user or the configuration is escaped for where it goes: HTML text and double-quoted attribute values, or a
// URL's query.
#include "common/CgiInput.h"
#include "common/IniAccess.h"
#include "common/StringUtil.h"
#include "common/Version.h"
#include "engine/ComposeAction.h"
#include "engine/ComposeState.h"
#include "engine/DomainSettings.h"
#include "engine/LanguagesFile.h"
#include "engine/PageChoice.h"
#include "engine/SpellCheck.h"
#include "engine/TemplateCache.h"
#include "engine/TemplateRender.h"
#include "engine/TemplateVocabulary.h"
#include "engine/Views.h"
#include "platform/FileSystem.h"
#include "platform/IniFile.h"
#include "platform/Path.h"
#include "store/AddressBook.h"
#include "store/BodyRenderer.h"
#include "store/CvUserBinding.h"
#include "store/FilterList.h"
#include "store/FolderList.h"
#include "store/HeaderBlock.h"
#include "store/MailHostList.h"
#include "store/MessageIndex.h"
#include "store/PartIndex.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

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
    // Only a page of the view table is framed: the field is echoed as that page's own name, anything else
    // gives the List page.
    const int view = FindViewByName(field);
    render.WriteUrl(view != 0 ? ViewName(view) : ViewName(kViewList));
    if (view == kViewOptionsHosts) {
        // The account options open on a default account without an address: make it active so it is filled in.
        store::StoreUser& user = render.Session()->User();
        store::MailHostList& accounts = user.MailHosts();
        store::MailHostAccount* account = accounts.Count() > 0 ? accounts.Find(accounts.GetDefaultMailbox()) : nullptr;
        if (account != nullptr && account->EMail().empty()) {
            account->SetActive(true);
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

// ---- mail: the index, the current message and its parts ----

// Language messages of the mail values.
constexpr int kMsgFileOne = 6;
constexpr int kMsgFileMany = 7;
constexpr int kMsgWhoTo = 8;
constexpr int kMsgWhoFrom = 9;
constexpr int kMsgListPage = 25;
constexpr int kMsgAttachInline = 30;
constexpr int kMsgNotStored = 46;
constexpr int kMsgNoSubject = 66;
constexpr int kMsgNoDate = 67;
constexpr int kMsgFilterName = 68;

constexpr std::size_t kMaxShownAddress = 4095;
constexpr std::size_t kMaxDateFormat = 31;
constexpr std::size_t kMaxDateText = 63;
constexpr std::size_t kMaxMailHost = 31;
// Longest line read of a signature file, and the most bytes read of a signature.
constexpr std::size_t kMaxSignatureLine = 259;
constexpr std::uint64_t kMaxSignatureBytes = 64u << 10;

bool IsComposeView(TemplateRender& render)
{
    const int view = render.Context().View();
    return view == kViewCompose || view == kViewComposeAttach || view == kViewComposeSpellCheck;
}

// A request field on a compose view: escaped-raw on the Compose page itself, escaped on its sub-pages.
void WriteComposeField(TemplateRender& render, const char* name)
{
    if (render.Context().View() == kViewCompose) {
        render.WriteEscapedRaw(Field(render, name));
    } else {
        render.WriteEscaped(Field(render, name));
    }
}

store::MessageIndex* IndexOf(TemplateRender& render)
{
    Result<store::MessageIndex*> index = render.Session()->User().Index();
    return index ? *index : nullptr;
}

store::MessageIndexEntry* Current(TemplateRender& render)
{
    return render.Session()->CurrentMessage();
}

long long KiloBytes(long long bytes)
{
    return (std::max(bytes, 0LL) + 512) / 1024;
}

// Messages per List page as the List page counts them (no paging: one page holds them all).
int PerPage(TemplateRender& render)
{
    const int perPage = GetUserInt("ListPerPage", render.Session()->Settings());
    if (perPage <= 0) {
        return 2000000000;
    }
    return perPage < 5 ? 5 : perPage;
}

int TotalPages(TemplateRender& render)
{
    store::MessageIndex* index = IndexOf(render);
    if (index == nullptr || index->LastVisible() < 0) {
        return 1;
    }
    return index->PageOf(index->LastVisible(), PerPage(render));
}

int CurrentPage(TemplateRender& render)
{
    store::MessageIndex* index = IndexOf(render);
    return index != nullptr ? std::max(index->CurrentPage(), 1) : 1;
}

// Whether the selected folder holds mail the user wrote ("Drafts", "Sent" or below them) and the List page shows
// its recipients in place of the senders.
bool ShowsRecipients(TemplateRender& render)
{
    if (render.PageNumber("EnableReplaceFrom", [] { return ReadIniBool("General", "EnableReplaceFrom", true); }) == 0) {
        return false;
    }
    const store::FolderEntry* folder = render.Session()->User().Folders().GetSelected();
    return folder != nullptr &&
           (store::IsFolderOrBelow(folder->Name(), "Drafts") || store::IsFolderOrBelow(folder->Name(), "Sent"));
}

void ValueListCurrentPage(TemplateRender& render, std::string_view)
{
    const std::string current = std::to_string(CurrentPage(render));
    const std::string total = std::to_string(TotalPages(render));
    render.WriteEscaped(FormatLanguageMessage(Message(render, kMsgListPage), {current, total}));
}

void ValueListTotalPages(TemplateRender& render, std::string_view)
{
    render.WriteInt(TotalPages(render));
}

void WriteListPageLink(TemplateRender& render, long long page)
{
    WriteLink(render);
    render.WritePlain("&View=List&Page=");
    render.WriteInt(page);
}

void ValueListFirstPage(TemplateRender& render, std::string_view)
{
    WriteListPageLink(render, 1);
}

void ValueListLastPage(TemplateRender& render, std::string_view)
{
    WriteListPageLink(render, TotalPages(render));
}

void ValueListNextPage(TemplateRender& render, std::string_view)
{
    WriteListPageLink(render, static_cast<long long>(CurrentPage(render)) + 1);
}

void ValueListPrevPage(TemplateRender& render, std::string_view)
{
    WriteListPageLink(render, static_cast<long long>(CurrentPage(render)) - 1);
}

void ValueWho(TemplateRender& render, std::string_view)
{
    render.WriteEscaped(Message(render, ShowsRecipients(render) ? kMsgWhoTo : kMsgWhoFrom));
}

void ValueColorLegend(TemplateRender& render, std::string_view)
{
    const store::MailHostList& accounts = render.Session()->User().MailHosts();
    render.WritePlain("<TABLE WIDTH=\"100%\">\r\n");
    for (int i = 0; i < accounts.Count(); i += 5) {
        render.WritePlain("<TR>");
        for (int k = i; k < accounts.Count() && k < i + 5; ++k) {
            render.WritePlain("<TD WIDTH=\"20%\" ALIGN=\"CENTER\" CLASS=\"");
            render.WriteEscapedRaw(accounts.Item(k).Color());
            render.WritePlain("\">");
            render.WriteEscaped(accounts.Item(k).Mailbox());
            render.WritePlain("</TD>");
        }
        render.WritePlain("</TR>\r\n");
    }
    render.WritePlain("</TABLE>\r\n");
}

void ValueMsgCount(TemplateRender& render, std::string_view)
{
    store::MessageIndex* index = IndexOf(render);
    WriteFolder(render, [&](const store::FolderEntry& f) {
        render.WriteInt(index != nullptr ? index->CountInFolder(f.Name()) : 0);
    });
}

void ValueUnreadCount(TemplateRender& render, std::string_view)
{
    store::MessageIndex* index = IndexOf(render);
    WriteFolder(render, [&](const store::FolderEntry& f) {
        render.WriteInt(index != nullptr ? index->CountUnreadInFolder(f.Name()) : 0);
    });
}

void ValueAllUnreadCounts(TemplateRender& render, std::string_view)
{
    store::MessageIndex* index = IndexOf(render);
    if (index == nullptr) {
        return;
    }
    store::FolderList& folders = Folders(render);
    // The folder shown, which is the first one when nothing is selected yet, as the folder values read it.
    const store::FolderEntry* shown = folders.GetSelected();
    bool first = true;
    for (int i = 0; i < folders.Count(); ++i) {
        const store::FolderEntry& folder = folders.Item(i);
        if (&folder == shown) {
            continue;
        }
        const int unread = index->CountUnreadInFolder(folder.Name());
        if (unread <= 0) {
            continue;
        }
        render.WritePlain(first ? "<A HREF=\"" : ", <A HREF=\"");
        first = false;
        WriteLink(render);
        render.WritePlain("&View=List&Folder=");
        render.WriteUrl(folder.Name());
        render.WritePlain("\">");
        render.WriteEscaped(folder.DisplayName());
        render.WritePlain(":");
        render.WriteInt(unread);
        render.WritePlain("</A>");
    }
}

// Writes what part gives of the current message; nothing without one.
template <class Part>
void WriteMessage(TemplateRender& render, Part part)
{
    if (store::MessageIndexEntry* message = Current(render)) {
        part(*message);
    }
}

void ValueNumber(TemplateRender& render, std::string_view)
{
    WriteMessage(render, [&](const store::MessageIndexEntry& m) { render.WriteInt(m.Number()); });
}

void ValueDate(TemplateRender& render, std::string_view)
{
    WriteMessage(render, [&](const store::MessageIndexEntry& m) {
        if (m.Date() == 0) {
            render.WritePlain("[");
            render.WriteEscaped(Message(render, kMsgNoDate));
            render.WritePlain("]");
            return;
        }
        const bool list = render.Context().View() == kViewList;
        const char* key = list ? "ListDateFormat" : "MessageDateFormat";
        const std::string& format = render.PageSetting(key, [&] {
            const char* standard = list ? "%m/%d %H:%M" : "%x %X";
            std::string text = ReadIniString("General", key, standard);
            // The default form is the US one: a page in another language shows the form of its language instead,
            // while an administrator's own form holds for every language.
            if (text == standard) {
                const std::string& own = render.Context().Templates().DateForm(
                        list ? kListDateFormNumber : kMessageDateFormNumber, render.Context().Language());
                if (!own.empty()) {
                    text = own;
                }
            }
            text.resize(std::min(text.size(), kMaxDateFormat));
            return text;
        });
        const auto when = static_cast<time_t>(m.Date());
        struct tm local {};
        char text[kMaxDateText + 1];
        if (localtime_r(&when, &local) == nullptr) {
            return;
        }
        // The format is the administrator's and strftime reads no arguments, so any text is safe as a format.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        const std::size_t length = std::strftime(text, sizeof text, format.c_str(), &local);
#pragma GCC diagnostic pop
        render.WriteEscaped(std::string_view(text, length));
    });
}

// An address as the List page shows it by the user's ListShowByAddress: 0 the display name, 1 the address, other
// values the whole text; cut to kMaxShownAddress bytes.
std::string ShownAddress(TemplateRender& render, std::string_view address)
{
    std::string text(address.substr(0, kMaxShownAddress));
    const long long mode = render.PageNumber(
            "ListShowByAddress", [&] { return GetUserInt("ListShowByAddress", render.Session()->Settings()); });
    if (mode == 0) {
        ExtractDisplayName(text.data());
    } else if (mode == 1) {
        ExtractAddress(text.data());
    }
    text.resize(std::strlen(text.c_str()));
    return text;
}

void WriteListAddress(TemplateRender& render, std::string_view address)
{
    const std::string shown = ShownAddress(render, address);
    if (shown.empty()) {
        render.WritePlain("&nbsp;");
    } else {
        render.WriteMailText(shown);
    }
}

void ValueFrom(TemplateRender& render, std::string_view)
{
    if (IsComposeView(render)) {
        WriteComposeField(render, "FROM");
        return;
    }
    WriteMessage(render, [&](const store::MessageIndexEntry& m) {
        if (render.Context().View() == kViewList) {
            WriteListAddress(render, ShowsRecipients(render) ? m.To() : m.From());
        } else {
            render.WriteMailText(m.From());
        }
    });
}

void ValueFromAddressUrl(TemplateRender& render, std::string_view)
{
    if (render.Context().View() != kViewList) {
        return;
    }
    WriteMessage(render, [&](const store::MessageIndexEntry& m) {
        const std::string shown = ShownAddress(render, ShowsRecipients(render) ? m.To() : m.From());
        if (shown.empty()) {
            render.WritePlain("&nbsp;");
        } else {
            render.WriteUrl(shown);
        }
    });
}

void ValueTo(TemplateRender& render, std::string_view)
{
    if (IsComposeView(render)) {
        WriteComposeField(render, "TO");
        return;
    }
    WriteMessage(render, [&](const store::MessageIndexEntry& m) {
        if (render.Context().View() == kViewList) {
            WriteListAddress(render, m.To());
        } else {
            render.WriteMailText(m.To());
        }
    });
}

void ValueSubject(TemplateRender& render, std::string_view)
{
    if (IsComposeView(render)) {
        WriteComposeField(render, "SUBJECT");
        return;
    }
    WriteMessage(render, [&](const store::MessageIndexEntry& m) {
        if (m.Subject().find_first_not_of(" \t\r\n") == std::string::npos) {
            render.WritePlain("[");
            render.WriteEscaped(Message(render, kMsgNoSubject));
            render.WritePlain("]");
        } else {
            render.WriteMailText(m.Subject());
        }
    });
}

void ValueSize(TemplateRender& render, std::string_view)
{
    WriteMessage(render, [&](const store::MessageIndexEntry& m) { render.WriteInt(KiloBytes(m.Size())); });
}

// The colour of the message's own account; a message of an account that is gone, or of none, is "Style1" (never
// the default account's colour).
void ValueMessageColor(TemplateRender& render, std::string_view)
{
    WriteMessage(render, [&](const store::MessageIndexEntry& m) {
        const store::MailHostList& accounts = render.Session()->User().MailHosts();
        const store::MailHostAccount* account = m.Mailbox().empty() ? nullptr : accounts.Find(m.Mailbox());
        render.WriteEscapedRaw(account != nullptr ? std::string_view(account->Color()) : std::string_view("Style1"));
    });
}

// A header of the current message's file (ATTN, CC, COMPANY, COVERPAGE), or the request field on compose views.
void WriteHeaderValue(TemplateRender& render, const char* name)
{
    if (IsComposeView(render)) {
        WriteComposeField(render, name);
        return;
    }
    WriteMessage(render, [&](const store::MessageIndexEntry& m) {
        const store::HeaderBlock headers = store::HeaderBlock::ReadFile(m.GetMessagePath().c_str());
        render.WriteMailText(headers.Items().GetValue(name));
    });
}

void ValueAttn(TemplateRender& render, std::string_view)
{
    WriteHeaderValue(render, "ATTN");
}

void ValueCc(TemplateRender& render, std::string_view)
{
    WriteHeaderValue(render, "CC");
}

void ValueCompany(TemplateRender& render, std::string_view)
{
    WriteHeaderValue(render, "COMPANY");
}

void ValueCoverPage(TemplateRender& render, std::string_view)
{
    WriteHeaderValue(render, "COVERPAGE");
}

// The charset parameter of a content type ("" when it has none).
std::string CharsetOf(std::string_view contentType)
{
    std::string lower(contentType);
    for (char& c : lower) {
        c = FoldCase(c);
    }
    const std::size_t at = lower.find("charset=");
    if (at == std::string::npos) {
        return {};
    }
    std::string_view value = std::string_view(contentType).substr(at + 8);
    if (!value.empty() && value.front() == '"') {
        value.remove_prefix(1);
    }
    value = value.substr(0, value.find_first_of("\"; \t"));
    return std::string(value);
}

// The body rendered by the store's renderer in display mode, part by part, each converted from its own character
// set to the page's.
void RenderBody(TemplateRender& render, store::MessageIndexEntry& message)
{
    PageSession& session = *render.Session();
    store::RenderContext request;
    request.SessionId = session.Id();
    request.Language = render.Context().Language();
    request.ScriptName = Env(render, "SCRIPT_NAME");
    request.SessionTempDir = session.TempDir();
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    if (out == nullptr) {
        return;
    }
    std::size_t written = 0;
    {
        store::BodyRenderer renderer(out, message.GetMessagePath().c_str(), store::RenderMode::Display, &request);
        // Writes what the renderer wrote since the last call, in the page's character set. JIS text comes out of
        // the renderer as Shift-JIS; the vendor set holds the NEC rows too.
        const auto flush = [&](std::string_view charset) {
            (void)std::fflush(out);
            render.WriteMailHtml(std::string_view(buffer + written, size - written),
                                 renderer.ShiftJisWritten() ? std::string_view("CP932") : charset);
            written = size;
        };
        const store::PartIndex* parts =
                message.HasFlag(store::MessageFlag::HasAttachments) ? message.GetPartIndex() : nullptr;
        if (renderer.IsOpen()) {
            if (parts != nullptr) {
                const std::string prefer = GetUserSetting("MultipartPrefer", session.Settings());
                bool first = true;
                for (int i = 0; i < parts->Count(); ++i) {
                    if (parts->IsInlinePart(parts->Item(i), prefer.c_str())) {
                        if (!first) {
                            render.WritePlain("<HR>");
                        }
                        first = false;
                        renderer.RenderPart(parts->Item(i));
                        flush(parts->Item(i).Charset);
                    }
                }
            } else {
                renderer.RenderMessage();
                const store::HeaderBlock headers = store::HeaderBlock::ReadFile(message.GetMessagePath().c_str());
                flush(CharsetOf(headers.Items().GetValue("Content-Type")));
            }
        }
    }
    (void)std::fclose(out);
    std::free(buffer);
}

void ValueBody(TemplateRender& render, std::string_view)
{
    if (IsComposeView(render)) {
        // The compose text goes inside a TEXTAREA: escaped, so that it cannot end the element. A text too large to
        // edit is not shown (the page offers no text box for it).
        auto text = platform::ReadWholeFile(platform::PathJoin(render.Session()->TempDir(), kComposeBodyFile),
                                            kMaxEditableComposeText);
        if (text) {
            render.WriteEscapedRaw(*text);
        }
        return;
    }
    WriteMessage(render, [&](store::MessageIndexEntry& m) {
        if (!m.HasFlag(store::MessageFlag::Stored)) {
            render.WritePlain("<CENTER><STRONG>");
            render.WritePlain(Message(render, kMsgNotStored));
            render.WritePlain("</STRONG></CENTER><BR>");
            return;
        }
        RenderBody(render, m);
    });
}

// Writes what part gives of the part at the list index of the current message's part index.
template <class Part>
void WriteAttachment(TemplateRender& render, Part part)
{
    store::MessageIndexEntry* message = Current(render);
    const store::PartIndex* parts = message != nullptr ? message->GetPartIndex() : nullptr;
    const int i = render.ListIndex();
    if (parts != nullptr && i >= 0 && i < parts->Count()) {
        part(*parts, parts->Item(i));
    }
}

void ValueAttachFile(TemplateRender& render, std::string_view)
{
    WriteAttachment(render,
                    [&](const store::PartIndex&, const store::PartIndexEntry& p) { render.WriteMailText(p.FileName); });
}

void ValueAttachType(TemplateRender& render, std::string_view)
{
    WriteAttachment(render, [&](const store::PartIndex&, const store::PartIndexEntry& p) {
        render.WriteEscaped(p.ContentType);
    });
}

void WritePartNumber(TemplateRender& render, const store::PartIndexEntry& p)
{
    render.WriteInt(p.Part);
    render.WritePlain(".");
    render.WriteInt(p.SubPart);
}

void ValueAttachNum(TemplateRender& render, std::string_view)
{
    WriteAttachment(render,
                    [&](const store::PartIndex&, const store::PartIndexEntry& p) { WritePartNumber(render, p); });
}

void ValueAttachSize(TemplateRender& render, std::string_view)
{
    WriteAttachment(render, [&](const store::PartIndex&, const store::PartIndexEntry& p) {
        render.WriteInt(KiloBytes(p.Size));
    });
}

void ValueAttachInline(TemplateRender& render, std::string_view)
{
    const std::string prefer = GetUserSetting("MultipartPrefer", render.Session()->Settings());
    WriteAttachment(render, [&](const store::PartIndex& parts, const store::PartIndexEntry& p) {
        if (parts.IsInlinePart(p, prefer.c_str())) {
            render.WritePlain(Message(render, kMsgAttachInline));
        }
    });
}

// SCRIPT_NAME "/" file "?Session=" id: the start of an attachment's address.
void WriteAttachmentBase(TemplateRender& render, const store::PartIndexEntry& p)
{
    render.WriteEscapedRaw(Env(render, "SCRIPT_NAME"));
    render.WritePlain("/");
    render.WriteUrl(p.FileName);
    render.WritePlain("?Session=");
    render.WriteEscapedRaw(render.Session()->Id());
}

void ValueAttachLink(TemplateRender& render, std::string_view)
{
    WriteAttachment(render, [&](const store::PartIndex&, const store::PartIndexEntry& p) {
        WriteAttachmentBase(render, p);
        render.WritePlain("&View=Attachment&Part=");
        WritePartNumber(render, p);
        render.WritePlain("&Filename=");
        render.WriteUrl(p.FileName);
    });
}

void ValueAttachImage(TemplateRender& render, std::string_view)
{
    WriteAttachment(render, [&](const store::PartIndex&, const store::PartIndexEntry& p) {
        if (!StartsWithNoCase(p.ContentType.c_str(), "image")) {
            return;
        }
        const auto address = [&] {
            WriteAttachmentBase(render, p);
            render.WritePlain("&View=Attachment&Filename=");
            render.WriteUrl(p.FileName);
        };
        render.WritePlain("<A HREF=\"");
        address();
        render.WritePlain("\"><IMG BORDER=0 SRC=\"");
        address();
        render.WritePlain("\"></A><BR>\r\n");
    });
}

// ---- compose ----

// The names of the files attached to the message being written: the session's temporary directory without the
// dot files (the compose state's own).
std::vector<std::string> ComposeFiles(TemplateRender& render)
{
    std::vector<std::string> names;
    const std::string& dir = render.Session()->TempDir();
    if (dir.empty()) {
        return names;
    }
    auto entries = platform::ListDirectory(dir);
    if (!entries) {
        return names;
    }
    for (const platform::DirEntry& entry : *entries) {
        if (!entry.Name.empty() && entry.Name.front() != '.' && entry.Type != platform::EntryType::Directory) {
            names.push_back(entry.Name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

void ValueAttachmentCount(TemplateRender& render, std::string_view)
{
    const std::size_t count = ComposeFiles(render).size();
    if (count == 0) {
        return;
    }
    render.WritePlain("(");
    render.WriteInt(static_cast<long long>(count));
    render.WritePlain(" ");
    render.WriteEscaped(Message(render, count == 1 ? kMsgFileOne : kMsgFileMany));
    render.WritePlain(")");
}

void ValueAttachmentList(TemplateRender& render, std::string_view)
{
    const std::vector<std::string> names = ComposeFiles(render);
    if (names.empty()) {
        render.WritePlain("<OPTION> &nbsp; &nbsp; &nbsp; &nbsp;</OPTION>\r\n");
        return;
    }
    for (const std::string& name : names) {
        render.WritePlain("<OPTION>");
        render.WriteEscaped(name);
        render.WritePlain("</OPTION>\r\n");
    }
}

void ValueBcc(TemplateRender& render, std::string_view)
{
    if (IsComposeView(render)) {
        WriteComposeField(render, "BCC");
    }
}

void ValueReplyTo(TemplateRender& render, std::string_view)
{
    if (IsComposeView(render)) {
        WriteComposeField(render, "REPLY-TO");
    }
}

void WriteOneWhenSet(TemplateRender& render, const char* name)
{
    if (!Field(render, name).empty()) {
        render.WritePlain("1");
    }
}

void ValueComposeUrgent(TemplateRender& render, std::string_view)
{
    WriteOneWhenSet(render, "COMPOSEURGENT");
}

void ValueConfirmDelivery(TemplateRender& render, std::string_view)
{
    WriteOneWhenSet(render, "CONFIRMDELIVERY");
}

void ValueConfirmRead(TemplateRender& render, std::string_view)
{
    WriteOneWhenSet(render, "CONFIRMREAD");
}

// The account the compose page writes from: the one named by the request field Mailbox (ASCII case ignored), else
// the first default account, else the first; -1 without accounts.
int ComposeAccount(TemplateRender& render)
{
    const store::MailHostList& accounts = render.Session()->User().MailHosts();
    const std::string_view named = Field(render, "Mailbox");
    int fallback = -1;
    for (int i = 0; i < accounts.Count(); ++i) {
        if (!named.empty() && EqualsNoCase(accounts.Item(i).Mailbox(), named)) {
            return i;
        }
        if (fallback < 0 && accounts.Item(i).Default()) {
            fallback = i;
        }
    }
    return fallback >= 0 ? fallback : (accounts.Count() > 0 ? 0 : -1);
}

void ValueFromSelect(TemplateRender& render, std::string_view)
{
    const store::MailHostList& accounts = render.Session()->User().MailHosts();
    const int chosen = ComposeAccount(render);
    for (int i = 0; i < accounts.Count(); ++i) {
        const store::MailHostAccount& account = accounts.Item(i);
        render.WritePlain(i == chosen ? "<OPTION SELECTED VALUE=\"" : "<OPTION VALUE=\"");
        render.WriteInt(i);
        render.WritePlain("\">");
        std::string text;
        if (!account.FullName().empty()) {
            text = "\"" + account.FullName() + "\" ";
        }
        text += "<" + account.EMail() + ">";
        render.WriteMailText(text);
        render.WritePlain("</OPTION>\r\n");
    }
}

// Calls f(line) for the lines of an account's signature file (each cut to kMaxSignatureLine bytes).
template <class F>
void ForEachSignatureLine(TemplateRender& render, const store::MailHostAccount& account, F&& f)
{
    const std::optional<std::string> path = store::MailboxFilePath(render.Session()->User().UserDir(),
                                                                   account.Mailbox(), store::MailboxFile::Signature);
    if (!path) {
        return;
    }
    auto text = platform::ReadWholeFile(*path, kMaxSignatureBytes);
    if (!text) {
        return;
    }
    ForEachLine(*text, [&](std::string_view line) { f(line.substr(0, kMaxSignatureLine)); });
}

void ValueSigArray(TemplateRender& render, std::string_view)
{
    const store::MailHostList& accounts = render.Session()->User().MailHosts();
    for (int i = 0; i < accounts.Count(); ++i) {
        render.WritePlain(i == 0 ? "\"" : ", \"");
        ForEachSignatureLine(render, accounts.Item(i), [&](std::string_view line) {
            render.WriteJs(line, kMaxSignatureLine);
            render.WritePlain("\\r\\n");
        });
        render.WritePlain("\"");
    }
}

void ValueSpellCheckLang(TemplateRender& render, std::string_view)
{
    const std::string_view field = Field(render, "SpellLanguage");
    render.WriteEscapedRaw(field.empty() ? std::string_view(render.Context().Language()) : field);
}

// The compose text with a suggestion list for every misspelled word.
void ValueSpellBody(TemplateRender& render, std::string_view)
{
    PageContext& request = render.Context();
    (void)SpellCheckBody(request, SpellPageLanguage(request), SpellMode::Render);
}

// ---- address book, dictionary and filters ----

template <class Part>
void WriteAddressEntry(TemplateRender& render, Part part)
{
    const store::AddressBook& book = render.Session()->User().AddrBook();
    const int i = render.ListIndex();
    if (i >= 0 && i < book.Count()) {
        part(book.Item(i));
    }
}

void ValueAddrName(TemplateRender& render, std::string_view)
{
    WriteAddressEntry(render, [&](const store::AddressBookEntry& e) { render.WriteMailText(e.Name); });
}

void ValueAddrEmail(TemplateRender& render, std::string_view)
{
    WriteAddressEntry(render, [&](const store::AddressBookEntry& e) { render.WriteMailText(e.EMail); });
}

void ValueAddrComment(TemplateRender& render, std::string_view)
{
    WriteAddressEntry(render, [&](const store::AddressBookEntry& e) { render.WriteMailText(e.Comment); });
}

void ValueAddrNum(TemplateRender& render, std::string_view)
{
    render.WriteInt(static_cast<long long>(render.ListIndex()) + 1);
}

void ValueDictionary(TemplateRender& render, std::string_view)
{
    auto text = platform::ReadWholeFile(DictionaryPathIn(render.Session()->User().UserDir()), kMaxDictionaryFile);
    if (!text) {
        return;
    }
    std::vector<std::string_view> words;
    ForEachLine(*text, [&](std::string_view line) {
        if (!line.empty()) {
            words.push_back(line);
        }
    });
    std::stable_sort(words.begin(), words.end(), [](std::string_view a, std::string_view b) {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                            [](char x, char y) { return FoldCase(x) < FoldCase(y); });
    });
    for (const std::string_view word : words) {
        render.WriteEscaped(word);
        render.WritePlain("\r\n");
    }
}

const store::FilterRule* FilterAt(TemplateRender& render)
{
    const store::FilterList& filters = render.Session()->User().Filters();
    const int i = render.ListIndex();
    return i >= 0 && i < filters.Count() ? &filters.Item(i) : nullptr;
}

void ValueFilterEnable(TemplateRender& render, std::string_view)
{
    const store::FilterRule* rule = FilterAt(render);
    render.WritePlain(rule == nullptr || rule->Active ? "1" : "0");
}

void ValueFilterWhat(TemplateRender& render, std::string_view)
{
    if (const store::FilterRule* rule = FilterAt(render)) {
        render.WriteEscapedRaw(std::string_view(&rule->Header, 1));
    }
}

void ValueFilterMatch(TemplateRender& render, std::string_view)
{
    if (const store::FilterRule* rule = FilterAt(render)) {
        render.WriteEscapedRaw(std::string_view(&rule->Operator, 1));
    }
}

void ValueFilterLiteral(TemplateRender& render, std::string_view)
{
    if (const store::FilterRule* rule = FilterAt(render)) {
        render.WriteEscaped(rule->Text);
    }
}

void ValueFilterFolder(TemplateRender& render, std::string_view)
{
    if (const store::FilterRule* rule = FilterAt(render)) {
        render.WriteEscaped(rule->Folder);
    }
}

void ValueFilterName(TemplateRender& render, std::string_view)
{
    render.WritePlain(Message(render, kMsgFilterName));
    const store::FilterRule* rule = FilterAt(render);
    render.WriteInt(rule != nullptr ? static_cast<long long>(render.ListIndex()) + 1
                                    : static_cast<long long>(render.Session()->User().Filters().Count()) + 1);
}

void ValueFilterNum(TemplateRender& render, std::string_view)
{
    render.WriteInt(FilterAt(render) != nullptr ? static_cast<long long>(render.ListIndex()) + 1 : 0);
}

// ---- mail accounts: the account at the list index ----

const store::MailHostAccount* AccountAt(TemplateRender& render)
{
    const store::MailHostList& accounts = render.Session()->User().MailHosts();
    const int i = render.ListIndex();
    return i >= 0 && i < accounts.Count() ? &accounts.Item(i) : nullptr;
}

template <class Part>
void WriteAccount(TemplateRender& render, Part part)
{
    if (const store::MailHostAccount* account = AccountAt(render)) {
        part(*account);
    }
}

void ValueMailbox(TemplateRender& render, std::string_view)
{
    if (IsComposeView(render)) {
        render.WriteInt(std::max(ComposeAccount(render), 0));
        return;
    }
    WriteAccount(render, [&](const store::MailHostAccount& a) { render.WriteEscaped(a.Mailbox()); });
}

void ValueMailboxUrl(TemplateRender& render, std::string_view)
{
    if (IsComposeView(render)) {
        render.WriteInt(std::max(ComposeAccount(render), 0));
        return;
    }
    WriteAccount(render, [&](const store::MailHostAccount& a) { render.WriteUrl(a.Mailbox()); });
}

void ValueMailboxNumber(TemplateRender& render, std::string_view)
{
    render.WriteInt(render.ListIndex());
}

void ValueMailNum(TemplateRender& render, std::string_view)
{
    render.WriteInt(AccountAt(render) != nullptr ? static_cast<long long>(render.ListIndex()) + 1 : 0);
}

void ValueMailName(TemplateRender& render, std::string_view)
{
    WriteAccount(render, [&](const store::MailHostAccount& a) { render.WriteMailText(a.FullName()); });
}

void ValueMailEmail(TemplateRender& render, std::string_view)
{
    WriteAccount(render, [&](const store::MailHostAccount& a) { render.WriteEscaped(a.EMail()); });
}

void ValueMailUser(TemplateRender& render, std::string_view)
{
    WriteAccount(render, [&](const store::MailHostAccount& a) { render.WriteEscaped(a.User()); });
}

void ValueMailPass(TemplateRender& render, std::string_view)
{
    WriteAccount(render, [&](const store::MailHostAccount& a) { render.WriteEscaped(a.Pass()); });
}

void ValueMailHost(TemplateRender& render, std::string_view)
{
    if (const store::MailHostAccount* account = AccountAt(render)) {
        render.WriteEscaped(account->Host());
        return;
    }
    render.WriteEscaped(Cut(GetDomainSetting("MailHost", render.Context().Domain()), kMaxMailHost));
}

void ValueMailPort(TemplateRender& render, std::string_view)
{
    if (const store::MailHostAccount* account = AccountAt(render)) {
        render.WriteInt(account->Port());
        return;
    }
    render.WriteInt(ParseDecimalInt(GetDomainSetting("PopPort", render.Context().Domain())));
}

void ValueMailColor(TemplateRender& render, std::string_view)
{
    WriteAccount(render, [&](const store::MailHostAccount& a) { render.WriteEscapedRaw(a.Color()); });
}

void ValueMailActive(TemplateRender& render, std::string_view)
{
    const store::MailHostAccount* account = AccountAt(render);
    render.WritePlain(account == nullptr || account->Active() ? "1" : "0");
}

void ValueMailDefault(TemplateRender& render, std::string_view)
{
    const store::MailHostAccount* account = AccountAt(render);
    render.WritePlain(account != nullptr && account->Default() ? "1" : "0");
}

void ValueMailDelete(TemplateRender& render, std::string_view)
{
    WriteAccount(render, [&](const store::MailHostAccount& a) { render.WriteInt(a.Delete()); });
}

void ValueMailSig(TemplateRender& render, std::string_view)
{
    WriteAccount(render, [&](const store::MailHostAccount& a) {
        ForEachSignatureLine(render, a, [&](std::string_view line) {
            render.WriteEscaped(line);
            render.WritePlain("\r\n");
        });
    });
}

// ---- the companion's web configuration ----

constexpr std::size_t kMaxCgiBase = 63;

// The companion's "Tessera/Tessera.ini": [Directories] CorvidAppDir with a separator added when it lacks one, cut
// at its last separator twice; nullopt without the companion library or the file.
std::optional<std::string> TesseraIniPath()
{
    if (store::LoadedCVUser() == nullptr) {
        return std::nullopt;
    }
    std::string dir = platform::NativePath(ReadIniString("Directories", "CorvidAppDir", ""));
    if (dir.empty() || dir.back() != '/') {
        dir += '/';
    }
    for (int cut = 0; cut < 2; ++cut) {
        const std::size_t separator = platform::LastSeparator(dir);
        if (separator == std::string::npos) {
            return std::nullopt;
        }
        dir.resize(separator);
    }
    return platform::ResolvePathNoCase(dir.empty() ? std::string("/") : dir, "Tessera/Tessera.ini");
}

// A link that hands the session over to the companion's web configuration, which finds the user in its
// Sessions.ini under the session id.
void ValueTesseraUrl(TemplateRender& render, std::string_view)
{
    const std::optional<std::string> ini = TesseraIniPath();
    if (!ini) {
        return;
    }
    PageSession& session = *render.Session();
    std::string base = ReadIniStringFile("WebServer", "CgiBase1", "/Tessera.cgi", *ini);
    base.resize(std::min(base.size(), kMaxCgiBase));
    render.WritePlain("http://");
    render.WriteEscapedRaw(Env(render, "SERVER_NAME"));
    render.WritePlain(":");
    render.WriteInt(ReadIniIntFile("WebServer", "Port", 3001, *ini));
    render.WriteEscapedRaw(base);
    render.WritePlain("?Session=");
    render.WriteEscapedRaw(session.Id());
    render.WritePlain("&View=EditUser");
    const std::pair<std::string, std::string> values[] = {
            {"EMail", session.UserName()},
            {"LastAccess", std::to_string(static_cast<long long>(std::time(nullptr)))},
    };
    (void)platform::IniReplaceSection(platform::PathJoin(platform::ParentDirectory(*ini), "Sessions.ini"), session.Id(),
                                      values);
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

void WriteHiddenField(TemplateRender& render, std::string_view name, std::string_view value)
{
    render.WritePlain("<input type=\"hidden\" name=\"");
    render.WritePlain(name);
    render.WritePlain("\" value=\"");
    render.WriteEscapedRaw(value);
    render.WritePlain("\">\r\n");
}

// The attachment and spelling pages carry the compose as hidden inputs too, from the compose files: when the
// session has ended by the time they are posted, the Logon page carries it on. A text too large to edit is not
// carried (and nothing then stands for it).
void WriteComposeCarriedBySubPage(TemplateRender& render)
{
    PageSession& session = *render.Session();
    if (!IsComposeTextEditable(session.TempDir())) {
        return;
    }
    auto text =
            platform::ReadWholeFile(platform::PathJoin(session.TempDir(), kComposeBodyFile), kMaxEditableComposeText);
    if (!text || TrimmedView(*text).empty()) {
        return;
    }
    const NameValueList& fields = render.Context().Input().Variables();
    WriteHiddenField(render, kCarriedUserField, session.UserName());
    for (const char* name : kCarriedComposeFields) {
        // The spelling page has its own language list.
        const bool own = render.Context().View() == kViewComposeSpellCheck && EqualsNoCase(name, "SpellLanguage");
        if (EqualsNoCase(name, "Body")) {
            WriteHiddenField(render, name, *text);
        } else if (!own && !fields.IsEmpty(name)) {
            WriteHiddenField(render, name, fields.GetValue(name));
        }
    }
}

// The Logon page of a compose whose session ended: the compose fields as hidden inputs, so that the logon that
// follows keeps them as a draft. On the attachment and spelling pages: the compose of the session.
void ValueCarriedCompose(TemplateRender& render, std::string_view)
{
    const int view = render.Context().View();
    if (render.Session() != nullptr && (view == kViewComposeAttach || view == kViewComposeSpellCheck)) {
        WriteComposeCarriedBySubPage(render);
        return;
    }
    const NameValueList& fields = render.Context().Input().Variables();
    if (fields.IsEmpty(kCarriedUserField) || fields.IsBlank("Body")) {
        return;
    }
    WriteHiddenField(render, kCarriedUserField, fields.GetValue(kCarriedUserField));
    for (const char* name : kCarriedComposeFields) {
        if (fields.Contains(name)) {
            WriteHiddenField(render, name, fields.GetValue(name));
        }
    }
}

constexpr ValueEntry kSessionValues[] = {
        {"USER:", ValueUserSetting, NameMatch::Prefix},
        {"DOMAIN:", ValueDomain, NameMatch::Prefix},
        {"CGI:", ValueCgi, NameMatch::Prefix},
        {"ACTION", ValueAction},
        {"CARRIEDCOMPOSE", ValueCarriedCompose},
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
        {"MSGCOUNT", ValueMsgCount},
        {"UNREADCOUNT", ValueUnreadCount},
        {"ALLUNREADCOUNTS", ValueAllUnreadCounts},
        {"LISTCURRENTPAGE", ValueListCurrentPage},
        {"LISTTOTALPAGES", ValueListTotalPages},
        {"LISTFIRSTPAGE", ValueListFirstPage},
        {"LISTLASTPAGE", ValueListLastPage},
        {"LISTNEXTPAGE", ValueListNextPage},
        {"LISTPREVPAGE", ValueListPrevPage},
        {"WHO", ValueWho},
        {"COLORLEGEND", ValueColorLegend},
        {"NUMBER", ValueNumber},
        {"DATE", ValueDate},
        {"FROM", ValueFrom},
        {"FROMADDRESS,URL", ValueFromAddressUrl},
        {"TO", ValueTo},
        {"SUBJECT", ValueSubject},
        {"SIZE", ValueSize},
        {"MESSAGECOLOR", ValueMessageColor},
        {"MESSAGESTYLE", ValueMessageColor},
        {"ATTN", ValueAttn},
        {"CC", ValueCc},
        {"COMPANY", ValueCompany},
        {"COVERPAGE", ValueCoverPage},
        {"BODY", ValueBody},
        {"ATTACHFILE", ValueAttachFile},
        {"ATTACHTYPE", ValueAttachType},
        {"ATTACHNUM", ValueAttachNum},
        {"ATTACHSIZE", ValueAttachSize},
        {"ATTACHINLINE", ValueAttachInline},
        {"ATTACHLINK", ValueAttachLink},
        {"ATTACHIMAGE", ValueAttachImage},
        {"ATTACHMENTCOUNT", ValueAttachmentCount},
        {"ATTACHMENTLIST", ValueAttachmentList},
        {"BCC", ValueBcc},
        {"REPLY-TO", ValueReplyTo},
        {"COMPOSEURGENT", ValueComposeUrgent},
        {"CONFIRMDELIVERY", ValueConfirmDelivery},
        {"CONFIRMREAD", ValueConfirmRead},
        {"FROMSELECT", ValueFromSelect},
        {"SIGARRAY", ValueSigArray},
        {"SPELLCHECKLANG", ValueSpellCheckLang},
        {"SPELLBODY", ValueSpellBody},
        {"ADDRNAME", ValueAddrName},
        {"ADDREMAIL", ValueAddrEmail},
        {"ADDRCOMMENT", ValueAddrComment},
        {"ADDRNUM", ValueAddrNum},
        {"PREFS_DICTIONARY", ValueDictionary},
        {"FILTERENABLE", ValueFilterEnable},
        {"FILTERWHAT", ValueFilterWhat},
        {"FILTERMATCH", ValueFilterMatch},
        {"FILTERLITERAL", ValueFilterLiteral},
        {"FILTERFOLDER", ValueFilterFolder},
        {"FILTERNAME", ValueFilterName},
        {"FILTERNUM", ValueFilterNum},
        {"MAILBOX", ValueMailbox},
        {"MAILBOX,URL", ValueMailboxUrl},
        {"MAILBOXNUMBER", ValueMailboxNumber},
        {"MAILNUM", ValueMailNum},
        {"MAILNAME", ValueMailName},
        {"MAILEMAIL", ValueMailEmail},
        {"MAILUSER", ValueMailUser},
        {"MAILPASS", ValueMailPass},
        {"MAILHOST", ValueMailHost},
        {"MAILPORT", ValueMailPort},
        {"MAILCOLOR", ValueMailColor},
        {"MAILACTIVE", ValueMailActive},
        {"MAILDEFAULT", ValueMailDefault},
        {"MAILDELETE", ValueMailDelete},
        {"MAILSIG", ValueMailSig},
        {"TESSERAURL", ValueTesseraUrl},
};

constexpr ValueEntry kSessionlessValues[] = {
        {"DOMAIN:", ValueDomain, NameMatch::Prefix},
        {"CGI:", ValueCgi, NameMatch::Prefix},
        {"ACTION", ValueSessionlessAction},
        {"CARRIEDCOMPOSE", ValueCarriedCompose},
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
