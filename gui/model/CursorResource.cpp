// Cursor resources by id.
#include "gui/model/CursorResource.h"

#include "gui/model/GuiState.h"
#include "gui/model/Messages.h"

#include <algorithm>
#include <map>

namespace qm::gui {

namespace {

struct CursorTable {
    std::map<int, TCursorPicture> Cursors;
    unsigned Generation = 0;
};

std::map<int, TCursorPicture>& Cursors()
{
    return GuiState().Part<CursorTable>().Cursors;
}

unsigned& Generation()
{
    return GuiState().Part<CursorTable>().Generation;
}

constexpr int kMaxCursorSide = 64;

bool IsWellFormed(const TCursorPicture& picture)
{
    const int w = picture.Width();
    const int h = picture.Height();
    if (w == 0 || h == 0 || w > kMaxCursorSide || h > kMaxCursorSide) {
        return false;
    }
    for (const std::string& row : picture.Rows) {
        if (static_cast<int>(row.size()) != w || row.find_first_not_of("Xo ") != std::string::npos) {
            return false;
        }
    }
    return picture.HotSpot.x >= 0 && picture.HotSpot.x < w && picture.HotSpot.y >= 0 && picture.HotSpot.y < h;
}

// The arrow all three drag cursors start from, 20 rows of 20 pixels with the tip at (0, 0); badge rows go in
// the lower right corner.
TCursorPicture ArrowWith(const std::vector<std::string>& badge)
{
    TCursorPicture p;
    p.Rows = {
            "X                   ", "XX                  ", "XoX                 ", "XooX                ",
            "XoooX               ", "XooooX              ", "XoooooX             ", "XooooooX            ",
            "XoooooooX           ", "XooooooooX          ", "XoooooXXXXX         ", "XooXooX             ",
            "XoX XooX            ", "XX  XooX            ", "X    XooX           ", "     XooX           ",
            "      XX            ", "                    ", "                    ", "                    ",
    };
    const int top = 20 - static_cast<int>(badge.size());
    for (std::size_t i = 0; i < badge.size(); ++i) {
        std::string& row = p.Rows[static_cast<std::size_t>(top) + i];
        row.replace(row.size() - badge[i].size(), badge[i].size(), badge[i]);
    }
    return p;
}

} // namespace

bool RegisterCursorResource(int id, TCursorPicture picture)
{
    if (id == 0 || IsStockCursor(id) || !IsWellFormed(picture)) {
        return false;
    }
    Cursors()[id] = std::move(picture);
    ++Generation();
    return true;
}

const TCursorPicture* FindCursorResource(int id)
{
    const auto it = Cursors().find(id);
    return it == Cursors().end() ? nullptr : &it->second;
}

void ClearCursorResources()
{
    Cursors().clear();
    ++Generation();
}

unsigned CursorResourceGeneration()
{
    return Generation();
}

bool IsStockCursor(int id)
{
    switch (id) {
    case IDC_ARROW:
    case IDC_IBEAM:
    case IDC_WAIT:
    case IDC_CROSS:
    case IDC_SIZEWE:
    case IDC_SIZENS:
    case IDC_SIZEALL:
    case IDC_NO:
    case IDC_HAND:
        return true;
    default:
        return false;
    }
}

HCURSOR LoadCursor(int id)
{
    return IsStockCursor(id) || FindCursorResource(id) != nullptr ? id : 0;
}

TCursorPicture DragMoveCursorPicture()
{
    return ArrowWith({
            "XXXXXXXXX",
            "XoooooooX",
            "XoooooooX",
            "XoooooooX",
            "XXXXXXXXX",
    });
}

TCursorPicture DragCopyCursorPicture()
{
    return ArrowWith({
            "XXXXXXXXX",
            "XoooXoooX",
            "XoooXoooX",
            "XoXXXXXoX",
            "XoooXoooX",
            "XoooXoooX",
            "XXXXXXXXX",
    });
}

TCursorPicture DragRemoveCursorPicture()
{
    return ArrowWith({
            "XXXXXXXXX",
            "XXoooooXX",
            "XoXoooXoX",
            "XooXoXooX",
            "XoooXoooX",
            "XooXoXooX",
            "XoXoooXoX",
            "XXoooooXX",
            "XXXXXXXXX",
    });
}

TCursorPicture LinkHandCursorPicture()
{
    TCursorPicture hand;
    hand.Rows = {
            "     XX         ", "    XooX        ", "    XooX        ", "    XooX        ", "    XooX        ",
            "    XooXXX      ", "    XooXooXXX   ", "    XooXooXooXX ", " XX XooXooXooXoX", "XooXXooooooooXoX",
            "XoooXooooooooooX", " XooXooooooooooX", "  XoXooooooooooX", "  XooooooooooooX", "   XoooooooooooX",
            "   XooooooooooX ", "    XoooooooooX ", "    XooooooooX  ", "     XoooooooX  ", "     XXXXXXXXX  ",
    };
    hand.HotSpot = TPoint(5, 0);
    return hand;
}

} // namespace qm::gui
