// The layer's process state: one part per type, kept until Reset, which destroys the newest first.
#include "gui/model/GuiState.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qm::gui {
namespace {

std::vector<std::string>& Destroyed()
{
    static std::vector<std::string> log;
    return log;
}

struct Counter {
    int Value = 0;

    ~Counter() { Destroyed().push_back("counter"); }
};

struct Names {
    std::vector<std::string> List;

    ~Names() { Destroyed().push_back("names"); }
};

// A part whose destructor reaches another part, as a window table that closes its menus does.
struct Reaching {
    ~Reaching()
    {
        GuiState().Part<Counter>().Value = -1;
        Destroyed().push_back("reaching");
    }
};

TEST(GuiStateTest, EachTypeHasOnePartUntilReset)
{
    TGuiState state;
    state.Part<Counter>().Value = 7;
    state.Part<Names>().List.push_back("a");
    EXPECT_EQ(state.Part<Counter>().Value, 7);
    EXPECT_EQ(&state.Part<Counter>(), &state.Part<Counter>());
    EXPECT_EQ(state.PartCount(), 2u);

    Destroyed().clear();
    state.Reset();
    EXPECT_EQ(Destroyed(), (std::vector<std::string>{"names", "counter"}));
    EXPECT_EQ(state.PartCount(), 0u);
    EXPECT_EQ(state.Part<Counter>().Value, 0) << "a part starts afresh after Reset";
    EXPECT_TRUE(state.Part<Names>().List.empty());
}

TEST(GuiStateTest, ResetDestroysAPartMadeByAnotherPartsDestructor)
{
    GuiState().Reset();
    GuiState().Part<Reaching>();
    Destroyed().clear();
    GuiState().Reset();
    EXPECT_EQ(Destroyed(), (std::vector<std::string>{"reaching", "counter"}));
    EXPECT_EQ(GuiState().PartCount(), 0u);
}

} // namespace
} // namespace qm::gui
