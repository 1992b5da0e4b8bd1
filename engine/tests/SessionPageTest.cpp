#include "engine/SessionPage.h"

#include "engine/tests/PageTestSupport.h"
#include "engine/tests/SessionTestSupport.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>

namespace qm::engine {
namespace {

TEST(SessionPageTest, TheTemplatesSeeARealSession)
{
    test::TemplateFixture fixture;
    test::SessionHarness harness;
    const auto cache = fixture.MakeCache(true);
    Session* session = harness.Manager().Create("alice", "127.0.0.1");
    ASSERT_NE(session, nullptr);
    {
        std::lock_guard lock(session->RequestLock());
        SessionPage view(*session);
        test::FakePage page(*cache, {"SCRIPT_NAME=/qm"});
        page.SessionObject = &view;
        session->StatusMessage().Set("hello");
        session->SetFrameView(kViewOptions);
        EXPECT_EQ(page.Render("<$USER$>|<$LINK$>|<$STATUSMESG$>|<$STATUSMESG$>|<$FRAMEVIEW$>|<$FRAMEVIEW$>|"
                              "<$REDIRECTSTATUS$>|<$FOREACH FOLDER$><$FOLDERNAME$>,<$ENDEACH FOLDER$>"),
                  std::string("alice|/qm?Session=") + session->Id() + "|hello||Options|List||Inbox,Drafts,Sent,Trash,");
        EXPECT_EQ(session->FrameView(), 0);
        SetErrorMessage(page, "for the session");
        EXPECT_TRUE(session->ErrorMessage().IsSet());
        EXPECT_EQ(view.Settings().UserIni, session->User().IniPath());
    }
    EXPECT_TRUE(harness.Manager().Release(session, harness.LogTarget()));
}

} // namespace
} // namespace qm::engine
