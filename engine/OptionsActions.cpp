#include "engine/OptionsActions.h"

#include "common/IniAccess.h"
#include "common/NameValueList.h"
#include "common/StringUtil.h"
#include "engine/DomainSettings.h"
#include "engine/LanguagesFile.h"
#include "engine/PageChoice.h"
#include "engine/Request.h"
#include "engine/RequestMessages.h"
#include "engine/Session.h"
#include "engine/SessionMail.h"
#include "engine/SpellCheck.h"
#include "engine/TemplateRender.h"
#include "engine/UserRecord.h"
#include "engine/Views.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "store/AddressBook.h"
#include "store/CvUserBinding.h"
#include "store/FilterList.h"
#include "store/FolderList.h"
#include "store/MessageIndex.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qm::engine {
namespace {

// The longest value a user setting takes from a form; a longer one is refused.
constexpr std::size_t kMaxSettingValue = 255;

// The longest language code, theme and style name taken from the appearance fields.
constexpr std::size_t kMaxLookValue = kMaxThemeName;

constexpr std::string_view kUserPrefix = "USER:";
constexpr std::string_view kAddrEMailPrefix = "AddrEMail:";

const NameValueList& Fields(const Request& request)
{
    return request.Input().Variables();
}

std::string_view Field(const Request& request, const std::string& name)
{
    return Fields(request).GetValue(name.c_str());
}

bool Has(const Request& request, const char* name)
{
    return Fields(request).Contains(name);
}

bool HasControlByte(std::string_view text)
{
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            return true;
        }
    }
    return false;
}

// The text without CR and LF (which would end an INI line).
std::string WithoutLineBreaks(std::string_view text)
{
    std::string clean;
    for (const char c : text) {
        if (c != '\r' && c != '\n') {
            clean.push_back(c);
        }
    }
    return clean;
}

// The text without TAB, CR and LF (which would split an entry of the address book).
std::string WithoutBookSeparators(std::string_view text)
{
    std::string clean;
    for (const char c : text) {
        if (c != '\t' && c != '\r' && c != '\n') {
            clean.push_back(c);
        }
    }
    return clean;
}

// The fields of a form that were refused, named in one status message: the first kMaxNamed of them, then "...".
class RefusedFields {
public:
    void Add(std::string_view name)
    {
        ++m_count;
        if (m_count > kMaxNamed + 1) {
            return;
        }
        if (!m_names.empty()) {
            m_names += ", ";
        }
        m_names += m_count > kMaxNamed ? std::string_view("...") : CutEchoedText(name);
    }

    bool Any() const { return m_count > 0; }

    const std::string& Names() const { return m_names; }

private:
    static constexpr int kMaxNamed = 8;

    int m_count = 0;
    std::string m_names;
};

// Tells that the page's changes were saved, or refuses with the message that they could not be.
void TellSaved(Request& request, bool saved)
{
    if (saved) {
        TellStatus(request, kTextChangesSaved);
    } else {
        TellRefusal(request, kTextChangeFailed);
    }
}

// ---- Preferences ----

// Refusals of a new password that store nothing of the page: the message, or 0 when the password may be set.
int PasswordProblem(std::string_view pass)
{
    if (pass.size() > kMaxUserPassword) {
        return kTextPasswordTooLong;
    }
    // A stored '\' or '*' marks a domain or directory logon: a typed one would turn the local password off.
    if (pass.front() == '\\' || pass.front() == '*') {
        return kTextPasswordMarker;
    }
    return 0;
}

// Sets the password at the companion mail server when its library is loaded; false when it did not take it.
bool SetCompanionPassword(const std::string& user, const std::string& pass)
{
    const std::shared_ptr<const store::CvUserLibrary> library = store::LoadedCVUser();
    if (!library) {
        return true;
    }
    const store::CvHandle handle = library->GetByEmail(user.c_str());
    if (handle == store::kCvNoUser) {
        return false;
    }
    const bool set = library->SetPassword(handle, pass.c_str());
    library->GetFree(handle);
    return set;
}

// The new password of the page, set everywhere it lives; false (with the page's message) when it was refused, and
// then nothing of the page is stored.
bool ChangePassword(Request& request, UserRecord& user)
{
    const std::string pass(Field(request, "Pass"));
    if (pass != Field(request, "ConfirmPass")) {
        TellRefusal(request, kTextPasswordsDiffer);
        request.CurrentSession()->SetFrameView(kViewError);
        return false;
    }
    if (pass.empty()) {
        return true;
    }
    if (const int problem = PasswordProblem(pass); problem != 0) {
        TellRefusal(request, problem);
        return false;
    }
    if (!SetCompanionPassword(user.Name(), pass)) {
        TellRefusal(request, kTextChangeFailed);
        return false;
    }
    user.SetPassword(pass);
    // The mail accounts that use the logon password ('\') go on working with the new one.
    user.SetOwnPassword(pass);
    if (ReadIniBool("Mailboxes", "SyncWithMailServer", false)) {
        (void)user.ChangeSystemAccount("", "", pass);
    }
    return true;
}

