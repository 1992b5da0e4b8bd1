#include "store/Pop3Client.h"

#include "common/StringList.h"
#include "store/FetchJournal.h"
#include "store/MailHostList.h"
#include "store/MessageBuilder.h"
#include "store/MessageIndex.h"
#include "store/tests/Pop3TestUser.h"
#include "testsupport/ScriptedPop3Server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace qm::store {
namespace {

namespace fs = std::filesystem;
using test::AfterReply;
using test::CrLfLines;
using test::ScriptedPop3Server;
using test::ScriptStep;

constexpr const char* kPassword = "s3cret-pw";

std::vector<std::string> Message(const std::string& subject, const std::vector<std::string>& body = {"hello"})
{
    std::vector<std::string> lines = {"From: a@x.com", "To: b@y.com", "Subject: " + subject, ""};
    lines.insert(lines.end(), body.begin(), body.end());
    return lines;
}

// The lines on the wire: CR LF after each, a leading '.' doubled.
std::string Wire(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) {
        if (!line.empty() && line[0] == '.') {
            text.push_back('.');
        }
        text.append(line).append("\r\n");
    }
    return text;
}

// The stored form of a message: CR LF after each line.
std::string Stored(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) {
        text.append(line).append("\r\n");
    }
    return text;
}

std::string DataReply(const std::vector<std::string>& lines)
{
    return "+OK\r\n" + Wire(lines) + ".\r\n";
}

std::vector<ScriptStep> Logon()
{
    return {{"", "+OK ready\r\n"}, {"USER alice", "+OK\r\n"}, {"PASS s3cret-pw", "+OK logged in\r\n"}};
}

std::vector<ScriptStep> Join(std::vector<ScriptStep> steps, const std::vector<ScriptStep>& more)
{
    steps.insert(steps.end(), more.begin(), more.end());
    return steps;
}

ScriptStep Quit()
{
    return {"QUIT", "+OK bye\r\n", AfterReply::Close};
}

class Pop3ClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_account.SetMailbox("pop");
        m_account.SetHost("127.0.0.1");
        m_account.SetUser("alice");
        m_account.SetPass(kPassword);
    }

    // Runs FetchNewMail against script; the server must have been followed exactly.
    bool Fetch(const std::vector<ScriptStep>& script, std::int64_t cutoff = 8192, int* result = nullptr)
    {
        ScriptedPop3Server server(script);
        EXPECT_TRUE(server.Valid());
        m_account.SetPort(server.Port());
        Pop3Client client(&m_user, m_account, &m_log);
        const bool fetched = client.FetchNewMail(cutoff);
        if (result != nullptr) {
            *result = client.GetResult();
        }
        m_skipped = client.MessagesSkipped();
        EXPECT_TRUE(server.WaitDone());
        m_commands = server.CommandText();
        for (const std::string& mismatch : server.Mismatches()) {
            ADD_FAILURE() << mismatch << "\nsent:\n" << m_commands;
        }
        return fetched;
    }

    MessageIndex& Index() { return m_user.Messages(); }

    MessageIndexEntry* FindUid(const std::string& uid)
    {
        for (int i = 0; i < Index().Count(); ++i) {
            if (Index().Entry(i)->Uid() == uid) {
                return Index().Entry(i);
            }
        }
        return nullptr;
    }

    std::string UidFile() const { return test::ReadBytes(m_userDir + "/pop.uid"); }

    void WriteUidFile(const std::string& text) const { test::WriteBytes(m_userDir + "/pop.uid", text); }

    test::TempDir m_dir{"qm-pop3"};
    std::string m_userDir = m_dir / "user";
    test::Pop3TestSettings m_settings{m_dir, 10};
    test::Pop3TestUser m_user{m_userDir};
    test::StoreLogRecorder m_log;
    MailHostAccount m_account;
    std::string m_commands;
    int m_skipped = -1;
};

TEST_F(Pop3ClientTest, FetchesNewMessagesIntoTheIndexAndRemembersTheirUids)
{
    const auto first = Message("one");
    const auto second = Message("two", {"line 1", "line 2"});
    const bool fetched = Fetch(Join(Logon(), {{"STAT", "+OK 2 320\r\n"},
                                              {"UIDL", CrLfLines({"+OK", "1 uid-a", "2 uid-b", "."})},
                                              {"LIST 1", "+OK 1 120\r\n"},
                                              {"RETR 1", DataReply(first)},
                                              {"LIST 2", "+OK 2 200\r\n"},
                                              {"RETR 2", DataReply(second)},
                                              Quit()}));
    EXPECT_TRUE(fetched);
    ASSERT_EQ(Index().Count(), 2);
    for (const auto& [uid, lines, subject] : {std::tuple{"uid-a", first, "one"}, std::tuple{"uid-b", second, "two"}}) {
        SCOPED_TRACE(uid);
        MessageIndexEntry* entry = FindUid(uid);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->Mailbox(), "pop");
        EXPECT_EQ(entry->Subject(), subject);
        EXPECT_EQ(entry->Folder(), "Inbox");
        EXPECT_TRUE(entry->HasFlag(MessageFlag::Stored));
        EXPECT_EQ(test::ReadBytes(entry->GetMessagePath()), Stored(lines));
    }
    EXPECT_EQ(UidFile(), "uid-a\r\nuid-b\r\n");
    EXPECT_NE(m_log.Text().find("POP3 Retrieving 2 new messages..."), std::string::npos) << m_log.Text();
    EXPECT_NE(m_log.Text().find("POP3 Completed, 2 messages retrieved."), std::string::npos) << m_log.Text();
}

