// gui: shows the window layer's pieces together for a person to look at: a decorated frame with an owner-drawn
// menu bar and pop-ups, a tool bar docked at the top that can be dragged to another edge or floated, a second
// bar in a floating slip, a status bar with hints, and a dialog (Help > About). The client area paints edges, a
// dither, text with prefixes and an embossed glyph itself, holds an edit, a combo box and a report list view,
// and opens a pop-up menu on a right click.
//
// Usage: gui   (QMGUI_SHOT=file.png writes the main window's picture after its first paint)
// Trusts nothing outside; reads no files and writes none but the picture asked for. SIGTERM and SIGINT close the
// main window as its close box does. Exit code: the code the window closed with (0). On a desktop it runs under X11 (slips and the drag outline need window positions):
// QT_QPA_PLATFORM=xcb.
#include "gui/ctrl/Controls.h"
#include "gui/ctrl/Dialog.h"
#include "gui/ctrl/ListBox.h"
#include "gui/ctrl/TreeWindow.h"
#include "gui/dock/Harbor.h"
#include "gui/draw/Dc.h"
#include "gui/frame/StatusBar.h"
#include "gui/menu/MenuView.h"
#include "gui/model/Accelerator.h"
#include "gui/window/Application.h"
#include "platform/ProcessSetup.h"

#include <cstdlib>
#include <string>

namespace {

using namespace qm::gui;

enum : int {
    CmNew = 101,
    CmOpen = 102,
    CmSave = 103,
    CmAbout = 104,
    CmExit = CM_EXIT,
    CmHello = 105,
    GlyphBase = 9000
};

TBitmap MakeGlyph(TColor color)
{
    TBitmap bitmap(16, 16, TColor(RGB(192, 192, 192)));
    for (int y = 3; y < 13; ++y) {
        for (int x = 3; x < 13; ++x) {
            bitmap.SetPixel(x, y, color);
        }
    }
    return bitmap;
}

// The client area: the drawing primitives, three controls and a context menu.
class TDemoClient : public TWindow {
public:
    TDemoClient()
        : TWindow(nullptr)
    {
        new TEdit(this, 101, "Type here", 260, 16, 240, 22);
        m_combo = new TComboBox(this, 102, 260, 48, 240, 22);
        m_list = new TListView(this, 103, 260, 84, 240, 150);
        m_tree = new TTreeWindow(this, 104, 510, 16, 110, 110);
        m_lines = new TListBox(this, 105, 510, 132, 110, 102);
        m_lines->Attr.Style = (m_lines->Attr.Style & ~LBS_SORT) | LBS_EXTENDEDSEL | WS_HSCROLL;
    }

    void GetWindowClass(TWindowClass& wc) override { wc.Background = TColor::FromSys(COLOR_3DFACE); }

    void SetupWindow() override
    {
        TWindow::SetupWindow();
        m_combo->AddString("Drop-down list");
        m_combo->AddString("Second item");
        m_combo->SetSelIndex(0);
        m_list->InsertColumn(0, "Session ID", 80);
        m_list->InsertColumn(1, "Logon", 90);
        const int row = m_list->InsertItem("ABCDEFG", 1);
        m_list->SetItemText(row, 1, "bob");
        const HTREEITEM status = m_tree->InsertItem(TVI_ROOT, "Quillmail Status");
        m_tree->InsertItem(status, "Current Sessions: N/A");
        m_tree->Expand(status, TVE_EXPAND);
        for (const char* line : {"A log line", "A much longer log line that scrolls sideways", "Another line"}) {
            m_lines->AddString(line);
        }
        m_lines->SetHorizontalExtent(300);
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
            AppendMenu(menu.GetHandle(), MF_STRING, CmHello, "&Hello\tCtrl+H");
            AppendMenu(menu.GetHandle(), MF_SEPARATOR, 0);
            AppendMenu(menu.GetHandle(), MF_STRING, CmExit, "E&xit");
            const TPoint at = ClientToScreen(TPoint(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)));
            // The commands go to the frame, which routes them back through this client.
            TrackPopupMenuEx(menu.GetHandle(), TPM_RIGHTBUTTON, at.x, at.y, *GetParent());
            return 0;
        }
        return TWindow::WindowProc(msg, wParam, lParam);
    }

