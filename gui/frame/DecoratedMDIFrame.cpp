// The decorated MDI frame and its client window.
#include "gui/frame/DecoratedMDIFrame.h"

namespace qm::gui {

TMDIClient::TMDIClient()
    : TWindow(nullptr)
{
    Attr.Style = WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS;
}

void TMDIClient::GetWindowClass(TWindowClass& windowClass)
{
    TWindow::GetWindowClass(windowClass);
    windowClass.Name = "MDICLIENT";
    windowClass.Background = TColor::FromSys(COLOR_APPWORKSPACE);
}

TDecoratedMDIFrame::TDecoratedMDIFrame(TWindow* parent, std::string_view title, TMDIClient* client,
                                       bool trackMenuSelection)
    : TDecoratedFrame(parent, title, client != nullptr ? client : new TMDIClient, trackMenuSelection)
    , m_mdiClient(static_cast<TMDIClient*>(GetClientWindow()))
{}

} // namespace qm::gui