TEST_F(Pop3ClientTest, UidFileKeepsKnownUidsStillOnTheServerAndAddsTheFetchedOnes)
{
    // UIDs are compared exactly: one that differs from a known one only in case is another message.
    WriteUidFile("old-1\r\ngone\r\nold-2\r\n");
    const bool fetched =
            Fetch(Join(Logon(), {{"STAT", "+OK 4 400\r\n"},
                                 {"UIDL", CrLfLines({"+OK", "1 old-2", "2 new-1", "3 old-1", "4 OLD-1", "."})},
                                 {"LIST 2", "+OK 2 100\r\n"},
                                 {"RETR 2", DataReply(Message("new"))},
                                 {"LIST 4", "+OK 4 100\r\n"},
                                 {"RETR 4", DataReply(Message("upper"))},
                                 Quit()}));
    EXPECT_TRUE(fetched);
    EXPECT_EQ(Index().Count(), 2);
    EXPECT_EQ(UidFile(), "old-2\r\nold-1\r\nnew-1\r\nOLD-1\r\n");
}

TEST_F(Pop3ClientTest, EmptyMailboxSendsNoUidlAndEmptiesTheUidFile)
{
    WriteUidFile("old-1\r\n");
    EXPECT_TRUE(Fetch(Join(Logon(), {{"STAT", "+OK 0 0\r\n"}, Quit()})));
    EXPECT_EQ(m_commands, "USER alice\nPASS s3cret-pw\nSTAT\nQUIT\n");
    EXPECT_TRUE(fs::exists(m_userDir + "/pop.uid"));
    EXPECT_EQ(UidFile(), "");
}

TEST_F(Pop3ClientTest, LargeMessagesPastTheCutoffAreFetchedWithTheirHeadersOnly)
{
    struct Case {
        std::int64_t Cutoff;
        int Size;
        bool Whole;
    };

    for (const Case& c : {Case{8192, 8193, false}, Case{8192, 8192, true}, Case{0, 900000, true}}) {
        SCOPED_TRACE("cut-off " + std::to_string(c.Cutoff) + ", size " + std::to_string(c.Size));
        fs::remove(m_userDir + "/pop.uid");
        while (Index().Count() > 0) {
            Index().RemoveEntry(Index().Entry(0));
        }
        const auto lines = Message("big", {"body line"});
        const std::string fetch = c.Whole ? "RETR 1" : "TOP 1 0";
        const std::vector<std::string> header(lines.begin(), lines.begin() + 4);
        EXPECT_TRUE(Fetch(Join(Logon(), {{"STAT", "+OK 1 " + std::to_string(c.Size) + "\r\n"},
                                         {"UIDL", CrLfLines({"+OK", "1 big-1", "."})},
                                         {"LIST 1", "+OK 1 " + std::to_string(c.Size) + "\r\n"},
                                         {fetch, DataReply(c.Whole ? lines : header)},
                                         Quit()}),
                          c.Cutoff));
        MessageIndexEntry* entry = FindUid("big-1");
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->HasFlag(MessageFlag::Stored), c.Whole);
        EXPECT_EQ(entry->Size(), c.Size);
        EXPECT_EQ(entry->Subject(), "big");
        EXPECT_EQ(fs::exists(entry->GetMessagePath()), c.Whole);
        EXPECT_EQ(UidFile(), "big-1\r\n");
    }
}

TEST_F(Pop3ClientTest, RetrieveMessageCompletesAHeadersOnlyEntryAndItsCopies)
{
    const auto lines = Message("large", {"first", "..dotted", "last"});
    const std::vector<std::string> header(lines.begin(), lines.begin() + 4);
    ASSERT_TRUE(Fetch(Join(Logon(), {{"STAT", "+OK 1 9000\r\n"},
                                     {"UIDL", CrLfLines({"+OK", "1 big-1", "."})},
                                     {"LIST 1", "+OK 1 9000\r\n"},
                                     {"TOP 1 0", DataReply(header)},
                                     Quit()})));
    MessageIndexEntry* entry = FindUid("big-1");
    ASSERT_NE(entry, nullptr);
    ASSERT_FALSE(entry->HasFlag(MessageFlag::Stored));
    MessageIndexEntry* copy = Index().CopyToFolder(entry, "Sent");
    ASSERT_NE(copy, nullptr);
    ASSERT_TRUE(entry->HasFlag(MessageFlag::HeadersOnlyCopies));
    ASSERT_TRUE(copy->HasFlag(MessageFlag::HeadersOnlyCopies));

    ScriptedPop3Server server(Join(Logon(), {{"STAT", "+OK 2 9100\r\n"},
                                             {"UIDL", CrLfLines({"+OK", "1 other", "2 big-1", "."})},
                                             {"LIST 2", "+OK 2 9000\r\n"},
                                             {"RETR 2", DataReply(lines)},
                                             Quit()}));
    m_account.SetPort(server.Port());
    Pop3Client client(&m_user, m_account, &m_log);
    EXPECT_EQ(client.RetrieveMessage(*entry), 1);
    EXPECT_TRUE(server.WaitDone());
    EXPECT_TRUE(server.Mismatches().empty()) << server.CommandText();

    for (MessageIndexEntry* e : {entry, copy}) {
        SCOPED_TRACE(e->Folder());
        EXPECT_TRUE(e->HasFlag(MessageFlag::Stored));
        EXPECT_FALSE(e->HasFlag(MessageFlag::HeadersOnlyCopies));
        EXPECT_EQ(test::ReadBytes(e->GetMessagePath()), Stored(lines));
    }
    EXPECT_NE(entry->GetMessagePath(), copy->GetMessagePath());
    EXPECT_EQ(Index().Count(), 2);
    EXPECT_NE(m_log.Text().find("POP3 Message to retrieve found..."), std::string::npos);
}

