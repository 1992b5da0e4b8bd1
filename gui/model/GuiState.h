// TGuiState: the one owner of the window layer's process state (the tables of windows, menus, resources and
// colours, the input state, the routing state of the event filter), so that a test starts each case afresh.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace qm::gui {

/// Holds one part per state type: each file of the layer keeps its mutable state in a struct private to it
/// and reaches it only through Part. Part may be called from any thread (a part guards its own fields where
/// it is shared, as the colour table does); Reset only while no other thread uses the layer.
class TGuiState {
public:
    TGuiState() = default;
    TGuiState(const TGuiState&) = delete;
    TGuiState& operator=(const TGuiState&) = delete;
    ~TGuiState();

    /// The part of type T (value-initialised on first use), kept until Reset. The reference stays valid until
    /// then.
    template <class T>
    T& Part()
    {
        return *static_cast<T*>(FindOrAdd(
                &s_key<T>, [] { return Owned(new T{}, [](void* object) { delete static_cast<T*>(object); }); }));
    }

    /// Destroys every part, the newest first; the next use of each makes it anew. For tests between cases:
    /// call it while no application, window or menu of the layer is alive.
    void Reset();

    /// How many parts exist now.
    std::size_t PartCount() const;

private:
    using Owned = std::unique_ptr<void, void (*)(void*)>;

    struct Entry {
        const void* Key;
        Owned Object;
    };

    // One distinct address per state type.
    template <class T>
    static inline const char s_key = 0;

    // The part under key, made by make (outside the lock: a constructor may reach other parts) when missing.
    void* FindOrAdd(const void* key, Owned (*make)());

    mutable std::mutex m_lock;
    std::vector<Entry> m_parts;
};

/// The process's state. It is never destroyed at exit: parts hold Qt objects that must not outlive the Qt
/// application, which a program ends before its statics go.
TGuiState& GuiState();

} // namespace qm::gui
