#include <gtest/gtest.h>

#include "viewer/DelayTable.h"

TEST(DelayInterval, CodesOneToSevenGiveTheirIntervals)
{
    const std::pair<const char*, int> table[] = {
        {"1", 500}, {"2", 1000}, {"3", 2000}, {"4", 3000}, {"5", 5000}, {"6", 10000}, {"7", 15000},
    };
    for (const auto& [code, ms] : table)
        EXPECT_EQ(DelayInterval(code), ms) << code;
}

TEST(DelayInterval, AnyOtherTextIsNoCode)
{
    for (const char* code : {"", "0", "8", " 1", "1 ", "01", "+1", "1.0", "١", "7\n", "12"})
        EXPECT_EQ(DelayInterval(code), std::nullopt) << '"' << code << '"';
}
