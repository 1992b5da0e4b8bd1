#include "engine/AdminCalls.h"

#include "common/IniAccess.h"
#include "common/Scrambler.h"
#include "common/StringUtil.h"
#include "engine/Engine.h"
#include "engine/SessionsLock.h"
#include "engine/UserDirectory.h"
#include "engine/UserRecord.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/SharedMemory.h"
#include "store/CvUserBinding.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

namespace qm::engine::admin {
namespace {

using store::CvUserLibrary;

std::string_view Text(const char* text)
{
    return text != nullptr ? std::string_view(text) : std::string_view();
}

std::string Cut(std::string_view text, std::size_t length)
{
    return std::string(text.substr(0, length));
}

// The text from the last '@' on ("@example.com"), or "" when there is none.
std::string_view DomainPart(std::string_view name)
{
    const std::size_t at = name.rfind('@');
    return at == std::string_view::npos ? std::string_view() : name.substr(at);
}

// The name up to its first '@'.
std::string_view MailboxPart(std::string_view name)
{
    return name.substr(0, name.find('@'));
}

template <std::size_t N>
void CopyField(char (&field)[N], std::string_view text)
{
    const std::size_t length = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

// The companion's user library for one call: the engine's when it has one loaded, else one loaded from
// CorvidAppDir for this call only.
class CompanionForCall {
public:
    explicit CompanionForCall(const std::string& corvidDir)
    {
        m_shared = store::LoadedCVUser();
        if (m_shared) {
            return;
        }
        auto loaded = CvUserLibrary::Load(platform::PathJoin(corvidDir, store::kCvUserLibraryName),
                                          store::CvReload::Yes, store::CvMissing::Allow);
        if (loaded) {
            m_own = std::move(*loaded);
        }
    }

    const CvUserLibrary* Get() const { return m_shared ? m_shared.get() : m_own.get(); }

private:
    std::shared_ptr<const CvUserLibrary> m_shared;
    std::unique_ptr<CvUserLibrary> m_own;
};

bool FollowsMailServer()
{
    return ReadIniBool("Mailboxes", "SyncWithMailServer", false);
}

std::string CorvidAppDir()
{
    return ReadIniString("Directories", "CorvidAppDir", "");
}

// The password as QM_UserCreate stores it: "\\dom" as "\dom", "\dom" as it is, anything else scrambled.
std::string StoredCreatePassword(std::string_view password)
{
    if (password.size() >= 2 && password[0] == '\\' && password[1] == '\\') {
        return std::string(password.substr(1));
    }
    if (!password.empty() && password[0] == '\\') {
        return std::string(password);
    }
    return ScramblePassword(password);
}

// True when text holds a CR or LF, which no INI line can keep.
bool HasLineBreak(std::string_view text)
{
    return text.find_first_of("\r\n") != std::string_view::npos;
}

void AddCompanionAccount(const CvUserLibrary& library, std::string_view name, std::string_view password,
                         std::string_view fullName)
{
    auto record = std::make_unique<store::CvUserInfo>();
    std::memset(record.get(), 0, sizeof *record);
    library.InitUserInfo(record.get());
    CopyField(record->Mailbox, MailboxPart(name));
    CopyField(record->Password, password);
    CopyField(record->FullName, fullName);
    const std::string_view domain = DomainPart(name);
    CopyField(record->Domain, domain.empty() ? domain : domain.substr(1));
    library.FilterUserInfo(record.get());
    (void)library.AddUser(record.get(), 0);
}

} // namespace

void RegisterWindow(WindowHandle window)
{
    EngineSharedBlock* block = SharedBlock();
    if (block == nullptr || window == kNoWindow) {
        return;
    }
    SessionsLock guard(*block, "RegisterWindow");
    if (!guard) {
        return;
    }
    WindowHandle* slots = block->Section.NotifyWindows;
    if (std::find(slots, slots + kNotifyWindowSlots, window) != slots + kNotifyWindowSlots) {
        return;
    }
    WindowHandle* free = std::find(slots, slots + kNotifyWindowSlots, kNoWindow);
    if (free != slots + kNotifyWindowSlots) {
        *free = window;
    }
}

void UnRegisterWindow(WindowHandle window)
{
    EngineSharedBlock* block = SharedBlock();
    if (block == nullptr || window == kNoWindow) {
        return;
    }
    SessionsLock guard(*block, "UnRegisterWindow");
    if (!guard) {
        return;
    }
    for (WindowHandle& slot : block->Section.NotifyWindows) {
        if (slot == window) {
            slot = kNoWindow;
        }
    }
}

void GetStatus(EngineStatus* out)
{
    if (out == nullptr) {
        return;
    }
    EngineSharedBlock* block = SharedBlock();
    for (int word = 0; word < 9; ++word) {
        out->Words[word] = block != nullptr ? GetStatus(block->Section.Status, static_cast<StatusWord>(word)) : 0;
    }
}

int GetSessionStatus(SessionRecord* out, int max)
{
    if (out == nullptr || max < 0) {
        max = 0;
    }
    if (max > 0) {
        std::memset(out, 0, static_cast<std::size_t>(max) * sizeof(SessionRecord));
    }
    EngineSharedBlock* block = SharedBlock();
    if (block == nullptr) {
        return kNoSharedBlock;
    }
    auto table = ShmSegment::Open(EngineNamespace(), kSessionTableSegmentName, ShmAccess::ReadOnly);
    if (!table) {
        return table.error().Code == ENOENT ? kNoEngine : kTableUnreadable;
    }
    SessionsLock guard(*block, "GetSessionStatus");
    if (!guard) {
        return kTableUnreadable;
    }
    // The count may be stale after an engine died: never read past the table.
    const int tableRows = static_cast<int>(std::min<std::size_t>(table->Size() / sizeof(SessionRecord), INT32_MAX));
    const int count = std::clamp(GetStatus(block->Section.Status, StatusWord::Sessions), 0, std::min(max, tableRows));
    if (count > 0) {
        std::memcpy(out, table->Data(), static_cast<std::size_t>(count) * sizeof(SessionRecord));
    }
    return count;
}

void KillSession(const char* id)
{
    EngineSharedBlock* block = SharedBlock();
    if (block == nullptr || id == nullptr || id[0] == '\0') {
        return;
    }
    const std::string_view wanted(id, strnlen(id, kSessionIdSize - 1));
    SessionsLock guard(*block, "KillSession");
    if (!guard) {
        return;
    }
    auto& slots = block->Section.KillList;
    for (const auto& slot : slots) {
        if (slot[0] != '\0' && EqualsNoCase(std::string_view(slot, strnlen(slot, kSessionIdSize)), wanted)) {
            return;
        }
    }
    for (auto& slot : slots) {
        if (slot[0] == '\0') {
            std::memset(slot, 0, sizeof slot);
            std::memcpy(slot, wanted.data(), wanted.size());
            return;
        }
    }
}

bool UserCreate(const char* user, const char* password, const char* language, const char* fullName, const char* email)
{
    std::string name(Text(user));
    if (!EngineAttached() || !IsValidUserName(name) || UserDirExists(name)) {
        return false;
    }
    // A password or language that the user's INI cannot hold is refused before anything is made: the account must
    // not come into being without the password it was given.
    if (HasLineBreak(Text(password)) || HasLineBreak(Text(language))) {
        return false;
    }
    std::string address = Cut(Text(email), 63);

    std::unique_ptr<CompanionForCall> companion;
    const std::string corvidDir = CorvidAppDir();
    if (FollowsMailServer() && !corvidDir.empty()) {
        companion = std::make_unique<CompanionForCall>(corvidDir);
        if (companion->Get() == nullptr) {
            return false;
        }
        if (name.find('@') == std::string::npos) {
            if (address.find('@') != std::string::npos) {
                name += DomainPart(address);
            } else {
                char domain[45] = {};
                (void)companion->Get()->GetDomainNameUsingIP("", domain, sizeof domain);
                name += '@';
                name += domain;
            }
        }
        // A name that grew past the limit is refused rather than cut into another account's name.
        if (!IsValidUserName(name) || UserDirExists(name)) {
            return false;
        }
    }

    if (!MakeUserDir(name)) {
        return false;
    }
    const std::string userIni = platform::PathJoin(UserDirPath(name), kUserIniName);
    const std::string_view plainPassword = Text(password);
    const bool passwordStored = plainPassword.empty() ||
                                WriteIniStringFile("User", "Password", StoredCreatePassword(plainPassword), userIni);
    if (!passwordStored || (!Text(language).empty() && !WriteIniStringFile("User", "Lang", Text(language), userIni))) {
        (void)platform::DeleteDirectoryTree(UserDirPath(name));
        return false;
    }

    auto record = UserRecord::Open(name);
    if (!record) {
        return false;
    }
    (void)(*record)->Save();
    (void)WriteIniStringFile("User", "SendWelcome", "Yes", userIni);

    if (address.empty()) {
        address = Cut(name, 63);
    } else if (address.find('@') == std::string::npos) {
        address = Cut(address + std::string(DomainPart(name)), 63);
    }
    (void)(*record)->AddSystemAccount(Cut(Text(fullName), 63), address, plainPassword);

    if (companion) {
        AddCompanionAccount(*companion->Get(), name, plainPassword, Text(fullName));
    }
    record->reset();
    NotifyWindows(kNotifyUserCreated);
    return true;
}

bool UserDelete(const char* user)
{
    if (!EngineAttached()) {
        return false;
    }
    const auto dirName = FindUserDirName(Text(user));
    if (!dirName) {
        return false;
    }
    const std::string dir = platform::PathJoin(UserDirRoot(), *dirName);
    const std::string address =
            dirName->find('@') != std::string::npos
                    ? *dirName
                    : Cut(ReadIniStringFile("MailHost1", "EMail", "", platform::PathJoin(dir, kUserIniName)), 255);
    if (!platform::DeleteDirectoryTree(dir)) {
        return false;
    }
    const std::string corvidDir = CorvidAppDir();
    if (!corvidDir.empty()) {
        CompanionForCall companion(corvidDir);
        if (companion.Get() != nullptr) {
            (void)companion.Get()->DeleteUser(address.c_str(), address.c_str(), store::kCvDeleteAll);
        }
    }
    NotifyWindows(kNotifyUserDeleted);
    return true;
}

bool UserRename(const char* oldUser, const char* newUser)
{
    if (!EngineAttached() || !IsValidUserName(Text(newUser)) || UserDirExists(Text(newUser))) {
        return false;
    }
    const auto oldName = FindUserDirName(Text(oldUser));
    if (!oldName) {
        return false;
    }
    const std::string root = UserDirRoot();
    return platform::MoveNoReplace(platform::PathJoin(root, *oldName), platform::PathJoin(root, Text(newUser)))
            .has_value();
}

bool UserChange(const char* user, const char* newUser, const char* fullName, const char* password)
{
    if (!EngineAttached() || !UserDirExists(Text(user)) || Text(password).size() > kMaxStoredPassword) {
        return false;
    }
    if (!FollowsMailServer()) {
        return true; // the accounts are the mail server's: nothing here to keep in step
    }
    // Refused before the rename: a password the user's INI cannot hold would fail the save after the account moved.
    if (HasLineBreak(Text(password))) {
        return false;
    }
    std::string name(Text(user));
    if (!Text(newUser).empty()) {
        if (!UserRename(user, newUser)) {
            return false;
        }
        name = Text(newUser);
    }
    auto record = UserRecord::Open(name);
    if (!record) {
        return false;
    }
    if (!Text(password).empty()) {
        (*record)->SetPassword(Text(password));
    }
    (*record)->ChangeSystemAccount(Text(newUser), Text(fullName), Text(password));
    const bool saved = (*record)->Save();
    record->reset();
    if (!saved) {
        return false;
    }
    NotifyWindows(kNotifyUserChanged);
    return true;
}

bool UserExists(const char* user)
{
    return EngineAttached() && UserDirExists(Text(user));
}

int UserDiskSpace(const char* user)
{
    if (!EngineAttached()) {
        return 0;
    }
    const auto dirName = FindUserDirName(Text(user));
    if (!dirName) {
        return 0;
    }
    return DirectoryTreeSizeInt32(platform::PathJoin(UserDirRoot(), *dirName));
}

} // namespace qm::engine::admin
