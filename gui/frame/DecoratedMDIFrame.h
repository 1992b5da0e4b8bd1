// TDecoratedMDIFrame: the multiple-document decorated frame, as far as the kit's bitmap-menu frame stands on it:
// a decorated frame (decorations, hints, the owner-drawn menu bar, command routing) whose client is an MDI client
// window. Document windows inside the client are not offered: nothing in the system opens one.
#pragma once

#include "gui/frame/DecoratedFrame.h"

namespace qm::gui {

/// The client area of a multiple-document frame: an empty window in the application-workspace colour.
class TMDIClient : public TWindow {
public:
    TMDIClient();

protected:
    void GetWindowClass(TWindowClass& windowClass) override;
};

class TDecoratedMDIFrame : public TDecoratedFrame {
public:
    /// client (made here when null) becomes the frame's child and fills what the decorations leave.
    TDecoratedMDIFrame(TWindow* parent, std::string_view title = {}, TMDIClient* client = nullptr,
                       bool trackMenuSelection = false);

    TMDIClient* GetMDIClient() const { return m_mdiClient; }

private:
    TMDIClient* m_mdiClient;
};

} // namespace qm::gui
