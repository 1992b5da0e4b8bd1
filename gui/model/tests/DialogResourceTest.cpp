#include "gui/model/DialogResource.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace qm::gui {
namespace {

TEST(DialogResourceTest, DescriptionsAreFoundByIdAndReplacedByALaterRegistration)
{
    EXPECT_EQ(FindDialogResource(4711), nullptr);
    TDialogTemplate first;
    first.Title = "Broadcast Message";
    first.Items.push_back({TDialogItemClass::Edit, 4550, "", WS_VISIBLE | WS_TABSTOP | ES_MULTILINE, {7, 20, 180, 80}});
    RegisterDialogResource(4711, first);
    const TDialogTemplate* found = FindDialogResource(4711);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->Title, "Broadcast Message");
    ASSERT_EQ(found->Items.size(), 1U);
    EXPECT_EQ(found->Items[0].Id, 4550);
    EXPECT_EQ(found->FontFace, "MS Sans Serif");
    EXPECT_EQ(found->FontPoints, 8);

    TDialogTemplate second;
    second.Title = "Other";
    RegisterDialogResource(4711, second);
    ASSERT_NE(FindDialogResource(4711), nullptr);
    EXPECT_EQ(FindDialogResource(4711)->Title, "Other");
    EXPECT_TRUE(FindDialogResource(4711)->Items.empty());
}

TEST(DialogResourceTest, DialogUnitsComeFromTheFontsLetterWidthsAndHeight)
{
    // 8 points on a 96-dpi screen are 11 pixels; 10 points 13.
    EXPECT_EQ(FontHeightFromPoints(8), -11);
    EXPECT_EQ(FontHeightFromPoints(10), -13);
    // The classic 8-point sans serif: 52 letters 312 pixels wide, cell height 13 -> base units 6 x 13.
    EXPECT_EQ(DialogBaseUnits(312, 13), TSize(6, 13));
    // The average is rounded: 338 / 26 = 13 half-pixels -> 7 (6.5 rounds up); 337 -> 12 half-pixels -> 6.
    EXPECT_EQ(DialogBaseUnits(338, 13).cx, 7);
    EXPECT_EQ(DialogBaseUnits(337, 13).cx, 6);
    // A broken font never gives zero units (every control would collapse).
    EXPECT_EQ(DialogBaseUnits(0, 0), TSize(1, 1));
    // A 50 x 14 button at (7, 7) with those units.
    EXPECT_EQ(MapDialogRect(TRect(7, 7, 57, 21), TSize(6, 13)), TRect(11, 11, 86, 34));
}

TEST(DialogResourceTest, ItemsAreSeenByTheKeyboardRulesByClassAndButtonStyle)
{
    struct Case {
        TDialogItemClass Class;
        DWORD Style;
        TDialogControl::TKind Want;
    };

    const Case cases[] = {
            {TDialogItemClass::Button, BS_PUSHBUTTON, TDialogControl::PushButton},
            {TDialogItemClass::Button, BS_DEFPUSHBUTTON | WS_TABSTOP, TDialogControl::PushButton},
            {TDialogItemClass::Button, BS_AUTORADIOBUTTON | WS_GROUP, TDialogControl::RadioButton},
            {TDialogItemClass::Button, BS_RADIOBUTTON, TDialogControl::RadioButton},
            {TDialogItemClass::Button, BS_AUTOCHECKBOX, TDialogControl::CheckBox},
            {TDialogItemClass::Button, BS_GROUPBOX, TDialogControl::GroupBox},
            {TDialogItemClass::Edit, ES_MULTILINE, TDialogControl::Edit},
            {TDialogItemClass::Static, 0, TDialogControl::Static},
            {TDialogItemClass::ListBox, LBS_EXTENDEDSEL, TDialogControl::ListBox},
            {TDialogItemClass::ComboBox, CBS_DROPDOWNLIST, TDialogControl::ComboBox},
            {TDialogItemClass::TreeView, WS_TABSTOP, TDialogControl::Other},
            {TDialogItemClass::Static, SS_ICON, TDialogControl::Static},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DialogItemKind(c.Class, c.Style), c.Want) << static_cast<int>(c.Class) << " " << c.Style;
    }
}