TEST_F(Pop3ClientTest, ErrorRepliesEndTheRunWithTheirResultAfterSendingQuit)
{
    struct Case {
        const char* Name;
        std::vector<ScriptStep> Script;
        int Result;
        std::string UidFileAfter = "known\r\n"; // a run that ends before UIDL leaves the file as it was
    };

    const std::vector<ScriptStep> greeting = {{"", "+OK ready\r\n"}};
    const std::vector<Case> cases = {
            {"PASS in use", Join(greeting, {{"USER alice", "+OK\r\n"}, {"PASS s3cret-pw", "-ERR [IN-USE] busy\r\n"}}),
             kPop3MailboxLocked},
            {"USER locked", Join(greeting, {{"USER alice", "-ERR mailbox LOCKED\r\n"}}), kPop3MailboxLocked},
            {"PASS bad", Join(greeting, {{"USER alice", "+OK\r\n"}, {"PASS s3cret-pw", "-ERR bad\r\n"}}),
             kPop3LogonRefused},
            {"greeting", {{"", "-ERR go away\r\n"}}, kPop3ErrorReply},
            {"LIST",
             Join(Logon(),
                  {{"STAT", "+OK 1 100\r\n"}, {"UIDL", CrLfLines({"+OK", "1 u1", "."})}, {"LIST 1", "-ERR\r\n"}}),
             kPop3ErrorReply, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteUidFile("known\r\n");
        int result = -1;
        EXPECT_FALSE(Fetch(Join(c.Script, {Quit()}), 8192, &result));
        EXPECT_EQ(result, c.Result);
        EXPECT_EQ(UidFile(), c.UidFileAfter);
        EXPECT_TRUE(m_commands.ends_with("QUIT\n")) << m_commands;
        EXPECT_EQ(Index().Count(), 0);
    }
}

TEST_F(Pop3ClientTest, BrokenConnectionsEndTheRunWithTheirResult)
{
    struct Case {
        const char* Name;
        std::vector<ScriptStep> Script;
        int Timeout;
        int Result;
    };

    const std::vector<Case> cases = {
            {"closed after USER",
             {{"", "+OK ready\r\n"}, {"USER alice", "", AfterReply::Close}},
             10,
             kPop3ConnectionClosed},
            {"silent after STAT", Join(Logon(), {{"STAT", "", AfterReply::Silence}}), 1, kPop3TimedOut},
            {"silent greeting", {{"", "", AfterReply::Silence}}, 1, kPop3TimedOut},
            {"reply past the cap",
             Join(Logon(), {{"STAT", "+OK 1 " + std::string(kMaxPop3Line + 10, '1'), AfterReply::Silence}}), 10,
             kPop3ErrorReply},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        test::WriteBytes(m_dir / "Quillmail.ini", "[PopClient]\r\nTimeout=" + std::to_string(c.Timeout) + "\r\n");
        const auto started = test::TestClock::now();
        int result = -1;
        EXPECT_FALSE(Fetch(c.Script, 8192, &result));
        EXPECT_EQ(result, c.Result);
        if (c.Result == kPop3TimedOut) {
            EXPECT_GE(test::TestClock::now() - started, std::chrono::milliseconds(900));
        }
    }
    EXPECT_NE(m_log.Text().find("POP3 Connection unexpectedly closed."), std::string::npos);
    EXPECT_NE(m_log.Text().find("POP3 Connection timed out."), std::string::npos);
    EXPECT_NE(m_log.Text().find("POP3 Receive buffer overflow."), std::string::npos);
}

TEST_F(Pop3ClientTest, RefusedConnectGivesConnectError)
{
    int port = 0;
    {
        test::LoopbackListener closed;
        port = closed.Port();
    }
    m_account.SetPort(port);
    Pop3Client client(&m_user, m_account, &m_log);
    EXPECT_FALSE(client.FetchNewMail(8192));
    EXPECT_EQ(client.GetResult(), kPop3ConnectError);
    EXPECT_NE(m_log.Text().find("POP3 Winsock connect error:"), std::string::npos) << m_log.Text();
}

TEST_F(Pop3ClientTest, LongLinesBelowTheCapAreTakenWhole)
{
    const auto lines = Message("long", {std::string(300000, 'x'), "end"});
    EXPECT_TRUE(Fetch(Join(Logon(), {{"STAT", "+OK 1 300100\r\n"},
                                     {"UIDL", CrLfLines({"+OK", "1 long-1", "."})},
                                     {"LIST 1", "+OK 1 300100\r\n"},
                                     {"RETR 1", DataReply(lines)},
                                     Quit()}),
                      0));
    MessageIndexEntry* entry = FindUid("long-1");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(test::ReadBytes(entry->GetMessagePath()), Stored(lines));
}

TEST_F(Pop3ClientTest, DataLinesLoseTheirStuffedDot)
{
    const std::vector<std::string> sent = {"From: a@x.com", "Subject: dots", "", "..x", "...", "x.."};
    EXPECT_TRUE(Fetch(Join(Logon(), {{"STAT", "+OK 1 50\r\n"},
                                     {"UIDL", CrLfLines({"+OK", "1 dots", "."})},
                                     {"LIST 1", "+OK 1 50\r\n"},
                                     {"RETR 1", "+OK\r\n" + Stored(sent) + ".\r\n"},
                                     Quit()})));
    MessageIndexEntry* entry = FindUid("dots");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(test::ReadBytes(entry->GetMessagePath()), "From: a@x.com\r\nSubject: dots\r\n\r\n.x\r\n..\r\nx..\r\n");
}

TEST_F(Pop3ClientTest, DeleteAfterFetchSendsDeleOnlyForStoredFullMessages)
{
    m_account.SetDelete(2);
    const auto small = Message("small");
    const auto big = Message("big");
    EXPECT_TRUE(Fetch(Join(Logon(), {{"STAT", "+OK 2 9100\r\n"},
                                     {"UIDL", CrLfLines({"+OK", "1 big", "2 small", "."})},
                                     {"LIST 1", "+OK 1 9000\r\n"},
                                     {"TOP 1 0", DataReply(big)},
                                     {"LIST 2", "+OK 2 100\r\n"},
                                     {"RETR 2", DataReply(small)},
                                     {"DELE 2", "+OK\r\n"},
                                     Quit()})));
    EXPECT_EQ(m_commands.find("DELE 1"), std::string::npos);
    EXPECT_EQ(UidFile(), "big\r\nsmall\r\n");
}

TEST_F(Pop3ClientTest, MessageStoredByARunCutShortIsNeitherFetchedAgainNorLeftOnTheServer)
{
    // A run stored the message but ended before the index was saved, and its deletion never took effect (no QUIT):
    // the next session adopts the file, which keeps its UID through the fetch journal.
    m_account.SetDelete(2);
    std::string fileId;
    {
        StringList seen;
        MessageBuilder builder(m_account, Index(), &seen, "uid-a", &m_user);
        ASSERT_TRUE(builder.Begin(100, true));
        for (const std::string& line : Message("cut short")) {
            builder.AddLine(line);
        }
        MessageIndexEntry* entry = builder.Finish();
        ASSERT_NE(entry, nullptr);
        ASSERT_TRUE(entry->HasFlag(MessageFlag::Stored));
        fileId = entry->FileId();
    }
    m_user.ReopenIndex();
    EXPECT_EQ(Index().Count(), 0) << "the index was never saved";
    const test::TempDir scratch{"qm-pop3-scratch"};
    Index().AdoptFolderFiles(m_user.Folders(), scratch.Path().string(), RestoreMessageFile);
    ASSERT_EQ(Index().Count(), 1);
    EXPECT_EQ(Index().Entry(0)->Uid(), "uid-a");
    EXPECT_EQ(Index().Entry(0)->Mailbox(), "pop");
    EXPECT_NE(Index().Entry(0)->FileId(), fileId);
    ASSERT_TRUE(Index().Save());
    // The saved index holds it now; the journal only keeps its deletion on the server due.
    const std::vector<FetchJournalLine> journal = ReadFetchJournal(m_userDir + "/" + kFetchJournalFile);
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].FileId, "");
    EXPECT_EQ(journal[0].Uid, "uid-a");
    EXPECT_TRUE(journal[0].DeletionDue);

    m_user.ReopenIndex();
    EXPECT_TRUE(Fetch(Join(Logon(), {{"STAT", "+OK 2 300\r\n"},
                                     {"UIDL", CrLfLines({"+OK", "1 uid-a", "2 uid-b", "."})},
                                     {"DELE 1", "+OK\r\n"},
                                     {"LIST 2", "+OK 2 100\r\n"},
                                     {"RETR 2", DataReply(Message("new"))},
                                     {"DELE 2", "+OK\r\n"},
                                     Quit()})));
    EXPECT_EQ(m_commands.find("RETR 1"), std::string::npos);
    EXPECT_EQ(Index().Count(), 2);
    EXPECT_TRUE(Index().DeletionsDue("pop").empty()) << "both deletions were confirmed";
}

