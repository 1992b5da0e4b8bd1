// The engine's object for one user: name, domain, user directory and User.ini, with the user's store objects. A
// session owns one; the administration calls build one for a moment.
#pragma once

#include "base/Result.h"
#include "engine/DomainSettings.h"
#include "store/StoreSeams.h"

#include <memory>
#include <string>
#include <string_view>

namespace qm::store {
class MailHostAccount;
} // namespace qm::store

namespace qm::engine {

/// File name of the user's settings in the user directory.
inline constexpr const char* kUserIniName = "User.ini";

/// One user's record. Opening it creates the user directory when it is missing (and the store's special folders)
/// and loads the user's message index. Destroying it writes [Stats] MessageCount and DiskSpace of User.ini from the
/// index, whether or not anything changed; the index itself is not saved there (its owner saves it when changed).
///
/// Not thread-safe: a session's record is used under the session's request lock, an administration call's by that
/// call alone. Name, domain and paths never change after Open and may be read from any thread.
class UserRecord final : public store::StoreUser {
public:
    /// Opens the record of user `name`: the name as the user directory spells it when it exists in another case;
    /// the domain (the text after the last '@', else [Default:Settings] DefaultDomain of Domains.Ini); the user
    /// directory, created when missing (a directory that cannot be made does not stop the record); the store
    /// objects; the password (LoadPassword). Fails only for a name that IsValidUserName refuses.
    static Result<std::unique_ptr<UserRecord>> Open(std::string_view name);

    UserRecord(const UserRecord&) = delete;
    UserRecord& operator=(const UserRecord&) = delete;

    /// Writes [Stats] MessageCount (index entries) and DiskSpace (kilobytes of stored messages), then frees the
    /// store objects.
    ~UserRecord() override;

    const std::string& Name() const { return m_name; }

    const std::string& Domain() const { return m_domain; }

    const std::string& Directory() const { return m_userDir; }

    const std::string& IniPath() const { return m_iniPath; }

    /// Where the user's preferences come from (for GetUserSetting and its kin).
    UserSettingsSource Settings() const { return {m_domain, m_iniPath}; }

    /// The stored password: plain, or the '\' (NT domain) or '*' (LDAP) form as it stands.
    const std::string& Password() const { return m_password; }

    void SetPassword(std::string_view password) { m_password = password; }

    /// The password the user typed at this session's logon (kept for mail accounts whose password is '\').
    void SetOwnPassword(std::string_view password) { m_ownPassword = password; }

    /// Reads [User] Password of User.ini (a '-' plain value is scrambled in the file on the way; anything but the
    /// '\' and '*' forms is unscrambled) and loads the mail filters.
    void LoadPassword();

    /// Writes [User] Password (scrambled unless it begins with '\' or '*'), writes [User] Active back as "Yes" or
    /// "No" (default Yes) and saves the mail filters. False when a write failed or the password is too long to
    /// store (kMaxStoredPassword).
    bool Save();

    /// Messages per List page: the user setting ListPerPage; 1 to 4 give 5, 0 or less give 2000000000 (no paging).
    int ListPerPage() const;

    /// Seconds between refreshes of the List page: the user setting ListRefreshTime (minutes) x 60; 0 or less give
    /// 86400.
    int ListRefreshSeconds() const;

    /// [Stats] writes of User.ini: a text, an integer, and an integer added to the stored one (default 0).
    bool SetStat(std::string_view key, std::string_view text);
    bool SetStatInt(std::string_view key, int value);
    bool AddStat(std::string_view key, int delta);

    /// Writes [Stats] MessageCount (index entries) and DiskSpace (kilobytes of stored messages) from the index.
    void WriteStoreStats();

    /// Appends the user's system mail account (a new account): system, default and active; full name and e-mail;
    /// mailbox the e-mail (31 characters); POP3 user the name, cut at '@' unless the domain's UseEmailForPopUser;
    /// colour "Style1"; the password (a leading "\\" reduced to one '\'); host, port and delete setting of the domain
    /// (delete 1 when the domain gives none). Saves the account list.
    bool AddSystemAccount(std::string_view fullName, std::string_view email, std::string_view password);

    /// Changes the system mail account: a non-empty newName becomes its POP3 user, mailbox and e-mail, a non-empty
    /// fullName its full name and a non-empty password its password. Saves the account list.
    bool ChangeSystemAccount(std::string_view newName, std::string_view fullName, std::string_view password);

    /// Full name and e-mail address of the user's default mail account ("" when the user has none).
    std::string DefaultAccountFullName() const;
    std::string DefaultAccountEMail() const;

    // store::StoreUser
    const char* UserDir() const override { return m_userDir.c_str(); }

    /// The user's message index, loaded when the record was opened; never fails.
    Result<store::MessageIndex*> Index() override { return m_index.get(); }

    /// The same index, for the engine's own code.
    store::MessageIndex& Messages() { return *m_index; }

    store::AddressBook& AddrBook() override { return *m_addressBook; }

    store::FolderList& Folders() override { return *m_folders; }

    store::FilterList& Filters() override { return *m_filters; }

    store::MailHostList& MailHosts() override { return *m_mailHosts; }

    const char* OwnPassword() const override { return m_ownPassword.c_str(); }

private:
    UserRecord() = default;

    void OpenStore();
    void SyncSystemAccount();
    const store::MailHostAccount* DefaultAccount() const;

    std::string m_name;
    std::string m_password;
    std::string m_ownPassword;
    std::string m_domain;
    std::string m_userDir;
    std::string m_iniPath;
    std::unique_ptr<store::MessageIndex> m_index;
    std::unique_ptr<store::AddressBook> m_addressBook;
    std::unique_ptr<store::MailHostList> m_mailHosts;
    std::unique_ptr<store::FilterList> m_filters;
    std::unique_ptr<store::FolderList> m_folders;
};

} // namespace qm::engine
