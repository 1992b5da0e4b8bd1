// Test support of the window tests: a window that records its messages, a standard edit control, and input
// events sent the way the platform delivers them.
#pragma once

#include "gui/draw/tests/GuiTestApp.h"
#include "gui/window/Application.h"
#include "gui/window/Window.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>

#include <functional>
#include <string>
#include <vector>

namespace qm::gui::test {

struct Recorded {
    std::string Window;
    UINT Msg;
    WPARAM WParam;
    LPARAM LParam;
};

/// Every message of every recording window, in arrival order.
inline std::vector<Recorded>& Log()
{
    static std::vector<Recorded> log;
    return log;
}

/// The numbers of the logged messages of one window, restricted to the interesting ones.
inline std::vector<UINT> Messages(const std::string& window, const std::vector<UINT>& interesting)
{
    std::vector<UINT> out;
    for (const Recorded& r : Log()) {
        if (r.Window != window) {
            continue;
        }
        for (UINT m : interesting) {
            if (m == r.Msg) {
                out.push_back(r.Msg);
            }
        }
    }
    return out;
}

/// A window that logs each message before its normal handling; Handler may answer instead (true).
class TRecordingWindow : public TWindow {
public:
    TRecordingWindow(TWindow* parent, std::string name) : TWindow(parent, name), Name(std::move(name)) {}

    std::string Name;
    UINT ClassStyle = CS_DBLCLKS;
    std::function<bool(UINT, WPARAM, LPARAM, LRESULT&)> Handler;
    std::function<bool(MSG&)> PreProcess;

    void GetWindowClass(TWindowClass& wc) override { wc.Style = ClassStyle; }
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        Log().push_back(Recorded{Name, msg, wParam, lParam});
        LRESULT result = 0;
        if (Handler && Handler(msg, wParam, lParam, result)) {
            return result;
        }
        return TWindow::WindowProc(msg, wParam, lParam);
    }
    bool PreProcessMsg(MSG& msg) override
    {
        if (PreProcess) {
            return PreProcess(msg);
        }
        return TWindow::PreProcessMsg(msg);
    }
};

/// A recording window whose widget is a standard control.
class TRecordingEdit : public TRecordingWindow {
public:
    TRecordingEdit(TWindow* parent, std::string name, bool multiLine = false)
        : TRecordingWindow(parent, std::move(name)), MultiLine(multiLine)
    {
    }
    bool MultiLine;

protected:
    QWidget* MakeWidget(QWidget* parentWidget) override
    {
        if (MultiLine) {
            return new QPlainTextEdit(parentWidget);
        }
        return new QLineEdit(parentWidget);
    }
};

/// Sends a mouse event to widget at pos (widget coordinates), as the platform would.
inline void SendMouse(QWidget* widget, QEvent::Type type, Qt::MouseButton button, QPoint pos,
                      Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    static quint64 timestamp = 1000;
    timestamp += 10;
    QMouseEvent e(type, QPointF(pos), QPointF(widget->mapToGlobal(pos)), button, buttons, modifiers);
    e.setTimestamp(timestamp);
    QApplication::sendEvent(widget, &e);
}

inline void Click(QWidget* widget, Qt::MouseButton button, QPoint pos)
{
    SendMouse(widget, QEvent::MouseButtonPress, button, pos, button);
    SendMouse(widget, QEvent::MouseButtonRelease, button, pos, Qt::NoButton);
}

inline void SendKey(QWidget* widget, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier, QString text = {})
{
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
    QApplication::sendEvent(widget, &release);
}

} // namespace qm::gui::test
