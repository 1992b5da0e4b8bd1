// gui_demo: a window showing the window layer's pieces together, for a person to look at.
//
// Usage: gui_demo   (QMGUI_SHOT=file.png writes the main window's picture after its first paint)
// The window paints edges, a dither, text with prefixes and an embossed glyph itself, holds an edit, a combo
// box and a report list view, and opens an owner-drawn pop-up menu on a right click. Trusts nothing outside;
// touches no files except the picture asked for. Exit code: 0, or the code of the quit message.
#include "gui/ctrl/Controls.h"
#include "gui/draw/Dc.h"
#include "gui/window/Application.h"
#include "gui/window/PopupMenu.h"

#include <memory>

namespace {

using namespace qm::gui;

constexpr UINT kCmdHello = 3001;
constexpr UINT kCmdQuit = 3002;

class TDemoWindow : public TWindow {
public:
    TDemoWindow()
        : TWindow(nullptr, "Window layer demo")
    {
        Attr.W = 520;
        Attr.H = 360;
        auto* edit = new TEdit(this, 101, "Type here", 260, 16, 240, 22);
        (void)edit;
        m_combo = new TComboBox(this, 102, 260, 48, 240, 22);
        m_combo->AddString("Drop-down list");
        m_combo->AddString("Second item");
        m_combo->SetSelIndex(0);
        m_list = new TListView(this, 103, 260, 84, 240, 150);
    }

    void GetWindowClass(TWindowClass& wc) override { wc.Background = TColor::FromSys(COLOR_3DFACE); }

    void SetupWindow() override
    {
        TWindow::SetupWindow();
        m_list->InsertColumn(0, "Session ID", 80);
        m_list->InsertColumn(1, "Logon", 90);
        const int row = m_list->InsertItem("ABCDEFG", 1);
        m_list->SetItemText(row, 1, "bob");
    }

    void Paint(TDC& dc, bool, TRect&) override
    {
        TRect raised(16, 16, 236, 60);
        dc.DrawEdge(raised, EDGE_RAISED, BF_RECT | BF_ADJUST);
        dc.SetBkMode(TRANSPARENT);
        dc.DrawText("&Raised edge, centred", raised, DT_SINGLELINE | DT_VCENTER | DT_CENTER);
        TRect etched(16, 72, 236, 116);
        dc.DrawEdge(etched, EDGE_ETCHED, BF_RECT);
        dc.FillRect(TRect(24, 80, 228, 108),
                    TBrush::Dither(TColor::FromSys(COLOR_3DHILIGHT), TColor::FromSys(COLOR_3DFACE)));
        dc.SelectObject(TPen(TColor(RGB(0, 0, 0)), 2));
        dc.SelectObject(TBrush::Hollow());
        dc.Rectangle(TRect(17, 129, 236, 172));
        TBitmap glyph(16, 16, TColor(RGB(192, 192, 192)));
        for (int i = 2; i < 14; ++i) {
            glyph.SetPixel(i, i, TColor(RGB(0, 0, 0)));
            glyph.SetPixel(15 - i, i, TColor(RGB(0, 0, 0)));
        }
        dc.DrawBitmap(TPoint(24, 140), glyph, TColor(RGB(192, 192, 192)));
        dc.DrawEmbossed(TPoint(48, 140), glyph, TColor(RGB(192, 192, 192)));
        TRect hint(16, 190, 236, 240);
        dc.DrawText("Right-click for a menu\twith a tab", hint, DT_SINGLELINE | DT_EXPANDTABS);
    }

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        if (msg == WM_RBUTTONDOWN) {
            TPopupMenu menu;
            AppendMenu(menu.GetHandle(), MF_STRING, kCmdHello, "&Hello\tCtrl+H");
            AppendMenu(menu.GetHandle(), MF_SEPARATOR, 0);
            AppendMenu(menu.GetHandle(), MF_STRING, kCmdQuit, "E&xit");
            const TPoint at = ClientToScreen(TPoint(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)));
            TrackPopupMenuEx(menu.GetHandle(), TPM_RIGHTBUTTON, at.x, at.y, *this);
            return 0;
        }
        if (msg == WM_COMMAND && LOWORD(wParam) == kCmdQuit) {
            SendMessage(WM_CLOSE);
            return 0;
        }
        return TWindow::WindowProc(msg, wParam, lParam);
    }

private:
    TComboBox* m_combo;
    TListView* m_list;
};

class TDemoApp : public TApplication {
public:
    void InitMainWindow() override { SetMainWindow(std::make_unique<TDemoWindow>()); }
};

} // namespace

int main(int argc, char** argv)
{
    TGuiProcess process(argc, argv);
    TDemoApp app;
    return app.Run();
}