// A field of the appearance form and the setting it changes.
struct LookField {
    const char* Field;
    const char* Key;
};

constexpr LookField kLookFields[] = {{"UserLang", "Lang"}, {"UserTheme", "Theme"}, {"UserStyle", "Style"}};

// Stores the language, theme and style the page names when they differ from the user's, and resolves the request's
// look again. True when any changed: the whole frame set then reloads with this page inside.
bool ChangeLook(Request& request, UserRecord& user, RefusedFields& refused)
{
    bool changed[std::size(kLookFields)] = {};
    for (std::size_t i = 0; i < std::size(kLookFields); ++i) {
        const std::string_view value = Field(request, kLookFields[i].Field);
        if (value.empty() || EqualsNoCase(value, GetUserSetting(kLookFields[i].Key, user.Settings()))) {
            continue;
        }
        if (value.size() > kMaxLookValue || HasControlByte(value)) {
            refused.Add(kLookFields[i].Field);
            continue;
        }
        SetUserSetting(kLookFields[i].Key, user.Settings(), value);
        changed[i] = true;
    }
    if (changed[0]) {
        ResolveLanguage(request);
        user.Folders().SetLanguage(request.Language());
    }
    if (changed[1]) {
        ResolveTheme(request);
    }
    if (changed[2]) {
        (void)ResolveStyle(request);
    }
    return changed[0] || changed[1] || changed[2];
}

// Stores every "USER:" field that names a preference the user may change; the others are refused. False when the
// settings file could not be written.
bool StoreUserFields(Request& request, UserRecord& user, RefusedFields& refused)
{
    std::vector<UserSettingChange> changes;
    const NameValueList& fields = Fields(request);
    for (int i = 0; i < fields.Count(); ++i) {
        const NameValuePair* pair = fields.Item(i);
        const std::string_view name = pair->Name();
        if (!StartsWithNoCase(name, kUserPrefix)) {
            continue;
        }
        const char* key = UserPreferenceKey(name.substr(kUserPrefix.size()));
        const std::string value = WithoutLineBreaks(pair->Value());
        if (key == nullptr || value.size() > kMaxSettingValue) {
            refused.Add(name);
            continue;
        }
        changes.push_back({key, value});
    }
    return SetUserSettings(user.Settings(), changes);
}

// Rewrites the user's word list from the Dictionary field, one word a line; the file is the owner's alone.
bool WriteDictionary(const UserRecord& user, std::string_view text)
{
    std::string contents;
    for (const std::string& word : DictionaryWords(text)) {
        contents += word;
        contents += "\r\n";
    }
    // The spelling check reads no more of a word list than this: a larger one would be ignored whole.
    if (contents.size() > kMaxDictionaryFile) {
        return false;
    }
    return platform::WriteFileAtomic(DictionaryPathIn(user.Directory()), contents).has_value();
}

// ---- Folders ----

// The folder name of two fields, when it may name a folder; else the page says why and the result is nullopt.
std::optional<std::string> FolderNameOf(Request& request, const char* parentField, const char* nameField)
{
    std::string name = JoinFolderPath(Field(request, parentField), Field(request, nameField));
    if (!name.empty() && !store::IsValidFolderName(name)) {
        TellError(request, kTextFolderNameRefused, {CutEchoedText(name)});
        return std::nullopt;
    }
    return name;
}

bool FolderExists(const store::FolderList& folders, const std::string& name)
{
    return folders.IndexOf(name) >= 0 || folders.Exists(name);
}

// What a button of the Folders page did. The page says "saved" only after the message index is saved too.
enum class FolderStep {
    Ended,     ///< refused, with the page's message: the action ends
    Unchanged, ///< nothing to do, or a failure the page already tells
    Changed,
};

// The Create button.
FolderStep CreateFolder(Request& request, store::FolderList& folders)
{
    const std::optional<std::string> name = FolderNameOf(request, "NewFolderParent", "NewFolder");
    if (!name) {
        return FolderStep::Ended;
    }
    if (name->empty()) {
        return FolderStep::Unchanged;
    }
    if (FolderExists(folders, *name)) {
        TellError(request, kTextFolderExists);
        return FolderStep::Ended;
    }
    if (!folders.Create(*name)) {
        TellError(request, kTextFolderNotCreated);
        return FolderStep::Ended;
    }
    return FolderStep::Changed;
}

