// Bitmaps, the bundled fonts, and the memory context.
#include "gui/draw/GdiObjects.h"

#include "gui/draw/DcImpl.h"

#include <QFontDatabase>
#include <QImageReader>

#include <algorithm>
#include <cstdlib>
#include <mutex>

namespace qm::gui {

namespace {

// Debian's fonts-dejavu-core; QMGUI_FONT_DIR points elsewhere (a test or an unusual installation).
QString FontDirectory()
{
    if (const char* dir = std::getenv("QMGUI_FONT_DIR"); dir != nullptr && *dir != '\0') {
        return QString::fromLocal8Bit(dir);
    }
    return QStringLiteral("/usr/share/fonts/truetype/dejavu");
}

QString FamilyFor(const std::string& face)
{
    const QString f = QString::fromStdString(face).toLower();
    if (f.contains(QLatin1String("courier")) || f.contains(QLatin1String("mono")) ||
        f.contains(QLatin1String("fixed"))) {
        return QStringLiteral("DejaVu Sans Mono");
    }
    if (f.contains(QLatin1String("times")) ||
        (f.contains(QLatin1String("serif")) && !f.contains(QLatin1String("sans")))) {
        return QStringLiteral("DejaVu Serif");
    }
    return QStringLiteral("DejaVu Sans");
}

} // namespace

bool LoadBundledFonts()
{
    static bool loaded = false;
    static std::once_flag once;
    std::call_once(once, [] {
        const QString dir = FontDirectory();
        for (const char* file :
             {"DejaVuSans.ttf", "DejaVuSans-Bold.ttf", "DejaVuSans-Oblique.ttf", "DejaVuSans-BoldOblique.ttf",
              "DejaVuSansMono.ttf", "DejaVuSansMono-Bold.ttf", "DejaVuSerif.ttf", "DejaVuSerif-Bold.ttf"}) {
            if (QFontDatabase::addApplicationFont(dir + QLatin1Char('/') + QLatin1String(file)) >= 0) {
                loaded = true;
            }
        }
    });
    return loaded;
}

TFont DefaultGuiFont()
{
    return TFont(GetMenuFont());
}

TFont GetStockFont(int id)
{
    if (id == ANSI_VAR_FONT) {
        return TFont("MS Sans Serif", 12);
    }
    return DefaultGuiFont();
}

QFont ToQFont(const TFont& font)
{
    LoadBundledFonts();
    QFont q(FamilyFor(font.Face));
    // DejaVu's cell (ascent + descent) is 1.164 em: a cell height becomes the matching character height.
    int pixels = 11;
    if (font.Height < 0) {
        pixels = -font.Height;
    } else if (font.Height > 0) {
        pixels = std::max(1, (font.Height * 1000 + 582) / 1164);
    }
    q.setPixelSize(pixels);
    q.setWeight(font.Weight >= 600 ? QFont::Bold : QFont::Normal);
    q.setItalic(font.Italic);
    q.setUnderline(font.Underline);
    if (font.Width > 0) {
        // A requested average width: stretch the face from its own (about 0.55 em).
        const int natural = std::max(1, pixels * 55 / 100);
        q.setStretch(std::clamp(font.Width * 100 / natural, 50, 200));
    }
    q.setStyleStrategy(
            static_cast<QFont::StyleStrategy>(QFont::NoAntialias | QFont::PreferMatch | QFont::NoFontMerging));
    q.setHintingPreference(QFont::PreferFullHinting);
    q.setKerning(false);
    return q;
}

TBitmap::TBitmap()
    : m_impl(std::make_unique<Impl>())
{}

TBitmap::TBitmap(int width, int height, TColor fill)
    : m_impl(std::make_unique<Impl>())
{
    m_impl->Image = QImage(std::max(0, width), std::max(0, height), QImage::Format_ARGB32);
    m_impl->Image.fill(ToRgb(fill));
}

TBitmap::TBitmap(const TBitmap& other)
    : m_impl(std::make_unique<Impl>(*other.m_impl))
{}

TBitmap& TBitmap::operator=(const TBitmap& other)
{
    if (this != &other) {
        *m_impl = *other.m_impl;
    }
    return *this;
}

TBitmap::TBitmap(TBitmap&& other) noexcept
    : m_impl(std::make_unique<Impl>())
{
    std::swap(m_impl, other.m_impl);
}

TBitmap& TBitmap::operator=(TBitmap&& other) noexcept
{
    std::swap(m_impl, other.m_impl);
    return *this;
}

TBitmap::~TBitmap() = default;

TBitmap TBitmap::FromFile(const std::string& path)
{
    TBitmap b;
    QImageReader reader(QString::fromStdString(path));
    // A picture an administrator may replace: refuse absurd sizes rather than allocate them.
    reader.setAllocationLimit(256);
    const QImage img = reader.read();
    if (!img.isNull()) {
        b.m_impl->Image = img.convertToFormat(QImage::Format_ARGB32);
    }
    return b;
}

bool TBitmap::IsEmpty() const
{
    return m_impl->Image.isNull() || m_impl->Image.width() == 0 || m_impl->Image.height() == 0;
}

int TBitmap::Width() const
{
    return m_impl->Image.width();
}

int TBitmap::Height() const
{
    return m_impl->Image.height();
}

TColor TBitmap::GetPixel(int x, int y) const
{
    if (!m_impl->Image.rect().contains(x, y)) {
        return TColor(0);
    }
    return FromRgb(m_impl->Image.pixel(x, y));
}

void TBitmap::SetPixel(int x, int y, TColor color)
{
    if (m_impl->Image.rect().contains(x, y)) {
        m_impl->Image.setPixel(x, y, ToRgb(color));
    }
}

TBitmap TBitmap::ShrunkToFit(TSize maxSize) const
{
    if (IsEmpty() || (Width() <= maxSize.cx && Height() <= maxSize.cy)) {
        return *this;
    }
    TBitmap b;
    b.m_impl->Image = m_impl->Image.scaled(std::max(1, maxSize.cx), std::max(1, maxSize.cy), Qt::KeepAspectRatio,
                                           Qt::FastTransformation);
    return b;
}

bool TBitmap::SavePng(const std::string& path) const
{
    return !IsEmpty() && m_impl->Image.save(QString::fromStdString(path), "PNG");
}

namespace {

std::unique_ptr<TDC::Impl> MemoryImpl()
{
    auto impl = std::make_unique<TDC::Impl>();
    impl->Own = QImage(1, 1, QImage::Format_ARGB32);
    impl->Own.fill(qRgb(255, 255, 255));
    AttachDc(*impl, &impl->Own, QPoint(0, 0), TRect(0, 0, 1, 1));
    return impl;
}

} // namespace

TMemoryDC::TMemoryDC()
    : TDC(MemoryImpl())
{}

TMemoryDC::TMemoryDC(const TDC&)
    : TDC(MemoryImpl())
{}

TMemoryDC::~TMemoryDC() = default;

TBitmap TMemoryDC::SelectBitmap(const TBitmap& bitmap)
{
    TBitmap previous = GetBitmap();
    Impl& impl = GetImpl();
    impl.Own = bitmap.GetImpl().Image.convertToFormat(QImage::Format_ARGB32);
    AttachDc(impl, &impl.Own, QPoint(0, 0), TRect(0, 0, impl.Own.width(), impl.Own.height()));
    return previous;
}

TBitmap TMemoryDC::GetBitmap() const
{
    TBitmap b;
    b.GetImpl().Image = GetImpl().Own.copy();
    return b;
}

} // namespace qm::gui
