// The harbour: edge slips of a frame, insertion and removal of dockables, and the drag between them.
#include "gui/dock/Harbor.h"

#include "gui/draw/Dc.h"
#include "gui/model/DockTarget.h"
#include "gui/model/InputState.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QObject>
#include <QWidget>

#include <vector>

namespace qm::gui {
namespace {

constexpr int kMarkerWidth = 3;

} // namespace

struct THarbor::TDrag {
    TDockable* Dockable = nullptr;
    TPoint Start;
    TPoint Grab; // the cursor's offset from the outline's top-left corner
    TSize Horizontal, Vertical, Floating;
    TRect Rect;
    TAbsLocation Target = alNone;
    bool Moved = false;
    std::unique_ptr<TScreenDC> Screen;
    std::unique_ptr<TMemoryDC> Saved;
    TRect SavedRect;
};

// Input for the harbour's window while it holds the mouse capture; it watches the whole application because the
// keyboard stays with the focus window during a drag.
class THarbor::TCaptureInput final : public QObject {
public:
    explicit TCaptureInput(THarbor& harbor)
        : m_harbor(harbor)
    {
        if (qApp != nullptr) {
            qApp->installEventFilter(this);
        }
    }

    ~TCaptureInput() override
    {
        if (qApp != nullptr) {
            qApp->removeEventFilter(this);
        }
    }

    TCaptureInput(const TCaptureInput&) = delete;
    TCaptureInput& operator=(const TCaptureInput&) = delete;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (qobject_cast<QWidget*>(watched) == nullptr) {
            return false; // each event is looked at once, at its widget
        }
        const QEvent::Type type = event->type();
        if (type == QEvent::MouseButtonRelease && m_eatRightRelease &&
            static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) {
            m_eatRightRelease = false;
            return true;
        }
        if (TWindow::GetCapture() != &m_harbor || !m_harbor.HasWindow()) {
            return false;
        }
        if ((type == QEvent::KeyPress || type == QEvent::KeyRelease) &&
            static_cast<QKeyEvent*>(event)->key() == Qt::Key_Control &&
            !static_cast<QKeyEvent*>(event)->isAutoRepeat()) {
            const bool down = type == QEvent::KeyPress;
            if ((GetKeyState(VK_CONTROL) < 0) != down) {
                SetKeyDownState(VK_CONTROL, down);
                m_harbor.SendMessage(WM_MOUSEMOVE, KeyFlags(), CursorInHarbor());
            }
            return false; // the focus window hears the key as always
        }
        if ((type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick) &&
            static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) {
            const QPoint global = static_cast<QMouseEvent*>(event)->globalPosition().toPoint();
            SetCursorPosState(TPoint(global.x(), global.y()));
            m_eatRightRelease = true;
            m_harbor.SendMessage(WM_RBUTTONDOWN, KeyFlags() | MK_RBUTTON, CursorInHarbor());
            return true;
        }
        return false;
    }

private:
    static WPARAM KeyFlags()
    {
        WPARAM flags = 0;
        const std::pair<int, WPARAM> keys[] = {{VK_LBUTTON, MK_LBUTTON},
                                               {VK_RBUTTON, MK_RBUTTON},
                                               {VK_MBUTTON, MK_MBUTTON},
                                               {VK_SHIFT, MK_SHIFT},
                                               {VK_CONTROL, MK_CONTROL}};
        for (const auto& [key, flag] : keys) {
            if (GetKeyState(key) < 0) {
                flags |= flag;
            }
        }
        return flags;
    }

    LPARAM CursorInHarbor() const
    {
        const TPoint p = m_harbor.ScreenToClient(GetCursorPos());
        return MAKELPARAM(p.x, p.y);
    }

    THarbor& m_harbor;
    bool m_eatRightRelease = false;
};

THarbor::THarbor(TDecoratedFrame& frame)
    : TWindow(&frame)
    , m_frame(frame)
    , m_captureInput(std::make_unique<TCaptureInput>(*this))
{
    Attr.Style = WS_CHILD; // never shown: it only holds the mouse during a drag
    Attr.W = 0;
    Attr.H = 0;
}

THarbor::~THarbor() = default;

TDockingSlip* THarbor::GetEdgeSlip(TAbsLocation location) const
{
    return location > alNone && location <= alRight ? m_slips[location] : nullptr;
}

