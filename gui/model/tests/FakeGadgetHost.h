// A gadget window host for tests: a client size, 6-pixel characters 13 pixels high, 16 x 15 glyphs, and records
// of what the layout asked the window to do.
#pragma once

#include "gui/model/GadgetWindowCore.h"

#include <functional>
#include <vector>

namespace qm::gui::test {

struct HostMessage {
    UINT Message;
    WPARAM WParam;
    LPARAM LParam;
};

class FakeGadgetHost : public TGadgetWindowHost {
public:
    static constexpr HWND kHandle = 0x0000123400000007ull;

    TSize Client;
    std::vector<TSize> Resizes;
    std::vector<HostMessage> ParentMessages;
    std::vector<HostMessage> Posted;
    std::function<void(TCommandEnabler&)> OnCommandEnable;
    bool Captured = false;
    std::vector<int> Hints;
    std::vector<TRect> Invalidated;

    HWND GetHandle() const override { return kHandle; }

    TSize GetClientSize() const override { return Client; }

    void SetClientSize(const TSize& size) override
    {
        Client = size;
        Resizes.push_back(size);
    }

    void NotifyParent(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        ParentMessages.push_back({message, wParam, lParam});
    }

    void PostToSelf(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        Posted.push_back({message, wParam, lParam});
    }

    void SendCommandEnable(TCommandEnabler& enabler) override
    {
        if (OnCommandEnable)
            OnCommandEnable(enabler);
    }

    void InvalidateRect(const TRect& rect, bool) override { Invalidated.push_back(rect); }

    void SetMouseCapture(bool capture) override { Captured = capture; }

    TSize MeasureText(std::string_view text) override { return {6 * static_cast<int>(text.size()), 13}; }

    int GetFontHeight() override { return 13; }

    int GetAverageCharWidth() override { return 6; }

    TSize GetBitmapSize(int resId) override { return resId > 0 ? TSize(16, 15) : TSize(); }

    void SetHintCommand(int id) override { Hints.push_back(id); }
};

} // namespace qm::gui::test
