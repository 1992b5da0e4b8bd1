// Inside of the device contexts, for the window layer's own context kinds (includes Qt; not for callers).
#pragma once

#include "gui/draw/Dc.h"
#include "gui/draw/Icon.h"

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QString>

#include <functional>
#include <vector>

namespace qm::gui {

/// 0xAARRGGBB of an opaque colour.
inline QRgb ToRgb(TColor color)
{
    return qRgb(color.Red(), color.Green(), color.Blue());
}

inline TColor FromRgb(QRgb rgb)
{
    return TColor(qRed(rgb), qGreen(rgb), qBlue(rgb));
}

inline QColor ToQColor(TColor color)
{
    return QColor(color.Red(), color.Green(), color.Blue());
}

/// The Qt font a description is drawn with (bundled files, no antialiasing, no hinting differences).
QFont ToQFont(const TFont& font);

/// Loads the bundled font files once; true when at least one loaded.
bool LoadBundledFonts();

/// The icon's pixels, its transparent ones with alpha 0.
QPixmap ToPixmap(const TIcon& icon);
/// Icon iconId at kIconSize with icon smallIconId at kSmallIconSize, for a window or the tray; an id that is not
/// registered gives no picture of its size (both missing: a null icon).
QIcon ToQIcon(int iconId, int smallIconId);

struct TBitmap::Impl {
    QImage Image;
};

struct TDC::Impl {
    /// The image drawn on; not owned unless Own holds it.
    QImage* Target = nullptr;
    QImage Own;
    /// Where this context's (0, 0) lies in the target image.
    QPoint Origin{0, 0};
    /// Clip in the context's coordinates.
    TRect Clip;
    /// Dither phase in the context's coordinates.
    TPoint BrushOrg{0, 0};
    std::vector<TPen> Pens{TPen(TColor(0))};
    std::vector<TBrush> Brushes{TBrush(TColor(0xFFFFFF))};
    std::vector<TFont> Fonts{DefaultGuiFont()};
    TColor TextColor{0};
    TColor BkColor{0xFFFFFF};
    int BkMode = OPAQUE;
    TPoint Position{0, 0};

    /// A drawing state SaveDC keeps: everything above except the target.
    struct TState {
        TRect Clip;
        TPoint BrushOrg;
        std::vector<TPen> Pens;
        std::vector<TBrush> Brushes;
        std::vector<TFont> Fonts;
        TColor TextColor;
        TColor BkColor;
        int BkMode;
        TPoint Position;
    };

    std::vector<TState> Saved;
    /// Called after drawing, with the touched rectangle in target coordinates (the overlay repaints it).
    std::function<void(const QRect&)> Changed;

    /// Clip as a rectangle of the target image.
    QRect TargetClip() const;
    void Touch(const QRect& targetRect) const;
};

/// Points the context at an image region: origin of the context in the image and clip in context coordinates.
void AttachDc(TDC::Impl& impl, QImage* target, QPoint origin, const TRect& clip);

/// The screen overlay's image (screen size, ARGB, created on first use).
QImage& ScreenOverlayImage();
/// Shows the overlay's changed part.
void ScreenOverlayChanged(const QRect& rect);
/// For tests: take returns the screen's picture that a session starts from, as on a display without a
/// compositor; an empty function gives the overlay back its own choice.
void SetScreenOverlayBackdropForTest(std::function<QImage()> take);

} // namespace qm::gui
