#include "engine/SessionMail.h"

#include "common/IniAccess.h"
#include "common/StringUtil.h"
#include "engine/DomainSettings.h"
#include "engine/Engine.h"
#include "engine/EngineMessages.h"
#include "engine/MailFetch.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "store/MailHostList.h"
#include "store/MessageBuilder.h"
#include "store/MessageIndex.h"

#include <cstdio>
#include <cstdlib>

namespace qm::engine {
namespace {

// A welcome text larger than this is not read.
constexpr std::uint64_t kMaxWelcomeFileSize = 1u << 20;

constexpr const char* kInboxFolder = "Inbox";
constexpr const char* kTrashFolder = "Trash";

// Whether an entry deleted here (Folder "") must stay until its copy on the mail server is deleted: it came from
// an account of the user (by Mailbox) with a Uid, and that account deletes on the server when a message is deleted
// here, or deletes when retrieving but never got this message whole.
bool AwaitsServerDeletion(const store::MessageIndexEntry& entry, const store::MailHostList& accounts)
{
    if (entry.Mailbox().empty() || entry.Uid().empty()) {
        return false;
    }
    for (int i = 0; i < accounts.Count(); ++i) {
        const store::MailHostAccount& account = accounts.Item(i);
        if (!EqualsNoCase(account.Mailbox(), entry.Mailbox())) {
            continue;
        }
        const int mode = account.Delete();
        return mode != 0 && !(mode == 2 && entry.HasFlag(store::MessageFlag::Stored));
    }
    return false;
}

} // namespace

void AdoptFolderFiles(UserRecord& user, const std::string& scratchDir)
{
    user.Messages().AdoptFolderFiles(user.Folders(), scratchDir, store::RestoreMessageFile);
}

void CleanUpMailAtSessionEnd(UserRecord& user, Logger& log)
{
    store::MessageIndex& index = user.Messages();
    const UserSettingsSource settings = user.Settings();

    const int countQuota = GetUserInt("MessageCountQuota", settings);
    const int diskQuota = GetUserInt("DiskSpaceQuota", settings);
    if (GetUserBool("EmptyTrash", settings) || (countQuota > 0 && index.Count() > countQuota) ||
        (diskQuota > 0 && index.StoredSizeKB() > diskQuota)) {
        log.LogMsg(2, kMsgEmptyingTrash, user.Name().c_str());
        if (!index.MoveFolderMessages(kTrashFolder, nullptr)) {
            log.Log(3, "Some messages in the trash of %s could not be deleted.", user.Name().c_str());
        }
    }

    for (int i = 0; i < index.Count(); ++i) {
        index.Entry(i)->ChangeFlags(store::MessageFlag::New, false);
    }

    const store::MailHostList& accounts = user.MailHosts();
    int pending = 0;
    for (int i = index.Count(); i-- > 0;) {
        store::MessageIndexEntry* entry = index.Entry(i);
        if (!entry->Folder().empty()) {
            continue;
        }
        if (AwaitsServerDeletion(*entry, accounts)) {
            ++pending;
        } else {
            index.RemoveEntry(entry);
        }
    }
    // The kept entries go once their server copies are deleted; those whose deletion fails stay for the next
    // session's end.
    if (pending > 0 && !DeleteOnServers(user, Pop3RunSite{nullptr, nullptr, &log})) {
        log.Log(2, "Some messages of %s are still to be deleted on their mail server.", user.Name().c_str());
    }

    (void)SaveMessageIndex(user, log);
}

bool SaveMessageIndex(UserRecord& user, Logger& log)
{
    if (user.Messages().Save()) {
        return true;
    }
    log.Log(4, "The message index of %s could not be saved.", user.Name().c_str());
    return false;
}

std::string MailDateText(time_t when)
{
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm local{};
    if (::localtime_r(&when, &local) == nullptr) {
        return {};
    }
    const long offsetMinutes = local.tm_gmtoff / 60;
    const long absolute = std::labs(offsetMinutes);
    char text[64];
    (void)std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[local.tm_wday % 7],
                        local.tm_mday, kMonths[local.tm_mon % 12], local.tm_year + 1900, local.tm_hour, local.tm_min,
                        local.tm_sec, offsetMinutes < 0 ? '-' : '+', absolute / 60, absolute % 60);
    return text;
}

std::vector<std::string> WelcomeMessageLines(std::string_view fileText, const WelcomeFields& fields, time_t now)
{
    std::vector<std::string> lines;
    lines.push_back("Date: " + MailDateText(now));
    while (!fileText.empty()) {
        const std::size_t end = fileText.find('\n');
        std::string line(fileText.substr(0, end));
        fileText = end == std::string_view::npos ? std::string_view() : fileText.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        ReplaceAllNoCase(line, "<$USERNAME$>", fields.UserName);
        ReplaceAllNoCase(line, "<$FULLNAME$>", fields.FullName);
        ReplaceAllNoCase(line, "<$EMAIL$>", fields.EMail);
        lines.push_back(std::move(line));
    }
    return lines;
}

std::optional<std::vector<std::string>> LoadWelcomeMessage(const UserRecord& user, time_t now)
{
    if (!ReadIniBool("AccountCreation", "SendWelcomeMessage", false)) {
        return std::nullopt;
    }
    const std::string baseDir = ReadIniString("Directories", "BaseDir", InstallDir());
    const auto name = platform::ResolveNoCase(baseDir, kWelcomeFileName);
    if (!name) {
        return std::nullopt;
    }
    auto text = platform::ReadWholeFile(platform::PathJoin(baseDir, *name), kMaxWelcomeFileSize);
    if (!text) {
        return std::nullopt;
    }
    const std::string fullName = user.DefaultAccountFullName();
    const std::string email = user.DefaultAccountEMail();
    return WelcomeMessageLines(*text, WelcomeFields{user.Name(), fullName, email}, now);
}

bool StoreWelcomeMessage(UserRecord& user, const std::vector<std::string>& lines)
{
    store::MessageIndex& index = user.Messages();
    store::MessageIndexEntry* entry = store::StoreMessageLines(index, kInboxFolder, lines);
    if (entry == nullptr) {
        return false;
    }
    if (!entry->HasFlag(store::MessageFlag::Stored)) {
        // No message file: an entry without one would list a message that cannot be shown, and the welcome is
        // tried again at the next logon.
        index.RemoveEntry(entry);
        return false;
    }
    index.MarkDirty();
    return index.Save();
}

WelcomeOutcome SendWelcomeMessage(UserRecord& user, time_t now)
{
    auto lines = LoadWelcomeMessage(user, now);
    if (!lines) {
        return WelcomeOutcome::NoneToSend;
    }
    return StoreWelcomeMessage(user, *lines) ? WelcomeOutcome::Stored : WelcomeOutcome::Failed;
}

} // namespace qm::engine
