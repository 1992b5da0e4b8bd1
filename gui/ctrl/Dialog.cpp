// Dialogs, their keys and the tray icon.
#include "gui/ctrl/Dialog.h"

#include "gui/ctrl/Controls.h"
#include "gui/window/Application.h"

#include <QApplication>
#include <QIcon>
#include <QSystemTrayIcon>
#include <QWidget>

#include <algorithm>

namespace qm::gui {

TDialog::TDialog(TWindow* parent, std::string_view title) : TWindow(parent, title)
{
    Attr.Style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
    Attr.ExStyle = WS_EX_DLGMODALFRAME;
    Attr.W = 300;
    Attr.H = 200;
}

void TDialog::GetWindowClass(TWindowClass& windowClass)
{
    windowClass.Name = "#32770";
    windowClass.Background = TColor::FromSys(COLOR_3DFACE);
}

int TDialog::Execute()
{
    TApplication* app = GetApplication();
    if (app == nullptr || (!HasWindow() && !Create())) {
        return IDCANCEL;
    }
    m_modal = true;
    m_ending = false;
    // While it runs, the program's other windows take no input.
    GetWidget()->setWindowModality(Qt::ApplicationModal);
    ShowWindow(SW_SHOW);
    // A modal dialog takes the keyboard at once, also where the platform activates windows late (offscreen).
    QApplication::setActiveWindow(GetWidget());
    // The first tab stop starts with the focus.
    MoveFocus(true, true);
    const int result = app->BeginModal(this);
    m_modal = false;
    if (HasWindow()) {
        Destroy(result);
    }
    return result;
}

void TDialog::CloseWindow(int retValue)
{
    if (m_modal) {
        if (!m_ending) {
            m_ending = true;
            GetApplication()->EndModal(retValue);
        }
        return;
    }
    Destroy(retValue);
}

void TDialog::CmOk()
{
    if (CanClose()) {
        CloseWindow(IDOK);
    }
}

void TDialog::CmCancel()
{
    CloseWindow(IDCANCEL);
}

LRESULT TDialog::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_COMMAND && lParam == 0) {
        if (LOWORD(wParam) == IDOK) {
            CmOk();
            return 0;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            CmCancel();
            return 0;
        }
    }
    if (msg == WM_CLOSE) {
        CmCancel();
        return 0;
    }
    return TWindow::WindowProc(msg, wParam, lParam);
}

bool TDialog::HandleDialogKeys(MSG& msg)
{
    if (msg.message != WM_KEYDOWN || !HasWindow()) {
        return false;
    }
    switch (msg.wParam) {
    case VK_RETURN: {
        auto* edit = dynamic_cast<TEdit*>(TWindow::FromHandle(msg.hwnd));
        if (edit != nullptr && edit->IsMultiLine() && edit->WantsReturn()) {
            return false; // the edit takes the line break
        }
        SendMessage(WM_COMMAND, IDOK, 0);
        return true;
    }
    case VK_ESCAPE:
        SendMessage(WM_COMMAND, IDCANCEL, 0);
        return true;
    case VK_TAB:
        MoveFocus(GetKeyState(VK_SHIFT) >= 0);
        return true;
    default:
        return false;
    }
}

void TDialog::MoveFocus(bool forward, bool first)
{
    std::vector<TWindow*> stops;
    for (TWindow* child : GetChildren()) {
        if (child->HasWindow() && (child->GetStyle() & WS_TABSTOP) != 0 && child->IsWindowEnabled()) {
            stops.push_back(child);
        }
    }
    if (stops.empty()) {
        return;
    }
    // GetChildren lists the top of the z-order first; the tab order is the creation order.
    std::reverse(stops.begin(), stops.end());
    TWindow* focus = first ? nullptr : TWindow::GetFocus();
    auto it = std::find(stops.begin(), stops.end(), focus);
    std::size_t index = 0;
    if (it != stops.end()) {
        const auto n = stops.size();
        const auto at = static_cast<std::size_t>(it - stops.begin());
        index = forward ? (at + 1) % n : (at + n - 1) % n;
    }
    stops[index]->SetFocus();
}

bool TrayAvailable()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

struct TTrayIcon::Impl {
    TWindow& Window;
    UINT Id;
    UINT Callback;
    std::unique_ptr<QSystemTrayIcon> Icon;
};

TTrayIcon::TTrayIcon(TWindow& window, UINT id, UINT callbackMessage)
    : m_impl(std::make_unique<Impl>(Impl{window, id, callbackMessage, nullptr}))
{
}

TTrayIcon::~TTrayIcon() = default;

bool TTrayIcon::Add(std::string_view tip)
{
    if (!TrayAvailable()) {
        return false;
    }
    if (!m_impl->Icon) {
        m_impl->Icon = std::make_unique<QSystemTrayIcon>();
        Impl* impl = m_impl.get();
        QObject::connect(impl->Icon.get(), &QSystemTrayIcon::activated, [impl](QSystemTrayIcon::ActivationReason r) {
            UINT mouse = 0;
            switch (r) {
            case QSystemTrayIcon::DoubleClick:
                mouse = WM_LBUTTONDBLCLK;
                break;
            case QSystemTrayIcon::Context:
                mouse = WM_RBUTTONDOWN;
                break;
            case QSystemTrayIcon::Trigger:
                mouse = WM_LBUTTONUP;
                break;
            default:
                return;
            }
            if (impl->Window.HasWindow()) {
                impl->Window.PostMessage(impl->Callback, impl->Id, static_cast<LPARAM>(mouse));
            }
        });
    }
    m_impl->Icon->setToolTip(QString::fromUtf8(tip.data(), static_cast<qsizetype>(tip.size())));
    if (QWidget* w = m_impl->Window.GetWidget()) {
        m_impl->Icon->setIcon(w->window()->windowIcon());
    }
    m_impl->Icon->show();
    return m_impl->Icon->isVisible();
}

bool TTrayIcon::Modify(std::string_view tip)
{
    if (!m_impl->Icon) {
        return false;
    }
    m_impl->Icon->setToolTip(QString::fromUtf8(tip.data(), static_cast<qsizetype>(tip.size())));
    return true;
}

void TTrayIcon::Delete()
{
    m_impl->Icon.reset();
}

bool TTrayIcon::IsAdded() const
{
    return m_impl->Icon && m_impl->Icon->isVisible();
}

} // namespace qm::gui
