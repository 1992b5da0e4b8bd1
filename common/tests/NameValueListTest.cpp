#include "common/NameValueList.h"

#include <gtest/gtest.h>

#include <string>

namespace qm {
namespace {

TEST(NameValueListTest, AddKeepsOrderAndDuplicates)
{
    NameValueList list;
    EXPECT_EQ(list.Count(), 0);
    list.Add("b", "1");
    list.Add("a", "2");
    list.Add("B", "3");
    ASSERT_EQ(list.Count(), 3);
    EXPECT_STREQ(list.Item(0)->Name(), "b");
    EXPECT_STREQ(list.Item(1)->Name(), "a");
    EXPECT_STREQ(list.Item(2)->Name(), "B");
    EXPECT_STREQ(list.Item(2)->Value(), "3");
}

TEST(NameValueListTest, NamesAreCutToFiftyNineBytes)
{
    const std::string longName(70, 'n');
    NameValueList list;
    list.Add(longName.c_str(), "v");
    EXPECT_EQ(std::string(list.Item(0)->Name()), longName.substr(0, 59));
    EXPECT_FALSE(list.Contains(longName.c_str())) << "the full 70-byte name is not what was stored";
    EXPECT_STREQ(list.GetValue(longName.substr(0, 59).c_str()), "v");
    const std::string upper(59, 'N');
    EXPECT_STREQ(list.GetValue(upper.c_str()), "v");
}

TEST(NameValueListTest, FindUsesTheRememberedPair)
{
    NameValueList list;
    NameValuePair* first = list.Add("x", "first");
    NameValuePair* second = list.Add("X", "second");
    EXPECT_EQ(list.Find("x"), second) << "right after Add the newest pair is remembered";
    list.Add("y", "other");
    EXPECT_EQ(list.Find("x"), first) << "after other look-ups the search starts at the first pair";
    EXPECT_EQ(list.Find("missing"), nullptr);
    EXPECT_EQ(list.Find("X"), first) << "a failed look-up keeps the remembered pair";
}

TEST(NameValueListTest, SetReplacesOnlyThePairFindGives)
{
    NameValueList list;
    list.Add("k", "1");
    list.Add("z", "-");
    list.Add("k", "2");
    list.Find("z");
    NameValuePair* changed = list.Set("K", "new");
    EXPECT_EQ(changed, list.Item(0));
    EXPECT_STREQ(list.Item(0)->Value(), "new");
    EXPECT_STREQ(list.Item(2)->Value(), "2");
    EXPECT_EQ(list.Count(), 3);

    NameValuePair* added = list.Set("fresh", "v");
    EXPECT_EQ(list.Count(), 4);
    EXPECT_EQ(added, list.Item(3));
    EXPECT_EQ(list.Find("fresh"), added);
}

TEST(NameValueListTest, SetAndAddAreSafeWithTheirOwnValues)
{
    NameValueList list;
    list.Add("n", std::string(100, 'v').c_str());
    list.Set("n", list.GetValue("n"));
    EXPECT_EQ(std::string(list.GetValue("n")), std::string(100, 'v'));
    list.Set("n", list.GetValue("n") + 50);
    EXPECT_EQ(std::string(list.GetValue("n")), std::string(50, 'v'));
    // Adding enough pairs to grow the array, each copying an earlier value.
    for (int i = 0; i < 300; ++i) {
        list.Add("copy", list.Item(0)->Value());
    }
    EXPECT_STREQ(list.Item(300)->Value(), list.Item(0)->Value());
}

TEST(NameValueListTest, MissingAndNullValuesReadAsEmpty)
{
    NameValueList list;
    EXPECT_STREQ(list.GetValue("none"), "");
    NameValuePair* blank = list.NewItem();
    EXPECT_STREQ(blank->Name(), "");
    EXPECT_STREQ(blank->Value(), "");
    list.Add("nullvalue", nullptr);
    list.Add(nullptr, "nullname");

    struct Case {
        const char* Value;
        bool Empty;
        bool Blank;
    };

    const Case cases[] = {
            {"", true, true},     {" \r\n\t", false, true}, {" x ", false, false},
            {"\v", false, false}, {"0", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("value '") + c.Value + "'");
        list.Set("field", c.Value);
        EXPECT_EQ(list.IsEmpty("field"), c.Empty);
        EXPECT_EQ(list.IsBlank("field"), c.Blank);
    }
    EXPECT_TRUE(list.IsEmpty("none"));
    EXPECT_TRUE(list.IsBlank("none"));
    EXPECT_TRUE(list.IsEmpty("nullvalue"));
    EXPECT_STREQ(list.GetValue(""), "") << "the first pair named \"\" is the NewItem pair";
    EXPECT_EQ(list.FindByValue("nullname"), list.Item(2));
}

TEST(NameValueListTest, FindByValueGivesTheFirstMatchInOrder)
{
    // A reverse look-up must not prefer the pair that Add remembered last.
    NameValueList mime;
    mime.Add("jpg", "image/jpeg");
    mime.Add("jpeg", "image/jpeg");
    mime.Add("jpe", "image/jpeg");
    NameValuePair* hit = mime.FindByValue("IMAGE/JPEG");
    ASSERT_NE(hit, nullptr);
    EXPECT_STREQ(hit->Name(), "jpg");
    EXPECT_EQ(mime.FindByValue("text/html"), nullptr);
}

TEST(NameValueListTest, RemoveAndRemoveItem)
{
    NameValueList list;
    list.Add("a", "1");
    list.Add("b", "2");
    list.Add("c", "3");
    list.Remove("missing");
    EXPECT_EQ(list.Count(), 3);

    list.Remove("B");
    ASSERT_EQ(list.Count(), 2);
    EXPECT_STREQ(list.Item(0)->Name(), "a");
    EXPECT_STREQ(list.Item(1)->Name(), "c");
    EXPECT_FALSE(list.Contains("b"));

    // A pair of another list changes nothing here, but the remembered pair is forgotten.
    NameValueList other;
    NameValuePair* foreign = other.Add("a", "foreign");
    NameValuePair* second = list.Add("a", "second");
    list.RemoveItem(foreign);
    EXPECT_EQ(list.Count(), 3);
    EXPECT_EQ(list.Find("a"), list.Item(0)) << "after the cache was cleared, Find starts at the first pair";
    EXPECT_NE(list.Find("a"), second);

    list.RemoveItem(list.Item(0));
    EXPECT_EQ(list.Find("a"), second);
    list.RemoveItem(nullptr);
    EXPECT_EQ(list.Count(), 2);
}

TEST(NameValueListTest, ClearAndMoveLeaveUsableLists)
{
    NameValueList list;
    list.Add("a", "1");
    list.Find("a");
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_FALSE(list.Contains("a")) << "the remembered pair went with the clear";
    list.Add("b", "2");

    // A moved-from list is empty and usable, and no longer remembers a pair it gave away.
    NameValueList moved(std::move(list));
    EXPECT_STREQ(moved.GetValue("b"), "2");
    // NOLINTBEGIN(bugprone-use-after-move,clang-analyzer-cplusplus.Move)
    EXPECT_EQ(list.Count(), 0);
    EXPECT_FALSE(list.Contains("b"));
    list.Add("c", "3");
    EXPECT_STREQ(list.GetValue("c"), "3");
    // NOLINTEND(bugprone-use-after-move,clang-analyzer-cplusplus.Move)
}

} // namespace
} // namespace qm
