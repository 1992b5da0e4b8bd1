// The bitmap resource table: id to location or image, images read once and kept.
#include "gui/draw/BitmapResources.h"

#include "gui/model/GuiState.h"

#include <map>
#include <optional>

namespace qm::gui {

namespace {

struct Entry {
    std::string Location;
    std::optional<TBitmap> Loaded; // read on first use; an empty bitmap when unreadable
};

struct BitmapTable {
    std::map<int, Entry> Entries;
};

std::map<int, Entry>& Table()
{
    return GuiState().Part<BitmapTable>().Entries;
}

const TBitmap* Find(int id)
{
    auto it = Table().find(id);
    if (it == Table().end()) {
        return nullptr;
    }
    if (!it->second.Loaded) {
        it->second.Loaded = TBitmap::FromFile(it->second.Location);
    }
    return it->second.Loaded->IsEmpty() ? nullptr : &*it->second.Loaded;
}

} // namespace

void RegisterBitmapResource(int id, std::string location)
{
    Table()[id] = Entry{std::move(location), std::nullopt};
}

void RegisterBitmapResource(int id, TBitmap bitmap)
{
    Table()[id] = Entry{std::string(), std::move(bitmap)};
}

bool HasBitmapResource(int id)
{
    return Find(id) != nullptr;
}

TBitmap LoadBitmapResource(int id)
{
    const TBitmap* b = Find(id);
    return b != nullptr ? *b : TBitmap();
}

const TBitmap* FindBitmapResource(int id)
{
    return Find(id);
}

void ClearBitmapResources()
{
    Table().clear();
}

} // namespace qm::gui
