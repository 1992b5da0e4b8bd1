#include "gui/model/Accelerator.h"

#include <gtest/gtest.h>

namespace qm::gui {
namespace {

TEST(AcceleratorTest, MatchesKeysWithExactlyTheirModifiers)
{
    // The console's table: Ctrl+B, F1, F5; and a character entry for '?'.
    const TAccelTable table({{FVIRTKEY | FCONTROL, 'B', 2026},
                             {FVIRTKEY, VK_F1, 2002},
                             {FVIRTKEY, VK_F5, 2028},
                             {FVIRTKEY | FALT, VK_F4, 24310},
                             {0, '?', 2003}});

    struct Case {
        const char* What;
        UINT Message;
        WPARAM Key;
        TKeyModifiers Mods;
        std::optional<UINT> Want;
    };

    const Case cases[] = {
            {"Ctrl+B", WM_KEYDOWN, 'B', {false, true, false}, 2026},
            {"B alone", WM_KEYDOWN, 'B', {}, std::nullopt},
            {"Ctrl+Shift+B is another key", WM_KEYDOWN, 'B', {true, true, false}, std::nullopt},
            {"F1", WM_KEYDOWN, VK_F1, {}, 2002},
            {"Shift+F1", WM_KEYDOWN, VK_F1, {true, false, false}, std::nullopt},
            {"F5 on key up", WM_KEYUP, VK_F5, {}, std::nullopt},
            {"Alt+F4 comes as a system key", WM_SYSKEYDOWN, VK_F4, {false, false, true}, 24310},
            {"a character entry", WM_CHAR, '?', {true, false, false}, 2003},
            {"a character does not match a virtual-key entry", WM_CHAR, VK_F1, {}, std::nullopt},
            {"a key down does not match a character entry", WM_KEYDOWN, '?', {}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        MSG msg;
        msg.message = c.Message;
        msg.wParam = c.Key;
        EXPECT_EQ(table.Translate(msg, c.Mods), c.Want);
    }
}

TEST(AcceleratorTest, TablesAndStringsByIdAndHintParts)
{
    RegisterAcceleratorResource(100, {{FVIRTKEY, VK_F2, 2009}});
    const auto table = LoadAccelerators(100);
    ASSERT_TRUE(table.has_value());
    EXPECT_EQ(table->Entries().size(), 1u);
    EXPECT_FALSE(LoadAccelerators(101).has_value());

    RegisterStringResource(2010, "Start the Quillmail engine");
    RegisterStringResource(2011, "Stop the engine\nStop");
    EXPECT_EQ(CommandHintText(2010, htStatus), "Start the Quillmail engine");
    EXPECT_EQ(CommandHintText(2010, htTooltip), "Start the Quillmail engine");
    EXPECT_EQ(CommandHintText(2011, htStatus), "Stop the engine");
    EXPECT_EQ(CommandHintText(2011, htTooltip), "Stop");
    EXPECT_EQ(CommandHintText(4711, htStatus), "");
}

} // namespace
} // namespace qm::gui
