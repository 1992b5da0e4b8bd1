// TFloatingSlip: a frameless tool window that holds one floating dockable; the layer draws its small caption with
// the title and a close box, and hit-tests them (the model's non-client geometry).
#pragma once

#include "gui/dock/Docking.h"
#include "gui/model/NonClient.h"

namespace qm::gui {

class TFloatingSlip
    : public TWindow
    , public TDockingSlip {
public:
    /// A slip at screen point (x, y) for dockable, owned by parent (the frame).
    TFloatingSlip(TWindow* parent, int x, int y, TDockable& dockable, std::string_view title = {});

    void DockableInsert(TDockable& dockable, const TPoint* topLeft) override;
    void DockableMove(TDockable& dockable, const TPoint* topLeft) override;
    void DockableRemoved(TDockable& dockable) override;

    TAbsLocation GetLocation() const override { return alNone; }

    TWindow* GetSlipWindow() override { return this; }

    TDockable* GetDockable() const { return m_dockable; }

    /// The drawn caption's geometry at the window's present size.
    TNonClientGeometry Geometry() const;
    /// Sizes the window around its dockable's floating size, widened to show its caption whole.
    void FitToDockable();
    /// The window size of a slip for dockable with caption: the dockable's floating size in the drawn frame,
    /// wider where the caption's text would not fit beside the close box.
    static TSize WindowSizeFor(TDockable& dockable, std::string_view caption);

    void SetupWindow() override;
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

protected:
    void GetWindowClass(TWindowClass& windowClass) override;
    /// The caption's close box was clicked: the slip hides (the bar stays in it).
    virtual void CloseBoxClicked();

private:
    void PaintCaption();

    TDockable* m_dockable;
    bool m_closePressed = false;
};

} // namespace qm::gui
