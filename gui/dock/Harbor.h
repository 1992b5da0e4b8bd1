// THarbor: owns the docking slips of a decorated frame and drags dockables between the edges and floating slips.
// A drag captures the mouse in the harbour's hidden window, follows the model's dock-target choice and draws its
// outline on the screen overlay (saving and restoring the pixels below), and docks or floats on release.
// While the harbour's window holds the capture (its own drag, or one a derived harbour runs), pressing or
// releasing Ctrl reaches it at once as a WM_MOUSEMOVE at the cursor with the new key flags, and a right press
// goes to it alone (before the application's pre-filter; its release is swallowed): the framework's drag ends
// on it without a drop.
#pragma once

#include "gui/dock/Docking.h"
#include "gui/dock/FloatingSlip.h"
#include "gui/frame/DecoratedFrame.h"

#include <memory>

namespace qm::gui {

class TMemoryDC;
class TScreenDC;

class THarbor : public TWindow {
public:
    explicit THarbor(TDecoratedFrame& frame);
    ~THarbor() override;

    TDecoratedFrame& GetFrame() const { return m_frame; }

    /// The slip of an edge (made by MakeEdgeSlip and inserted into the frame on first use), or null for alNone.
    TDockingSlip* GetEdgeSlip(TAbsLocation location) const;
    void SetEdgeSlip(TAbsLocation location, TDockingSlip* slip);

    /// Puts dockable at location: at an edge into its slip (at where, in screen coordinates, or at the end),
    /// floating into a new floating slip at where (or near the frame's top-left). Returns the slip.
    TDockingSlip* Insert(TDockable& dockable, TAbsLocation location, const TPoint* where = nullptr);
    /// Takes dockable out of its slip; a floating slip left empty is destroyed. The window becomes the
    /// harbour's child, hidden.
    void Remove(TDockable& dockable);

    /// Starts dragging dockable from screen point start. False when a drag already runs.
    bool DockDragBegin(TDockable& dockable, const TPoint& start);

    bool IsDragging() const { return m_drag != nullptr; }

    /// The drag's outline rectangle (screen coordinates) and target now; empty and alNone without a drag.
    TRect DragRect() const;
    TAbsLocation DragTarget() const;

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

protected:
    virtual TDockingSlip* MakeEdgeSlip(TDecoratedFrame& frame, TAbsLocation location);
    virtual TFloatingSlip* MakeFloatingSlip(TDecoratedFrame& frame, int x, int y, TDockable& dockable);

private:
    struct TDrag;
    class TCaptureInput;
    void DragMove(const TPoint& screen, bool controlDown);
    void DragEnd(const TPoint& screen, bool drop);
    void DrawMarker(const TRect& rect);
    void EraseMarker();

    TDecoratedFrame& m_frame;
    TDockingSlip* m_slips[5] = {};
    std::unique_ptr<TDrag> m_drag;
    std::unique_ptr<TCaptureInput> m_captureInput;
};

} // namespace qm::gui