private:
    TComboBox* m_combo;
    TListView* m_list;
    TTreeWindow* m_tree;
    TListBox* m_lines;
};

// The demo's frame: it draws its pop-up items itself, a coloured square beside each label.
class TDemoFrame : public TDecoratedFrame {
public:
    TDemoFrame()
        : TDecoratedFrame(nullptr, "Window layer demo", new TDemoClient(), true)
    {
        Attr.W = 640;
        Attr.H = 420;
        OnCommand(CmNew, [this] { Status("New"); });
        OnCommand(CmOpen, [this] { Status("Open"); });
        OnCommand(CmHello, [this] { Status("Hello"); });
        OnCommand(CmAbout, [this] { About(); });
        OnCommand(CmExit, [this] { PostMessage(WM_CLOSE); });
    }

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        if (msg == WM_MEASUREITEM) {
            auto* mis = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
            mis->itemWidth = 150;
            mis->itemHeight = 22;
            return 1;
        }
        if (msg == WM_DRAWITEM) {
            DrawItem(*reinterpret_cast<DRAWITEMSTRUCT*>(lParam));
            return 1;
        }
        return TDecoratedFrame::WindowProc(msg, wParam, lParam);
    }

private:
    void Status(const std::string& what)
    {
        if (GetStatusBar() != nullptr) {
            GetStatusBar()->SetText(what + " chosen");
        }
    }

    void About()
    {
        // A dialog from a description: sizes in units of its 8-point font, the edit bound by its id and filled
        // from a transfer buffer.
        constexpr int kAboutDialog = 104;
        TDialogTemplate about;
        about.Rect = {0, 0, 180, 74};
        about.Style |= DS_CENTER;
        about.Title = "About";
        about.Items = {
                {TDialogItemClass::Button, IDC_STATIC, "Version Info:", WS_VISIBLE | BS_GROUPBOX, {6, 4, 174, 48}},
                {TDialogItemClass::Static,
                 IDC_STATIC,
                 "The window layer, drawn by itself.",
                 WS_VISIBLE,
                 {12, 16, 168, 26}},
                {TDialogItemClass::Edit, 201, "", WS_VISIBLE | WS_TABSTOP | WS_BORDER, {12, 30, 168, 42}},
                {TDialogItemClass::Button, IDOK, "OK", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, {124, 54, 174, 68}},
        };
        RegisterDialogResource(kAboutDialog, about);
        char version[32] = "2.2.3";
        TDialog dialog(this, kAboutDialog);
        new TEdit(&dialog, 201, static_cast<int>(sizeof version));
        dialog.SetTransferBuffer(version, sizeof version);
        dialog.Execute();
    }

    static void DrawItem(const DRAWITEMSTRUCT& dis)
    {
        TDC& dc = *dis.hDC;
        const bool selected = (dis.itemState & ODS_SELECTED) != 0;
        const bool grey = (dis.itemState & ODS_GRAYED) != 0;
        dc.FillRect(dis.rcItem, TBrush(TColor::FromSys(selected ? COLOR_HIGHLIGHT : COLOR_MENU)));
        const TRect square(dis.rcItem.left + 3, dis.rcItem.top + 3, dis.rcItem.left + 19, dis.rcItem.bottom - 3);
        dc.FillRect(square, TBrush(TColor(RGB(0, 110 + 30 * static_cast<int>(dis.itemID % 4), 0))));
        TRect text(square.right + 6, dis.rcItem.top, dis.rcItem.right - 4, dis.rcItem.bottom);
        dc.SetBkMode(TRANSPARENT);
        dc.SetTextColor(TColor::FromSys(grey ? COLOR_GRAYTEXT : (selected ? COLOR_HIGHLIGHTTEXT : COLOR_MENUTEXT)));
        const auto label = LoadString(static_cast<int>(dis.itemID));
        std::string caption = label ? label->substr(label->find('\n') + 1) : std::string("Item");
        dc.DrawText(caption, text, DT_LEFT | DT_VCENTER | DT_SINGLELINE);
    }
};

