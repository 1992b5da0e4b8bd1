// Dialog descriptions and the arithmetic of dialog units and transfer buffers.
#include "gui/model/DialogResource.h"

#include "gui/model/GuiState.h"

#include <algorithm>
#include <charconv>
#include <map>

namespace qm::gui {

namespace {

struct DialogTable {
    std::map<int, TDialogTemplate> Dialogs;
};

std::map<int, TDialogTemplate>& Dialogs()
{
    return GuiState().Part<DialogTable>().Dialogs;
}

} // namespace

void RegisterDialogResource(int id, TDialogTemplate description)
{
    Dialogs()[id] = std::move(description);
}

const TDialogTemplate* FindDialogResource(int id)
{
    const auto it = Dialogs().find(id);
    return it == Dialogs().end() ? nullptr : &it->second;
}

int FontHeightFromPoints(int points)
{
    // points * 96 / 72, rounded half away from zero.
    const int pixels = (std::abs(points) * 96 + 36) / 72;
    return -pixels;
}

TSize DialogBaseUnits(int widthOfLetters, int cellHeight)
{
    // The average of the 52 letters, rounded: (sum / 26 + 1) / 2.
    const int x = (std::max(widthOfLetters, 0) / 26 + 1) / 2;
    return {std::max(x, 1), std::max(cellHeight, 1)};
}

std::optional<int> IconIdFromText(std::string_view text)
{
    int id = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, id);
    if (text.empty() || error != std::errc{} || at != end || id <= 0 || id > 0xFFFF) {
        return std::nullopt;
    }
    return id;
}

TDialogControl::TKind DialogItemKind(TDialogItemClass itemClass, DWORD style)
{
    switch (itemClass) {
    case TDialogItemClass::Edit:
        return TDialogControl::Edit;
    case TDialogItemClass::Static:
        return TDialogControl::Static;
    case TDialogItemClass::ListBox:
        return TDialogControl::ListBox;
    case TDialogItemClass::ComboBox:
        return TDialogControl::ComboBox;
    case TDialogItemClass::TreeView:
        return TDialogControl::Other;
    case TDialogItemClass::Button:
        break;
    }
    switch (style & 0x0F) {
    case BS_GROUPBOX:
        return TDialogControl::GroupBox;
    case BS_RADIOBUTTON:
    case BS_AUTORADIOBUTTON:
        return TDialogControl::RadioButton;
    case BS_CHECKBOX:
    case BS_AUTOCHECKBOX:
        return TDialogControl::CheckBox;
    default:
        return TDialogControl::PushButton;
    }
}

std::vector<std::optional<std::size_t>> TransferOffsets(std::span<const TTransferField> fields, std::size_t bufferSize)
{
    std::vector<std::optional<std::size_t>> out;
    out.reserve(fields.size());
    std::size_t offset = 0;
    for (const TTransferField& field : fields) {
        if (field.Size == 0) {
            out.emplace_back();
            continue;
        }
        const std::size_t align = std::max<std::size_t>(field.Align, 1);
        offset = (offset + align - 1) / align * align;
        if (offset > bufferSize || field.Size > bufferSize - offset) {
            // Nothing after a field that overruns the buffer fits either.
            offset = bufferSize + 1;
            out.emplace_back();
            continue;
        }
        out.emplace_back(offset);
        offset += field.Size;
    }
    return out;
}

std::size_t Utf8FitLength(std::string_view text, std::size_t maxBytes)
{
    std::size_t n = std::min(text.size(), maxBytes);
    // Never end inside a multi-byte character: step back over continuation bytes to the lead byte.
    if (n < text.size()) {
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
            --n;
        }
    }
    return n;
}

void PutTransferText(std::span<char> field, std::string_view text)
{
    if (field.empty()) {
        return;
    }
    const std::size_t n = Utf8FitLength(text, field.size() - 1);
    std::copy_n(text.data(), n, field.data());
    field[n] = '\0';
}

std::string GetTransferText(std::span<const char> field)
{
    const auto end = std::find(field.begin(), field.end(), '\0');
    return std::string(field.begin(), end);
}

} // namespace qm::gui
