#include "gui/model/Menu.h"

#include <gtest/gtest.h>

namespace qm::gui {
namespace {

class MenuTest : public testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(LiveMenuCount(), 0u) << "a menu leaked"; }
};

TEST_F(MenuTest, ItemInfoReportsIdsSubmenusTypesStatesAndData)
{
    TMenu bar;
    const HMENU file = CreatePopupMenu();
    ASSERT_TRUE(AppendMenu(file, MF_STRING, 101, "&Open...\tCtrl+O"));
    ASSERT_TRUE(AppendMenu(file, MF_OWNERDRAW | MF_CHECKED, 102, "Owner", 0xABCDEF));
    ASSERT_TRUE(AppendMenu(file, MF_BITMAP | MF_GRAYED, 103, {}, 2002));
    ASSERT_TRUE(AppendMenu(file, MF_SEPARATOR, 0));
    ASSERT_TRUE(AppendMenu(file, MF_STRING | MFT_RADIOCHECK | MF_CHECKED, 104, "Radio"));
    ASSERT_TRUE(bar.AppendMenu(MF_POPUP, file.Value, "&File"));
    ASSERT_TRUE(SetMenuDefaultItem(file, 101, 0));

    EXPECT_TRUE(IsMenuBar(bar));
    EXPECT_FALSE(IsMenuBar(file));
    EXPECT_EQ(bar.GetMenuItemCount(), 1);
    EXPECT_EQ(bar.GetSubMenu(0), file);
    EXPECT_EQ(bar.GetMenuItemID(0), 0xFFFFFFFFu) << "a submenu item has no id";
    EXPECT_EQ(bar.GetMenuState(0, MF_BYPOSITION) & (MF_POPUP | 0xFF00u), MF_POPUP | (5u << 8));
    EXPECT_EQ(GetMenuItemFlags(bar, 0, MF_BYPOSITION), MF_POPUP) << "no item count that reads as owner-draw";
    EXPECT_EQ(GetMenuItemID(file, 9), 0xFFFFFFFFu);
    EXPECT_EQ(GetMenuState(file, 999, MF_BYCOMMAND), kNoMenuItem);

    struct Case {
        int Pos;
        UINT Id;
        UINT Type;
        UINT State;
        std::uint64_t Data;
        UINT Bitmap;
        const char* Text;
    };

    const Case cases[] = {
            {0, 101, MFT_STRING, MFS_DEFAULT, 0, 0, "&Open...\tCtrl+O"},
            {1, 102, MFT_OWNERDRAW, MFS_CHECKED, 0xABCDEF, 0, "Owner"},
            {2, 103, MFT_BITMAP, MF_GRAYED, 0, 2002, ""},
            {3, 0, MFT_SEPARATOR, 0, 0, 0, ""},
            {4, 104, MFT_RADIOCHECK, MFS_CHECKED, 0, 0, "Radio"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Pos);
        MENUITEMINFO info;
        info.fMask = MIIM_ID | MIIM_TYPE | MIIM_STATE | MIIM_DATA | MIIM_SUBMENU;
        ASSERT_TRUE(GetMenuItemInfo(file, static_cast<UINT>(c.Pos), true, info));
        EXPECT_EQ(info.wID, c.Id);
        EXPECT_EQ(info.fType, c.Type);
        EXPECT_EQ(info.fState, c.State);
        EXPECT_EQ(info.dwItemData, c.Data);
        EXPECT_EQ(info.hbmpItem, c.Bitmap);
        EXPECT_EQ(info.dwTypeData, c.Text);
        EXPECT_FALSE(info.hSubMenu);
    }
    // By command also finds items of submenus.
    EXPECT_EQ(GetMenuString(bar, 104, MF_BYCOMMAND), "Radio");
    EXPECT_EQ(GetMenuDefaultItem(file, 0), 101u);
    EXPECT_EQ(GetMenuDefaultItem(file, 1), 0u);
}