class TDemoApp : public TApplication {
public:
    void InitMainWindow() override
    {
        auto frame = std::make_unique<TDemoFrame>();
        TDemoFrame& f = *frame;
        HMENU bar = CreateMenu();
        HMENU file = CreatePopupMenu();
        for (int id : {CmNew, CmOpen, CmSave}) {
            AppendMenu(file, MF_OWNERDRAW, static_cast<UINT>(id), {}, static_cast<std::uint64_t>(id));
        }
        AppendMenu(file, MF_SEPARATOR, 0);
        AppendMenu(file, MF_STRING, CmExit, "E&xit");
        HMENU help = CreatePopupMenu();
        AppendMenu(help, MF_STRING, CmAbout, "&About...");
        MENUITEMINFO image; // the About glyph beside its menu item
        image.fMask = MIIM_BITMAP;
        image.hbmpItem = GlyphBase + 3;
        SetMenuItemInfo(help, CmAbout, false, image);
        AppendMenu(bar, MF_STRING | MF_POPUP, file.Value, "&File");
        AppendMenu(bar, MF_STRING | MF_POPUP, help.Value, "&Help");
        f.AssignMenu(bar);

        auto* status = new TStatusBar(&f);
        status->SetText("Drag a bar by its grip to another edge, or off the edges to float it");
        status->AddTextGadget(1, "offline");
        f.Insert(*status, alBottom);
        SetMainWindow(std::move(frame));
    }

    void InitInstance() override
    {
        TApplication::InitInstance();
        auto& frame = static_cast<TDemoFrame&>(*GetMainWindow());
        m_harbor = new THarbor(frame);
        m_harbor->Create();
        auto* standard = new TDockableControlBar(nullptr);
        standard->SetCaption("Standard");
        auto* tools = new TDockableControlBar(nullptr);
        tools->SetCaption("Tools");
        int glyph = GlyphBase;
        for (int id : {CmNew, CmOpen, CmSave}) {
            standard->Insert(std::make_unique<TButtonGadget>(glyph++, id));
        }
        standard->Insert(std::make_unique<TSeparatorGadget>());
        standard->Insert(std::make_unique<TButtonGadget>(glyph++, CmAbout));
        for (int id : {CmNew, CmOpen}) {
            tools->Insert(std::make_unique<TButtonGadget>(glyph++, id));
        }
        m_harbor->Insert(*standard, alTop);
        // The second bar floats over the client's empty lower part, clear of its controls.
        const TRect window = frame.GetWindowRect();
        const TPoint where(window.left + 300, window.top + 300);
        m_harbor->Insert(*tools, alNone, &where);
    }

private:
    THarbor* m_harbor = nullptr;
};

} // namespace

int main(int argc, char** argv)
{
    // Before Qt starts its threads, so that none of them takes the stop signals.
    const qm::platform::UniqueFd stop = qm::StopSignalDescriptor();
    qm::gui::TGuiProcess process(argc, argv);
    const TColor colors[] = {TColor(RGB(0, 0, 200)),   TColor(RGB(200, 0, 0)),   TColor(RGB(0, 150, 0)),
                             TColor(RGB(200, 150, 0)), TColor(RGB(120, 0, 160)), TColor(RGB(0, 140, 160))};
    for (int i = 0; i < 6; ++i) {
        RegisterBitmapResource(GlyphBase + i, MakeGlyph(colors[i]));
    }
    RegisterStringResource(CmNew, "Starts a new message\nNew");
    RegisterStringResource(CmOpen, "Opens a mailbox\nOpen");
    RegisterStringResource(CmSave, "Saves the message (no one handles it: greyed)\nSave");
    RegisterStringResource(CmAbout, "Shows the About box\nAbout");
    RegisterStringResource(CmExit, "Ends the demo\nExit");
    TDemoApp app;
    if (stop) {
        app.WatchStopDescriptor(stop.Get());
    }
    return app.Run();
}
