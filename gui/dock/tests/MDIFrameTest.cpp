// The decorated MDI frame as a frame with bitmap menus stands on it: decorations around its MDI client, its own
// hint texts reaching gadget tooltips and the frame hint helper, its owner-drawn menu bar measured by its
// WM_MEASUREITEM, and its WM_MENUCHAR answer.
#include "gui/dock/tests/DockTestSupport.h"
#include "gui/frame/DecoratedMDIFrame.h"
#include "gui/model/Accelerator.h"
#include "gui/window/WindowWidget.h"

#include <gtest/gtest.h>

namespace qm::gui {
namespace {

constexpr int kOpen = 401;
constexpr int kGlyph = 9101;

// A frame that answers what a bitmap-menu frame answers: its own hint texts, owner-drawn item sizes and menu
// characters.
class TMenuFrame : public TDecoratedMDIFrame {
public:
    explicit TMenuFrame(TMDIClient* client)
        : TDecoratedMDIFrame(nullptr, "Documents", client, true)
    {
        Attr.X = 40;
        Attr.Y = 40;
        Attr.W = 400;
        Attr.H = 240;
    }

    std::string GetHintText(int id, THintText kind) const override
    {
        const std::string base = TDecoratedMDIFrame::GetHintText(id, kind);
        return base.empty() ? base : "menu: " + base;
    }

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        if (msg == WM_MEASUREITEM) {
            auto* mis = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
            mis->itemWidth = 57;
            mis->itemHeight = 19;
            return 1;
        }
        if (msg == WM_DRAWITEM) {
            auto* dis = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
            dis->hDC->FillRect(dis->rcItem, TBrush(TColor(RGB(0, 160, 0))));
            return 1;
        }
        return TDecoratedMDIFrame::WindowProc(msg, wParam, lParam);
    }

protected:
    LRESULT MenuChar(WPARAM wParam, LPARAM) override { return LOWORD(wParam) == 'f' ? MAKELRESULT(0, MNC_EXECUTE) : 0; }
};

class MDIFrameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::GuiTestApp();
        RegisterStringResource(kOpen, "Opens a document\nOpen document");
        RegisterBitmapResource(kGlyph, test::Glyph(TColor(RGB(0, 0, 255))));
        m_app = std::make_unique<TApplication>();
    }

    void TearDown() override
    {
        if (m_frame) {
            m_frame->Destroy();
            m_frame.reset();
        }
        m_app.reset();
    }

    // A frame with a bar at the top and an owner-drawn menu bar, shown and painted.
    void MakeFrame(TMDIClient* client)
    {
        m_frame = std::make_unique<TMenuFrame>(client);
        m_bar = new TGadgetWindow(m_frame.get());
        m_open = static_cast<TButtonGadget*>(m_bar->Insert(std::make_unique<TButtonGadget>(kGlyph, kOpen)));
        m_frame->Insert(*m_bar, alTop);
        HMENU menu = CreateMenu();
        HMENU file = CreatePopupMenu();
        AppendMenu(file, MF_STRING, kOpen, "&Open");
        AppendMenu(menu, MF_POPUP | MF_OWNERDRAW, file.Value, "&File", 1);
        ASSERT_TRUE(m_frame->AssignMenu(menu));
        ASSERT_TRUE(m_frame->Create());
        m_frame->ShowWindow(SW_SHOWNORMAL);
        ASSERT_TRUE(test::Pump([&] {
            auto* w = dynamic_cast<TWindowWidget*>(WidgetOf(*m_frame));
            return w != nullptr && w->Painted();
        }));
    }

    std::unique_ptr<TApplication> m_app;
    std::unique_ptr<TMenuFrame> m_frame;
    TGadgetWindow* m_bar = nullptr;
    TButtonGadget* m_open = nullptr;
};

TEST_F(MDIFrameTest, ClientFillsWhatTheDecorationsLeaveWhetherGivenOrMadeByTheFrame)
{
    for (const bool given : {true, false}) {
        SCOPED_TRACE(given ? "client given" : "client made by the frame");
        TMDIClient* client = given ? new TMDIClient : nullptr;
        MakeFrame(client);
        TMDIClient* mdi = m_frame->GetMDIClient();
        ASSERT_NE(mdi, nullptr);
        if (given) {
            EXPECT_EQ(mdi, client);
        }
        EXPECT_EQ(m_frame->GetClientWindow(), mdi);
        EXPECT_EQ(mdi->GetClass().Name, "MDICLIENT");
        const TRect inner = mdi->GetWindowRect();
        const TRect bar = m_bar->GetWindowRect();
        const TRect area = m_frame->GetClientRect();
        EXPECT_EQ(inner.top, bar.bottom);
        EXPECT_EQ(inner.bottom - m_frame->ClientToScreen(TPoint(0, 0)).y, area.bottom);
        EXPECT_EQ(inner.Width(), area.Width());
        m_frame->Destroy();
        m_frame.reset();
    }
}

TEST_F(MDIFrameTest, HintsMenuItemsAndMenuCharactersComeFromTheDerivedFrame)
{
    MakeFrame(nullptr);
    // The gadget's tooltip and the frame hint helper ask the derived frame.
    EXPECT_EQ(GetFrameHintText(m_bar, kOpen, htTooltip), "menu: Open document");
    EXPECT_EQ(GetFrameHintText(m_bar, 999, htTooltip), "");
    const TRect open = m_open->GetBounds();
    test::SendMouse(WidgetOf(*m_bar), QEvent::MouseMove, Qt::NoButton,
                    test::WidgetPoint(*m_bar, open.TopLeft().OffsetBy(2, 2)), Qt::NoButton);
    EXPECT_EQ(m_bar->GetShownTooltip(), "menu: Open document");
    const HMENU file = GetSubMenu(m_frame->GetMenu(), 0);

    // The owner-drawn bar item is as wide as the frame measured it and painted by the frame.
    const std::vector<TRect> items = m_frame->GetMenuBarItemRects();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].Width(), 57);
    const TRect window = m_frame->GetWindowRect();
    EXPECT_EQ(test::WindowPixel(*m_frame, items[0].TopLeft().OffsetBy(-window.left + 1, -window.top + 1)),
              RGB(0, 160, 0));

    // The frame's menu-character answer.
    EXPECT_EQ(m_frame->SendMessage(WM_MENUCHAR, MAKEWPARAM('f', MF_POPUP), static_cast<LPARAM>(file.Value)),
              MAKELRESULT(0, MNC_EXECUTE));
    EXPECT_EQ(m_frame->SendMessage(WM_MENUCHAR, MAKEWPARAM('x', MF_POPUP), static_cast<LPARAM>(file.Value)), 0);
}

} // namespace
} // namespace qm::gui
