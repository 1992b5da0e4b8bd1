// Message boxes and choosers over Qt's dialogs, and the splash window.
#include "gui/ctrl/CommonDialogs.h"

#include "gui/draw/Dc.h"
#include "gui/model/FileFilter.h"
#include "gui/model/Metrics.h"
#include "gui/window/WindowWidget.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QWidget>

namespace qm::gui {

namespace {

QString Q(std::string_view s)
{
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

QWidget* OwnerWidget(TWindow* owner)
{
    return owner != nullptr && WidgetOf(*owner) != nullptr ? WidgetOf(*owner)->window() : nullptr;
}

constexpr UINT kTimerSplash = 1;

} // namespace

int MessageBox(TWindow* owner, std::string_view text, std::string_view caption, UINT type)
{
    QMessageBox box(OwnerWidget(owner));
    box.setWindowTitle(Q(caption));
    box.setText(Q(text));
    switch (type & 0xF0) {
    case MB_ICONSTOP:
        box.setIcon(QMessageBox::Critical);
        break;
    case MB_ICONQUESTION:
        box.setIcon(QMessageBox::Question);
        break;
    case MB_ICONEXCLAMATION:
        box.setIcon(QMessageBox::Warning);
        break;
    case MB_ICONINFORMATION:
        box.setIcon(QMessageBox::Information);
        break;
    default:
        break;
    }
    switch (type & 0x0F) {
    case MB_OKCANCEL:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        break;
    case MB_YESNOCANCEL:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        break;
    case MB_YESNO:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        break;
    default:
        box.setStandardButtons(QMessageBox::Ok);
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Ok:
        return IDOK;
    case QMessageBox::Yes:
        return IDYES;
    case QMessageBox::No:
        return IDNO;
    default:
        return (type & 0x0F) == MB_OK ? IDOK : IDCANCEL;
    }
}

std::optional<std::string> ChooseFolder(TWindow* owner, std::string_view title, std::string_view start)
{
    // Qt's own chooser, folders only, as the open-file chooser.
    const QString dir = QFileDialog::getExistingDirectory(OwnerWidget(owner), Q(title), Q(start),
                                                          QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
    if (dir.isEmpty()) {
        return std::nullopt;
    }
    return dir.toStdString();
}

std::optional<std::string> ChooseOpenFile(TWindow* owner, std::string_view title, std::string_view filter,
                                          std::string_view start, std::string_view defaultExt)
{
    QFileDialog chooser(OwnerWidget(owner), Q(title));
    // Qt's own chooser everywhere, so that it behaves alike on every desktop and under test.
    chooser.setOption(QFileDialog::DontUseNativeDialog);
    chooser.setAcceptMode(QFileDialog::AcceptOpen);
    chooser.setFileMode(QFileDialog::ExistingFile);
    QStringList filters;
    for (const std::string& one : FileFiltersFromPairs(filter)) {
        filters << Q(one);
    }
    if (!filters.isEmpty()) {
        chooser.setNameFilters(filters);
    }
    chooser.setDefaultSuffix(Q(defaultExt));
    const QFileInfo where(Q(start));
    if (!start.empty() && where.isDir()) {
        chooser.setDirectory(where.absoluteFilePath());
    } else if (!start.empty()) {
        chooser.setDirectory(where.absolutePath());
        chooser.selectFile(where.fileName());
    }
    if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return chooser.selectedFiles().front().toStdString();
}

struct TSplashWindow::Picture {
    TBitmap Bitmap;
};

TSplashWindow::TSplashWindow(TWindow* parent, std::string path, UINT closeAfterMs)
    : TWindow(parent)
    , m_path(std::move(path))
    , m_closeAfter(closeAfterMs)
{
    Attr.Style = WS_POPUP | WS_VISIBLE;
    Attr.ExStyle = WS_EX_TOPMOST | WS_EX_TOOLWINDOW;
}

bool TSplashWindow::Create()
{
    TBitmap bitmap = TBitmap::FromFile(m_path);
    if (bitmap.IsEmpty()) {
        return false;
    }
    const TRect screen = GetScreenRect();
    m_picture = std::make_shared<Picture>(Picture{bitmap.ShrunkToFit(screen.Size())});
    const TSize size = m_picture->Bitmap.Size();
    Attr.W = size.cx;
    Attr.H = size.cy;
    Attr.X = screen.left + (screen.Width() - size.cx) / 2;
    Attr.Y = screen.top + (screen.Height() - size.cy) / 2;
    if (!TWindow::Create()) {
        return false;
    }
    if (m_closeAfter > 0) {
        SetTimer(kTimerSplash, m_closeAfter);
    }
    ShowWindow(SW_SHOWNA);
    return true;
}

void TSplashWindow::Paint(TDC& dc, bool, TRect&)
{
    if (m_picture) {
        dc.DrawBitmap(TPoint(0, 0), m_picture->Bitmap);
    }
}

LRESULT TSplashWindow::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_TIMER && wParam == kTimerSplash) {
        KillTimer(kTimerSplash);
        Destroy();
        return 0;
    }
    if (msg == WM_ERASEBKGND) {
        return 1; // the picture covers the whole window
    }
    return TWindow::WindowProc(msg, wParam, lParam);
}

TSize TSplashWindow::ShownSize() const
{
    return m_picture ? m_picture->Bitmap.Size() : TSize();
}

} // namespace qm::gui
