// The gadget window over Qt: the model's layout and mouse routing in a painted window.
#include "gui/gadget/GadgetWindow.h"

#include "gui/draw/BitmapResources.h"
#include "gui/draw/Dc.h"
#include "gui/model/DialogResource.h"
#include "gui/window/WindowDc.h"
#include "gui/window/WindowWidget.h"

#include <QCursor>
#include <QEvent>
#include <QObject>
#include <QToolTip>
#include <QWidget>

namespace qm::gui {
namespace {

TPoint PointOf(LPARAM lParam)
{
    return TPoint(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
}

} // namespace

// Qt has no message for the mouse leaving a window; the widget's leave event stands for it.
class TGadgetWindow::TLeaveWatcher final : public QObject {
public:
    explicit TLeaveWatcher(TGadgetWindow& window)
        : m_window(window)
    {}

protected:
    bool eventFilter(QObject* object, QEvent* event) override
    {
        if (event->type() == QEvent::Leave && object == WidgetOf(m_window)) {
            m_window.MouseLeftWindow();
        }
        return false;
    }

private:
    TGadgetWindow& m_window;
};

TGadgetWindow::TGadgetWindow(TWindow* parent, TTileDirection direction, TFont font)
    : TWindow(parent)
    , TGadgetWindowCore(static_cast<TGadgetWindowHost&>(*this), direction)
    , m_font(std::move(font))
{
    Attr.Style = WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN;
    if (GetGadgetPainter() == nullptr) {
        SetGadgetPainter(&StandardGadgetPainter());
    }
}

TGadgetWindowFont::TGadgetWindowFont(int pointSize, bool bold, bool italic)
    : TFont("MS Sans Serif", FontHeightFromPoints(pointSize), 0, bold ? FW_BOLD : FW_NORMAL, italic)
{}

TGadgetWindow::~TGadgetWindow()
{
    if (WidgetOf(*this) != nullptr && m_leaveWatcher) {
        WidgetOf(*this)->removeEventFilter(m_leaveWatcher.get());
    }
}

void TGadgetWindow::GetWindowClass(TWindowClass& windowClass)
{
    TWindow::GetWindowClass(windowClass);
    windowClass.Name = "GadgetWindow";
    windowClass.Background = TColor::FromSys(COLOR_BTNFACE);
}

void TGadgetWindow::SetFont(const TFont& font)
{
    m_font = font;
    m_charSize.reset();
    LayoutSession();
    Invalidate();
}

void TGadgetWindow::SetupWindow()
{
    TWindow::SetupWindow();
    m_leaveWatcher = std::make_unique<TLeaveWatcher>(*this);
    WidgetOf(*this)->installEventFilter(m_leaveWatcher.get());
    LayoutSession();
}

TSize TGadgetWindow::GetClientSize() const
{
    if (!HasWindow()) {
        return TSize(Attr.W, Attr.H);
    }
    const TRect r = GetClientRect();
    return TSize(r.Width(), r.Height());
}

void TGadgetWindow::SetClientSize(const TSize& size)
{
    if (!HasWindow()) {
        Attr.W = size.cx;
        Attr.H = size.cy;
        return;
    }
    const TRect insets = GetNonClientInsets();
    SetWindowPos(kHwndTop, 0, 0, size.cx + insets.left + insets.right, size.cy + insets.top + insets.bottom,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TGadgetWindow::NotifyParent(UINT, WPARAM, LPARAM)
{
    // The window layer sends the parent WM_PARENTNOTIFY itself when the widget's size changes, which is when
    // the layout asks for this; sending it here as well would notify twice.
}

void TGadgetWindow::PostToSelf(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (HasWindow()) {
        PostMessage(message, wParam, lParam);
    }
}

void TGadgetWindow::SendCommandEnable(TCommandEnabler& enabler)
{
    if (TWindow* receiver = Receiver(); receiver != nullptr) {
        receiver->SendMessage(WM_COMMAND_ENABLE, 0, reinterpret_cast<LPARAM>(&enabler));
    }
}

void TGadgetWindow::SetMouseCapture(bool capture)
{
    if (capture) {
        SetCapture();
    } else if (GetCapture() == this) {
        ReleaseCapture();
    }
}

TSize TGadgetWindow::MeasureText(std::string_view text)
{
    TMemoryDC dc;
    dc.SelectObject(m_font);
    return dc.GetTextExtent(text);
}

TSize TGadgetWindow::CharSize()
{
    if (!m_charSize) {
        TMemoryDC dc;
        dc.SelectObject(m_font);
        m_charSize = dc.GetAverageCharSize();
    }
    return *m_charSize;
}

int TGadgetWindow::GetFontHeight()
{
    return CharSize().cy;
}

int TGadgetWindow::GetAverageCharWidth()
{
    return CharSize().cx;
}

TSize TGadgetWindow::GetBitmapSize(int resId)
{
    const TBitmap* bitmap = FindBitmapResource(resId);
    return bitmap != nullptr ? bitmap->Size() : TSize(0, 0);
}

TWindow* TGadgetWindow::Receiver() const
{
    TWindow* receiver = GetParent();
    while (receiver != nullptr && dynamic_cast<TBarHolder*>(receiver) != nullptr && receiver->GetParent() != nullptr) {
        receiver = receiver->GetParent();
    }
    return receiver != nullptr && receiver->HasWindow() ? receiver : nullptr;
}

void TGadgetWindow::SetHintCommand(int id)
{
    if (TWindow* receiver = Receiver(); receiver != nullptr) {
        receiver->SendMessage(kMsgGadgetHint, static_cast<WPARAM>(id), 0);
    }
}

bool TGadgetWindow::IdleAction(long idleCount)
{
    const bool window = TWindow::IdleAction(idleCount);
    const bool gadgets = TGadgetWindowCore::IdleAction(idleCount);
    return window || gadgets;
}

void TGadgetWindow::MouseLeftWindow()
{
    if (GetCapturedGadget() == nullptr) {
        MouseLeft();
    }
    UpdateTooltip();
}

void TGadgetWindow::UpdateTooltip()
{
    const TGadget* gadget = GetGadgetAtMouse();
    const int id = gadget != nullptr && GetCapturedGadget() == nullptr ? gadget->GetId() : 0;
    if (id == m_tooltipId) {
        return;
    }
    m_tooltipId = id;
    m_tooltip.clear();
    if (TWindow* receiver = Receiver(); id != 0 && receiver != nullptr) {
        receiver->SendMessage(kMsgGadgetTooltip, static_cast<WPARAM>(id), reinterpret_cast<LPARAM>(&m_tooltip));
    }
    if (m_tooltip.empty()) {
        QToolTip::hideText();
        return;
    }
    QToolTip::showText(QCursor::pos(), QString::fromStdString(m_tooltip), WidgetOf(*this));
}

LRESULT TGadgetWindow::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_MOUSEMOVE:
        MouseMove(static_cast<UINT>(wParam), PointOf(lParam));
        UpdateTooltip();
        return 0;
    case WM_LBUTTONDOWN:
        LButtonDown(static_cast<UINT>(wParam), PointOf(lParam));
        UpdateTooltip();
        return 0;
    case WM_LBUTTONDBLCLK:
        LButtonDblClk(static_cast<UINT>(wParam), PointOf(lParam));
        return 0;
    case WM_LBUTTONUP:
        LButtonUp(static_cast<UINT>(wParam), PointOf(lParam));
        UpdateTooltip();
        return 0;
    case WM_SIZE:
        TWindow::WindowProc(msg, wParam, lParam);
        LayoutSession();
        return 0;
    case WM_SYSCOLORCHANGE:
        SysColorChange();
        Invalidate();
        return TWindow::WindowProc(msg, wParam, lParam);
    case WM_COMMAND:
    case kMsgGadgetHint:
    case kMsgGadgetTooltip:
    case WM_COMMAND_ENABLE:
        // A gadget's command goes to the window the bar stands in (past the slips that hold it), and on up to
        // the frame.
        if (TWindow* receiver = Receiver(); receiver != nullptr) {
            return receiver->SendMessage(msg, wParam, lParam);
        }
        return 0;
    default:
        return TWindow::WindowProc(msg, wParam, lParam);
    }
}

void TGadgetWindow::Paint(TDC& dc, bool erase, TRect& rect)
{
    PaintGadgets(dc, erase, rect);
}

void TGadgetWindow::PaintGadgets(TDC& dc, bool, TRect& rect)
{
    for (TGadget* g = FirstGadget(); g != nullptr; g = NextGadget(*g)) {
        if (!g->IsVisible() || (!rect.IsEmpty() && !g->GetBounds().Touches(rect))) {
            continue;
        }
        g->Paint(dc); // the border first, then the contents
    }
}

} // namespace qm::gui