TEST(DialogResourceTest, AnIconStaticNamesItsIconInDecimal)
{
    struct Case {
        const char* Text;
        std::optional<int> Want;
    };

    const Case cases[] = {
            {"140", 140},
            {"1", 1},
            {"65535", 65535},
            {"", std::nullopt},
            {"0", std::nullopt},
            {"-140", std::nullopt},
            {"65536", std::nullopt},
            {"140a", std::nullopt},
            {" 140", std::nullopt},
            {"#140", std::nullopt},
            {"99999999999999", std::nullopt},
            {"Icon", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IconIdFromText(c.Text), c.Want) << '"' << c.Text << '"';
    }
}

TEST(DialogResourceTest, TransferTextFieldsAreCutAtACharacterAndAlwaysTerminated)
{
    struct Case {
        const char* What;
        std::string Text;
        std::size_t FieldSize;
        std::string Want;
    };

    const Case cases[] = {
            {"fits", "admin", 32, "admin"},
            {"exactly size - 1", "abc", 4, "abc"},
            {"cut to size - 1", "abcdef", 4, "abc"},
            {"a two-byte character is not split", "ab\xC3\xA9", 4, "ab"},
            {"a three-byte character is not split",
             "a\xE2\x82\xAC"
             "b",
             4, "a"},
            {"a whole character that fits stays",
             "a\xC3\xA9"
             "b",
             4, "a\xC3\xA9"},
            {"one byte holds only the terminator", "abc", 1, ""},
    };
    for (const Case& c : cases) {
        std::array<char, 40> buffer{};
        buffer.fill('#');
        PutTransferText(std::span<char>(buffer.data(), c.FieldSize), c.Text);
        EXPECT_EQ(GetTransferText(std::span<const char>(buffer.data(), c.FieldSize)), c.Want) << c.What;
        EXPECT_EQ(buffer[c.FieldSize], '#') << c.What << ": wrote past the field";
    }
    // A field without a terminator reads to its end and no further.
    const std::array<char, 6> full{'a', 'b', 'c', 'd', 'e', 'f'};
    EXPECT_EQ(GetTransferText(std::span<const char>(full.data(), 3)), "abc");
    // An empty field takes nothing.
    PutTransferText(std::span<char>(), "abc");
}

TEST(DialogResourceTest, TransferFieldsLieWhereAStructOfThemPutsItsMembers)
{
    // The logon dialog's three 32-character edits.
    struct Logon {
        char User[32];
        char Password[32];
        char Confirmation[32];
    };

    const TTransferField text32{32, 1};
    const TTransferField none{};
    auto offsets = TransferOffsets(std::vector<TTransferField>{text32, none, text32, text32}, sizeof(Logon));
    ASSERT_EQ(offsets.size(), 4U);
    EXPECT_EQ(offsets[0], offsetof(Logon, User));
    EXPECT_FALSE(offsets[1].has_value()); // a label takes no part
    EXPECT_EQ(offsets[2], offsetof(Logon, Password));
    EXPECT_EQ(offsets[3], offsetof(Logon, Confirmation));

    // A 255-character text, a selection index and a check state: the index is aligned as the struct aligns it.
    struct Mixed {
        char Key[256];
        char Odd[3];
        std::int32_t Mode;
        std::uint16_t Check;
    };

    offsets = TransferOffsets(std::vector<TTransferField>{{256, 1}, {3, 1}, {4, 4}, {2, 2}}, sizeof(Mixed));
    EXPECT_EQ(offsets[0], offsetof(Mixed, Key));
    EXPECT_EQ(offsets[1], offsetof(Mixed, Odd));
    EXPECT_EQ(offsets[2], offsetof(Mixed, Mode));
    EXPECT_EQ(offsets[3], offsetof(Mixed, Check));

    // A buffer too small for the controls: the fields that fit whole are transferred, nothing past the end.
    offsets = TransferOffsets(std::vector<TTransferField>{text32, text32, {4, 4}}, 40);
    EXPECT_EQ(offsets[0], 0U);
    EXPECT_FALSE(offsets[1].has_value());
    EXPECT_FALSE(offsets[2].has_value());
    offsets = TransferOffsets(std::vector<TTransferField>{text32}, 0);
    EXPECT_FALSE(offsets[0].has_value());
}

} // namespace
} // namespace qm::gui
