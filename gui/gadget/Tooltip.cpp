// Tools are watched through Qt's enter and leave events of their widgets; a widget inside a tool sends its events
// on to the tool only as enter and leave of the tool itself, so moving between a combo box and its edit part keeps
// the tip.
#include "gui/gadget/Tooltip.h"

#include "gui/window/Window.h"
#include "gui/window/WindowWidget.h"

#include <QCursor>
#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QToolTip>
#include <QWidget>

#include <algorithm>
#include <vector>

namespace qm::gui {

class TTooltip::TImpl final : public QObject {
public:
    struct TTool {
        HWND Handle = 0;
        QPointer<QWidget> Widget;
        std::string Text;
    };

    ~TImpl() override
    {
        for (TTool& tool : Tools) {
            if (tool.Widget != nullptr) {
                tool.Widget->removeEventFilter(this);
            }
        }
        if (Showing != nullptr) {
            QToolTip::hideText();
        }
    }

    // A tool's window is gone when its handle names no window any more or another widget now stands for it
    // (the widget of a destroyed window may live on until Qt deletes it).
    static bool Live(const TTool& tool)
    {
        const TWindow* window = TWindow::FromHandle(tool.Handle);
        return tool.Widget != nullptr && window != nullptr && WidgetOf(*window) == tool.Widget;
    }

    TTool* Find(HWND handle)
    {
        const auto it = std::find_if(Tools.begin(), Tools.end(), [&](const TTool& t) { return t.Handle == handle; });
        return it != Tools.end() ? &*it : nullptr;
    }

    void Show(QWidget* widget, const std::string& text)
    {
        Showing = widget;
        Shown = text;
        if (text.empty()) {
            QToolTip::hideText();
            return;
        }
        QToolTip::showText(QCursor::pos(), QString::fromStdString(text), widget);
    }

    void Hide()
    {
        if (Showing != nullptr) {
            QToolTip::hideText();
        }
        Showing = nullptr;
        Shown.clear();
    }

    bool eventFilter(QObject* object, QEvent* event) override
    {
        const QEvent::Type type = event->type();
        if (type != QEvent::Enter && type != QEvent::Leave) {
            return false;
        }
        const auto it = std::find_if(Tools.begin(), Tools.end(), [&](const TTool& t) { return t.Widget == object; });
        if (it == Tools.end() || !Live(*it)) {
            return false;
        }
        if (type == QEvent::Enter) {
            Show(it->Widget, it->Text);
        } else if (Showing == it->Widget) {
            Hide();
        }
        return false; // the tool hears its enter and leave as always
    }

    std::vector<TTool> Tools;
    QPointer<QWidget> Showing;
    std::string Shown;
};

TTooltip::TTooltip()
    : m_impl(std::make_unique<TImpl>())
{}

TTooltip::~TTooltip() = default;

bool TTooltip::AddTool(HWND tool, std::string_view text)
{
    if (TImpl::TTool* known = m_impl->Find(tool); known != nullptr && TImpl::Live(*known)) {
        return UpdateTipText(tool, text);
    }
    TWindow* window = TWindow::FromHandle(tool);
    if (window == nullptr || !window->HasWindow()) {
        return false;
    }
    // Tools whose windows have gone are dropped (their handles never come back).
    auto& tools = m_impl->Tools;
    for (auto it = tools.begin(); it != tools.end();) {
        if (TImpl::Live(*it)) {
            ++it;
            continue;
        }
        if (it->Widget != nullptr) {
            it->Widget->removeEventFilter(m_impl.get());
        }
        it = tools.erase(it);
    }
    QWidget* widget = WidgetOf(*window);
    widget->installEventFilter(m_impl.get());
    m_impl->Tools.push_back(TImpl::TTool{tool, widget, std::string(text)});
    return true;
}

void TTooltip::DeleteTool(HWND tool)
{
    auto& tools = m_impl->Tools;
    const auto it = std::find_if(tools.begin(), tools.end(), [&](const TImpl::TTool& t) { return t.Handle == tool; });
    if (it == tools.end()) {
        return;
    }
    if (it->Widget != nullptr) {
        it->Widget->removeEventFilter(m_impl.get());
        if (m_impl->Showing == it->Widget) {
            m_impl->Hide();
        }
    }
    tools.erase(it);
}

bool TTooltip::UpdateTipText(HWND tool, std::string_view text)
{
    TImpl::TTool* known = m_impl->Find(tool);
    if (known == nullptr) {
        return false;
    }
    known->Text = std::string(text);
    if (known->Widget != nullptr && m_impl->Showing == known->Widget) {
        m_impl->Show(known->Widget, known->Text);
    }
    return true;
}

bool TTooltip::HasTool(HWND tool) const
{
    return m_impl->Find(tool) != nullptr;
}

std::string TTooltip::GetToolText(HWND tool) const
{
    const TImpl::TTool* known = m_impl->Find(tool);
    return known != nullptr ? known->Text : std::string();
}

int TTooltip::GetToolCount() const
{
    return static_cast<int>(m_impl->Tools.size());
}

const std::string& TTooltip::GetShownText() const
{
    return m_impl->Shown;
}

} // namespace qm::gui
