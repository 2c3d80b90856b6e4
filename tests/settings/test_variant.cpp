#include <gtest/gtest.h>

#include "settings/variant.h"

TEST(Variant, EmptyIsEmpty)
{
    EXPECT_TRUE(VariantIsEmpty(Variant{}));
    EXPECT_FALSE(VariantIsEmpty(Variant{std::string("x")}));
}