// The Rename button.
FolderStep RenameFolder(Request& request, UserRecord& user)
{
    const std::string oldName = JoinFolderPath(Field(request, "OldFolderParent"), Field(request, "OldFolder"));
    const std::optional<std::string> newName = FolderNameOf(request, "FolderParent", "Folder");
    if (!newName) {
        return FolderStep::Ended;
    }
    if (oldName.empty() || newName->empty()) {
        return FolderStep::Unchanged;
    }
    store::FolderList& folders = user.Folders();
    if (FolderExists(folders, *newName)) {
        TellError(request, kTextFolderExists);
        return FolderStep::Ended;
    }
    const store::FolderEntry* oldEntry = folders.Find(oldName);
    const std::string from = oldEntry != nullptr ? oldEntry->Name() : oldName;
    const store::FolderEntry* renamed = folders.Rename(from, *newName);
    if (renamed == nullptr) {
        TellError(request, kTextChangeFailed);
        return FolderStep::Unchanged;
    }
    const std::string to = renamed->Name();
    (void)user.Messages().RenameFolder(from, to);
    (void)user.Filters().RenameFolder(from, to);
    return FolderStep::Changed;
}

// The Delete button: the folder's messages, and those of every folder below it (whose directories go with it), move
// to the trash first, and the index that has them there is saved; nothing is removed while any of them could not be
// moved or the index not be saved, since until then the saved index knows them by their names in the folder.
FolderStep DeleteFolder(Request& request, UserRecord& user)
{
    store::FolderList& folders = user.Folders();
    const store::FolderEntry* entry = folders.Find(Field(request, "Delete"));
    if (entry == nullptr || store::IsSpecialFolder(entry->Name())) {
        return FolderStep::Unchanged;
    }
    const std::string name = entry->Name();
    const store::FolderEntry* trashEntry = folders.Find("Trash");
    const std::string trash = trashEntry != nullptr ? trashEntry->Name() : "Trash";
    bool moved = true;
    for (int i = 0; i < folders.Count(); ++i) {
        if (store::IsFolderOrBelow(folders.Item(i).Name(), name)) {
            moved = user.Messages().MoveFolderMessages(folders.Item(i).Name(), &trash) && moved;
        }
    }
    const std::string path = entry->GetPath();
    if (!moved || !SaveMessageIndex(user, request.Log()) || !EmptyDirectory(path) || !folders.Remove(name)) {
        TellError(request, kTextChangeFailed);
        return FolderStep::Unchanged;
    }
    (void)user.Filters().RemoveFolder(name);
    return FolderStep::Changed;
}

// ---- Address book ----

// Drops the entries that the Number fields name: their e-mail fields are removed from the form before the rebuild.
void DropNumberedEntries(Request& request)
{
    NameValueList& fields = request.MutableInput().Variables();
    std::vector<std::string> names;
    for (int i = 0; i < fields.Count(); ++i) {
        if (EqualsNoCase(fields.Item(i)->Name(), "Number")) {
            names.push_back(std::string(kAddrEMailPrefix) + fields.Item(i)->Value());
        }
    }
    for (const std::string& name : names) {
        while (fields.Contains(name.c_str())) {
            fields.Remove(name.c_str());
        }
    }
}

// Empties the personal book and adds every entry of the form with an e-mail address, in the order of the form.
bool RebuildAddressBook(Request& request, store::AddressBook& book)
{
    book.Clear();
    const NameValueList& fields = Fields(request);
    for (int i = 0; i < fields.Count(); ++i) {
        const NameValuePair* pair = fields.Item(i);
        const std::string_view name = pair->Name();
        if (!StartsWithNoCase(name, kAddrEMailPrefix) || *pair->Value() == '\0') {
            continue;
        }
        const std::string key(name.substr(kAddrEMailPrefix.size()));
        const std::string entryName = WithoutBookSeparators(Field(request, "AddrName:" + key));
        const std::string email = WithoutBookSeparators(pair->Value());
        const std::string comment = WithoutBookSeparators(Field(request, "AddrComment:" + key));
        book.AddEntry(entryName.c_str(), email.c_str(), comment.c_str());
    }
    return book.Save();
}

} // namespace