TEST_F(Pop3ClientTest, DeleteAfterFetchLaterDeletesOnlyWhatARunLeftUndeletedOnTheServer)
{
    // Fetched while the account kept the server's copies: another client may still want it.
    ASSERT_TRUE(Fetch(Join(Logon(), {{"STAT", "+OK 1 100\r\n"},
                                     {"UIDL", CrLfLines({"+OK", "1 kept", "."})},
                                     {"LIST 1", "+OK 1 100\r\n"},
                                     {"RETR 1", DataReply(Message("kept"))},
                                     Quit()})));
    ASSERT_TRUE(Index().Save());
    m_account.SetDelete(2);
    // The QUIT that would commit the DELE gets no answer: the message is still on the server.
    static_cast<void>(Fetch(Join(Logon(), {{"STAT", "+OK 2 200\r\n"},
                                           {"UIDL", CrLfLines({"+OK", "1 kept", "2 cut", "."})},
                                           {"LIST 2", "+OK 2 100\r\n"},
                                           {"RETR 2", DataReply(Message("cut"))},
                                           {"DELE 2", "+OK\r\n"},
                                           {"QUIT", "", AfterReply::Close}})));
    ASSERT_TRUE(Index().Save());

    m_user.ReopenIndex(); // the next session
    EXPECT_TRUE(Fetch(Join(Logon(), {{"STAT", "+OK 2 200\r\n"},
                                     {"UIDL", CrLfLines({"+OK", "1 kept", "2 cut", "."})},
                                     {"DELE 2", "+OK\r\n"},
                                     Quit()})));
    EXPECT_EQ(Index().Count(), 2);
    EXPECT_TRUE(Fetch(Join(Logon(), {{"STAT", "+OK 1 100\r\n"}, {"UIDL", CrLfLines({"+OK", "1 kept", "."})}, Quit()})));
}

