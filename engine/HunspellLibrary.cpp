#include "engine/HunspellLibrary.h"

#include <mutex>
#include <optional>
#include <utility>

namespace qm::engine {
namespace {

struct LoadState {
    std::mutex Lock;
    std::string Name = kHunspellLibraryName;
    bool Tried = false;
    std::shared_ptr<const HunspellLibrary> Loaded;
};

LoadState& State()
{
    static LoadState state;
    return state;
}

} // namespace

Result<std::unique_ptr<HunspellLibrary>> HunspellLibrary::Load(const std::string& name)
{
    auto library = SharedLibrary::Open(name);
    if (!library) {
        return Unexpected{library.error()};
    }
    std::unique_ptr<HunspellLibrary> result(new HunspellLibrary());
    result->m_library = std::move(*library);
    const SharedLibrary& lib = result->m_library;
    HunspellFunctions& f = result->m_functions;
    const bool all = lib.Bind("Hunspell_create", f.Create) && lib.Bind("Hunspell_destroy", f.Destroy) &&
                     lib.Bind("Hunspell_add_dic", f.AddDic) && lib.Bind("Hunspell_spell", f.Spell) &&
                     lib.Bind("Hunspell_suggest", f.Suggest) && lib.Bind("Hunspell_free_list", f.FreeList) &&
                     lib.Bind("Hunspell_get_dic_encoding", f.GetDicEncoding);
    if (!all) {
        return Fail("an entry point of " + name + " is missing");
    }
    return result;
}

std::shared_ptr<const HunspellLibrary> LoadedHunspell()
{
    LoadState& state = State();
    std::lock_guard lock(state.Lock);
    if (!state.Tried) {
        state.Tried = true;
        auto library = HunspellLibrary::Load(state.Name);
        if (library) {
            state.Loaded = std::move(*library);
        }
    }
    return state.Loaded;
}

void SetHunspellLibraryName(std::string name)
{
    std::shared_ptr<const HunspellLibrary> dropped;
    LoadState& state = State();
    std::lock_guard lock(state.Lock);
    state.Name = std::move(name);
    state.Tried = false;
    dropped = std::exchange(state.Loaded, nullptr);
}

} // namespace qm::engine
