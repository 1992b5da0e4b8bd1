// Docking: a dockable window (a bar that can stand at a frame's edge or float), the docking-slip interface of the
// windows that hold dockables, the framework's dockable control bar and its edge slip.
#pragma once

#include "gui/gadget/GadgetWindow.h"
#include "gui/model/FrameLayout.h"

namespace qm::gui {

class THarbor;
class TDockingSlip;

/// A window that can dock. The harbour asks it for its size at an edge and tells it where it now stands.
class TDockable {
public:
    virtual ~TDockable() = default;
    virtual TWindow* GetWindow() = 0;
    /// The window size the dockable takes at a location (alNone: floating).
    virtual TSize ComputeSize(TAbsLocation location) = 0;
    /// Lays the dockable out for a location.
    virtual void Layout(TAbsLocation location) = 0;
    /// Whether a press at point (client coordinates) starts a drag of the dockable (its grip area).
    virtual bool ShouldBeginDrag(const TPoint& point) = 0;

    THarbor* GetHarbor() const { return m_harbor; }

    void SetHarbor(THarbor* harbor) { m_harbor = harbor; }

private:
    THarbor* m_harbor = nullptr;
};

/// A window that holds dockables: an edge slip or a floating slip. The bars in it send their commands, command
/// enabling, hints and tooltip requests past it (TBarHolder).
class TDockingSlip : public TBarHolder {
public:
    virtual ~TDockingSlip() = default;
    /// Takes the dockable in (it becomes the slip's child) at topLeft (slip client coordinates; null: the end).
    virtual void DockableInsert(TDockable& dockable, const TPoint* topLeft) = 0;
    /// Moves a dockable that stands in the slip.
    virtual void DockableMove(TDockable& dockable, const TPoint* topLeft) = 0;
    /// The dockable has left the slip.
    virtual void DockableRemoved(TDockable& dockable) = 0;
    virtual TAbsLocation GetLocation() const = 0;
    virtual TWindow* GetSlipWindow() = 0;

    THarbor* GetHarbor() const { return m_harbor; }

    void SetHarbor(THarbor* harbor) { m_harbor = harbor; }

private:
    THarbor* m_harbor = nullptr;
};

/// The slip that holds the window, when its parent is one.
TDockingSlip* SlipOf(TWindow& window);

/// A gadget window that docks: laid out along its edge (in rows when floating), with a grip area (every point
/// that is no gadget) that starts the harbour's drag.
class TDockableControlBar
    : public TGadgetWindow
    , public TDockable {
public:
    explicit TDockableControlBar(TWindow* parent = nullptr, TTileDirection direction = Horizontal,
                                 TFont font = TFont());

    TWindow* GetWindow() override { return this; }

    /// The size at a location with the margins the bar has now (turned with the bar between a horizontal and
    /// a vertical edge).
    TSize ComputeSize(TAbsLocation location) override;
    /// Lays the gadgets out along the location's edge (in rows when floating). The margins stay as they are:
    /// the slip that takes the bar in gives them (BarMarginsFor in the framework's slips).
    void Layout(TAbsLocation location) override;
    bool ShouldBeginDrag(const TPoint& point) override;
    /// The location of the slip the bar stands in (alNone when floating or in no slip).
    TAbsLocation GetLocation();

    /// The margins the framework's slips give a bar at a location: room for the grip at the start.
    static TMargins BarMarginsFor(TAbsLocation location);

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
    /// The gadgets, then, while docked, the grip.
    void Paint(TDC& dc, bool erase, TRect& rect) override;

protected:
    /// The grip of a docked bar: two raised bars across its start. A bar that draws its own grip (or none)
    /// overrides this.
    virtual void PaintGrip(TDC& dc);
};

/// The framework's edge slip: a thin child of the frame along one edge holding its bars side by side (along the
/// edge, in insertion order or by drop position), as thick as its thickest bar; 0 when empty.
class TEdgeSlip
    : public TWindow
    , public TDockingSlip {
public:
    TEdgeSlip(TWindow& frame, TAbsLocation location);

    void DockableInsert(TDockable& dockable, const TPoint* topLeft) override;
    void DockableMove(TDockable& dockable, const TPoint* topLeft) override;
    void DockableRemoved(TDockable& dockable) override;

    TAbsLocation GetLocation() const override { return m_location; }

    TWindow* GetSlipWindow() override { return this; }

    /// Places the bars and sizes the slip; the frame lays itself out when the thickness changed.
    void ReLayout() override;

    /// The slip's thickness across its edge.
    int GetThickness() const { return m_thickness; }

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

protected:
    void GetWindowClass(TWindowClass& windowClass) override;

private:
    bool Horizontal() const { return m_location == alTop || m_location == alBottom; }

    TAbsLocation m_location;
    int m_thickness = 0;
    bool m_inLayout = false;
};

} // namespace qm::gui