TEST_F(MenuTest, ModifyInsertAndDeleteByPositionKeepItemData)
{
    TPopupMenu menu;
    menu.AppendMenu(MF_STRING, 1, "One");
    menu.AppendMenu(MF_STRING, 3, "Three");
    ASSERT_TRUE(menu.InsertMenu(1, MF_BYPOSITION | MF_OWNERDRAW, 2, "Two", 77));
    ASSERT_TRUE(menu.InsertMenu(99, MF_BYPOSITION | MF_STRING, 4, "Four")) << "past the end appends";
    ASSERT_TRUE(menu.InsertMenu(1, MF_BYCOMMAND | MF_STRING, 0, "Zero"));
    const UINT ids[] = {0, 1, 2, 3, 4};
    ASSERT_EQ(menu.GetMenuItemCount(), 5);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(menu.GetMenuItemID(i), ids[i]) << i;

    // Make the owner-drawn item a string again and back, by position, with new data: the data follows.
    ASSERT_TRUE(menu.ModifyMenu(2, MF_BYPOSITION | MF_OWNERDRAW | MF_GRAYED, 22, "Twenty-two", 99));
    MENUITEMINFO info;
    info.fMask = MIIM_ID | MIIM_DATA | MIIM_STATE | MIIM_TYPE;
    ASSERT_TRUE(menu.GetMenuItemInfo(2, true, info));
    EXPECT_EQ(info.wID, 22u);
    EXPECT_EQ(info.dwItemData, 99u);
    EXPECT_EQ(info.fState, MF_GRAYED);
    EXPECT_EQ(info.dwTypeData, "Twenty-two");

    EXPECT_EQ(menu.EnableMenuItem(22, MF_BYCOMMAND | MF_ENABLED), static_cast<int>(MF_GRAYED));
    EXPECT_EQ(menu.CheckMenuItem(3, MF_BYPOSITION | MF_CHECKED), 0);
    EXPECT_EQ(menu.GetMenuState(3, MF_BYPOSITION) & MF_CHECKED, MF_CHECKED);
    EXPECT_EQ(menu.EnableMenuItem(555, MF_GRAYED), -1);

    ASSERT_TRUE(menu.DeleteMenu(0, MF_BYPOSITION));
    ASSERT_TRUE(menu.DeleteMenu(4, MF_BYCOMMAND));
    EXPECT_FALSE(menu.DeleteMenu(7, MF_BYPOSITION));
    EXPECT_EQ(menu.GetMenuItemCount(), 3);
    EXPECT_EQ(menu.GetMenuItemID(0), 1u);

    // SetMenuItemInfo changes only what the mask names.
    MENUITEMINFO change;
    change.fMask = MIIM_DATA;
    change.dwItemData = 5;
    change.wID = 999;
    ASSERT_TRUE(menu.SetMenuItemInfo(1, true, change));
    EXPECT_EQ(menu.GetMenuItemID(1), 22u);
}

TEST_F(MenuTest, ItemInfoMasksExchangeTypeStringAndBitmapEachOnTheirOwn)
{
    // Item 0 starts as "&Open" (id 101, no bitmap); each case writes one info with the given mask and reads the
    // item back whole.
    struct Case {
        const char* Name;
        UINT Mask;
        UINT Type;
        const char* Text;
        UINT Bitmap;
    };

    const Case cases[] = {
            {"bitmap beside the string", MIIM_BITMAP, MFT_STRING, "&Open", 2101},
            {"string only", MIIM_STRING, MFT_STRING, "&New", 0},
            {"type only", MIIM_FTYPE, MFT_RADIOCHECK, "&Open", 0},
            {"bitmap item by type", MIIM_FTYPE | MIIM_BITMAP, MFT_BITMAP, "&Open", 2101},
            {"all three by MIIM_TYPE", MIIM_TYPE, MFT_BITMAP, "", 2101},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TPopupMenu menu;
        ASSERT_TRUE(menu.AppendMenu(MF_STRING | MF_CHECKED, 101, "&Open"));
        MENUITEMINFO write;
        write.fMask = c.Mask;
        write.fType = c.Type;
        write.dwTypeData = c.Text;
        write.hbmpItem = c.Bitmap;
        write.wID = 999; // not in the mask: stays
        ASSERT_TRUE(menu.SetMenuItemInfo(101, false, write));

        MENUITEMINFO read;
        read.fMask = MIIM_FTYPE | MIIM_STRING | MIIM_BITMAP | MIIM_ID | MIIM_STATE;
        ASSERT_TRUE(menu.GetMenuItemInfo(0, true, read));
        EXPECT_EQ(read.fType, c.Type);
        EXPECT_EQ(read.dwTypeData, c.Text);
        EXPECT_EQ(read.hbmpItem, c.Bitmap);
        EXPECT_EQ(read.wID, 101u);
        EXPECT_EQ(read.fState, MFS_CHECKED);
        // GetMenuString and the item flags read the same item.
        EXPECT_EQ(GetMenuString(menu, 0, MF_BYPOSITION), c.Text);
        EXPECT_EQ((GetMenuItemFlags(menu, 0, MF_BYPOSITION) & MF_BITMAP) != 0, c.Type == MFT_BITMAP);

        // A read asks only for what its mask names.
        MENUITEMINFO partial;
        partial.fMask = MIIM_BITMAP;
        partial.dwTypeData = "untouched";
        ASSERT_TRUE(menu.GetMenuItemInfo(101, false, partial));
        EXPECT_EQ(partial.hbmpItem, c.Bitmap);
        EXPECT_EQ(partial.dwTypeData, "untouched");
        EXPECT_EQ(partial.fType, 0u);
    }
}

