// The open-file chooser's filters from description|patterns pairs.
#include "gui/model/FileFilter.h"

#include <gtest/gtest.h>

namespace qm::gui {
namespace {

TEST(FileFilterTest, PairsBecomeOneFilterEachWithThePatternsShownOnce)
{
    using Filters = std::vector<std::string>;

    struct Case {
        std::string_view Pairs;
        Filters Expected;
    };

    const Case cases[] = {
            {"Ini Files (*.ini)|*.ini|All files (*.*)|*.*||", Filters{"Ini Files (*.ini)", "All files (*)"}},
            {"Text|*.txt; *.log|", Filters{"Text (*.txt *.log)"}},
            {"Logs|*.log||Never|*.x|", Filters{"Logs (*.log)"}},     // an empty pair ends the list
            {"Odd|*.a|Dangling", Filters{"Odd (*.a)"}},              // a description without patterns
            {"|*.a|No patterns|;;|Kept|*.k", Filters{"Kept (*.k)"}}, // parts missing
            {"(*.a)|*.a", Filters{"(*.a) (*.a)"}},                   // only parentheses: kept as the description
            {"", Filters{}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FileFiltersFromPairs(c.Pairs), c.Expected) << c.Pairs;
    }
}

} // namespace
} // namespace qm::gui
