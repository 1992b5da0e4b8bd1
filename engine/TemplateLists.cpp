// The list vocabulary of "<$FOREACH ...$>": what each list iterates over and how its body sees an item. Lists that
// need the session render nothing without one.
#include "common/CgiInput.h"
#include "common/IniAccess.h"
#include "common/IniCache.h"
#include "common/StringUtil.h"
#include "engine/DomainSettings.h"
#include "engine/Engine.h"
#include "engine/EngineMessages.h"
#include "engine/LanguagesFile.h"
#include "engine/LdapLibrary.h"
#include "engine/PageChoice.h"
#include "engine/TemplateCache.h"
#include "engine/TemplateRender.h"
#include "engine/TemplateVocabulary.h"
#include "platform/FileSystem.h"
#include "platform/IniFile.h"
#include "platform/Path.h"
#include "store/AddressBook.h"
#include "store/FilterList.h"
#include "store/FolderList.h"
#include "store/MailHostList.h"
#include "store/MessageIndex.h"
#include "store/PartIndex.h"

#include <lber.h>

#include <algorithm>
#include <string>

namespace qm::engine {
namespace {

// Longest section name that LANGUAGE gives as a value.
constexpr std::size_t kMaxLanguageSection = 15;

std::string UpToFirstDot(const std::string& name)
{
    return name.substr(0, name.find('.'));
}

bool IsDirectoryEntry(const std::string& dir, const platform::DirEntry& entry)
{
    return entry.Type == platform::EntryType::Directory ||
           (entry.Type == platform::EntryType::Symlink && platform::IsDirectory(platform::PathJoin(dir, entry.Name)));
}

bool IsFileEntry(const std::string& dir, const platform::DirEntry& entry)
{
    return entry.Type == platform::EntryType::File ||
           (entry.Type == platform::EntryType::Symlink && platform::IsRegularFile(platform::PathJoin(dir, entry.Name)));
}

// Calls f(section, name) for every line of Languages.ini numbered 1 (the language's own name), in file order.
template <class F>
void ForEachLanguageName(TemplateRender& render, F&& f)
{
    const TextSnapshot text = LoadTextCached(LanguagesIniPath(render.Context().Templates().TemplateDir()));
    std::string_view section;
    bool inSection = false;
    ForEachLine(*text, [&](std::string_view line) {
        if (!line.empty() && line.front() == '[') {
            section = line.substr(1);
            section = section.substr(0, std::min(section.find(']'), kMaxLanguageSection));
            inSection = true;
            return;
        }
        const LanguageLine entry = ClassifyLanguageLine(line);
        if (inSection && entry.Kind == LanguageLineKind::Entry && entry.Number == 1) {
            f(section, entry.Text);
        }
    });
}

void ListLanguages(TemplateRender& render, const ListBody& body)
{
    ForEachLanguageName(render, [&](std::string_view code, std::string_view name) {
        render.RenderItem(body, Placeholders().Set(Placeholder::Value, code).Set(Placeholder::Name, name));
    });
}

// Languages with a spelling word list "<SpellDir>/Common.<code>" ("fc", Canadian French, uses the "fr" list).
void ListSpellCheckLanguages(TemplateRender& render, const ListBody& body)
{
    const std::string spellDir =
            ReadIniString("Directories", "SpellDir", platform::PathJoin(InstallDir(), "SpellCheck"));
    ForEachLanguageName(render, [&](std::string_view code, std::string_view name) {
        std::string file = "Common.";
        file += platform::EqualsNoCase(code, "fc") ? std::string_view("fr") : code;
        if (platform::IsSafeName(file) && platform::ResolveNoCase(spellDir, file)) {
            render.RenderItem(body, Placeholders().Set(Placeholder::Value, code).Set(Placeholder::Name, name));
        }
    });
}

void ListStyles(TemplateRender& render, const ListBody& body)
{
    if (!platform::IsSafeName(render.Context().Theme())) {
        return;
    }
    const std::string themeDir = platform::PathJoin(HtmlDirectory(), render.Context().Theme());
    auto entries = platform::ListDirectory(themeDir, "*.css");
    if (!entries) {
        return;
    }
    for (const platform::DirEntry& entry : *entries) {
        if (IsFileEntry(themeDir, entry)) {
            const std::string name = UpToFirstDot(entry.Name);
            render.RenderItem(body, Placeholders().Set(Placeholder::Name, name));
        }
    }
}

void ListThemes(TemplateRender& render, const ListBody& body)
{
    const std::string& templateDir = render.Context().Templates().TemplateDir();
    auto entries = platform::ListDirectory(templateDir);
    if (!entries) {
        return;
    }
    for (const platform::DirEntry& entry : *entries) {
        if (IsDirectoryEntry(templateDir, entry)) {
            render.RenderItem(body, Placeholders().Set(Placeholder::Name, entry.Name));
        }
    }
}

// Every folder of the user, each selected while the body renders; the selection is restored after.
void ListFolders(TemplateRender& render, const ListBody& body)
{
    store::FolderList& folders = render.Session()->User().Folders();
    folders.SetLanguage(render.Context().Language()); // display names in the page's language
    const int selected = folders.SelectedIndex();
    for (int i = 0; i < folders.Count(); ++i) {
        folders.SetSelectedIndex(i);
        render.RenderItem(body);
    }
    folders.SetSelectedIndex(selected);
}

// The body once for each level the selected folder lies below the top (for indenting).
void ListFolderDepth(TemplateRender& render, const ListBody& body)
{
    const store::FolderEntry* folder = render.Session()->User().Folders().GetSelected();
    for (int level = 0; folder != nullptr && level < folder->GetDepth(); ++level) {
        render.RenderItem(body);
    }
}

// Keeps the list index of the values while a list moves it, and puts it back after.
class ListIndexScope {
public:
    explicit ListIndexScope(TemplateRender& render)
        : m_render(render)
        , m_saved(render.ListIndex())
    {}

