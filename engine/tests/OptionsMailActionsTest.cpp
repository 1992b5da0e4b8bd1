// The options pages for mail accounts and filters through whole requests: accounts added, completed, renamed with
// their files and messages, removed, and refused when a value cannot be stored; filter rules rebuilt from the form
// rows, moved, deleted, refused when their text cannot be stored, and applied to a folder.
#include "engine/OptionsMailActions.h"

#include "common/CgiInput.h"
#include "common/Scrambler.h"
#include "engine/SessionManager.h"
#include "engine/TemplateCache.h"
#include "engine/UserLogonLocks.h"
#include "engine/tests/RequestTestSupport.h"
#include "engine/tests/SessionTestSupport.h"
#include "store/FilterList.h"
#include "store/FolderList.h"
#include "store/MailHostList.h"
#include "store/MessageBuilder.h"
#include "store/MessageIndex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace qm::engine {
namespace {

using store::MessageIndexEntry;
using test::ReadFile;
using test::WriteFile;
namespace fs = std::filesystem;

constexpr const char* kLanguages =
        "[en]\r\n001=English\r\n002=Inbox\r\n003=Drafts\r\n004=Sent\r\n005=Trash\r\n039=No name.\r\n"
        "041=No e-mail.\r\n042=No host.\r\n043=No user.\r\n044=No pass.\r\n094=Saved.\r\n085=Removed %s.\r\n"
        "086=Refused.\r\n087=Taken: %s.\r\n088=Filter %s refused.\r\n089=Applied, moved: %s\r\n099=Failed.\r\n"
        "420=Kept: %s.\r\n440=Files in the way: %s.\r\n481=Filter %s kept.\r\n";

// Form fields in order; a name may repeat.
using Form = std::vector<std::pair<std::string, std::string>>;

class OptionsMailActionsTest : public ::testing::Test {
public:
    OptionsMailActionsTest()
    {
        const fs::path templates = m_harness.Settings().Dir() / "Templates";
        fs::create_directories(templates / "Globe");
        WriteFile(templates / "Languages.ini", kLanguages);
        for (const char* page : {"Logon", "Main", "Error", "List", "Options", "Options-Hosts", "Options-Filters"}) {
            WriteFile(templates / "Globe" / (std::string(page) + ".html"), std::string(page) + "[<$STATUSMESG$>]");
        }
        m_cache = std::make_unique<TemplateCache>(templates.string(), true, nullptr);
        fs::create_directories(UserDir());
        WriteFile(UserDir() / "User.ini", "[User]\r\nPassword=" + ScramblePassword("pw") + "\r\n");
        WriteFile(m_harness.Settings().Dir() / "Domains.Ini", "");
        const std::string logon = Send("View=Main&User=alice&Password=pw");
        m_session = m_harness.Manager().FindByUser("alice");
        EXPECT_NE(m_session, nullptr) << logon;
        if (m_session != nullptr) {
            m_cookies = "Session=" + m_session->CookieSecret() + "; Lang=en; Theme=Globe";
        }
    }

    ~OptionsMailActionsTest() override
    {
        if (m_session != nullptr) {
            m_session->Unbusy();
        }
    }

    OptionsMailActionsTest(const OptionsMailActionsTest&) = delete;
    OptionsMailActionsTest& operator=(const OptionsMailActionsTest&) = delete;

protected:
    fs::path UserDir() { return m_harness.Settings().UserDir("alice"); }

    std::string Send(const std::string& query)
    {
        RequestServices services = test::HarnessServices(m_harness, m_cache.get());
        services.LogonLocks = &m_logonLocks;
        return test::RunRequest(test::GetRequestEnvironment(query, m_cookies), std::move(services),
                                (m_harness.Settings().Dir() / "response").string())
                .Page();
    }

    // One request of the view with the form's fields; the page it shows.
    std::string Post(const std::string& view, const Form& form)
    {
        std::string query = "View=" + view + "&Session=" + std::string(m_session->Id());
        for (const auto& [name, value] : form) {
            query += "&" + UrlEncode(name) + "=" + UrlEncode(value);
        }
        return Send(query);
    }

    UserRecord& User() { return m_session->User(); }

    store::MailHostList& Accounts() { return User().MailHosts(); }

    // The accounts as the user's User.ini holds them now.
    std::vector<std::string> StoredMailboxes()
    {
        store::MailHostList stored(UserDir().string());
        std::vector<std::string> names;
        for (int i = 0; i < stored.Count(); ++i) {
            names.push_back(stored.Item(i).Mailbox());
        }
        return names;
    }

