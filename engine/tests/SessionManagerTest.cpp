#include "engine/SessionManager.h"

#include "common/IniAccess.h"
#include "common/Log.h"
#include "common/RequestLog.h"
#include "engine/tests/SessionTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <arpa/inet.h>

namespace qm::engine {
namespace {

using test::ReadFile;
using test::SessionHarness;
namespace fs = std::filesystem;

std::string RowId(const SessionRecord& row)
{
    return std::string(row.SessionId, strnlen(row.SessionId, sizeof row.SessionId));
}

std::uint32_t Address(const char* text)
{
    in_addr address{};
    EXPECT_EQ(::inet_pton(AF_INET, text, &address), 1);
    return address.s_addr;
}

TEST(SessionIdTest, WritesTheSeedInBase26AndStepsTheSeed)
{
    struct Case {
        std::uint32_t Seed;
        const char* Id;
        std::uint32_t Next;
    };

    const Case cases[] = {
            {0, "AAAAAAA", 1},
            {1, "AAAAAAB", 134775814u},
            {25, "AAAAAAZ", 25u * 134775813u + 1u},
            {26, "AAAAABA", 26u * 134775813u + 1u},
            {134775814u, "ALIYENE", 134775814u * 134775813u + 1u},
            {0xFFFFFFFFu, "NXMRLXV", 4160191484u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Seed);
        char id[kSessionIdSize];
        std::memset(id, 'x', sizeof id);
        EXPECT_EQ(SessionManager::MakeSessionId(c.Seed, id), c.Next);
        EXPECT_STREQ(id, c.Id);
    }
}

class SessionManagerTest : public ::testing::Test {
protected:
    SessionHarness m_harness{"[General]\r\nLogLevel=1\r\n"};
    SessionManager& m_manager = m_harness.Manager();
};

TEST_F(SessionManagerTest, CreateFillsTheRowAndHoldsOneBusyCount)
{
    Session* session = m_manager.Create("bob@ex.com", "192.0.2.7");
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->BusyCount(), 1);
    EXPECT_EQ(std::strlen(session->Id()), 7u);
    for (const char* c = session->Id(); *c != '\0'; ++c) {
        EXPECT_TRUE(*c >= 'A' && *c <= 'Z') << session->Id();
    }
    EXPECT_EQ(session->CurrentView(), 0);
    EXPECT_EQ(session->PreviousView(), kViewList);
    EXPECT_EQ(session->User().Name(), "bob@ex.com");
    EXPECT_TRUE(fs::is_directory(session->TempDir()));
    EXPECT_EQ(fs::path(session->TempDir()), m_harness.Settings().TempDir() / session->Id());