TEST_F(Pop3ClientTest, MessageThatCannotBeStoredStaysOnTheServer)
{
    m_account.SetDelete(2);
    // The message file is written aside under the first free number; a directory there makes the write fail.
    fs::create_directories(m_userDir + "/." + MessageFileId(Index().PeekNextNumber()) + ".msg.tmp");
    int result = -1;
    EXPECT_FALSE(Fetch(Join(Logon(), {{"STAT", "+OK 1 100\r\n"},
                                      {"UIDL", CrLfLines({"+OK", "1 keep", "."})},
                                      {"LIST 1", "+OK 1 100\r\n"},
                                      {"RETR 1", DataReply(Message("kept"))},
                                      Quit()}),
                       8192, &result));
    EXPECT_EQ(result, kPop3ErrorReply);
    EXPECT_EQ(m_commands.find("DELE"), std::string::npos) << m_commands;
    EXPECT_EQ(Index().Count(), 0);
    EXPECT_EQ(UidFile(), "");
}

TEST_F(Pop3ClientTest, ConnectionCutInsideAMessageStoresAndDeletesNothing)
{
    m_account.SetDelete(2);
    const std::string partial = "+OK\r\n" + Wire(Message("cut", {"first line"}));
    for (const char* fetch : {"RETR 2", "TOP 2 0"}) {
        SCOPED_TRACE(fetch);
        const bool top = fetch[0] == 'T';
        int result = -1;
        EXPECT_FALSE(Fetch(Join(Logon(), {{"STAT", "+OK 2 200\r\n"},
                                          {"UIDL", CrLfLines({"+OK", "1 done", "2 cut", "."})},
                                          {"LIST 1", "+OK 1 100\r\n"},
                                          {"RETR 1", DataReply(Message("done"))},
                                          {"LIST 2", top ? "+OK 2 9000\r\n" : "+OK 2 100\r\n"},
                                          {fetch, partial, AfterReply::Close}}),
                           8192, &result));
        EXPECT_EQ(result, kPop3ConnectionClosed);
        EXPECT_EQ(Index().Count(), 1);
        EXPECT_EQ(FindUid("cut"), nullptr);
        EXPECT_EQ(UidFile(), "done\r\n");
        // The whole first message is kept; its DELE was still waiting for its batch, so the journal names its
        // deletion as due for the next run.
        EXPECT_EQ(m_commands.find("DELE"), std::string::npos);
        EXPECT_EQ(m_commands.find("QUIT"), std::string::npos);
        EXPECT_EQ(Index().DeletionsDue("pop").count("done"), 1u);
        std::size_t files = 0;
        for (const auto& item : fs::recursive_directory_iterator(m_userDir)) {
            files += item.path().extension() == ".msg" || item.path().extension() == ".tmp" ? 1 : 0;
        }
        EXPECT_EQ(files, 1u);
        Index().RemoveEntry(FindUid("done"));
        for (const auto& item : fs::recursive_directory_iterator(m_userDir)) {
            if (item.path().extension() == ".msg") {
                fs::remove(item.path());
            }
        }
        fs::remove(m_userDir + "/pop.uid");
    }
}

// How many of the user directory's files end in .msg or .tmp.
std::size_t MessageFiles(const std::string& dir)
{
    std::size_t files = 0;
    for (const auto& item : fs::recursive_directory_iterator(dir)) {
        files += item.path().extension() == ".msg" || item.path().extension() == ".tmp" ? 1 : 0;
    }
    return files;
}

std::size_t Occurrences(const std::string& text, const std::string& word)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        ++count;
    }
    return count;
}