    ListIndexScope(const ListIndexScope&) = delete;
    ListIndexScope& operator=(const ListIndexScope&) = delete;

    ~ListIndexScope() { m_render.SetListIndex(m_saved); }

private:
    TemplateRender& m_render;
    int m_saved;
};

// Messages per List page: the user's ListPerPage; 1 to 4 give 5, 0 or less list every message.
int MessagesPerPage(TemplateRender& render)
{
    const int perPage = GetUserInt("ListPerPage", render.Session()->Settings());
    if (perPage <= 0) {
        return 0;
    }
    return perPage < 5 ? 5 : perPage;
}

// The visible messages of the index's current page, each the current message while the body renders; the current
// message of before the list is restored after it.
void ListMessages(TemplateRender& render, const ListBody& body)
{
    PageSession& session = *render.Session();
    Result<store::MessageIndex*> found = session.User().Index();
    if (!found) {
        return;
    }
    store::MessageIndex& index = **found;
    const int perPage = MessagesPerPage(render);
    int i = index.FirstVisible();
    if (perPage > 0) {
        const long long skip = (static_cast<long long>(std::max(index.CurrentPage(), 1)) - 1) * perPage;
        for (long long n = 0; n < skip && i >= 0; ++n) {
            i = index.NextVisible(i);
        }
    }
    store::MessageIndexEntry* const saved = session.CurrentMessage();
    for (int shown = 0; i >= 0 && (perPage <= 0 || shown < perPage); ++shown, i = index.NextVisible(i)) {
        session.SetCurrentMessage(index.Entry(i));
        render.RenderItem(body);
    }
    session.SetCurrentMessage(saved);
}

// The parts of the current message that are listed as attachments: every part with ListAllAttach, else those that
// the Message page does not show inline.
void ListAttachments(TemplateRender& render, const ListBody& body)
{
    PageSession& session = *render.Session();
    store::MessageIndexEntry* message = session.CurrentMessage();
    if (message == nullptr || !message->HasFlag(store::MessageFlag::HasAttachments)) {
        return;
    }
    const store::PartIndex* parts = message->GetPartIndex();
    if (parts == nullptr) {
        return;
    }
    const bool all = GetUserBool("ListAllAttach", session.Settings());
    const std::string prefer = GetUserSetting("MultipartPrefer", session.Settings());
    ListIndexScope scope(render);
    for (int i = 0; i < parts->Count(); ++i) {
        if (all || !parts->IsInlinePart(parts->Item(i), prefer.c_str())) {
            render.SetListIndex(i);
            render.RenderItem(body);
            // A body may have made another message current (a nested MESSAGE list restores it, but be sure).
            if (session.CurrentMessage() != message) {
                return;
            }
        }
    }
}

// The user's address book in the order of the user's AddrBookSortOrder; the list index is the entry number.
void ListAddressBook(TemplateRender& render, const ListBody& body)
{
    store::AddressBook& book = render.Session()->User().AddrBook();
    book.Sort(GetUserSetting("AddrBookSortOrder", render.Session()->Settings()).c_str());
    ListIndexScope scope(render);
    for (int i = 0; i < book.Count(); ++i) {
        render.SetListIndex(i);
        render.RenderItem(body);
    }
}

void ListFilters(TemplateRender& render, const ListBody& body)
{
    store::FilterList& filters = render.Session()->User().Filters();
    ListIndexScope scope(render);
    for (int i = 0; i < filters.Count(); ++i) {
        render.SetListIndex(i);
        render.RenderItem(body);
    }
}

void ListMailAccounts(TemplateRender& render, const ListBody& body)
{
    store::MailHostList& accounts = render.Session()->User().MailHosts();
    ListIndexScope scope(render);
    for (int i = 0; i < accounts.Count(); ++i) {
        render.SetListIndex(i);
        render.RenderItem(body);
    }
}

// Two fixed items, then every folder (selected while it renders) and every mail account (the list index), numbered
// on from 0 through all of them.
void ListItemList(TemplateRender& render, const ListBody& body)
{
    int number = 0;
    for (; number < 2; ++number) {
        const std::string text = std::to_string(number);
        render.RenderItem(body, Placeholders().Set(Placeholder::Number, text));
    }
    store::FolderList& folders = render.Session()->User().Folders();
    const int selected = folders.SelectedIndex();
    for (int i = 0; i < folders.Count(); ++i, ++number) {
        folders.SetSelectedIndex(i);
        const std::string text = std::to_string(number);
        render.RenderItem(body, Placeholders().Set(Placeholder::Number, text));
    }
    folders.SetSelectedIndex(selected);
    store::MailHostList& accounts = render.Session()->User().MailHosts();
    ListIndexScope scope(render);
    for (int i = 0; i < accounts.Count(); ++i, ++number) {
        render.SetListIndex(i);
        const std::string text = std::to_string(number);
        render.RenderItem(body, Placeholders().Set(Placeholder::Number, text));
    }
}

std::string BaseDirectory()
{
    return ReadIniString("Directories", "BaseDir", InstallDir());
}

std::string AddrLookupIniPath()
{
    return platform::PathJoin(BaseDirectory(), "AddrLookup.ini");
}

// Longest description of a directory of AddrLookup.ini, and of a sort order taken from the request.
constexpr std::size_t kMaxLookupText = 63;
// The section names of AddrLookup.ini are read in one block of this size.
constexpr std::size_t kMaxLookupSections = 4096;

// Calls f(section, description) for the directories of AddrLookup.ini.
template <class F>
void ForEachLookupDirectory(F&& f)
{
    const std::string path = AddrLookupIniPath();
    std::size_t total = 0;
    for (const std::string& section : platform::IniSectionNames(path)) {
        total += section.size() + 1;
        if (total > kMaxLookupSections) {
            break;
        }
        std::string descr = platform::IniRead(path, section, "Descr").value_or(section);
        descr.resize(std::min(descr.size(), kMaxLookupText));
        f(section, descr);
    }
}

void ListAddrLookupSelect(TemplateRender& render, const ListBody& body)
{
    ForEachLookupDirectory([&](const std::string&, const std::string& descr) {
        render.RenderItem(body, Placeholders().Set(Placeholder::Name, descr));
    });
}

bool ContainsNoCase(std::string_view text, std::string_view part)
{
    return std::search(text.begin(), text.end(), part.begin(), part.end(),
                       [](char a, char b) { return FoldCase(a) == FoldCase(b); }) != text.end();
}

// The entries of book whose name or address holds search (ASCII case ignored), or all when search is empty.
void ListBookMatches(TemplateRender& render, const ListBody& body, const store::AddressBook& book,
                     std::string_view search)
{
    for (int i = 0; i < book.Count(); ++i) {
        const store::AddressBookEntry& entry = book.Item(i);
        if (!search.empty() && !ContainsNoCase(entry.Name, search) && !ContainsNoCase(entry.EMail, search)) {
            continue;
        }
        render.RenderItem(body, Placeholders()
                                        .Set(Placeholder::Name, entry.Name)
                                        .Set(Placeholder::Email, entry.EMail)
                                        .Set(Placeholder::Comment, entry.Comment));
    }
}

// Directory look-ups: the client library's option numbers and codes.
constexpr int kLdapOptSizeLimit = 0x0003;
constexpr int kLdapOptTimeLimit = 0x0004;
constexpr int kLdapOptProtocolVersion = 0x0011;
constexpr int kLdapOptNetworkTimeout = 0x5005;
constexpr int kLdapScopeSubtree = 2;
constexpr int kLdapSuccess = 0;
constexpr int kLdapServerDown = -1;
constexpr int kLdapVersion3 = 3;
constexpr int kLdapPort = 389;
// Language messages of the failures, and the waits of a look-up (connecting, and a search without a TimeLimit).
constexpr int kMsgLdapConnect = 71;
constexpr int kMsgLdapLogin = 72;
constexpr int kMsgLdapSearch = 73;
constexpr int kLdapLogConnect = 260;
constexpr int kLdapLogLogin = 261;
constexpr int kLdapLogSearch = 262;
constexpr long kLdapConnectSeconds = 10;
constexpr long kLdapSearchSeconds = 30;
// Most entries a look-up lists, whatever the directory's SizeLimit.
constexpr int kMaxLookupEntries = 1000;

} // namespace

std::string LdapSearchFilter(std::string_view pattern, std::string_view search)
{
    // The search text is a value inside the filter: the bytes that filters give a meaning are escaped, so a
    // search can neither end the filter nor add to it.
    std::string value;
    for (const char c : search) {
        if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0') {
            static constexpr char kHex[] = "0123456789abcdef";
            value += '\\';
            value += kHex[(static_cast<unsigned char>(c) >> 4) & 0xF];
            value += kHex[static_cast<unsigned char>(c) & 0xF];
        } else {
            value += c;
        }
    }
    std::string filter(pattern);
    const std::string_view from = search.empty() ? "*NAME*" : "NAME";
    const std::string_view to = search.empty() ? std::string_view("*") : std::string_view(value);
    for (std::size_t at = filter.find(from); at != std::string::npos; at = filter.find(from, at + to.size())) {
        filter.replace(at, from.size(), to);
    }
    if (filter.size() > kMaxLookupText) {
        // Cut where no escape is split; a filter cut short may be refused by the server, which is reported.
        std::size_t cut = kMaxLookupText;
        const std::size_t escape = filter.rfind('\\', cut);
        if (escape != std::string::npos && escape + 3 > cut) {
            cut = escape;
        }
        filter.resize(cut);
    }
    return filter;
}