    EXPECT_EQ(m_harness.Word(StatusWord::Sessions), 1);
    const SessionRecord& row = m_harness.Row(0);
    EXPECT_EQ(RowId(row), session->Id());
    EXPECT_EQ(row.SessionId[7], '\0');
    EXPECT_EQ(row.ClientAddress, Address("192.0.2.7"));
    EXPECT_EQ(row.LastAccess, static_cast<std::int32_t>(test::kStartTime));
    EXPECT_STREQ(row.UserName, "bob@ex.com");
    EXPECT_EQ(m_harness.TakeNotes(), std::vector<std::uint64_t>{kNotifySessionCreated});
    session->Unbusy();
}

TEST_F(SessionManagerTest, IdsComeFromTheRandomSourceAndNeverRepeatALiveOne)
{
    m_harness.QueueSeeds({1u, 1u, 26u});
    Session* first = m_harness.CreateIdle("ann");
    Session* second = m_harness.CreateIdle("bob");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(first->Id(), "AAAAAAB");
    EXPECT_STREQ(second->Id(), "AAAAABA") << "a seed giving a live session's id is drawn again";

    m_harness.QueueSeeds({std::nullopt});
    EXPECT_EQ(m_manager.Create("cid", "192.0.2.7"), nullptr) << "no session without a random id";
    EXPECT_EQ(m_harness.Word(StatusWord::Sessions), 2);
}

TEST_F(SessionManagerTest, RefusesOneSessionMoreThanMaximum)
{
    for (int i = 0; i < 200; ++i) {
        ASSERT_NE(m_harness.CreateIdle("bob"), nullptr) << i;
    }
    (void)m_harness.TakeNotes();
    EXPECT_EQ(m_manager.Create("bob", "192.0.2.7"), nullptr);
    EXPECT_EQ(m_harness.Word(StatusWord::Sessions), 200);
    EXPECT_EQ(m_manager.Count(), 200);
    EXPECT_TRUE(m_harness.TakeNotes().empty()) << "the windows hear nothing of a refused session";
}

TEST(SessionManagerLimitTest, TheMaximumIsReadAtEachCreationAndTheTableBoundsIt)
{
    SessionHarness harness("[Session]\r\nMaximum=2\r\n", 3);
    EXPECT_NE(harness.CreateIdle("a"), nullptr);
    EXPECT_NE(harness.CreateIdle("b"), nullptr);
    EXPECT_EQ(harness.CreateIdle("c"), nullptr);
    ASSERT_TRUE(WriteIniString("Session", "Maximum", "10"));
    EXPECT_NE(harness.CreateIdle("c"), nullptr) << "a new Maximum applies without restart";
    EXPECT_EQ(harness.CreateIdle("d"), nullptr) << "never more sessions than the table has rows";
    EXPECT_EQ(harness.Word(StatusWord::Sessions), 3);
}

TEST_F(SessionManagerTest, RemovingTheMiddleRowKeepsTheOthersInOrder)
{
    Session* a = m_harness.CreateIdle("ann");
    Session* b = m_harness.CreateIdle("bob");
    Session* c = m_harness.CreateIdle("cid");
    const std::string idA = a->Id();
    const std::string idC = c->Id();
    const fs::path tempB = b->TempDir();
    (void)m_harness.TakeNotes();

    RequestLog log(m_harness.LogTarget());
    ASSERT_TRUE(m_manager.KillById(b->Id(), log));
    EXPECT_EQ(m_harness.Word(StatusWord::Sessions), 2);
    EXPECT_EQ(RowId(m_harness.Row(0)), idA);
    EXPECT_EQ(RowId(m_harness.Row(1)), idC);
    EXPECT_STREQ(m_harness.Row(1).UserName, "cid");
    EXPECT_EQ(RowId(m_harness.Row(2)), "") << "the freed row is cleared";
    EXPECT_EQ(m_harness.TakeNotes(), std::vector<std::uint64_t>{kNotifySessionRemoved});
    EXPECT_FALSE(fs::exists(tempB));
    EXPECT_EQ(m_manager.Count(), 2);
}

TEST_F(SessionManagerTest, FindByIdIsExactAndFindByUserIgnoresCase)
{
    Session* bob = m_harness.CreateIdle("Bob");
    std::string lower = bob->Id();
    for (char& c : lower) {
        c = static_cast<char>(c - 'A' + 'a');
    }
    EXPECT_EQ(m_manager.FindById(lower), nullptr);
    EXPECT_EQ(m_manager.FindById(std::string(bob->Id()).substr(0, 6)), nullptr);
    EXPECT_EQ(m_manager.FindById(std::string(bob->Id()) + "A"), nullptr);
    EXPECT_EQ(m_manager.FindById(""), nullptr);

    Session* found = m_manager.FindById(bob->Id());
    ASSERT_EQ(found, bob);
    EXPECT_EQ(bob->BusyCount(), 1);
    Session* byUser = m_manager.FindByUser("BOB");
    ASSERT_EQ(byUser, bob);
    EXPECT_EQ(bob->BusyCount(), 2);
    bob->Unbusy();
    bob->Unbusy();
    EXPECT_EQ(m_manager.FindByUser("bo"), nullptr);
}

TEST_F(SessionManagerTest, ReleaseRemovesOnlyWhenNobodyElseHoldsTheSession)
{
    Session* session = m_manager.Create("bob", "192.0.2.7");
    ASSERT_EQ(m_manager.FindById(session->Id()), session); // a second holder
    RequestLog log(m_harness.LogTarget());
    EXPECT_FALSE(m_manager.Release(session, log));
    EXPECT_EQ(m_manager.Count(), 1);
    EXPECT_EQ(session->BusyCount(), 1);
    EXPECT_TRUE(m_manager.Release(session, log));
    EXPECT_EQ(m_manager.Count(), 0);
    EXPECT_EQ(m_harness.Word(StatusWord::Sessions), 0);
    log.Flush();
    const std::string text = m_harness.Log();
    EXPECT_NE(text.find("Could not delete session"), std::string::npos) << text;
    EXPECT_NE(text.find("(count = 1)"), std::string::npos) << text;
    EXPECT_NE(text.find("Expiring session"), std::string::npos) << text;
    EXPECT_NE(text.find("expired."), std::string::npos) << text;
}

TEST_F(SessionManagerTest, KillOfAnUnknownIdRemovesNothing)
{
    (void)m_harness.CreateIdle("bob");
    RequestLog log(m_harness.LogTarget());
    EXPECT_FALSE(m_manager.KillById("ZZZZZZZ", log));
    EXPECT_FALSE(m_manager.KillById(nullptr, log));
    EXPECT_EQ(m_manager.Count(), 1);
}

TEST_F(SessionManagerTest, IdleSessionsExpireByTheirView)
{
    struct Case {
        const char* User;
        int View;
        int IdleMinutes;
        bool Expires;
    };

    const Case cases[] = {
            {"list19", kViewList, 19, false},
            {"list21", kViewList, 21, true},
            {"compose119", kViewCompose, 119, false},
            {"compose121", kViewCompose, 121, true},
            {"attach121", kViewComposeAttach, 121, true},
            {"spell60", kViewComposeSpellCheck, 60, false},
            {"new21", 0, 21, true},
    };
    const time_t now = test::kStartTime + 24 * 3600;
    for (const Case& c : cases) {
        m_harness.SetNow(now - 60 * c.IdleMinutes);
        Session* session = m_harness.CreateIdle(c.User);
        ASSERT_NE(session, nullptr);
        session->SetCurrentView(c.View);
    }
    // A busy session is never expired, however long it has been idle.
    m_harness.SetNow(now - 60 * 500);
    Session* busy = m_manager.Create("busy", "192.0.2.7");
    m_harness.SetNow(now);
    m_manager.ExpireIdle();

    for (const Case& c : cases) {
        SCOPED_TRACE(c.User);
        Session* found = m_manager.FindByUser(c.User);
        EXPECT_EQ(found == nullptr, c.Expires);
        if (found != nullptr) {
            found->Unbusy();
        }
    }
    EXPECT_EQ(m_manager.FindById(busy->Id()), busy);
    busy->Unbusy();
    busy->Unbusy();
    EXPECT_EQ(m_harness.Word(StatusWord::Sessions), m_manager.Count());
    const std::string log = m_harness.Log();
    EXPECT_NE(log.find("has timed out."), std::string::npos) << log;
}

TEST_F(SessionManagerTest, ExpiryLimitsAreReadAtEachRound)
{
    Session* session = m_harness.CreateIdle("bob");
    session->SetCurrentView(kViewList);
    m_harness.Advance(5 * 60 + 1);
    m_manager.ExpireIdle();
    EXPECT_EQ(m_manager.Count(), 1);
    ASSERT_TRUE(WriteIniString("Session", "ExpireTime", "5"));
    m_manager.ExpireIdle();
    EXPECT_EQ(m_manager.Count(), 0);
}

TEST_F(SessionManagerTest, ABusySessionIsRetiredOnTheSixtiethTryAndItsUserMayLogOnAgain)
{
    Session* stuck = m_manager.Create("bob", "192.0.2.7"); // its busy count is never given back here
    const std::string stuckId = stuck->Id();
    RequestLog log(m_harness.LogTarget());
    for (int attempt = 1; attempt < kMaxRemovalTries; ++attempt) {
        ASSERT_FALSE(m_manager.KillById(stuckId.c_str(), log));
    }
    EXPECT_EQ(m_harness.Word(StatusWord::FailedRemovals), 0);
    EXPECT_STREQ(m_harness.Row(0).UserName, "bob");
    ASSERT_FALSE(m_manager.KillById(stuckId.c_str(), log));
    EXPECT_EQ(m_harness.Word(StatusWord::FailedRemovals), 1);
    EXPECT_STREQ(m_harness.Row(0).UserName, "*bob*");
    EXPECT_EQ(stuck->User().Name(), "bob") << "the session's own user record keeps its name";

    EXPECT_EQ(m_manager.FindByUser("bob"), nullptr);
    Session* again = m_manager.Create("bob", "192.0.2.8");
    ASSERT_NE(again, nullptr);
    again->Unbusy();
    Session* found = m_manager.FindByUser("bob");
    EXPECT_EQ(found, again);
    found->Unbusy();

    // Later tries count no further; the retired session still answers to its id and goes once it is free.
    for (int attempt = 0; attempt < 5; ++attempt) {
        ASSERT_FALSE(m_manager.KillById(stuckId.c_str(), log));
    }
    EXPECT_EQ(m_harness.Word(StatusWord::FailedRemovals), 1);
    ASSERT_EQ(m_manager.FindById(stuckId), stuck);
    stuck->Unbusy();
    EXPECT_TRUE(m_manager.Release(stuck, log));
    EXPECT_EQ(m_manager.Count(), 1);
    EXPECT_STREQ(m_harness.Row(0).UserName, "bob");
}

// Every try on a busy session is logged at level 1; the sixtieth, which retires it, at level 4.
TEST_F(SessionManagerTest, TriesOnABusySessionAreLoggedAtLevel1AndTheLastAtLevel4)
{
    struct Case {
        int Level;
        std::size_t Lines;
    };

    const Case cases[] = {{1, kMaxRemovalTries}, {2, 1}, {4, 1}, {5, 0}};
    int level = 1;
    SetLogLevelSource(&level);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Level);
        level = c.Level;
        Session* stuck = m_manager.Create("user" + std::to_string(c.Level), "192.0.2.7");
        ASSERT_NE(stuck, nullptr);
        const std::string id = stuck->Id();
        RequestLog log(m_harness.LogTarget());
        for (int attempt = 0; attempt < kMaxRemovalTries; ++attempt) {
            ASSERT_FALSE(m_manager.KillById(id.c_str(), log));
        }
        log.Flush();
        const std::string text = m_harness.Log();
        const std::string line = "Could not delete session " + id + ".";
        std::size_t lines = 0;
        for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
            ++lines;
        }
        EXPECT_EQ(lines, c.Lines) << text;
        stuck->Unbusy();
        EXPECT_TRUE(m_manager.Release(stuck, log));
    }
    SetLogLevelSource(nullptr);
}

