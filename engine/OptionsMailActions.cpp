#include "engine/OptionsMailActions.h"

#include "common/NameValueList.h"
#include "common/StringUtil.h"
#include "engine/DomainSettings.h"
#include "engine/LanguagesFile.h"
#include "engine/OptionsActions.h"
#include "engine/Request.h"
#include "engine/Session.h"
#include "engine/UserRecord.h"
#include "engine/Views.h"
#include "platform/FileSystem.h"
#include "store/FilterList.h"
#include "store/FolderList.h"
#include "store/HeaderBlock.h"
#include "store/MailHostList.h"
#include "store/MessageIndex.h"

#include <climits>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::engine {
namespace {

using store::MailHostAccount;
using store::MailHostList;

// Rows of the accounts form taken at most: far more accounts than anyone keeps, and a bound on a crafted form.
constexpr int kMaxAccountRows = 1000;

constexpr const char* kInbox = "Inbox";

NameValueList& Fields(Request& request)
{
    return request.MutableInput().Variables();
}

bool Has(Request& request, const char* name)
{
    return Fields(request).Contains(name);
}

// The last value the form gives for name: a checkbox follows a hidden field of the same name that stands for its
// unchecked state, so the later value is the one the user chose. Null when the form lacks the name.
const char* LastValue(const NameValueList& fields, const std::string& name)
{
    for (int i = fields.Count() - 1; i >= 0; --i) {
        if (EqualsNoCase(fields.Item(i)->Name(), name)) {
            return fields.Item(i)->Value();
        }
    }
    return nullptr;
}

// The first problem of a form is what the page tells; the confirmation shows only when there was none.
class Feedback {
public:
    void Note(int message, std::string argument = {})
    {
        if (m_message == 0) {
            m_message = message;
            m_argument = std::move(argument);
        }
    }