TEST_F(MenuTest, SubmenusDieWithTheirItemUnlessRemoved)
{
    const HMENU menu = CreatePopupMenu();
    const HMENU a = CreatePopupMenu();
    const HMENU b = CreatePopupMenu();
    const HMENU c = CreatePopupMenu();
    AppendMenu(a, MF_STRING, 11, "In A");
    AppendMenu(menu, MF_POPUP, a.Value, "A");
    AppendMenu(menu, MF_POPUP, b.Value, "B");
    AppendMenu(menu, MF_POPUP, c.Value, "C");
    EXPECT_FALSE(AppendMenu(menu, MF_POPUP, 0xDEAD, "Not a menu"));

    ASSERT_TRUE(DeleteMenu(menu, 0, MF_BYPOSITION));
    EXPECT_FALSE(IsMenu(a)) << "deleting an item destroys its submenu";
    ASSERT_TRUE(RemoveMenu(menu, 0, MF_BYPOSITION));
    EXPECT_TRUE(IsMenu(b)) << "removing keeps it";
    ASSERT_TRUE(ModifyMenu(menu, 0, MF_BYPOSITION | MF_STRING, 5, "Plain"));
    EXPECT_FALSE(IsMenu(c)) << "an item modified into a command drops its submenu";
    EXPECT_TRUE(DestroyMenu(b));
    EXPECT_TRUE(DestroyMenu(menu));
    EXPECT_FALSE(DestroyMenu(menu));
    EXPECT_FALSE(IsMenu(menu));
    EXPECT_EQ(GetMenuItemCount(menu), -1);
    const HMENU fresh = CreatePopupMenu();
    EXPECT_NE(fresh, menu) << "handles are not reused";
    DestroyMenu(fresh);
}

TEST_F(MenuTest, RadioDefaultAndMnemonics)
{
    TPopupMenu menu;
    for (UINT id = 10; id < 14; ++id)
        menu.AppendMenu(MF_STRING | (id == 10 ? MF_CHECKED : 0), id, "x");
    ASSERT_TRUE(CheckMenuRadioItem(menu, 10, 12, 11, MF_BYCOMMAND));
    EXPECT_EQ(menu.GetMenuState(10, 0) & MF_CHECKED, 0u);
    EXPECT_EQ(menu.GetMenuState(11, 0) & (MF_CHECKED | MFT_RADIOCHECK), MF_CHECKED | MFT_RADIOCHECK);
    ASSERT_TRUE(SetMenuDefaultItem(menu, 2, 1));
    ASSERT_TRUE(SetMenuDefaultItem(menu, 3, 1));
    EXPECT_EQ(GetMenuDefaultItem(menu, 1), 3u) << "one default item";
    ASSERT_TRUE(SetMenuDefaultItem(menu, 0xFFFFFFFFu, 1));
    EXPECT_EQ(GetMenuDefaultItem(menu, 1), 0xFFFFFFFFu);

    struct Case {
        const char* Text;
        char Want;
    };

    const Case cases[] = {{"&Open", 'O'},     {"E&xit\tAlt-F4", 'X'}, {"Fish && &chips", 'C'},
                          {"No mnemonic", 0}, {"Trailing &", 0},      {"&&", 0}};
    for (const auto& c : cases)
        EXPECT_EQ(MenuMnemonic(c.Text), c.Want) << c.Text;
}