TEST_F(SessionManagerTest, TouchRefreshesTheRowAtMostOnceASecond)
{
    Session* session = m_harness.CreateIdle("bob");
    (void)m_harness.TakeNotes();
    session->Touch();
    EXPECT_TRUE(m_harness.TakeNotes().empty()) << "touched in the second it was made";

    m_harness.Advance(90);
    session->Touch();
    session->Touch();
    EXPECT_EQ(m_harness.TakeNotes(), std::vector<std::uint64_t>{kNotifySessionUpdated});
    EXPECT_EQ(m_harness.Row(0).LastAccess, static_cast<std::int32_t>(test::kStartTime + 90));
    EXPECT_EQ(session->LastAccess(), test::kStartTime + 90);
    const std::string stamp = ReadIniStringFile("Stats", "LastAccess", "", session->User().IniPath());
    EXPECT_EQ(stamp.size(), 19u) << stamp;
}

TEST_F(SessionManagerTest, CreateRefusesUserNamesThatAreNoDirectoryName)
{
    for (const char* name : {"", ".", "..", "a/../../x", "/", ".hidden", "a b", "a\\b", "tab\tname"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(m_manager.Create(name, "192.0.2.7"), nullptr);
    }
    EXPECT_EQ(m_manager.Count(), 0);
    EXPECT_TRUE(fs::is_empty(m_harness.Settings().Dir() / "Users"));
    EXPECT_FALSE(fs::exists(m_harness.Settings().Dir() / "x"));
}

TEST_F(SessionManagerTest, AClientThatIsNotIPv4GetsAddressZeroAndIsRecognisedByItsText)
{
    Session* session = m_harness.CreateIdle("bob", "2001:db8::7");
    EXPECT_EQ(m_harness.Row(0).ClientAddress, 0u);
    EXPECT_TRUE(session->IsFromAddress("2001:db8::7"));
    EXPECT_FALSE(session->IsFromAddress("2001:db8::8"));
    EXPECT_FALSE(session->IsFromAddress("192.0.2.7"));

    Session* v4 = m_harness.CreateIdle("ann", "192.0.2.7");
    EXPECT_TRUE(v4->IsFromAddress("192.0.2.7"));
    EXPECT_FALSE(v4->IsFromAddress("192.0.2.70"));
    EXPECT_FALSE(v4->IsFromAddress("garbage"));
}

TEST_F(SessionManagerTest, BroadcastGivesEverySessionItsOwnCopy)
{
    Session* a = m_harness.CreateIdle("ann");
    Session* b = m_harness.CreateIdle("bob");
    a->ErrorMessage().Set("old");
    m_manager.BroadcastErrorMessage("Server going down");
    auto textA = a->ErrorMessage().Take();
    auto textB = b->ErrorMessage().Take();
    ASSERT_TRUE(textA && textB);
    EXPECT_STREQ(textA.get(), "Server going down");
    EXPECT_STREQ(textB.get(), "Server going down");
    EXPECT_NE(textA.get(), textB.get());
    EXPECT_FALSE(a->ErrorMessage().IsSet());
}

TEST_F(SessionManagerTest, AHeldSessionsMutexFailsTheLogonAndTheRowChangesInsteadOfHanging)
{
    Session* kept = m_harness.CreateIdle("ann");
    ASSERT_NE(kept, nullptr);
    m_harness.TakeNotes();
    {
        test::MutexHolder holder(m_harness.Block().SessionsMutex, std::chrono::milliseconds(100));
        EXPECT_EQ(m_manager.Create("bob", "192.0.2.7"), nullptr) << "no session the console cannot see";
        EXPECT_EQ(m_manager.Count(), 1);
        EXPECT_EQ(m_harness.Word(StatusWord::Sessions), 1);

        Session* found = m_manager.FindById(kept->Id());
        ASSERT_EQ(found, kept);
        EXPECT_TRUE(m_manager.Release(found, m_harness.LogTarget())) << "the session ends all the same";
        EXPECT_EQ(m_manager.Count(), 0);
    }
    EXPECT_EQ(m_harness.TakeNotes(), std::vector<std::uint64_t>{}) << "nothing changed under the lock";
    const std::string log = m_harness.Log();
    EXPECT_NE(log.find("AddRow: the sessions mutex stayed held for 100 ms"), std::string::npos) << log;
    EXPECT_NE(log.find("RemoveRow: the sessions mutex stayed held"), std::string::npos) << log;

    Session* later = m_harness.CreateIdle("bob");
    EXPECT_NE(later, nullptr) << "a free mutex lets logons through again";
}

TEST(SessionManagerEndTest, DestroyingTheManagerRemovesTheTemporaryDirectoriesAndLeavesTheRows)
{
    SessionHarness harness;
    Session* session = harness.CreateIdle("bob");
    const fs::path temp = session->TempDir();
    test::WriteFile(fs::path(temp) / "compose.txt", "draft");
    const std::string id = session->Id();
    harness.RecreateManager();
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_EQ(RowId(harness.Row(0)), id) << "the table is the engine's, gone by then";
}

} // namespace
} // namespace qm::engine