namespace {

void ReportLookupFailure(TemplateRender& render, int logMessage, int errorMessage, const std::string& host)
{
    render.Context().Log().LogMsg(3, logMessage, host.c_str());
    SetErrorMessage(render.Context(), LanguageText(render.Context(), errorMessage));
}

// The first value of attribute of entry, cut at a NUL ("" when it has none).
std::string FirstValue(const LdapFunctions& f, ldap* connection, ldapmsg* entry, const std::string& attribute)
{
    berval** values = f.GetValuesLen(connection, entry, attribute.c_str());
    if (values == nullptr) {
        return {};
    }
    std::string text;
    if (values[0] != nullptr && values[0]->bv_val != nullptr) {
        text.assign(values[0]->bv_val, std::min<std::size_t>(values[0]->bv_len, kMaxEchoedText));
        text.resize(std::strlen(text.c_str()));
    }
    f.ValueFreeLen(values);
    return text;
}

// The entries of the directory of AddrLookup.ini whose description is select (ASCII case ignored), found with its
// filter over the whole subtree of its base; an anonymous bind. Without the LDAP library nothing is listed.
void LookUpDirectory(TemplateRender& render, const ListBody& body, std::string_view select, std::string_view search)
{
    const std::shared_ptr<const LdapLibrary> library = LoadedLdap();
    if (library == nullptr) {
        return;
    }
    std::string section;
    ForEachLookupDirectory([&](const std::string& name, const std::string& descr) {
        if (section.empty() && EqualsNoCase(descr, select)) {
            section = name;
        }
    });
    if (section.empty()) {
        return;
    }
    const std::string ini = AddrLookupIniPath();
    const auto read = [&](const char* key, const char* def) {
        std::string text = platform::IniRead(ini, section, key).value_or(def);
        text.resize(std::min(text.size(), kMaxLookupText));
        return text;
    };
    const std::string host = read("Host", "");
    const std::string base = read("Base", "");
    const std::string nameAttr = read("NameAttr", "cn");
    const std::string mailAttr = read("MailAttr", "mail");
    const int timeLimit = std::max(ReadIniIntFile(section, "TimeLimit", 0, ini), 0);
    const int sizeLimit = std::max(ReadIniIntFile(section, "SizeLimit", 0, ini), 0);
    const std::string filter = LdapSearchFilter(read("Filter", "(cn=*NAME*)"), search);

    const LdapFunctions& f = library->Functions();
    // A host given with ":port" is taken as it stands; otherwise the standard port.
    const std::string uri =
            "ldap://" + host + (host.find(':') == std::string::npos ? ":" + std::to_string(kLdapPort) : std::string());
    ldap* connection = nullptr;
    if (host.empty() || f.Initialize(&connection, uri.c_str()) != kLdapSuccess || connection == nullptr) {
        ReportLookupFailure(render, kLdapLogConnect, kMsgLdapConnect, host);
        return;
    }
    const int version = kLdapVersion3;
    timeval connectWait{kLdapConnectSeconds, 0};
    (void)f.SetOption(connection, kLdapOptProtocolVersion, &version);
    (void)f.SetOption(connection, kLdapOptNetworkTimeout, &connectWait);
    (void)f.SetOption(connection, kLdapOptTimeLimit, &timeLimit);
    (void)f.SetOption(connection, kLdapOptSizeLimit, &sizeLimit);
    // The library connects only at the bind: a server that cannot be reached shows here.
    berval none{0, nullptr};
    if (const int bound = f.SaslBindS(connection, nullptr, nullptr, &none, nullptr, nullptr, nullptr);
        bound != kLdapSuccess) {
        if (bound == kLdapServerDown) {
            ReportLookupFailure(render, kLdapLogConnect, kMsgLdapConnect, host);
        } else {
            ReportLookupFailure(render, kLdapLogLogin, kMsgLdapLogin, host);
        }
        (void)f.UnbindExtS(connection, nullptr, nullptr);
        return;
    }
    std::string nameCopy = nameAttr;
    std::string mailCopy = mailAttr;
    char* attributes[] = {nameCopy.data(), mailCopy.data(), nullptr};
    timeval searchWait{timeLimit > 0 ? static_cast<long>(timeLimit) + kLdapConnectSeconds : kLdapSearchSeconds, 0};
    ldapmsg* result = nullptr;
    const int searched =
            f.SearchExtS(connection, base.c_str(), kLdapScopeSubtree, filter.c_str(), attributes, 0, nullptr, nullptr,
                         &searchWait, sizeLimit > 0 ? sizeLimit : kMaxLookupEntries, &result);
    // A search that hit a limit still gives the entries found so far.
    constexpr int kLdapTimeLimitExceeded = 3;
    constexpr int kLdapSizeLimitExceeded = 4;
    if (searched != kLdapSuccess && searched != kLdapSizeLimitExceeded && searched != kLdapTimeLimitExceeded) {
        ReportLookupFailure(render, kLdapLogSearch, kMsgLdapSearch, host);
    } else {
        int listed = 0;
        for (ldapmsg* entry = f.FirstEntry(connection, result); entry != nullptr && listed < kMaxLookupEntries;
             entry = f.NextEntry(connection, entry), ++listed) {
            const std::string name = FirstValue(f, connection, entry, nameAttr);
            const std::string email = FirstValue(f, connection, entry, mailAttr);
            render.RenderItem(body, Placeholders().Set(Placeholder::Name, name).Set(Placeholder::Email, email));
        }
    }
    if (result != nullptr) {
        (void)f.MsgFree(result);
    }
    (void)f.UnbindExtS(connection, nullptr, nullptr);
}

// An address look-up in the book the request's AddrLookupSelect names, with its Search text. The placeholders are
// escaped when written, so names from a book can never act as template text.
void ListAddrLookup(TemplateRender& render, const ListBody& body)
{
    PageSession& session = *render.Session();
    const NameValueList& fields = render.Context().Input().Variables();
    std::string order = GetUserSetting("AddrBookSortOrder", session.Settings());
    const std::string_view requested = CutEchoedText(fields.GetValue("SortOrder"));
    if (!requested.empty() && !EqualsNoCase(requested, order)) {
        order = requested.substr(0, kMaxLookupText);
        SetUserSetting("AddrBookSortOrder", session.Settings(), order);
    }
    const std::string_view select = CutEchoedText(fields.GetValue("AddrLookupSelect"));
    const std::string_view search = CutEchoedText(fields.GetValue("Search"));
    store::AddressBook& own = session.User().AddrBook();
    if (select.empty() || EqualsNoCase(select, "AddrBook")) {
        own.Sort(order.c_str());
        ListBookMatches(render, body, own, search);
        return;
    }
    const bool global = EqualsNoCase(select, "GlobalAddrBook");
    const bool fax = EqualsNoCase(select, "FaxAddrBook");
    const bool full = EqualsNoCase(select, "FullAddrBook");
    if (!global && !fax && !full) {
        LookUpDirectory(render, body, select, search);
        return;
    }
    store::AddressBook book;
    if (full) {
        book.Merge(own);
    }
    if (global || full) {
        store::AddressBook shared(BaseDirectory().c_str(), store::AddressBook::PathKind::Directory);
        (void)shared.Load();
        book.Merge(shared);
    }
    if ((fax || full) && UseFaxServer()) {
        if (const std::optional<std::string> ini = FaxServerFile("Telvane.ini")) {
            const std::optional<std::string> file = FaxServerFile(ReadIniStringFile("Files", "AddressBook", "", *ini));
            if (file) {
                store::AddressBook faxBook(file->c_str(), store::AddressBook::PathKind::File);
                (void)faxBook.Load();
                book.Merge(faxBook);
            }
        }
    }
    book.Sort(order.c_str());
    ListBookMatches(render, body, book, search);
    // Directory look-ups (LDAP) are not served: they list nothing.
}

// The cover pages of the fax server: the "*.cpe" files of [Directories] CoverPages of its Telvane.ini.
void ListFaxCoverPages(TemplateRender& render, const ListBody& body)
{
    if (!UseFaxServer()) {
        return;
    }
    const std::optional<std::string> ini = FaxServerFile("Telvane.ini");
    if (!ini) {
        return;
    }
    const std::optional<std::string> dir = FaxServerFile(ReadIniStringFile("Directories", "CoverPages", "", *ini));
    if (!dir) {
        return;
    }
    auto entries = platform::ListDirectory(*dir, "*.cpe");
    if (!entries) {
        return;
    }
    for (const platform::DirEntry& entry : *entries) {
        if (entry.Name.front() == '.' || !IsFileEntry(*dir, entry)) {
            continue;
        }
        const std::string name = entry.Name.substr(0, entry.Name.rfind('.'));
        render.RenderItem(body, Placeholders().Set(Placeholder::FileName, entry.Name).Set(Placeholder::Name, name));
    }
}

constexpr ListEntry kLists[] = {
        {"LANGUAGE", ListLanguages, ListNeeds::Nothing},
        {"SPELLCHECKLANG", ListSpellCheckLanguages, ListNeeds::Nothing},
        {"STYLE", ListStyles, ListNeeds::Nothing},
        {"THEME", ListThemes, ListNeeds::Nothing},
        {"FOLDER", ListFolders},
        {"FOLDERDEPTH", ListFolderDepth},
        {"MESSAGE", ListMessages},
        {"ATTACHMENT", ListAttachments},
        {"ADDRBOOK", ListAddressBook},
        {"ADDRLOOKUP", ListAddrLookup},
        {"ADDRLOOKUPSELECT", ListAddrLookupSelect},
        {"FILTER", ListFilters},
        {"MAILBOX", ListMailAccounts},
        {"LITEMLIST", ListItemList},
        {"TELVANECOVERPAGE", ListFaxCoverPages},
};

} // namespace

std::span<const ListEntry> Lists()
{
    return kLists;
}

} // namespace qm::engine