    // The problem noted, else the confirmation.
    void Tell(Request& request, int confirmation, std::string_view argument = {}) const
    {
        if (m_message != 0) {
            TellRefusal(request, m_message, {m_argument});
        } else {
            TellStatus(request, confirmation, {argument});
        }
    }

private:
    int m_message = 0;
    std::string m_argument;
};

// ---- mail accounts ----

// The index of the account named name (ASCII case ignored), or -1.
int FindAccount(const MailHostList& accounts, std::string_view name)
{
    for (int i = 0; i < accounts.Count(); ++i) {
        if (EqualsNoCase(accounts.Item(i).Mailbox(), name)) {
            return i;
        }
    }
    return -1;
}

// True when an account other than the one at index self has the name.
bool NameTaken(const MailHostList& accounts, std::string_view name, int self)
{
    const int found = FindAccount(accounts, name);
    return found >= 0 && found != self;
}

bool HasLineBreak(std::string_view text)
{
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

void RemoveAccountFile(const std::string& userDir, std::string_view mailbox, store::MailboxFile which)
{
    if (const std::optional<std::string> path = store::MailboxFilePath(userDir, mailbox, which)) {
        static_cast<void>(platform::RemoveFile(*path));
    }
}

// Delete without Save or Finished: the account it names goes, with its UID and signature files.
void DeleteNamedAccount(Request& request, UserRecord& user)
{
    MailHostList& accounts = user.MailHosts();
    const int index = FindAccount(accounts, Fields(request).GetValue("Delete"));
    if (index < 0) {
        return;
    }
    const std::string name = accounts.Item(index).Mailbox();
    // The domain keeps the system account in step with the user's own mailbox: its page hides the button that
    // removes it, and a request that names it anyway is refused.
    if (GetDomainBool("SyncSystemMailbox", request.Domain()) && &accounts.Item(index) == &accounts.GetSystemAccount()) {
        TellStatus(request, kTextSystemAccountKept, {name});
        return;
    }
    RemoveAccountFile(user.Directory(), name, store::MailboxFile::Uid);
    RemoveAccountFile(user.Directory(), name, store::MailboxFile::Signature);
    accounts.RemoveAccount(index);
    if (accounts.Save(user.Directory()) >= 0) {
        TellStatus(request, kTextAccountRemoved, {name});
    }
}

// The fields of one row of the accounts form ("MailName:3" and so on).
class AccountRow {
public:
    AccountRow(const NameValueList& fields, int row)
        : m_fields(fields)
        , m_suffix(":" + std::to_string(row))
    {}

    // The value of base with the row's number, or null when the form lacks it.
    const char* Value(const char* base) const { return LastValue(m_fields, base + m_suffix); }

    std::string_view Text(const char* base) const
    {
        const char* value = Value(base);
        return value != nullptr ? value : "";
    }

    // Copies every field the row gives into the account (an empty one too). A value that cannot be stored (a line
    // break, which would end its line of User.ini or a POP3 command; a port or delete mode out of range) leaves its
    // field as it was: false then.
    bool CopyInto(MailHostAccount& account) const
    {
        bool stored = true;
        auto text = [&](const char* base, std::size_t limit, auto set) {
            const char* value = Value(base);
            if (value == nullptr) {
                return;
            }
            const std::string_view cut = std::string_view(value).substr(0, limit);
            stored = !HasLineBreak(value) && set(cut) && stored;
        };
        text("MailName", MailHostAccount::kMaxText, [&](std::string_view v) { return account.SetFullName(v), true; });
        text("MailEMail", MailHostAccount::kMaxText, [&](std::string_view v) { return account.SetEMail(v), true; });
        text("MailHost", MailHostAccount::kMaxText, [&](std::string_view v) { return account.SetHost(v); });
        text("MailUser", MailHostAccount::kMaxText, [&](std::string_view v) { return account.SetUser(v); });
        text("MailPass", MailHostAccount::kMaxText, [&](std::string_view v) { return account.SetPass(v); });
        text("MailColor", MailHostAccount::kMaxColor, [&](std::string_view v) { return account.SetColor(v), true; });
        auto number = [&](const char* base, int low, int high, int empty, auto set) {
            const char* value = Value(base);
            if (value == nullptr) {
                return;
            }
            const int n = *value == '\0' ? empty : ParseDecimalInt(value);
            if (n < low || n > high || HasLineBreak(value)) {
                stored = false;
                return;
            }
            set(n);
        };
        number("MailPort", 1, 65535, MailHostAccount::kDefaultPort, [&](int n) { account.SetPort(n); });
        number("MailDelete", 0, 2, 0, [&](int n) { account.SetDelete(n); });
        number("MailActive", INT_MIN, INT_MAX, 0, [&](int n) { account.SetActive(n != 0); });
        number("MailDefault", INT_MIN, INT_MAX, 0, [&](int n) { account.SetDefault(n != 0); });
        return stored;
    }

    // Writes the signature field to the account's ".sig" file, or removes the file when the field is blank. A row
    // without the field leaves the file alone.
    void StoreSignature(const std::string& userDir, const MailHostAccount& account) const
    {
        const char* signature = Value("MailSig");
        if (signature == nullptr) {
            return;
        }
        const std::optional<std::string> path =
                store::MailboxFilePath(userDir, account.Mailbox(), store::MailboxFile::Signature);
        if (!path) {
            return;
        }
        if (std::string_view(signature).find_first_not_of(" \t\r\n") == std::string_view::npos) {
            static_cast<void>(platform::RemoveFile(*path));
        } else {
            static_cast<void>(platform::WriteFileAtomic(*path, signature));
        }
    }

private:
    const NameValueList& m_fields;
    std::string m_suffix;
};

// The first item an account lacks, as its message; 0 when it is complete.
int MissingItem(const MailHostAccount& account)
{
    if (account.Mailbox().empty()) {
        return kTextNoAccountName;
    }
    if (account.EMail().empty()) {
        return kTextNoAccountEMail;
    }
    if (account.Host().empty()) {
        return kTextNoAccountHost;
    }
    if (account.User().empty()) {
        return kTextNoAccountUser;
    }
    return account.Pass().empty() ? kTextNoAccountPass : 0;
}

bool IsEmptyRow(const MailHostAccount& account)
{
    return account.Mailbox().empty() && account.EMail().empty() && account.User().empty() && account.Pass().empty();
}

// One row of the form: the account it names by OldMailbox changed (and renamed), or a new account added when it is
// complete.
void StoreAccountRow(UserRecord& user, const AccountRow& row, Feedback& feedback)
{
    MailHostList& accounts = user.MailHosts();
    const std::string_view typed = row.Text("Mailbox");
    const std::string newName(typed.substr(0, store::kMaxMailboxName));
    if (!newName.empty() && !store::IsValidMailboxName(newName)) {
        // The name would name files outside the account's own: the row is left out whole.
        feedback.Note(kTextAccountValueRefused);
        return;
    }
    const std::string_view oldName = row.Text("OldMailbox");
    int index = oldName.empty() ? -1 : FindAccount(accounts, oldName);
    const bool isNew = index < 0;
    if (isNew) {
        accounts.NewAccount();
        index = accounts.Count() - 1;
    }
    MailHostAccount& account = accounts.Item(index);
    if (!newName.empty() && !EqualsNoCase(newName, account.Mailbox())) {
        if (NameTaken(accounts, newName, index)) {
            feedback.Note(kTextAccountNameTaken, newName);
        } else if (!isNew && !user.Messages().RenameMailbox(account.Mailbox(), newName)) {
            feedback.Note(kTextAccountFilesInTheWay, newName);
        } else {
            static_cast<void>(account.SetMailbox(newName));
        }
    }
    if (!row.CopyInto(account)) {
        feedback.Note(kTextAccountValueRefused);
    }
    const bool empty = IsEmptyRow(account);
    const int missing = empty ? 0 : MissingItem(account);
    if (missing != 0) {
        feedback.Note(missing);
    }
    if (isNew && (empty || missing != 0)) {
        accounts.RemoveAccount(index);
        return;
    }
    row.StoreSignature(user.Directory(), account);
}

} // namespace

void HostsAction(Request& request)
{
    if (Has(request, "Cancel")) {
        LeaveOptionsPage(request);
        return;
    }
    UserRecord& user = request.CurrentSession()->User();
    const bool finished = Has(request, "Finished");
    if (!finished && !Has(request, "Save")) {
        DeleteNamedAccount(request, user);
        return;
    }
    const NameValueList& fields = Fields(request);
    Feedback feedback;
    for (int row = 0; row < kMaxAccountRows; ++row) {
        const AccountRow fieldsOfRow(fields, row);
        if (fieldsOfRow.Value("Mailbox") == nullptr) {
            break;
        }
        StoreAccountRow(user, fieldsOfRow, feedback);
    }
    if (user.MailHosts().Save(user.Directory()) >= 0) {
        feedback.Tell(request, kTextChangesSaved);
    }
    if (finished) {
        LeaveOptionsPage(request);
    }
}

namespace {

// ---- filters ----

// A rule number as a button names it: decimal digits only.
std::optional<int> RuleNumber(std::string_view text)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    return ParseDecimalInt(text);
}

enum class ButtonScan {
    None,
    Deleted
};

// The FilterDelete button that names an existing rule deletes it; a FilterUp or FilterDown button asks for Save.
ButtonScan ScanFilterButtons(Request& request, store::FilterList& filters)
{
    NameValueList& fields = Fields(request);
    for (int i = 0; i < fields.Count(); ++i) {
        const std::string_view name = fields.Item(i)->Name();
        if (StartsWithNoCase(name, "FilterDelete:")) {
            const std::optional<int> n = RuleNumber(name.substr(13));
            if (n && *n >= 1 && *n <= filters.Count()) {
                filters.RemoveRule(*n - 1);
                return ButtonScan::Deleted;
            }
            continue;
        }
        if (StartsWithNoCase(name, "FilterUp:") || StartsWithNoCase(name, "FilterDown:")) {
            fields.Set("Save", "Yes");
            return ButtonScan::None;
        }
    }
    return ButtonScan::None;
}

// The row a move button moves up: "FilterUp:n" (n at least 2) or "FilterDown:n-1" give n; 0 for none.
int MovedRow(const NameValueList& fields)
{
    for (int i = 0; i < fields.Count(); ++i) {
        const std::string_view name = fields.Item(i)->Name();
        const bool up = StartsWithNoCase(name, "FilterUp:");
        if (!up && !StartsWithNoCase(name, "FilterDown:")) {
            continue;
        }
        const std::optional<int> n = RuleNumber(name.substr(up ? 9 : 11));
        if (!n) {
            continue;
        }
        const int row = up ? *n : *n + 1;
        if (row >= 2 && row <= kLastFilterRow) {
            return row;
        }
    }
    return 0;
}

bool IsLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Adds the rule of one row; a row lacking a part adds nothing. A rule the stored form cannot hold (a letter that is
// none, a '"' that would end the text early, a '"' in the folder, a folder that cannot be) is noted, and a row that
// showed a rule (rows count from 1) keeps that rule: a refused edit loses nothing.
void AddRuleRow(const NameValueList& fields, int row, const std::vector<store::FilterRule>& shown,
                store::FilterList& filters, Feedback& feedback)
{
    const std::string suffix = ":" + std::to_string(row);
    auto value = [&](const char* base) {
        return std::string_view(fields.GetValue((base + suffix).c_str()));
    };
    const std::string_view what = value("FilterWhat");
    const std::string_view match = value("FilterMatch");
    const std::string_view literal = value("FilterLiteral");
    const std::string_view folder = value("FilterFolder");
    if (what.empty() || match.empty() || literal.empty() || folder.empty()) {
        return;
    }
    // The number the rule would have on the page.
    const std::string number = std::to_string(filters.Count() + 1);
    const auto refuse = [&] {
        if (row < 1 || row > static_cast<int>(shown.size())) {
            feedback.Note(kTextFilterRefused, number);
            return;
        }
        const std::string kept = store::FilterList::FormatRule(shown[static_cast<std::size_t>(row - 1)]);
        if (filters.AddFromText(kept) == store::FilterList::AddResult::Added) {
            feedback.Note(kTextFilterKept, number);
        } else {
            feedback.Note(kTextFilterRefused, number);
        }
    };
    if (what.size() != 1 || match.size() != 1 || !IsLetter(what[0]) || !IsLetter(match[0])) {
        refuse();
        return;
    }
    std::string text;
    text += value("FilterEnable").empty() ? 'N' : 'Y';
    text.append(" ").append(what).append(" ").append(match);
    text.append(" \"").append(literal).append("\" \"").append(folder).append("\"");
    if (filters.AddFromText(text) != store::FilterList::AddResult::Added) {
        refuse();
    }
}

// Files the messages of the folder DestFolder (else "Inbox"), and of the folders below it with ApplyToSubfolders,
// again by the rules; returns how many moved.
int ApplyFilters(Request& request, UserRecord& user)
{
    store::FolderList& folders = user.Folders();
    const std::string_view dest = Fields(request).GetValue("DestFolder");
    const store::FolderEntry* named = dest.empty() ? nullptr : folders.Find(dest);
    const std::string scope = named != nullptr ? named->Name() : kInbox;
    const bool below = !Fields(request).IsEmpty("ApplyToSubfolders");
    store::MessageIndex& index = user.Messages();
    int moved = 0;
    for (int i = 0; i < index.Count(); ++i) {
        store::MessageIndexEntry* entry = index.Entry(i);
        const std::string current = entry->Folder();
        if (current.empty() || !(EqualsNoCase(current, scope) || (below && store::IsFolderOrBelow(current, scope)))) {
            continue;
        }
        store::HeaderBlock headers = store::HeaderBlock::ReadFile(entry->GetMessagePath().c_str());
        for (const auto& [name, text] : {std::pair<const char*, const std::string*>{"From", &entry->From()},
                                         {"To", &entry->To()},
                                         {"Subject", &entry->Subject()}}) {
            if (!headers.Contains(name)) {
                headers.Add(name, text->c_str());
            }
        }
        const std::string target(user.Filters().Match(headers, entry->Mailbox(), current));
        if (!EqualsNoCase(target, current) && folders.Find(target) != nullptr && entry->MoveToFolder(target)) {
            ++moved;
        }
    }
    return moved;
}

} // namespace

void FiltersAction(Request& request)
{
    if (Has(request, "Cancel")) {
        LeaveOptionsPage(request);
        return;
    }
    UserRecord& user = request.CurrentSession()->User();
    store::FilterList& filters = user.Filters();
    if (ScanFilterButtons(request, filters) == ButtonScan::Deleted) {
        TellStatus(request, filters.Save() >= 0 ? kTextChangesSaved : kTextChangeFailed);
        return;
    }
    const bool finished = Has(request, "Finished");
    const bool apply = Has(request, "Apply");
    if (!finished && !apply && !Has(request, "Save")) {
        return;
    }
    const NameValueList& fields = Fields(request);
    const int moved = MovedRow(fields);
    Feedback feedback;
    std::vector<store::FilterRule> shown;
    shown.reserve(static_cast<std::size_t>(filters.Count()));
    for (int i = 0; i < filters.Count(); ++i) {
        shown.push_back(filters.Item(i));
    }
    filters.Clear();
    for (int row = 0; row <= kLastFilterRow; ++row) {
        // Rows moved-1 and moved change places.
        const int taken = moved == 0 ? row : row == moved - 1 ? moved : row == moved ? moved - 1 : row;
        AddRuleRow(fields, taken, shown, filters, feedback);
    }
    const bool saved = filters.Save() >= 0;
    if (finished) {
        LeaveOptionsPage(request);
    }
    if (!saved) {
        // Rules that could not be stored are not applied either.
        TellStatus(request, kTextChangeFailed);
        return;
    }
    if (apply && !finished) {
        const int count = ApplyFilters(request, user);
        feedback.Tell(request, kTextFiltersApplied, std::to_string(count));
        return;
    }
    feedback.Tell(request, kTextChangesSaved);
}

} // namespace qm::engine
