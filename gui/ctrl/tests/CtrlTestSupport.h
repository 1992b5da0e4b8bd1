// The fixture of the list, tree and splitter tests: an application and a recording top-level window shown on
// the offscreen platform, and a wait that keeps the event loop turning.
#pragma once

#include "gui/window/WindowWidget.h"
#include "gui/window/tests/WindowTestSupport.h"
#include "testsupport/WaitUntil.h"

#include <QCoreApplication>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace qm::gui::test {

class CtrlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        GuiTestApp();
        ResetSysColors();
        Log().clear();
        m_app = std::make_unique<TApplication>();
        m_frame = std::make_unique<TRecordingWindow>(nullptr, "frame");
        m_frame->Attr.Style = WS_POPUP;
        m_frame->Attr.W = 400;
        m_frame->Attr.H = 300;
    }

    void TearDown() override
    {
        m_frame.reset();
        m_app.reset();
        Log().clear();
    }

    void Show()
    {
        ASSERT_TRUE(m_frame->Create());
        m_frame->ShowWindow(SW_SHOW);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(WidgetOf(*m_frame)));
        Log().clear();
    }

    static bool WaitFor(const std::function<bool()>& condition)
    {
        return qm::test::WaitUntil([&] {
            QCoreApplication::processEvents();
            return condition();
        });
    }

    std::unique_ptr<TApplication> m_app;
    std::unique_ptr<TRecordingWindow> m_frame;
};

} // namespace qm::gui::test