TEST_F(Pop3ClientTest, MessageTooLargeIsSkippedLeftOnTheServerAndTheFetchGoesOn)
{
    struct Case {
        const char* Name;
        int MaxMessageSize; // 0: the default
        int Announced;
        std::size_t BodyLines; // lines of 1000 bytes sent after the header
        bool Skipped;
    };

    const std::string bodyLine = std::string(998, 'x') + "\r\n";
    const std::vector<Case> cases = {
            {"runs far past the announced size", 0, 100, 2100, true},
            {"announced larger than the cap: not fetched at all", 200000, 300000, 0, true},
            {"announced below the cap but sends more than it", 200000, 150000, 400, true},
            {"a little past the announced size is taken", 0, 100, 60, false},
    };
    m_account.SetDelete(2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        test::WriteBytes(m_dir / "Quillmail.ini",
                         "[PopClient]\r\nTimeout=10\r\nMaxMessageSize=" +
                                 (c.MaxMessageSize > 0 ? std::to_string(c.MaxMessageSize) : std::string()) + "\r\n");
        const std::string list1 = "+OK 1 " + std::to_string(c.Announced) + "\r\n";
        std::vector<ScriptStep> fetch1 = {{"LIST 1", list1}};
        if (c.BodyLines > 0) {
            fetch1.push_back(
                    {"RETR 1", "+OK\r\n" + Wire(Message("big")), AfterReply::Continue, bodyLine, c.BodyLines, ".\r\n"});
        }
        // Both messages are one batch: the DELEs follow its placement.
        std::vector<ScriptStep> rest = {{"LIST 2", "+OK 2 100\r\n"}, {"RETR 2", DataReply(Message("next"))}};
        if (!c.Skipped) {
            rest.push_back({"DELE 1", "+OK\r\n"});
        }
        rest.push_back({"DELE 2", "+OK\r\n"});
        rest.push_back(Quit());
        const bool fetched = Fetch(
                Join(Join(Logon(), {{"STAT", "+OK 2 500\r\n"}, {"UIDL", CrLfLines({"+OK", "1 big", "2 next", "."})}}),
                     Join(fetch1, rest)),
                0);
        EXPECT_TRUE(fetched) << m_log.Text();
        EXPECT_EQ(m_skipped, c.Skipped ? 1 : 0);
        EXPECT_NE(FindUid("next"), nullptr);
        EXPECT_EQ(FindUid("big") != nullptr, !c.Skipped);
        EXPECT_EQ(m_commands.find("DELE 1") != std::string::npos, !c.Skipped) << m_commands;
        EXPECT_EQ(m_commands.find("RETR 1") != std::string::npos, c.BodyLines > 0) << m_commands;
        EXPECT_EQ(UidFile(), "big\r\nnext\r\n");
        EXPECT_EQ(MessageFiles(m_userDir), c.Skipped ? 1u : 2u);
        EXPECT_EQ(Occurrences(m_log.Text(), "(UID big) of mailbox pop skipped"), c.Skipped ? 1u : 0u) << m_log.Text();
        const auto due = Index().DeletionsDue("pop");
        EXPECT_FALSE(due.contains("big") && c.Skipped) << "a skipped message is never due for deletion";

        if (c.Skipped) {
            // The next run leaves it alone: its UID is remembered, and it is not counted again.
            EXPECT_TRUE(Fetch(
                    Join(Logon(), {{"STAT", "+OK 1 500\r\n"}, {"UIDL", CrLfLines({"+OK", "1 big", "."})}, Quit()})));
            EXPECT_EQ(m_skipped, 0);
            EXPECT_EQ(UidFile(), "big\r\n");
        }
        while (Index().Count() > 0) {
            Index().RemoveEntry(Index().Entry(0));
        }
        for (const auto& item : fs::recursive_directory_iterator(m_userDir)) {
            if (item.path().extension() == ".msg") {
                fs::remove(item.path());
            }
        }
        fs::remove(m_userDir + "/pop.uid");
        m_log.Lines.clear();
    }
}