    store::MailHostAccount& AddAccount(const std::string& mailbox)
    {
        store::MailHostAccount& account = Accounts().NewAccount();
        EXPECT_TRUE(account.SetMailbox(mailbox));
        account.SetEMail(mailbox + "@x.org");
        account.SetHost("pop.x.org");
        account.SetUser(mailbox);
        account.SetPass("secret");
        account.SetActive(true);
        EXPECT_GE(Accounts().Save(UserDir().string()), 0);
        return account;
    }

    // The fields of one complete account row.
    static Form AccountRow(int row, const std::string& mailbox, const std::string& oldMailbox)
    {
        const std::string n = ":" + std::to_string(row);
        return {{"Mailbox" + n, mailbox},      {"OldMailbox" + n, oldMailbox},
                {"MailName" + n, "Al Ice"},    {"MailEMail" + n, "al@x.org"},
                {"MailHost" + n, "pop.x.org"}, {"MailUser" + n, "al"},
                {"MailPass" + n, "secret"},    {"MailPort" + n, "1110"},
                {"MailActive" + n, "0"},       {"MailActive" + n, "1"},
                {"MailDefault" + n, "0"},      {"MailDelete" + n, "2"},
                {"MailColor" + n, "Style3"},   {"MailSig" + n, ""}};
    }

    static Form With(Form form, const std::string& name, const std::string& value)
    {
        for (auto& field : form) {
            if (field.first == name) {
                field.second = value;
            }
        }
        return form;
    }

    static Form Plus(Form form, const Form& more)
    {
        form.insert(form.end(), more.begin(), more.end());
        return form;
    }

    // ---- filters ----

    void AddRules(const std::vector<std::string>& rules)
    {
        for (const std::string& rule : rules) {
            ASSERT_EQ(User().Filters().AddFromText(rule), store::FilterList::AddResult::Added) << rule;
        }
        ASSERT_GE(User().Filters().Save(), 0);
    }

    // The rules as stored in User.ini now.
    std::vector<std::string> StoredRules()
    {
        store::FilterList stored;
        const std::string path = (UserDir() / "User.ini").string();
        stored.Load(path.c_str());
        std::vector<std::string> rules;
        for (int i = 0; i < stored.Count(); ++i) {
            rules.push_back(store::FilterList::FormatRule(stored.Item(i)));
        }
        return rules;
    }

    // The form rows of the rules held now, numbered from 1 as the page numbers them.
    Form RuleRows()
    {
        Form form;
        const store::FilterList& filters = User().Filters();
        for (int i = 0; i < filters.Count(); ++i) {
            const store::FilterRule& rule = filters.Item(i);
            const std::string n = ":" + std::to_string(i + 1);
            if (rule.Active) {
                form.push_back({"FilterEnable" + n, "Y"});
            }
            form.insert(form.end(), {{"FilterWhat" + n, std::string(1, rule.Header)},
                                     {"FilterMatch" + n, std::string(1, rule.Operator)},
                                     {"FilterLiteral" + n, rule.Text},
                                     {"FilterFolder" + n, rule.Folder}});
        }
        return form;
    }

    static Form RuleRow(int row, const std::string& what, const std::string& match, const std::string& literal,
                        const std::string& folder)
    {
        const std::string n = ":" + std::to_string(row);
        return {{"FilterEnable" + n, "Y"},
                {"FilterWhat" + n, what},
                {"FilterMatch" + n, match},
                {"FilterLiteral" + n, literal},
                {"FilterFolder" + n, folder}};
    }

    MessageIndexEntry* Store(const std::string& folder, const std::string& subject, const std::string& from)
    {
        store::MessageBuilder builder(User().Messages(), folder);
        EXPECT_TRUE(builder.Begin(1000, true));
        const std::vector<std::string> lines = {"From: " + from, "To: me@x.org", "Subject: " + subject, "", "Text."};
        for (const std::string& line : lines) {
            builder.AddLine(line);
        }
        MessageIndexEntry* entry = builder.Finish();
        EXPECT_NE(entry, nullptr);
        return entry;
    }