void THarbor::SetEdgeSlip(TAbsLocation location, TDockingSlip* slip)
{
    if (location > alNone && location <= alRight) {
        m_slips[location] = slip;
        if (slip != nullptr) {
            slip->SetHarbor(this);
        }
    }
}

TDockingSlip* THarbor::MakeEdgeSlip(TDecoratedFrame& frame, TAbsLocation location)
{
    return new TEdgeSlip(frame, location); // owned by the frame, its parent
}

TFloatingSlip* THarbor::MakeFloatingSlip(TDecoratedFrame& frame, int x, int y, TDockable& dockable)
{
    return new TFloatingSlip(&frame, x, y, dockable); // owned by the frame, its parent
}

TDockingSlip* THarbor::Insert(TDockable& dockable, TAbsLocation location, const TPoint* where)
{
    if (SlipOf(*dockable.GetWindow()) != nullptr) {
        Remove(dockable);
    }
    dockable.SetHarbor(this);
    if (location != alNone) {
        TDockingSlip* slip = GetEdgeSlip(location);
        if (slip == nullptr) {
            slip = MakeEdgeSlip(m_frame, location);
            SetEdgeSlip(location, slip);
            m_frame.Insert(*slip->GetSlipWindow(), location);
        }
        TPoint local;
        const TPoint* at = nullptr;
        if (where != nullptr && slip->GetSlipWindow()->HasWindow()) {
            local = slip->GetSlipWindow()->ScreenToClient(*where);
            at = &local;
        }
        slip->DockableInsert(dockable, at);
        return slip;
    }
    TPoint at = where != nullptr ? *where : TPoint(40, 40);
    if (where == nullptr && m_frame.HasWindow()) {
        at = m_frame.GetWindowRect().TopLeft().OffsetBy(40, 40);
    }
    TFloatingSlip* slip = MakeFloatingSlip(m_frame, at.x, at.y, dockable);
    slip->SetHarbor(this);
    if (m_frame.HasWindow()) {
        slip->Create();
        slip->ShowWindow(SW_SHOWNA);
    }
    return slip;
}

void THarbor::Remove(TDockable& dockable)
{
    TWindow* window = dockable.GetWindow();
    TDockingSlip* slip = SlipOf(*window);
    if (slip == nullptr) {
        return;
    }
    window->ShowWindow(SW_HIDE);
    window->SetParent(this);
    slip->DockableRemoved(dockable);
    if (auto* floating = dynamic_cast<TFloatingSlip*>(slip); floating != nullptr) {
        floating->Destroy();
        floating->SetParent(nullptr);
        delete floating; // never from inside its own handler: drags end in the harbour's
    }
}

bool THarbor::DockDragBegin(TDockable& dockable, const TPoint& start)
{
    if (m_drag != nullptr || !HasWindow()) {
        return false;
    }
    auto drag = std::make_unique<TDrag>();
    drag->Dockable = &dockable;
    drag->Start = start;
    const TAbsLocation current =
            SlipOf(*dockable.GetWindow()) != nullptr ? SlipOf(*dockable.GetWindow())->GetLocation() : alNone;
    drag->Horizontal = dockable.ComputeSize(alTop);
    drag->Vertical = dockable.ComputeSize(alLeft);
    drag->Floating = TFloatingSlip::WindowSizeFor(dockable, dockable.GetWindow()->GetCaption());
    // The outline starts where the dockable's window (or its floating slip) stands now.
    TWindow* shown = dockable.GetWindow();
    if (current == alNone && shown->GetParent() != nullptr) {
        shown = shown->GetParent();
    }
    drag->Rect = shown->GetWindowRect();
    drag->Grab = TPoint(start.x - drag->Rect.left, start.y - drag->Rect.top);
    drag->Target = current;
    drag->Screen = std::make_unique<TScreenDC>();
    m_drag = std::move(drag);
    SetCapture();
    DrawMarker(m_drag->Rect);
    return true;
}

TRect THarbor::DragRect() const
{
    return m_drag != nullptr ? m_drag->Rect : TRect();
}

TAbsLocation THarbor::DragTarget() const
{
    return m_drag != nullptr ? m_drag->Target : alNone;
}