TEST_F(Pop3ClientTest, LineOverTheCapSkipsOnlyItsMessageAndIsNotFetchedAgain)
{
    struct Case {
        const char* Name;
        std::int64_t Cutoff;
        std::string Fetch;
        std::vector<std::string> Before; // what comes before the long line
        std::string After;               // what comes after it, its line end and the end of the data included
    };

    const std::string piece(std::size_t{64} << 10, 'y');
    const std::size_t pieces = kMaxPop3Line / piece.size() + 2;
    const std::vector<Case> cases = {
            {"in the body", 0, "RETR 1", Message("long"), "\r\nmore\r\n.\r\n"},
            {"last before the end", 0, "RETR 1", Message("long"), "\r\n.\r\n"},
            {"in the header of a headers-only fetch",
             8192,
             "TOP 1 0",
             {"From: a@x.com", "X-Long: "},
             "\r\nSubject: s\r\n\r\n.\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::string before = Wire(c.Before);
        before.resize(before.size() - 2); // the long line goes on from the last line given
        EXPECT_TRUE(Fetch(Join(Logon(), {{"STAT", "+OK 2 3000000\r\n"},
                                         {"UIDL", CrLfLines({"+OK", "1 long", "2 next", "."})},
                                         {"LIST 1", "+OK 1 3000000\r\n"},
                                         {c.Fetch, "+OK\r\n" + before, AfterReply::Continue, piece, pieces, c.After},
                                         {"LIST 2", "+OK 2 100\r\n"},
                                         {"RETR 2", DataReply(Message("next"))},
                                         Quit()}),
                          c.Cutoff))
                << m_log.Text();
        EXPECT_EQ(m_skipped, 1);
        EXPECT_EQ(FindUid("long"), nullptr);
        ASSERT_NE(FindUid("next"), nullptr);
        EXPECT_EQ(UidFile(), "long\r\nnext\r\n");
        EXPECT_EQ(MessageFiles(m_userDir), 1u);
        EXPECT_EQ(Occurrences(m_log.Text(), "skipped: a line longer than 1 MiB"), 1u) << m_log.Text();
        ASSERT_TRUE(Index().Save());

        // After a restart the long one is still left alone.
        m_user.ReopenIndex();
        EXPECT_TRUE(Fetch(
                Join(Logon(),
                     {{"STAT", "+OK 2 3000100\r\n"}, {"UIDL", CrLfLines({"+OK", "1 long", "2 next", "."})}, Quit()})));
        EXPECT_EQ(m_commands.find("LIST"), std::string::npos) << m_commands;
        while (Index().Count() > 0) {
            Index().RemoveEntry(Index().Entry(0));
        }
        ASSERT_TRUE(Index().Save());
        for (const auto& item : fs::recursive_directory_iterator(m_userDir)) {
            if (item.path().extension() == ".msg") {
                fs::remove(item.path());
            }
        }
        fs::remove(m_userDir + "/pop.uid");
        m_log.Lines.clear();
    }
}

TEST_F(Pop3ClientTest, UidlLineOverItsCapIsIgnoredAndTheOthersAreFetched)
{
    EXPECT_TRUE(Fetch(Join(Logon(), {{"STAT", "+OK 2 200\r\n"},
                                     {"UIDL", "+OK\r\n1 ", AfterReply::Continue, std::string(1000, 'u'), 200,
                                      CrLfLines({"", "2 short", "."})},
                                     {"LIST 2", "+OK 2 100\r\n"},
                                     {"RETR 2", DataReply(Message("short"))},
                                     Quit()})))
            << m_log.Text();
    EXPECT_EQ(Index().Count(), 1);
    EXPECT_EQ(UidFile(), "short\r\n");
}

TEST_F(Pop3ClientTest, ServerSendingSlowlyIsCutOffAtTheSessionTimeLimit)
{
    // Every line comes well within the 10 s per reply, but the whole run may take 1 s.
    test::WriteBytes(m_dir / "Quillmail.ini", "[PopClient]\r\nTimeout=10\r\nSessionTimeout=1\r\n");
    int result = -1;
    EXPECT_FALSE(Fetch(Join(Logon(), {{"STAT", "+OK 2 200\r\n"},
                                      {"UIDL", CrLfLines({"+OK", "1 first", "2 slow", "."})},
                                      {"LIST 1", "+OK 1 100\r\n"},
                                      {"RETR 1", DataReply(Message("first"))},
                                      {"LIST 2", "+OK 2 100\r\n"},
                                      {"RETR 2", "+OK\r\n" + Wire(Message("slow")), AfterReply::Continue, "line\r\n",
                                       400, ".\r\n", std::chrono::milliseconds(50)},
                                      Quit()}),
                       8192, &result));
    EXPECT_EQ(result, kPop3TimedOut);
    EXPECT_NE(m_log.Text().find("POP3 Session time limit of 1 seconds reached."), std::string::npos) << m_log.Text();
    // What was stored before stays, and the UID file says so; the cut-off message is fetched next time.
    ASSERT_NE(FindUid("first"), nullptr);
    EXPECT_TRUE(FindUid("first")->HasFlag(MessageFlag::Stored));
    EXPECT_EQ(FindUid("slow"), nullptr);
    EXPECT_EQ(UidFile(), "first\r\n");
    EXPECT_EQ(MessageFiles(m_userDir), 1u);
}

// Messages are placed in batches: a message's DELE goes out only after its whole batch is on disk, and the last,
// short batch is placed before the QUIT.
TEST_F(Pop3ClientTest, DeletesOnTheServerOnlyAfterTheBatchIsPlaced)
{
    m_account.SetDelete(2);
    const int count = static_cast<int>(kPop3BatchMessages) + 6;
    std::string uidl = "+OK\r\n";
    for (int n = 1; n <= count; ++n) {
        uidl += std::to_string(n) + " u" + std::to_string(n) + "\r\n";
    }
    uidl += ".\r\n";
    std::vector<ScriptStep> script =
            Join(Logon(), {{"STAT", "+OK " + std::to_string(count) + " 9000\r\n"}, {"UIDL", uidl}});
    for (int first = 1; first <= count; first += static_cast<int>(kPop3BatchMessages)) {
        const int last = std::min(count, first + static_cast<int>(kPop3BatchMessages) - 1);
        for (int n = first; n <= last; ++n) {
            const std::string number = std::to_string(n);
            script.push_back({"LIST " + number, "+OK " + number + " 100\r\n"});
            script.push_back({"RETR " + number, DataReply(Message("m" + number))});
        }
        for (int n = first; n <= last; ++n) {
            script.push_back({"DELE " + std::to_string(n), "+OK\r\n"});
        }
    }
    script.push_back(Quit());
    EXPECT_TRUE(Fetch(script));
    ASSERT_EQ(Index().Count(), count);
    for (int n = 1; n <= count; ++n) {
        const MessageIndexEntry* entry = FindUid("u" + std::to_string(n));
        ASSERT_NE(entry, nullptr) << n;
        EXPECT_TRUE(entry->HasFlag(MessageFlag::Stored)) << n;
        EXPECT_EQ(test::ReadBytes(entry->GetMessagePath()), Stored(Message("m" + std::to_string(n)))) << n;
    }
    EXPECT_TRUE(Index().DeletionsDue("pop").empty());
}

TEST_F(Pop3ClientTest, LogShowsThePasswordAsStars)
{
    ASSERT_TRUE(Fetch(Join(Logon(), {{"STAT", "+OK 0 0\r\n"}, Quit()})));
    EXPECT_NE(m_log.Text().find("POP3 <<< PASS ****"), std::string::npos) << m_log.Text();
    EXPECT_NE(m_log.Text().find("POP3 <<< USER alice"), std::string::npos);
    EXPECT_NE(m_log.Text().find("POP3 >>> +OK logged in"), std::string::npos);
    EXPECT_EQ(m_log.Text().find(kPassword), std::string::npos) << m_log.Text();
}

TEST_F(Pop3ClientTest, OwnPasswordStandsForABackslash)
{
    m_account.SetPass("\\");
    ScriptedPop3Server server({{"", "+OK\r\n"}, {"USER alice", "+OK\r\n"}, {"PASS own-logon-pw", "+OK\r\n"}, Quit()});
    m_account.SetPort(server.Port());
    Pop3Client client(&m_user, m_account, &m_log);
    EXPECT_TRUE(client.TestLogon());
    EXPECT_TRUE(server.WaitDone());
    EXPECT_TRUE(server.Mismatches().empty()) << server.CommandText();
    EXPECT_EQ(m_log.Text().find("own-logon-pw"), std::string::npos);
}

TEST_F(Pop3ClientTest, LogonThatCannotBeSentSafelyIsRefusedWithoutConnecting)
{
    struct Case {
        const char* Name;
        bool WithUser;
        const char* OwnPassword;
    };

    for (const Case& c :
         {Case{"own password, no user", false, "x"}, Case{"own password with CR LF", true, "pw\r\nDELE 1"}}) {
        SCOPED_TRACE(c.Name);
        m_account.SetPass("\\");
        m_user.LogonPassword = c.OwnPassword;
        ScriptedPop3Server server({{"", "+OK\r\n"}, {"USER alice", "+OK\r\n"}, {"PASS *", "+OK\r\n"}, Quit()});
        m_account.SetPort(server.Port());
        Pop3Client client(c.WithUser ? &m_user : nullptr, m_account, &m_log);
        EXPECT_FALSE(client.TestLogon());
        EXPECT_EQ(client.GetResult(), kPop3LogonRefused);
        EXPECT_FALSE(server.Connected());
    }
}

// Entries deleted here wait with Folder "" until the server has deleted them.
class Pop3DeleteTest : public Pop3ClientTest {
protected:
    MessageIndexEntry& Pending(const std::string& uid, const std::string& folder = "",
                               const std::string& mailbox = "pop")
    {
        MessageIndexEntry* entry = Index().NewEntry();
        entry->SetUid(uid);
        entry->SetMailbox(mailbox);
        entry->SetFolder(folder);
        entry->SetNumber(Index().NextNumber());
        return *entry;
    }

    bool DeleteRun(const std::vector<ScriptStep>& script)
    {
        ScriptedPop3Server server(script);
        m_account.SetPort(server.Port());
        Pop3Client client(&m_user, m_account, &m_log);
        const bool done = client.DeleteFromServer();
        EXPECT_TRUE(server.WaitDone());
        m_commands = server.CommandText();
        for (const std::string& mismatch : server.Mismatches()) {
            ADD_FAILURE() << mismatch << "\nsent:\n" << m_commands;
        }
        return done;
    }

    std::vector<std::string> Uids()
    {
        std::vector<std::string> uids;
        for (int i = 0; i < Index().Count(); ++i) {
            uids.push_back(Index().Entry(i)->Uid());
        }
        return uids;
    }
};

TEST_F(Pop3DeleteTest, DeletesOnlyEntriesWaitingForTheirServerDeletion)
{
    Pending("del-a");
    Pending("gone-b");
    Pending("kept-c", "Inbox");
    Pending("other-d", "", "elsewhere");
    EXPECT_TRUE(DeleteRun(Join(Logon(), {{"STAT", "+OK 3 300\r\n"},
                                         {"UIDL", CrLfLines({"+OK", "1 kept-c", "2 del-a", "3 other-d", "."})},
                                         {"DELE 2", "+OK\r\n"},
                                         Quit()})));
    EXPECT_EQ(Uids(), (std::vector<std::string>{"kept-c", "other-d"}));
    EXPECT_NE(m_log.Text().find("POP3 Completed, 1 messages deleted."), std::string::npos) << m_log.Text();
}

TEST_F(Pop3DeleteTest, KeepsEntriesWhoseDeletionWasNotCommitted)
{
    struct Case {
        const char* Name;
        std::vector<ScriptStep> Tail;
        std::vector<std::string> Left;
    };

    const std::vector<Case> cases = {
            {"DELE refused", {{"DELE 1", "-ERR no\r\n"}, Quit()}, {"del-a", "del-b"}},
            {"second DELE refused", {{"DELE 1", "+OK\r\n"}, {"DELE 2", "-ERR no\r\n"}, Quit()}, {"del-b"}},
            {"QUIT refused",
             {{"DELE 1", "+OK\r\n"}, {"DELE 2", "+OK\r\n"}, {"QUIT", "-ERR failed\r\n"}},
             {"del-a", "del-b"}},
            {"closed before QUIT",
             {{"DELE 1", "+OK\r\n"}, {"DELE 2", "+OK\r\n", AfterReply::Close}},
             {"del-a", "del-b"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        while (Index().Count() > 0) {
            Index().RemoveEntry(Index().Entry(0));
        }
        Pending("del-a");
        Pending("del-b");
        const bool done = DeleteRun(Join(
                Join(Logon(), {{"STAT", "+OK 2 200\r\n"}, {"UIDL", CrLfLines({"+OK", "1 del-a", "2 del-b", "."})}}),
                c.Tail));
        EXPECT_FALSE(done);
        EXPECT_EQ(Uids(), c.Left);
    }
}

TEST_F(Pop3DeleteTest, EmptyServerMailboxClearsEveryPendingEntry)
{
    Pending("gone-1");
    Pending("gone-2");
    EXPECT_TRUE(DeleteRun(Join(Logon(), {{"STAT", "+OK 0 0\r\n"}, Quit()})));
    EXPECT_EQ(Index().Count(), 0);
    EXPECT_EQ(m_commands.find("UIDL"), std::string::npos);
}

TEST_F(Pop3DeleteTest, RefusedLogonKeepsEveryPendingEntry)
{
    Pending("del-a");
    EXPECT_FALSE(DeleteRun({{"", "+OK\r\n"}, {"USER alice", "+OK\r\n"}, {"PASS s3cret-pw", "-ERR no\r\n"}, Quit()}));
    EXPECT_EQ(Uids(), (std::vector<std::string>{"del-a"}));
}

} // namespace
} // namespace qm::store
