// MailHostList: a user's POP3 mail accounts, kept in the [MailHost%d] sections of User.ini, and the names of the
// files kept per account.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qm::store {

/// Longest `Mailbox` name of an account.
inline constexpr std::size_t kMaxMailboxName = 31;

/// True for a name that may be an account's `Mailbox`, which names files in the user directory: at most
/// kMaxMailboxName bytes, not empty, no leading '.', no '/' or '\', no control byte or DEL ("x..y" is allowed: it
/// names "x..y.uid" beside the others).
bool IsValidMailboxName(std::string_view name);

/// The files kept per account in the user directory.
enum class MailboxFile {
    Uid,       ///< "<Mailbox>.uid": the UIDs of the messages seen on the server
    Signature, ///< "<Mailbox>.sig": the signature appended when writing from the account
};

/// The path of an account's file in userDir: an existing file whose name equals "<mailbox>.uid" or
/// "<mailbox>.sig" without regard to ASCII case, else that name as spelled. nullopt when mailbox fails
/// IsValidMailboxName, so that no such file can lie outside userDir.
std::optional<std::string> MailboxFilePath(std::string_view userDir, std::string_view mailbox, MailboxFile which);

/// One POP3 account. Its texts are kept to their limits and clean: every byte below 0x20 of a text becomes a blank,
/// and the texts that go into POP3 command lines (host, user, password) refuse CR, LF and NUL instead, so that no
/// value can add a command. The setters that can refuse return false and leave the field as it was.
class MailHostAccount {
public:
    static constexpr int kDefaultPort = 110;
    /// Longest full name, e-mail address, host and user name; longer ones are cut.
    static constexpr std::size_t kMaxText = 63;
    /// Longest colour text; a longer one is cut.
    static constexpr std::size_t kMaxColor = 15;

    /// The account's name in the system: index entries carry it, its files are named after it.
    const std::string& Mailbox() const { return m_mailbox; }

    /// Cut to kMaxMailboxName bytes; false when the result fails IsValidMailboxName.
    bool SetMailbox(std::string_view name);

    /// The sender identity used when writing from this account.
    const std::string& FullName() const { return m_fullName; }

    void SetFullName(std::string_view text);

    const std::string& EMail() const { return m_email; }

    void SetEMail(std::string_view text);

    /// The POP3 server and the user name there; false for a value holding CR, LF or NUL.
    const std::string& Host() const { return m_host; }

    bool SetHost(std::string_view text);

    const std::string& User() const { return m_user; }

    bool SetUser(std::string_view text);

    /// The POP3 password in plain text, or a text beginning with '\' (a single "\" stands for the password the
    /// user typed at logon). Any length; false for a value holding CR, LF or NUL.
    const std::string& Pass() const { return m_pass; }

    bool SetPass(std::string_view text);

    const std::string& Color() const { return m_color; }

    void SetColor(std::string_view text);

    int Port() const { return m_port; }

    void SetPort(int port) { m_port = port; }

    /// 0 never delete on the server; 1 delete what was deleted here when the trash is emptied or the session ends;
    /// 2 delete each message right after it was fetched in full.
    int Delete() const { return m_delete; }

    void SetDelete(int mode) { m_delete = mode; }

    /// Fetch mail from this account.
    bool Active() const { return m_active; }

    void SetActive(bool active) { m_active = active; }

    /// The account used by default.
    bool Default() const { return m_default; }

    void SetDefault(bool isDefault) { m_default = isDefault; }

    /// The account kept in step with the user's own mailbox (in memory only, never stored).
    bool System() const { return m_system; }

    void SetSystem(bool isSystem) { m_system = isSystem; }

private:
    std::string m_mailbox;
    std::string m_fullName;
    std::string m_email;
    std::string m_host;
    std::string m_user;
    std::string m_pass;
    std::string m_color;
    int m_port = kDefaultPort;
    int m_delete = 0;
    bool m_active = false;
    bool m_default = false;
    bool m_system = false;
};

