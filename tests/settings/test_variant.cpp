#include <gtest/gtest.h>

#include "settings/variant.h"

TEST(Variant, TextForms)
{
    struct Case {
        Variant v;
        const char* text;
    } cases[] = {
        {Variant{}, ""},
        {std::int16_t(-32768), "-32768"},
        {std::int32_t(2147483647), "2147483647"},
        {1.5, "1.5"},
        {0.1, "0.1"},
        {1e20, "1E+20"},
        {std::string("x y"), "x y"},
        {ByteArray{'h', 'i'}, "hi"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(VariantText(c.v), c.text);
    EXPECT_TRUE(VariantIsEmpty(Variant{}));
    EXPECT_FALSE(VariantIsEmpty(Variant{std::string()}));
}

TEST(Variant, NumberFormsRejectWhatIsNotANumber)
{
    struct Case {
        Variant v;
        std::optional<std::int16_t> i16;
        std::optional<double> d;
    } cases[] = {
        {Variant{}, 0, 0.0},
        {std::string("7"), 7, 7.0},
        {std::string(" -3 "), -3, -3.0},
        {std::string("0.5"), 0, 0.5},
        {std::string("1.5"), 2, 1.5},
        {std::string("32768"), std::nullopt, 32768.0},
        {std::string(""), std::nullopt, std::nullopt},
        {std::string("abc"), std::nullopt, std::nullopt},
        {std::string("1x"), std::nullopt, std::nullopt},
        {std::string("0x10"), std::nullopt, std::nullopt},
        {std::string("nan"), std::nullopt, std::nullopt},
        {std::int32_t(70000), std::nullopt, 70000.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(VariantText(c.v));
        EXPECT_EQ(VariantToInt16(c.v), c.i16);
        EXPECT_EQ(VariantToDouble(c.v), c.d);
    }
}