    test::SessionHarness m_harness{"[General]\r\nLogLevel=1\r\n"};
    std::unique_ptr<TemplateCache> m_cache;
    UserLogonLocks m_logonLocks;
    Session* m_session = nullptr;
    std::string m_cookies = "Lang=en; Theme=Globe";
};

// ---- mail accounts ----

TEST_F(OptionsMailActionsTest, AddsACompleteAccountAndDropsAnIncompleteNewOneWithItsMessage)
{
    ASSERT_NE(m_session, nullptr);

    struct Case {
        const char* Cleared; // the field left empty
        const char* Page;
    };

    const Case cases[] = {
            {"Mailbox:0", "Options-Hosts[No name.]"},  {"MailEMail:0", "Options-Hosts[No e-mail.]"},
            {"MailHost:0", "Options-Hosts[No host.]"}, {"MailUser:0", "Options-Hosts[No user.]"},
            {"MailPass:0", "Options-Hosts[No pass.]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Cleared);
        EXPECT_EQ(Post("Options-Hosts", Plus(With(AccountRow(0, "Work", ""), c.Cleared, ""), {{"Save", "Yes"}})),
                  c.Page);
        EXPECT_EQ(Accounts().Count(), 0);
        EXPECT_EQ(StoredMailboxes(), std::vector<std::string>{});
    }
    // A row without any of name, address, user and password is no account and no complaint.
    Form empty = AccountRow(0, "", "");
    for (const char* cleared : {"MailEMail:0", "MailUser:0", "MailPass:0"}) {
        empty = With(empty, cleared, "");
    }
    EXPECT_EQ(Post("Options-Hosts", Plus(empty, {{"Save", "Yes"}})), "Options-Hosts[Saved.]");
    EXPECT_EQ(Accounts().Count(), 0);

    EXPECT_EQ(Post("Options-Hosts", Plus(With(AccountRow(0, "Work", ""), "MailSig:0", "-- \r\nAl"), {{"Save", "Y"}})),
              "Options-Hosts[Saved.]");
    store::MailHostList stored(UserDir().string());
    ASSERT_EQ(stored.Count(), 1);
    const store::MailHostAccount& account = stored.Item(0);
    EXPECT_EQ(account.Mailbox(), "Work");
    EXPECT_EQ(account.FullName(), "Al Ice");
    EXPECT_EQ(account.EMail(), "al@x.org");
    EXPECT_EQ(account.Host(), "pop.x.org");
    EXPECT_EQ(account.User(), "al");
    EXPECT_EQ(account.Pass(), "secret");
    EXPECT_EQ(account.Port(), 1110);
    EXPECT_TRUE(account.Active()) << "the checkbox after its hidden field decides";
    EXPECT_EQ(account.Delete(), 2);
    EXPECT_EQ(account.Color(), "Style3");
    EXPECT_EQ(ReadFile(UserDir() / "Work.sig"), "-- \r\nAl");
}

// The pages show a refusal unlike a confirmation: "!" marks the status messages that are refusals.
TEST_F(OptionsMailActionsTest, RefusalsAreMarkedAsErrorsAndConfirmationsAreNot)
{
    ASSERT_NE(m_session, nullptr);
    const fs::path templates = m_harness.Settings().Dir() / "Templates";
    for (const char* page : {"Options-Hosts", "Options-Filters"}) {
        WriteFile(templates / "Globe" / (std::string(page) + ".html"),
                  std::string(page) + "<$IF STATUSERROR$>!<$ENDIF$>[<$STATUSMESG$>]");
    }
    m_cache = std::make_unique<TemplateCache>(templates.string(), true, nullptr);

    EXPECT_EQ(Post("Options-Hosts", Plus(With(AccountRow(0, "Work", ""), "MailHost:0", ""), {{"Save", "Yes"}})),
              "Options-Hosts![No host.]");
    EXPECT_EQ(Post("Options-Hosts", Plus(AccountRow(0, "Work", ""), {{"Save", "Yes"}})), "Options-Hosts[Saved.]");
    EXPECT_EQ(Post("Options-Hosts", {{"Delete", "Work"}}), "Options-Hosts[Removed Work.]");
    EXPECT_EQ(Post("Options-Filters", Plus(RuleRow(1, "S", "C", "ok", "Se\"nt"), {{"Save", "Y"}})),
              "Options-Filters![Filter 1 refused.]");
    EXPECT_EQ(Post("Options-Filters", Plus(RuleRow(1, "S", "C", "ok", "Sent"), {{"Save", "Y"}})),
              "Options-Filters[Saved.]");
}

TEST_F(OptionsMailActionsTest, AnIncompleteExistingAccountKeepsItsChangesWithTheMessage)
{
    ASSERT_NE(m_session, nullptr);
    AddAccount("Work");
    EXPECT_EQ(Post("Options-Hosts",
                   Plus(With(With(AccountRow(0, "Work", "Work"), "MailHost:0", ""), "MailName:0", "New Name"),
                        {{"Save", "Yes"}})),
              "Options-Hosts[No host.]");
    store::MailHostList stored(UserDir().string());
    ASSERT_EQ(stored.Count(), 1);
    EXPECT_EQ(stored.Item(0).FullName(), "New Name");
    EXPECT_EQ(stored.Item(0).Host(), "");
}

TEST_F(OptionsMailActionsTest, RenamingAnAccountTakesItsFilesAndMessagesAlong)
{
    ASSERT_NE(m_session, nullptr);
    AddAccount("Work");
    WriteFile(UserDir() / "Work.uid", "uid-1\r\n");
    WriteFile(UserDir() / "Work.sig", "old sig");
    MessageIndexEntry* message = Store("Inbox", "hello", "a@x.org");
    message->SetMailbox("Work");

    EXPECT_EQ(Post("Options-Hosts",
                   Plus(With(AccountRow(0, "Office", "Work"), "MailSig:0", "new sig"), {{"Finished", "Yes"}})),
              "List[Saved.]");
    EXPECT_EQ(StoredMailboxes(), std::vector<std::string>{"Office"});
    EXPECT_FALSE(fs::exists(UserDir() / "Work.uid"));
    EXPECT_FALSE(fs::exists(UserDir() / "Work.sig"));
    EXPECT_EQ(ReadFile(UserDir() / "Office.uid"), "uid-1\r\n");
    EXPECT_EQ(ReadFile(UserDir() / "Office.sig"), "new sig");
    EXPECT_EQ(message->Mailbox(), "Office");
}

TEST_F(OptionsMailActionsTest, RenamingToAnotherAccountsNameKeepsTheNameAndStoresTheRest)
{
    ASSERT_NE(m_session, nullptr);
    AddAccount("Work");
    AddAccount("Home");
    WriteFile(UserDir() / "Work.uid", "work uids");
    const Form rows = Plus(Plus(AccountRow(0, "home", "Work"), AccountRow(1, "Home", "Home")), {{"Save", "Yes"}});
    EXPECT_EQ(Post("Options-Hosts", rows), "Options-Hosts[Taken: home.]");
    store::MailHostList stored(UserDir().string());
    ASSERT_EQ(stored.Count(), 2);
    EXPECT_EQ(stored.Item(0).Mailbox(), "Work");
    EXPECT_EQ(stored.Item(0).FullName(), "Al Ice");
    EXPECT_EQ(stored.Item(0).Port(), 1110);
    EXPECT_EQ(ReadFile(UserDir() / "Work.uid"), "work uids");

    // A new account may not take a name either: it is not added.
    EXPECT_EQ(Post("Options-Hosts", Plus(AccountRow(0, "WORK", ""), {{"Save", "Yes"}})), "Options-Hosts[Taken: WORK.]");
    EXPECT_EQ(StoredMailboxes(), (std::vector<std::string>{"Work", "Home"}));
}

TEST_F(OptionsMailActionsTest, RenamingOverTheFilesOfAnEarlierAccountIsRefused)
{
    ASSERT_NE(m_session, nullptr);
    AddAccount("Work");
    WriteFile(UserDir() / "Work.uid", "work uids\r\n");
    MessageIndexEntry* message = Store("Inbox", "hello", "a@x.org");
    message->SetMailbox("Work");
    for (const char* stale : {"office.uid", "Office.sig"}) {
        SCOPED_TRACE(stale);
        WriteFile(UserDir() / stale, "an earlier account's");
        EXPECT_EQ(Post("Options-Hosts", Plus(AccountRow(0, "Office", "Work"), {{"Save", "Yes"}})),
                  "Options-Hosts[Files in the way: Office.]");
        EXPECT_EQ(StoredMailboxes(), std::vector<std::string>{"Work"});
        EXPECT_EQ(Accounts().Item(0).FullName(), "Al Ice") << "the other fields are stored";
        EXPECT_EQ(ReadFile(UserDir() / stale), "an earlier account's");
        EXPECT_EQ(ReadFile(UserDir() / "Work.uid"), "work uids\r\n");
        EXPECT_EQ(message->Mailbox(), "Work");
        fs::remove(UserDir() / stale);
    }
}

TEST_F(OptionsMailActionsTest, ABlankSignatureRemovesTheFileAndARowWithoutTheFieldLeavesIt)
{
    ASSERT_NE(m_session, nullptr);
    AddAccount("Work");
    WriteFile(UserDir() / "Work.sig", "sig");
    Form row = AccountRow(0, "Work", "Work");
    row.pop_back(); // no MailSig:0
    EXPECT_EQ(Post("Options-Hosts", Plus(row, {{"Save", "Yes"}})), "Options-Hosts[Saved.]");
    EXPECT_EQ(ReadFile(UserDir() / "Work.sig"), "sig");
    EXPECT_EQ(Post("Options-Hosts", Plus(With(AccountRow(0, "Work", "Work"), "MailSig:0", " \r\n"), {{"Save", "Y"}})),
              "Options-Hosts[Saved.]");
    EXPECT_FALSE(fs::exists(UserDir() / "Work.sig"));
}

TEST_F(OptionsMailActionsTest, DeleteRemovesTheAccountAndItsFiles)
{
    ASSERT_NE(m_session, nullptr);
    AddAccount("Home"); // the first: the system account
    AddAccount("Work");
    WriteFile(UserDir() / "work.uid", "uids");
    WriteFile(UserDir() / "Work.sig", "sig");
    WriteFile(UserDir() / "Home.sig", "home sig");
    EXPECT_EQ(Post("Options-Hosts", {{"Delete", "nobody"}}), "Options-Hosts[]");
    EXPECT_EQ(StoredMailboxes(), (std::vector<std::string>{"Home", "Work"}));

    EXPECT_EQ(Post("Options-Hosts", {{"Delete", "WORK"}}), "Options-Hosts[Removed Work.]");
    EXPECT_EQ(StoredMailboxes(), std::vector<std::string>{"Home"});
    EXPECT_FALSE(fs::exists(UserDir() / "work.uid"));
    EXPECT_FALSE(fs::exists(UserDir() / "Work.sig"));
    EXPECT_EQ(ReadFile(UserDir() / "Home.sig"), "home sig");
}

TEST_F(OptionsMailActionsTest, TheSystemAccountStaysWhileTheDomainKeepsItInStep)
{
    ASSERT_NE(m_session, nullptr);
    AddAccount("Home"); // the first: the system account
    AddAccount("Work");
    WriteFile(UserDir() / "Home.uid", "uids");
    const fs::path domains = m_harness.Settings().Dir() / "Domains.Ini";

    // The page shows no button for the system account while the domain keeps it in step; a request that names it
    // anyway is refused with a message and changes nothing.
    WriteFile(domains, "[Default:Settings]\r\nSyncSystemMailbox=Yes\r\n");
    EXPECT_EQ(Post("Options-Hosts", {{"Delete", "home"}}), "Options-Hosts[Kept: Home.]");
    EXPECT_EQ(StoredMailboxes(), (std::vector<std::string>{"Home", "Work"}));
    EXPECT_TRUE(fs::exists(UserDir() / "Home.uid"));

    // Not kept in step, it is an account like the others.
    WriteFile(domains, "[Default:Settings]\r\nSyncSystemMailbox=No\r\n");
    EXPECT_EQ(Post("Options-Hosts", {{"Delete", "Home"}}), "Options-Hosts[Removed Home.]");
    EXPECT_EQ(StoredMailboxes(), std::vector<std::string>{"Work"});
    EXPECT_FALSE(fs::exists(UserDir() / "Home.uid"));
}

TEST_F(OptionsMailActionsTest, NamesThatWouldNameOtherFilesAreRefusedAndNothingIsWritten)
{
    ASSERT_NE(m_session, nullptr);
    AddAccount("Work");
    WriteFile(UserDir() / "Work.uid", "uids");
    const std::string before = ReadFile(UserDir() / "User.ini");
    for (const char* name : {"..", ".hidden", "../evil", "a/b", "a\\b", "a\x01z", "tab\there"}) {
        SCOPED_TRACE(name);
        // As a new account and as a new name of the existing one.
        for (const std::string& old : {std::string(), std::string("Work")}) {
            const Form row = With(AccountRow(0, name, old), "MailSig:0", "sig");
            EXPECT_EQ(Post("Options-Hosts", Plus(row, {{"Save", "Yes"}})), "Options-Hosts[Refused.]");
        }
        EXPECT_EQ(ReadFile(UserDir() / "User.ini"), before);
    }
    EXPECT_EQ(ReadFile(UserDir() / "Work.uid"), "uids");
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(UserDir())) {
        files.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(std::count_if(files.begin(), files.end(), [](const std::string& f) { return f.ends_with(".sig"); }), 0);
    EXPECT_FALSE(fs::exists(UserDir().parent_path() / "evil.sig"));
}

TEST_F(OptionsMailActionsTest, LineBreaksNeverReachTheSettingsAndValuesAreCut)
{
    ASSERT_NE(m_session, nullptr);
    AddAccount("Work");
    const std::string longText(100, 'n');

    struct Case {
        const char* Field;
        std::string Value;
    };

    const Case refused[] = {{"MailHost:0", "pop\r\n[Evil]"},
                            {"MailUser:0", "u\nInjected=1"},
                            {"MailPass:0", "p\r\nx"},
                            {"MailName:0", "Al\r\n[MailHost9]"},
                            {"MailEMail:0", "a@x\n"},
                            {"MailColor:0", "Style1\r\nX=1"},
                            {"MailPort:0", "0"},
                            {"MailPort:0", "70000"},
                            {"MailDelete:0", "3"}};
    for (const Case& c : refused) {
        SCOPED_TRACE(c.Field);
        EXPECT_EQ(Post("Options-Hosts", Plus(With(AccountRow(0, "Work", "Work"), c.Field, c.Value), {{"Save", "Y"}})),
                  "Options-Hosts[Refused.]");
        const std::string ini = ReadFile(UserDir() / "User.ini");
        EXPECT_EQ(ini.find("Evil"), std::string::npos);
        EXPECT_EQ(ini.find("Injected"), std::string::npos);
        EXPECT_EQ(ini.find("MailHost9"), std::string::npos);
        EXPECT_EQ(ini.find("X=1"), std::string::npos);
    }
    Form longRow = AccountRow(0, "W" + longText, "Work");
    for (const char* field : {"MailName:0", "MailEMail:0", "MailHost:0", "MailUser:0", "MailPass:0", "MailColor:0"}) {
        longRow = With(longRow, field, longText);
    }
    EXPECT_EQ(Post("Options-Hosts", Plus(longRow, {{"Save", "Yes"}})), "Options-Hosts[Saved.]");
    store::MailHostList stored(UserDir().string());
    ASSERT_EQ(stored.Count(), 1);
    const store::MailHostAccount& account = stored.Item(0);
    EXPECT_EQ(account.Mailbox().size(), store::kMaxMailboxName);
    EXPECT_EQ(account.FullName().size(), 63U);
    EXPECT_EQ(account.Host().size(), 63U);
    EXPECT_EQ(account.Pass().size(), 63U);
    EXPECT_EQ(account.Color().size(), 15U);
}

TEST_F(OptionsMailActionsTest, CancelChangesNothingOnEitherPage)
{
    ASSERT_NE(m_session, nullptr);
    AddAccount("Work");
    AddRules({"Y S C \"a\" \"Sent\""});
    const std::string before = ReadFile(UserDir() / "User.ini");
    EXPECT_EQ(Post("Options-Hosts", Plus(AccountRow(0, "Other", "Work"), {{"Save", "Y"}, {"Cancel", "Y"}})), "List[]");
    EXPECT_EQ(Post("Options-Hosts", {{"Delete", "Work"}, {"Cancel", "Y"}}), "List[]");
    EXPECT_EQ(Post("Options-Filters", Plus(RuleRow(1, "F", "C", "b", "Trash"), {{"Save", "Y"}, {"Cancel", "Y"}})),
              "List[]");
    EXPECT_EQ(Post("Options-Filters", {{"FilterDelete:1", "Y"}, {"Cancel", "Y"}}), "List[]");
    EXPECT_EQ(ReadFile(UserDir() / "User.ini"), before);
}

// ---- filters ----

TEST_F(OptionsMailActionsTest, SaveRebuildsTheRulesFromTheRowsInOrder)
{
    ASSERT_NE(m_session, nullptr);
    AddRules({"Y S C \"old\" \"Sent\""});
    Form form = Plus(RuleRow(1, "F", "E", "x.org", "Sent"), RuleRow(2, "S", "S", "[list]", "Trash"));
    form = Plus(form, RuleRow(3, "T", "C", "", "Sent")); // no text: no rule
    form = Plus(form, With(RuleRow(99, "s", "i", "new", "Drafts"), "FilterEnable:99", ""));
    EXPECT_EQ(Post("Options-Filters", Plus(form, {{"Save", "Yes"}})), "Options-Filters[Saved.]");
    EXPECT_EQ(StoredRules(), (std::vector<std::string>{"Y F E \"x.org\" \"Sent\"", "Y S S \"[list]\" \"Trash\"",
                                                       "N S I \"new\" \"Drafts\""}));
}

TEST_F(OptionsMailActionsTest, MoveButtonsSwapTwoRulesAndStayOnThePage)
{
    ASSERT_NE(m_session, nullptr);
    AddRules({"Y S C \"one\" \"Sent\"", "Y S C \"two\" \"Sent\"", "Y S C \"three\" \"Sent\""});
    // An image button arrives as its name with ".x" and ".y".
    EXPECT_EQ(Post("Options-Filters", Plus(RuleRows(), {{"FilterUp:3.x", "7"}, {"FilterUp:3.y", "4"}})),
              "Options-Filters[Saved.]");
    EXPECT_EQ(StoredRules(), (std::vector<std::string>{"Y S C \"one\" \"Sent\"", "Y S C \"three\" \"Sent\"",
                                                       "Y S C \"two\" \"Sent\""}));
    EXPECT_EQ(Post("Options-Filters", Plus(RuleRows(), {{"FilterDown:1.x", "1"}, {"FilterDown:1.y", "1"}})),
              "Options-Filters[Saved.]");
    EXPECT_EQ(StoredRules(), (std::vector<std::string>{"Y S C \"three\" \"Sent\"", "Y S C \"one\" \"Sent\"",
                                                       "Y S C \"two\" \"Sent\""}));
    // The first rule cannot move up, the last not down: the rules are saved as they stand.
    for (const char* button : {"FilterUp:1", "FilterDown:3"}) {
        SCOPED_TRACE(button);
        EXPECT_EQ(Post("Options-Filters", Plus(RuleRows(), {{button, "Y"}})), "Options-Filters[Saved.]");
        EXPECT_EQ(StoredRules().size(), 3U);
        EXPECT_EQ(StoredRules()[0], "Y S C \"three\" \"Sent\"");
    }
}

TEST_F(OptionsMailActionsTest, DeleteTakesARuleInTheListAndAnyOtherNumberLetsTheOtherButtonsRun)
{
    ASSERT_NE(m_session, nullptr);
    AddRules({"Y S C \"one\" \"Sent\"", "Y S C \"two\" \"Sent\"", "Y S C \"three\" \"Sent\""});
    // Number 7 names no rule: the Save of the same request rebuilds from the rows, with the new row appended.
    for (const char* number : {"FilterDelete:7", "FilterDelete:0", "FilterDelete:x"}) {
        SCOPED_TRACE(number);
        const Form form = Plus(RuleRows(), {{number, "Y"}, {"Save", "Y"}});
        EXPECT_EQ(Post("Options-Filters", form), "Options-Filters[Saved.]");
        EXPECT_EQ(StoredRules().size(), 3U);
    }
    EXPECT_EQ(Post("Options-Filters", Plus(Plus(RuleRows(), RuleRow(99, "F", "C", "four", "Trash")),
                                           {{"FilterDelete:7", "Y"}, {"Save", "Y"}})),
              "Options-Filters[Saved.]");
    EXPECT_EQ(StoredRules().size(), 4U);

    // A delete in range deletes that rule only; the edited rows of the form are not taken.
    const Form edited = With(RuleRows(), "FilterLiteral:1", "edited");
    EXPECT_EQ(Post("Options-Filters", Plus(edited, {{"FilterDelete:2", "Y"}})), "Options-Filters[Saved.]");
    EXPECT_EQ(StoredRules(), (std::vector<std::string>{"Y S C \"one\" \"Sent\"", "Y S C \"three\" \"Sent\"",
                                                       "Y F C \"four\" \"Trash\""}));
}

TEST_F(OptionsMailActionsTest, AFullListOfRulesSurvivesASaveFromThePage)
{
    ASSERT_NE(m_session, nullptr);
    std::vector<std::string> rules;
    for (int i = 1; i <= store::FilterList::kMaxRules; ++i) {
        rules.push_back("Y S C \"r" + std::to_string(i) + "\" \"Sent\"");
    }
    AddRules(rules);
    // Numbered from 1, the hundredth rule is row 100.
    EXPECT_EQ(Post("Options-Filters", Plus(RuleRows(), {{"Save", "Y"}})), "Options-Filters[Saved.]");
    EXPECT_EQ(StoredRules(), rules);
}

TEST_F(OptionsMailActionsTest, AQuoteThatTheStoredRuleCannotHoldRefusesTheRow)
{
    ASSERT_NE(m_session, nullptr);
    const Form form = Plus(Plus(Plus(RuleRow(1, "S", "C", "say \"hi\"", "Sent"), RuleRow(2, "S", "C", "a\" b", "Sent")),
                                RuleRow(3, "S", "C", "ok", "Se\"nt")),
                           Plus(RuleRow(4, "S C \"x\" \"Trash\" Y", "C", "z", "Sent"), {{"Save", "Y"}}));
    EXPECT_EQ(Post("Options-Filters", form), "Options-Filters[Filter 2 refused.]");
    EXPECT_EQ(StoredRules(), std::vector<std::string>{"Y S C \"say \"hi\"\" \"Sent\""});
}

TEST_F(OptionsMailActionsTest, AnEditThatTheStoredRuleCannotHoldKeepsTheRuleItWas)
{
    ASSERT_NE(m_session, nullptr);
    const std::vector<std::string> rules = {"Y S C \"one\" \"Sent\"", "Y F E \"x.org\" \"Trash\""};
    AddRules(rules);

    struct Case {
        const char* Field;
        const char* Value;
    };

    const Case cases[] = {{"FilterLiteral:2", "a\" b"}, {"FilterFolder:2", "Se\"nt"}, {"FilterWhat:2", "SS"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Field);
        const Form form = With(With(RuleRows(), "FilterLiteral:1", "edited"), c.Field, c.Value);
        EXPECT_EQ(Post("Options-Filters", Plus(form, {{"Save", "Y"}})), "Options-Filters[Filter 2 kept.]");
        EXPECT_EQ(StoredRules(), (std::vector<std::string>{"Y S C \"edited\" \"Sent\"", rules[1]}));
    }
    // Moved up, the rule it was keeps the place it moved to.
    const Form moved = With(RuleRows(), "FilterLiteral:2", "a\" b");
    EXPECT_EQ(Post("Options-Filters", Plus(moved, {{"FilterUp:2", "Y"}})), "Options-Filters[Filter 1 kept.]");
    EXPECT_EQ(StoredRules(), (std::vector<std::string>{rules[1], "Y S C \"edited\" \"Sent\""}));
    // A new row has no rule to keep: it is refused.
    EXPECT_EQ(Post("Options-Filters", Plus(Plus(RuleRows(), RuleRow(99, "S", "C", "a\" b", "Sent")), {{"Save", "Y"}})),
              "Options-Filters[Filter 3 refused.]");
    EXPECT_EQ(StoredRules().size(), 2U);
}

TEST_F(OptionsMailActionsTest, ASaveThatFailsIsToldAndNothingIsApplied)
{
    ASSERT_NE(m_session, nullptr);
    AddRules({"Y S C \"one\" \"Sent\"", "Y S C \"two\" \"Sent\""});
    MessageIndexEntry* inbox = Store("Inbox", "one more", "a@x.org");
    const std::string before = ReadFile(UserDir() / "User.ini");
    // The settings file cannot be replaced while a directory stands in its place.
    fs::remove(UserDir() / "User.ini");
    fs::create_directories(UserDir() / "User.ini" / "x");
    for (const char* button : {"Save", "Apply", "Finished"}) {
        SCOPED_TRACE(button);
        EXPECT_EQ(Post("Options-Filters", Plus(RuleRows(), {{"DestFolder", "Inbox"}, {button, "Y"}})),
                  std::string(button) == "Finished" ? "List[Failed.]" : "Options-Filters[Failed.]");
    }
    EXPECT_EQ(inbox->Folder(), "Inbox") << "rules that could not be saved are not applied";
    EXPECT_EQ(Post("Options-Filters", {{"FilterDelete:1", "Y"}}), "Options-Filters[Failed.]");
    fs::remove_all(UserDir() / "User.ini");
    WriteFile(UserDir() / "User.ini", before);
}

TEST_F(OptionsMailActionsTest, ApplyFilesTheMessagesOfTheFolderAndWithSubfoldersOfThoseBelow)
{
    ASSERT_NE(m_session, nullptr);
    store::FolderList& folders = User().Folders();
    ASSERT_TRUE(folders.Create("Work"));
    ASSERT_TRUE(folders.Create("Work/Old"));
    ASSERT_TRUE(folders.Create("Lists"));
    MessageIndexEntry* top = Store("Work", "[list] top", "a@x.org");
    MessageIndexEntry* below = Store("Work/Old", "[list] below", "a@x.org");
    MessageIndexEntry* other = Store("Work", "other", "a@x.org");
    MessageIndexEntry* inbox = Store("Inbox", "[list] inbox", "a@x.org");
    MessageIndexEntry* lost = Store("Work", "gone somewhere", "a@x.org");
    const Form rules = Plus(RuleRow(1, "S", "S", "[list]", "Lists"), RuleRow(2, "S", "C", "somewhere", "Nowhere"));

    EXPECT_EQ(Post("Options-Filters", Plus(rules, {{"DestFolder", "work"}, {"Apply", "Y"}})),
              "Options-Filters[Applied, moved: 1]");
    EXPECT_EQ(top->Folder(), "Lists");
    EXPECT_EQ(below->Folder(), "Work/Old");
    EXPECT_EQ(other->Folder(), "Work");
    EXPECT_EQ(inbox->Folder(), "Inbox");
    EXPECT_EQ(lost->Folder(), "Work") << "a rule's folder that does not exist moves nothing";

    EXPECT_EQ(
            Post("Options-Filters", Plus(rules, {{"DestFolder", "Work"}, {"ApplyToSubfolders", "Y"}, {"Apply", "Y"}})),
            "Options-Filters[Applied, moved: 1]");
    EXPECT_EQ(below->Folder(), "Lists");
    // An unknown folder stands for the Inbox.
    EXPECT_EQ(Post("Options-Filters", Plus(rules, {{"DestFolder", "../x"}, {"Apply", "Y"}})),
              "Options-Filters[Applied, moved: 1]");
    EXPECT_EQ(inbox->Folder(), "Lists");
    EXPECT_EQ(StoredRules().size(), 2U);
}

} // namespace
} // namespace qm::engine
