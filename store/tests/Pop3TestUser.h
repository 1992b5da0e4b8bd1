// What the POP3 client tests share: a user directory with the special folders, its store objects and index, a main
// INI, and a log that keeps every line with the client's numbered messages spelled out.
#pragma once

#include "common/IniAccess.h"
#include "common/StringTable.h"
#include "store/AddressBook.h"
#include "store/FilterList.h"
#include "store/FolderList.h"
#include "store/MailHostList.h"
#include "store/MessageIndex.h"
#include "store/StoreSeams.h"
#include "store/tests/StoreLogRecorder.h"
#include "testsupport/TempDir.h"

#include <filesystem>
#include <iterator>
#include <memory>
#include <string>

namespace qm::test {

// The texts of the client's numbered log messages, as the engine's table has them.
inline constexpr StringEntry kPop3TestMessages[] = {
        {183, "POP3 Getting mail from mailbox %s."},    {184, "POP3 Completed, %d messages retrieved."},
        {185, "POP3 Receive buffer overflow."},         {186, "POP3 Winsock receive error: %d."},
        {187, "POP3 Connection unexpectedly closed."},  {188, "POP3 Connecting to %s..."},
        {189, "POP3 Winsock connect error: %d."},       {190, "POP3 Connection timed out."},
        {191, "POP3 Socket wait error: %d."},           {192, "POP3 Unexpected response: %s."},
        {193, "POP3 Getting message from mailbox %s."}, {276, "POP3 Message to retrieve found..."},
        {277, "POP3 Deleting %d messages..."},          {278, "POP3 Retrieving %d new messages..."},
        {279, "POP3 Completed, %d messages deleted."},  {280, "Corvid POP3 invalid logon attempt for %s."},
        {281, "Corvid POP3 mailbox is locked."},        {282, "Corvid POP3 session starting..."},
        {283, "Corvid POP3 session completed."},
};

/// A user with the special folders, no filters, an own logon password and an index of its own.
class Pop3TestUser : public store::StoreUser {
public:
    explicit Pop3TestUser(const std::string& dir)
        : m_dir(dir)
        , m_folders(PrepareFolders(dir), "en")
        , m_index(std::make_unique<store::MessageIndex>(dir))
    {}

    const char* UserDir() const override { return m_dir.c_str(); }

    Result<store::MessageIndex*> Index() override { return m_index.get(); }

    store::FolderList& Folders() override { return m_folders; }

    store::FilterList& Filters() override { return m_filters; }

    store::MailHostList& MailHosts() override { return m_hosts; }

    store::AddressBook& AddrBook() override { return m_book; }

    const char* OwnPassword() const override { return LogonPassword.c_str(); }

    store::MessageIndex& Messages() { return *m_index; }

    /// Drops the index without saving it and loads it again from its file, as the next session would.
    void ReopenIndex() { m_index = std::make_unique<store::MessageIndex>(m_dir); }

    std::string LogonPassword = "own-logon-pw";

private:
    static std::string PrepareFolders(const std::string& dir)
    {
        for (const char* folder : store::FolderList::kSpecialFolders) {
            std::filesystem::create_directories(std::filesystem::path(dir) / folder);
        }
        return dir;
    }

    std::string m_dir;
    store::FolderList m_folders;
    store::FilterList m_filters;
    store::MailHostList m_hosts;
    store::AddressBook m_book;
    std::unique_ptr<store::MessageIndex> m_index;
};

/// The test's main INI and message table, set while it lives.
class Pop3TestSettings {
public:
    Pop3TestSettings(const TempDir& dir, int timeoutSeconds)
        : m_path(dir / "Quillmail.ini")
    {
        WriteBytes(m_path, "[PopClient]\r\nTimeout=" + std::to_string(timeoutSeconds) +
                                   "\r\n[WebServer]\r\nBindAddress=127.0.0.1\r\n");
        SetMainIniPath(m_path);
        SetStringTable(kPop3TestMessages, std::size(kPop3TestMessages));
    }

    ~Pop3TestSettings()
    {
        SetStringTable(nullptr, 0);
        SetMainIniPath("");
    }

    Pop3TestSettings(const Pop3TestSettings&) = delete;
    Pop3TestSettings& operator=(const Pop3TestSettings&) = delete;

private:
    std::string m_path;
};

} // namespace qm::test