TEST_F(MenuTest, OwnerDrawRecordsCarryTheItemsIdDataAndState)
{
    TPopupMenu menu;
    TPopupMenu sub;
    menu.AppendMenu(MF_OWNERDRAW | MF_GRAYED | MF_CHECKED, 101, "Open", 7);
    menu.AppendMenu(MF_OWNERDRAW | MF_POPUP, sub.GetHandle().Value, "More", 8);
    menu.AppendMenu(MF_OWNERDRAW | MF_DEFAULT | MF_DISABLED, 103, "Default", 9);

    struct Case {
        int Pos;
        bool Selected;
        UINT WantId;
        UINT WantState;
        std::uint64_t WantData;
    };

    const Case cases[] = {
            {0, false, 101, ODS_GRAYED | ODS_DISABLED | ODS_CHECKED, 7},
            {1, true, sub.GetHandle().Value, ODS_SELECTED, 8},
            {2, true, 103, ODS_DISABLED | ODS_DEFAULT | ODS_SELECTED, 9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Pos);
        const TRect at(3, 3 + 20 * c.Pos, 103, 23 + 20 * c.Pos);
        const DRAWITEMSTRUCT d = MakeMenuDrawItem(menu, c.Pos, at, c.Selected, nullptr);
        EXPECT_EQ(d.CtlType, ODT_MENU);
        EXPECT_EQ(d.itemID, c.WantId);
        EXPECT_EQ(d.itemState, c.WantState);
        EXPECT_EQ(d.itemData, c.WantData);
        EXPECT_EQ(d.rcItem, at);
        EXPECT_EQ(d.hMenuItem, menu.GetHandle());
        const MEASUREITEMSTRUCT m = MakeMenuMeasureItem(menu, c.Pos);
        EXPECT_EQ(m.itemID, c.WantId);
        EXPECT_EQ(m.itemData, c.WantData);
    }
    menu.RemoveMenu(1, MF_BYPOSITION);
}

TEST_F(MenuTest, LoadsMenusFromRegisteredDescriptions)
{
    RegisterMenuResource(100, {{"&Servers", 0, 0, {{"&Start\tF3", 2010, 0, {}}, {}, {"E&xit\tAlt-F4", 24310, 0, {}}}},
                               {"&Help", 0, 0, {{"&About...", 2004, MF_GRAYED, {}}}}});
    TMenu menu(LoadMenu(100), TMenu::TAutoDelete::AutoDelete);
    ASSERT_TRUE(menu.IsOK());
    EXPECT_TRUE(IsMenuBar(menu));
    ASSERT_EQ(menu.GetMenuItemCount(), 2);
    const HMENU servers = menu.GetSubMenu(0);
    EXPECT_EQ(GetMenuItemCount(servers), 3);
    EXPECT_NE(GetMenuState(servers, 1, MF_BYPOSITION) & MF_SEPARATOR, 0u);
    EXPECT_EQ(GetMenuItemID(servers, 2), 24310u);
    EXPECT_NE(GetMenuState(menu, 2004, MF_BYCOMMAND) & MF_GRAYED, 0u);
    EXPECT_FALSE(LoadMenu(4711));

    TMenu second(LoadMenu(100), TMenu::TAutoDelete::AutoDelete);
    EXPECT_NE(second.GetHandle(), menu.GetHandle()) << "each load is a new menu";

    const TMenuDescr descr(100);
    EXPECT_TRUE(descr.IsOK());
    EXPECT_EQ(descr.GetGroupCount(TMenuDescr::FileGroup), 2);
    EXPECT_EQ(descr.GetGroupCount(TMenuDescr::HelpGroup), 0);
    EXPECT_FALSE(TMenuDescr(4711).IsOK());
}

} // namespace
} // namespace qm::gui