int OptionsReturnView(const Session& session, int view)
{
    const int previous = session.PreviousView();
    const bool page = previous >= kViewList && previous <= kViewOptionsAddrBook && previous != kViewAttachment &&
                      previous != kViewCompose && previous != kViewComposeAttach && previous != kViewComposeSpellCheck;
    return page && previous != view ? previous : kViewOptions;
}

void LeaveOptionsPage(Request& request)
{
    request.SetView(OptionsReturnView(*request.CurrentSession(), request.View()));
}

std::string JoinFolderPath(std::string_view parent, std::string_view name)
{
    std::string joined(parent);
    if (!parent.empty()) {
        joined += '/';
    }
    joined += name;
    std::string path;
    for (char c : joined) {
        c = c == '\\' ? '/' : c;
        if (c == '/' && !path.empty() && path.back() == '/') {
            continue;
        }
        path.push_back(c);
    }
    if (!path.empty() && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

std::vector<std::string> DictionaryWords(std::string_view text)
{
    std::vector<std::string> words;
    std::string word;
    for (const char c : text) {
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t' || c == ',' || c == ';') {
            if (!word.empty()) {
                words.push_back(std::move(word));
                word.clear();
            }
            continue;
        }
        word.push_back(c);
    }
    if (!word.empty()) {
        words.push_back(std::move(word));
    }
    return words;
}

void PrefsAction(Request& request)
{
    if (Has(request, "Cancel")) {
        LeaveOptionsPage(request);
        return;
    }
    const bool finished = Has(request, "Finished");
    if (!finished && !Has(request, "Save")) {
        return;
    }
    Session& session = *request.CurrentSession();
    UserRecord& user = session.User();
    if (!ChangePassword(request, user)) {
        return;
    }
    RefusedFields refused;
    if (ChangeLook(request, user, refused)) {
        request.SetView(kViewMain);
        session.SetFrameView(kViewOptionsPrefs);
    }
    bool saved = StoreUserFields(request, user, refused);
    if (const std::string_view words = Field(request, "Dictionary"); !words.empty()) {
        saved = WriteDictionary(user, words) && saved;
    }
    saved = user.Save() && saved;
    if (refused.Any()) {
        TellRefusal(request, kTextFieldsRefused, {refused.Names()});
    } else {
        TellSaved(request, saved);
    }
    if (!finished) {
        return;
    }
    if (request.View() == kViewMain) {
        session.SetFrameView(OptionsReturnView(session, kViewMain));
    } else {
        LeaveOptionsPage(request);
    }
}

void FoldersAction(Request& request)
{
    if (Has(request, "Cancel")) {
        LeaveOptionsPage(request);
        return;
    }
    UserRecord& user = request.CurrentSession()->User();
    store::FolderList& folders = user.Folders();
    bool changed = false;
    // False when the step ended the action.
    const auto take = [&changed](FolderStep step) {
        changed = changed || step == FolderStep::Changed;
        return step != FolderStep::Ended;
    };
    if (Has(request, "Create") && !take(CreateFolder(request, folders))) {
        return;
    }
    if (Has(request, "Rename") && !take(RenameFolder(request, user))) {
        return;
    }
    if (Has(request, "Delete") && !take(DeleteFolder(request, user))) {
        return;
    }
    if (!SaveMessageIndex(user, request.Log())) {
        TellError(request, kTextChangeFailed);
    } else if (changed) {
        TellStatus(request, kTextChangesSaved);
    }
    const store::FolderEntry* selected = folders.SelectedIndex() >= 0 ? folders.GetSelected() : nullptr;
    const std::string selectedName = selected != nullptr ? selected->Name() : std::string();
    (void)folders.Refresh();
    (void)folders.Select(selectedName);
    if (Has(request, "Finished")) {
        LeaveOptionsPage(request);
    }
}

void AddrBookAction(Request& request)
{
    if (Has(request, "Cancel")) {
        LeaveOptionsPage(request);
        return;
    }
    UserRecord& user = request.CurrentSession()->User();
    bool saved = true;
    if (const char* order = store::AddressBookSortOrder(Field(request, "Sort")); order != nullptr) {
        saved = SetUserSettings(user.Settings(), {{"AddrBookSortOrder", order}});
    }
    const bool remove = Has(request, "Delete");
    if (remove) {
        DropNumberedEntries(request);
    }
    if (remove || Has(request, "Finished") || Has(request, "Save") || Has(request, "Create")) {
        saved = RebuildAddressBook(request, user.AddrBook()) && saved;
        TellSaved(request, saved);
    }
    if (Has(request, "Finished")) {
        LeaveOptionsPage(request);
    }
}

} // namespace qm::engine
