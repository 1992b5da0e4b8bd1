// Dialogs, their keys and the tray icon.
#include "gui/ctrl/Dialog.h"

#include "gui/ctrl/Controls.h"
#include "gui/ctrl/ListBox.h"
#include "gui/draw/DcImpl.h"
#include "gui/model/DialogNavigation.h"
#include "gui/model/Menu.h"
#include "gui/window/Application.h"
#include "gui/window/WindowWidget.h"

#include <QAbstractButton>
#include <QApplication>
#include <QIcon>
#include <QSystemTrayIcon>
#include <QWidget>

#include <algorithm>

namespace qm::gui {

TDialog::TDialog(TWindow* parent, std::string_view title)
    : TWindow(parent, title)
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

void TDialog::SetupWindow()
{
    for (TWindow* child : TabOrder()) {
        if (!child->HasWindow() && child->Create()) {
            child->SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(&GetWindowFont()), 0);
        }
    }
    TWindow::SetupWindow();
    if (m_transferBuffer != nullptr) {
        TransferData(tdSetData);
    }
}

int TDialog::Execute()
{
    TApplication* app = GetApplication();
    if (app == nullptr) {
        return IDCANCEL;
    }
    // Modal from the start, so that a visible description does not show the dialog before it is modal.
    m_modal = true;
    m_ending = false;
    if (!HasWindow() && !Create()) {
        m_modal = false;
        return IDCANCEL;
    }
    // While it runs, the program's other windows take no input.
    WidgetOf(*this)->setWindowModality(Qt::ApplicationModal);
    ShowWindow(SW_SHOW);
    // A modal dialog takes the keyboard at once, also where the platform activates windows late (offscreen).
    QApplication::setActiveWindow(WidgetOf(*this));
    // The first tab stop starts with the focus.
    FocusFirst();
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
        if (m_transferBuffer != nullptr) {
            TransferData(tdGetData);
        }
        CloseWindow(IDOK);
    }
}

void TDialog::CmCancel()
{
    CloseWindow(IDCANCEL);
}

LRESULT TDialog::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
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

namespace {

// The dialog's controls as the keyboard rules see them, in tab (creation) order.
std::vector<TDialogControl> Describe(const std::vector<TWindow*>& children)
{
    std::vector<TDialogControl> out;
    for (TWindow* child : children) {
        TDialogControl c;
        c.Id = child->GetId();
        c.Style = child->GetStyle() & ~(WS_VISIBLE | WS_DISABLED);
        c.Style |=
                child->HasWindow() && WidgetOf(*child)->isVisibleTo(WidgetOf(*child)->parentWidget()) ? WS_VISIBLE : 0;
        c.Style |= child->IsWindowEnabled() ? 0 : WS_DISABLED;
        c.Kind = child->GetDialogKind();
        switch (c.Kind) {
        case TDialogControl::PushButton:
        case TDialogControl::RadioButton:
        case TDialogControl::CheckBox:
        case TDialogControl::Static:
        case TDialogControl::GroupBox:
            // A labelled control: its '&' letter moves to it.
            c.Mnemonic = MenuMnemonic(child->GetCaption());
            break;
        default:
            break;
        }
        out.push_back(c);
    }
    return out;
}

} // namespace

bool TDialog::HandleDialogKeys(MSG& msg)
{
    if ((msg.message != WM_KEYDOWN && msg.message != WM_SYSKEYDOWN) || !HasWindow()) {
        return false;
    }
    const std::vector<TWindow*> children = TabOrder();
    const std::vector<TDialogControl> controls = Describe(children);
    int focus = -1;
    int defaultId = IDOK;
    for (std::size_t i = 0; i < children.size(); ++i) {
        if (children[i]->GetHandle() == msg.hwnd) {
            focus = static_cast<int>(i);
        }
        if (controls[i].Kind == TDialogControl::PushButton && (controls[i].Style & 0x0F) == BS_DEFPUSHBUTTON) {
            defaultId = controls[i].Id;
        }
    }
    const bool alt = msg.message == WM_SYSKEYDOWN && GetKeyState(VK_MENU) < 0;
    const TDialogKeyAction action =
            DialogKeyAction(controls, focus, static_cast<int>(msg.wParam), GetKeyState(VK_SHIFT) < 0, defaultId, alt);
    switch (action.Kind) {
    case TDialogKeyAction::Command: {
        TWindow* control = ChildWithId(action.CommandId);
        SendMessage(WM_COMMAND, MAKEWPARAM(static_cast<WORD>(action.CommandId), BN_CLICKED),
                    control != nullptr ? static_cast<LPARAM>(control->GetHandle()) : 0);
        return true;
    }
    case TDialogKeyAction::MoveFocus:
        if (action.Focus >= 0 && action.Focus < static_cast<int>(children.size())) {
            children[static_cast<std::size_t>(action.Focus)]->SetFocus();
        }
        return true;
    case TDialogKeyAction::Press: {
        // A check box or radio takes the focus as it is pressed; a push button is pressed where the focus is.
        TWindow* control = children[static_cast<std::size_t>(action.Focus)];
        if (controls[static_cast<std::size_t>(action.Focus)].Kind != TDialogControl::PushButton) {
            control->SetFocus();
        }
        if (auto* button = qobject_cast<QAbstractButton*>(WidgetOf(*control)); button != nullptr) {
            button->click();
        }
        return true;
    }
    default:
        return false;
    }
}

void TDialog::FocusFirst()
{
    const std::vector<TWindow*> children = TabOrder();
    const int first = NextTabItem(Describe(children), -1, false);
    if (first >= 0) {
        children[static_cast<std::size_t>(first)]->SetFocus();
    }
}

bool TrayAvailable()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

struct TTrayIcon::Impl {
    TWindow& Window;
    UINT Id;
    UINT Callback;
    int IconId;
    std::unique_ptr<QSystemTrayIcon> Icon;
};

TTrayIcon::TTrayIcon(TWindow& window, UINT id, UINT callbackMessage, int iconId)
    : m_impl(std::make_unique<Impl>(Impl{window, id, callbackMessage, iconId, nullptr}))
{}

TIcon TTrayIcon::GetIcon() const
{
    return LoadIconResource(m_impl->IconId, kSmallIconSize);
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
    m_impl->Icon->setIcon(ToQIcon(m_impl->IconId, m_impl->IconId));
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
