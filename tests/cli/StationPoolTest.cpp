#include <gtest/gtest.h>

#include "cli/StationPool.h"

namespace {

TEST(StationPool, RangesAndNumbersInAscendingOrder) {
    struct Case {
        const char* name;
        const char* text;
        size_t count;
        const char* canonical;
    };
    const Case cases[] = {
        {"ranges and numbers", "1-20,30,40-45", 27, "1-20,30,40-45"},
        {"any order, blanks, adjacent items merged", " 40 - 45, 30 ,1-20,21", 28, "1-21,30,40-45"},
        {"the ends of the byte", "255,0", 2, "0,255"},
        {"a range of one", "7-7", 1, "7"},
    };
    for (const Case& c : cases) {
        TIdPool pool;
        EXPECT_EQ(ParseIdPool(c.text, pool), "") << c.name;
        EXPECT_EQ(pool.Ids.size(), c.count) << c.name;
        EXPECT_TRUE(std::is_sorted(pool.Ids.begin(), pool.Ids.end())) << c.name;
        EXPECT_EQ(pool.Text(), c.canonical) << c.name;
    }
}

TEST(StationPool, RefusalsNameTheItem) {
    struct Case {
        const char* text;
        const char* refusal;
    };
    const Case cases[] = {
        {"", "no IDs given (e.g. --ids 1-20,30)"},
        {" , ", "item 1 is empty"},
        {"1,,2", "item 2 is empty"},
        {"1-5,", "item 2 is empty"},
        {"1-6,5-9", "item 2 '5-9' overlaps item 1 '1-6' (5 is in both)"},
        {"3,1-4", "item 2 '1-4' overlaps item 1 '3' (3 is in both)"},
        {"2,2", "item 2 '2' overlaps item 1 '2' (2 is in both)"},
        {"1,40-30", "item 2 '40-30': a range runs upwards (write 30-40)"},
        {"256", "item 1 '256': a device ID is 0..255 (one byte in the frame, as the window sends it)"},
        {"250-300",
         "item 1 '250-300': a device ID is 0..255 (one byte in the frame, as the window sends it)"},
        {"-1", "item 1 '-1': '-1' is not a whole number; give N or N-M"},
        {"1-2-3", "item 1 '1-2-3': '2-3' is not a whole number; give N or N-M"},
        {"0x10", "item 1 '0x10': '0x10' is not a whole number; give N or N-M"},
        {"5-", "item 1 '5-': '' is not a whole number; give N or N-M"},
    };
    for (const Case& c : cases) {
        TIdPool pool;
        EXPECT_EQ(ParseIdPool(c.text, pool), c.refusal) << "'" << c.text << "'";
        EXPECT_TRUE(pool.Ids.empty()) << c.text;
    }
}

} // namespace