/// The mail accounts of one user, kept in the user's User.ini as sections "MailHost1", "MailHost2", ... with the
/// keys Mailbox, FullName, EMail, Host, User, Pass, Color, Port, Default, Active and Delete. The list ends at the
/// first section without a Mailbox. Pass is stored scrambled, unless it begins with '\' (kept as it is); a stored
/// value that begins with '-' is a plain password, which the next Load scrambles in the file.
///
/// Not thread-safe: one thread at a time. Accounts are owned by the list; references stay valid until the account
/// is removed or the list is loaded again or destroyed.
class MailHostList {
public:
    /// The settings file in the user directory.
    static constexpr const char* kIniFileName = "User.ini";

    /// An empty list.
    MailHostList() = default;

    /// The accounts of userDir (Load).
    explicit MailHostList(std::string_view userDir);

    MailHostList(const MailHostList&) = delete;
    MailHostList& operator=(const MailHostList&) = delete;

    /// Reads the accounts of userDir's User.ini (found without regard to case), dropping those held before:
    /// for n = 1, 2, ... the section "MailHost%d" until one has an empty or missing Mailbox. Missing keys take
    /// their defaults: FullName and EMail those of [User], Port 110, Active true, Default false, Delete 0, the
    /// rest "". Texts are cut to their limits. A section whose Mailbox fails IsValidMailboxName is no account: it
    /// is reported to the store's log and kept, as it stood, in its place among the accounts, for Save to write back
    /// (other programs read these sections too). A Pass stored as '-' and a plain text is written back scrambled.
    /// Afterwards, when no account is the default, the first becomes it (in memory).
    void Load(std::string_view userDir);

    /// Writes every account that has a Mailbox, and every section that Load kept, in their order as "MailHost1",
    /// "MailHost2", ...: an account with every key; a kept section untouched when its number stays, else with
    /// exactly the keys and values it had. Then deletes every section past the last one written. Returns the number
    /// of sections written, or -1 when the file cannot be written.
    int Save(std::string_view userDir) const;

    /// The Mailbox of the account of that name (ASCII case ignored), or null.
    const char* FindMailbox(std::string_view name) const;

    /// The account of that name (ASCII case ignored), or null: a message's mailbox may name an account that is
    /// gone.
    MailHostAccount* Find(std::string_view name);
    const MailHostAccount* Find(std::string_view name) const;

    /// The index of the account of that name (ASCII case ignored); else that of the first default account; else 0,
    /// also when the list is empty, so it is no index for Item without a look at Count.
    int IndexOf(std::string_view name) const;

    /// The Mailbox of the first default account; with none the first account becomes the default; "" when the
    /// list is empty.
    const std::string& GetDefaultMailbox();

    /// The system account; with none the first account is marked as it. When the list is empty: an empty account
    /// that belongs to no list and is made empty again at every call, so nothing written to it lasts.
    MailHostAccount& GetSystemAccount();

    /// Appends an account with empty texts, Port 110, Delete 0 and every flag false.
    MailHostAccount& NewAccount();

    /// Removes the account at index 0..Count()-1 (the file is untouched until Save). Sections kept by Load stay.
    void RemoveAccount(int index);

    int Count() const { return static_cast<int>(m_accounts.size()); }

    /// The account at index 0..Count()-1.
    MailHostAccount& Item(int index);
    const MailHostAccount& Item(int index) const;

    /// The path of User.ini in userDir: the existing file found without regard to case, else "<userDir>/User.ini".
    static std::string IniPath(std::string_view userDir);

private:
    // A section that Load could not take as an account, as it stood in the file.
    struct KeptSection {
        std::size_t Before = 0; // the index of the account it stands before; Count() or more when after the last
        int Number = 0;         // its number in the file when it was read
        std::vector<std::pair<std::string, std::string>> Entries;
    };

    std::vector<std::unique_ptr<MailHostAccount>> m_accounts;
    std::vector<KeptSection> m_kept;
    MailHostAccount m_empty;
};

} // namespace qm::store