void THarbor::DragMove(const TPoint& screen, bool controlDown)
{
    TDrag& d = *m_drag;
    if (screen != d.Start) {
        d.Moved = true;
    }
    const TRect client = m_frame.GetClientRect();
    const TRect frameClient(m_frame.ClientToScreen(client.TopLeft()), m_frame.ClientToScreen(client.BottomRight()));
    std::vector<TDockEdge> edges;
    // Every edge is a candidate: one without a slip yet gets its slip when the bar lands there.
    for (int loc = alTop; loc <= alRight; ++loc) {
        TDockingSlip* slip = m_slips[loc];
        TRect rect;
        if (slip != nullptr) {
            TWindow* w = slip->GetSlipWindow();
            if (w->HasWindow() && !w->GetChildren().empty() && w->GetWindowRect().Width() > 0 &&
                w->GetWindowRect().Height() > 0) {
                rect = w->GetWindowRect();
            }
        }
        edges.push_back(TDockEdge{static_cast<TAbsLocation>(loc), rect});
    }
    d.Target = ChooseDockTarget(screen, frameClient, edges, controlDown);
    const TSize size = d.Target == alNone                            ? d.Floating
                       : (d.Target == alLeft || d.Target == alRight) ? d.Vertical
                                                                     : d.Horizontal;
    const TPoint grab(std::min(d.Grab.x, size.cx - 1), std::min(d.Grab.y, size.cy - 1));
    const TRect rect(TPoint(screen.x - grab.x, screen.y - grab.y), size);
    if (rect != d.Rect) {
        d.Rect = rect;
        DrawMarker(rect);
    }
}

void THarbor::DragEnd(const TPoint& screen, bool drop)
{
    EraseMarker();
    std::unique_ptr<TDrag> d = std::move(m_drag);
    if (GetCapture() == this) {
        ReleaseCapture();
    }
    if (!drop || !d->Moved || screen == d->Start) {
        return;
    }
    TDockable& dockable = *d->Dockable;
    TDockingSlip* slip = SlipOf(*dockable.GetWindow());
    const TAbsLocation from = slip != nullptr ? slip->GetLocation() : alNone;
    const TPoint topLeft = d->Rect.TopLeft();
    if (slip != nullptr && from == d->Target) {
        if (from == alNone) {
            slip->DockableMove(dockable, &topLeft);
        } else {
            const TPoint local = slip->GetSlipWindow()->ScreenToClient(topLeft);
            slip->DockableMove(dockable, &local);
        }
        return;
    }
    Insert(dockable, d->Target, &topLeft);
}

void THarbor::DrawMarker(const TRect& rect)
{
    EraseMarker();
    TDrag& d = *m_drag;
    d.SavedRect = rect;
    d.Saved = std::make_unique<TMemoryDC>();
    d.Saved->SelectBitmap(TBitmap(rect.Width(), rect.Height()));
    d.Saved->BitBlt(TRect(0, 0, rect.Width(), rect.Height()), *d.Screen, rect.TopLeft());
    // A frame of the dithered pattern, so the outline shows over light and dark pixels alike.
    const TBrush brush = TBrush::Dither(TColor(RGB(0, 0, 0)), TColor(RGB(255, 255, 255)));
    const int w = std::min({kMarkerWidth, rect.Width() / 2, rect.Height() / 2});
    d.Screen->FillRect(TRect(rect.left, rect.top, rect.right, rect.top + w), brush);
    d.Screen->FillRect(TRect(rect.left, rect.bottom - w, rect.right, rect.bottom), brush);
    d.Screen->FillRect(TRect(rect.left, rect.top + w, rect.left + w, rect.bottom - w), brush);
    d.Screen->FillRect(TRect(rect.right - w, rect.top + w, rect.right, rect.bottom - w), brush);
}

void THarbor::EraseMarker()
{
    if (m_drag == nullptr || m_drag->Saved == nullptr) {
        return;
    }
    TDrag& d = *m_drag;
    d.Screen->BitBlt(d.SavedRect, *d.Saved, TPoint(0, 0));
    d.Saved.reset();
}

LRESULT THarbor::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (m_drag == nullptr) {
        return TWindow::WindowProc(msg, wParam, lParam);
    }
    const TPoint screen = ClientToScreen(TPoint(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)));
    switch (msg) {
    case WM_MOUSEMOVE:
        DragMove(screen, (wParam & MK_CONTROL) != 0);
        return 0;
    case WM_LBUTTONUP:
        DragMove(screen, (wParam & MK_CONTROL) != 0);
        DragEnd(screen, true);
        return 0;
    case WM_RBUTTONDOWN:
    case WM_CAPTURECHANGED:
        DragEnd(screen, false);
        return 0;
    default:
        return TWindow::WindowProc(msg, wParam, lParam);
    }
}

} // namespace qm::gui
