// Text on device contexts: DrawText with its formats, '&' prefixes and tab expansion, and text extents.
#include "gui/draw/Dc.h"

#include "gui/draw/DcImpl.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>

namespace qm::gui {

namespace {

// A line with its prefix characters removed; Underline is the index of the character to underline or -1.
struct PrefixedLine {
    QString Text;
    int Underline = -1;
};

PrefixedLine StripPrefixes(const QString& text, unsigned format)
{
    PrefixedLine out;
    if (format & DT_NOPREFIX) {
        out.Text = text;
        return out;
    }
    for (int i = 0; i < text.size(); ++i) {
        if (text[i] != QLatin1Char('&')) {
            out.Text += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == QLatin1Char('&')) {
            out.Text += QLatin1Char('&');
            ++i;
            continue;
        }
        if (out.Underline < 0 && i + 1 < text.size() && !(format & DT_HIDEPREFIX)) {
            out.Underline = static_cast<int>(out.Text.size());
        }
    }
    return out;
}

int TabWidth(const QFontMetrics& fm)
{
    return 8 * std::max(1, fm.averageCharWidth());
}

// Width of the text up to character index end, tabs advancing to the next stop when expanding.
int AdvanceTo(const QFontMetrics& fm, const QString& text, int end, bool expandTabs, const std::vector<int>& stops)
{
    int x = 0;
    int segmentStart = 0;
    for (int i = 0; i < end; ++i) {
        if (text[i] != QLatin1Char('\t')) {
            continue;
        }
        x += fm.horizontalAdvance(text.mid(segmentStart, i - segmentStart));
        segmentStart = i + 1;
        if (!expandTabs) {
            continue;
        }
        int next = -1;
        for (int stop : stops) {
            if (stop > x) {
                next = stop;
                break;
            }
        }
        if (next < 0) {
            const int step = stops.size() == 1 ? std::max(1, stops[0]) : TabWidth(fm);
            next = (x / step + 1) * step;
        }
        x = next;
    }
    return x + fm.horizontalAdvance(text.mid(segmentStart, end - segmentStart));
}

QStringList Lines(const QString& text, unsigned format)
{
    if (format & DT_SINGLELINE) {
        QString one = text;
        one.remove(QLatin1Char('\r'));
        one.replace(QLatin1Char('\n'), QLatin1Char(' '));
        return {one};
    }
    QString all = text;
    all.remove(QLatin1Char('\r'));
    return all.split(QLatin1Char('\n'));
}

} // namespace

int TDC::DrawText(std::string_view text, TRect& rect, unsigned format)
{
    Impl& dc = *m_impl;
    const QFont font = ToQFont(dc.Fonts.back());
    const QFontMetrics fm(font);
    const bool expand = (format & DT_EXPANDTABS) != 0;
    const QStringList lines = Lines(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())), format);
    std::vector<PrefixedLine> stripped;
    int width = 0;
    for (const QString& line : lines) {
        stripped.push_back(StripPrefixes(line, format));
        width = std::max(width, AdvanceTo(fm, stripped.back().Text, static_cast<int>(stripped.back().Text.size()),
                                          expand, {}));
    }
    const int lineHeight = fm.height();
    const int height = lineHeight * static_cast<int>(stripped.size());
    if (format & DT_CALCRECT) {
        rect.right = rect.left + width;
        rect.bottom = rect.top + height;
        return height;
    }
    if (dc.Target == nullptr) {
        return height;
    }
    int y = rect.top;
    if ((format & DT_SINGLELINE) && (format & DT_VCENTER)) {
        y = rect.top + (rect.bottom - rect.top - height) / 2;
    } else if ((format & DT_SINGLELINE) && (format & DT_BOTTOM)) {
        y = rect.bottom - height;
    }
    QPainter painter(dc.Target);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::TextAntialiasing, false);
    QRect clip = dc.TargetClip();
    if (!(format & DT_NOCLIP)) {
        clip &= QRect(rect.left + dc.Origin.x(), rect.top + dc.Origin.y(), rect.right - rect.left,
                      rect.bottom - rect.top);
    }
    painter.setClipRect(clip);
    painter.translate(dc.Origin);
    painter.setFont(font);
    const QColor ink = ToQColor(dc.TextColor);
    QRect touched;
    for (const PrefixedLine& line : stripped) {
        const int w = AdvanceTo(fm, line.Text, static_cast<int>(line.Text.size()), expand, {});
        int x = rect.left;
        if (format & DT_CENTER) {
            x = rect.left + (rect.right - rect.left - w) / 2;
        } else if (format & DT_RIGHT) {
            x = rect.right - w;
        }
        if (dc.BkMode == OPAQUE) {
            painter.fillRect(QRect(x, y, w, lineHeight), ToQColor(dc.BkColor));
        }
        painter.setPen(ink);
        // Draw tab-separated pieces at their own positions so that tab stops hold.
        int start = 0;
        for (int i = 0; i <= line.Text.size(); ++i) {
            if (i < line.Text.size() && line.Text[i] != QLatin1Char('\t')) {
                continue;
            }
            const int px = x + AdvanceTo(fm, line.Text, start, expand, {});
            painter.drawText(QPoint(px, y + fm.ascent()), line.Text.mid(start, i - start));
            start = i + 1;
        }
        if (line.Underline >= 0 && line.Underline < line.Text.size()) {
            const int ux = x + AdvanceTo(fm, line.Text, line.Underline, expand, {});
            const int uw = fm.horizontalAdvance(line.Text.at(line.Underline));
            painter.fillRect(QRect(ux, y + fm.ascent() + 1, uw, 1), ink);
        }
        touched |= QRect(x, y, w, lineHeight);
        y += lineHeight;
    }
    painter.end();
    dc.Touch(touched.translated(dc.Origin) & clip);
    return height;
}

void TDC::TextOut(TPoint point, std::string_view text)
{
    TRect r(point.x, point.y, point.x + 32000, point.y + 32000);
    DrawText(text, r, DT_LEFT | DT_SINGLELINE | DT_NOPREFIX | DT_NOCLIP);
}

TSize TDC::GetTextExtent(std::string_view text) const
{
    const QFontMetrics fm(ToQFont(m_impl->Fonts.back()));
    const QString s = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    return TSize(fm.horizontalAdvance(s), fm.height());
}

TSize TDC::GetTabbedTextExtent(std::string_view text, const std::vector<int>& tabStops) const
{
    const QFontMetrics fm(ToQFont(m_impl->Fonts.back()));
    const QString s = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    return TSize(AdvanceTo(fm, s, static_cast<int>(s.size()), true, tabStops), fm.height());
}

TSize TDC::GetAverageCharSize() const
{
    const QFontMetrics fm(ToQFont(m_impl->Fonts.back()));
    return TSize(fm.averageCharWidth(), fm.height());
}

} // namespace qm::gui
