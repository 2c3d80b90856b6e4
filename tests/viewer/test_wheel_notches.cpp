#include <gtest/gtest.h>

#include <vector>

#include "viewer/WheelHook.h"

namespace {

struct NotchCase {
    const char* what;
    std::vector<int> deltas;
    std::vector<int> steps;
};

TEST(WheelNotches, OneStepPerNotchAndTouchpadDeltasAddUp)
{
    const NotchCase cases[] = {
        {"one notch each way", {120, -120}, {120, -120}},
        {"a big delta is one step, not two", {-240, 360}, {-240, 360}},
        {"zero does nothing", {0, 0}, {0, 0}},
        {"small deltas add up to a notch", {40, 40, 40, 40}, {0, 0, 120, 0}},
        {"the rest carries over", {100, 100, 100, 10}, {0, 120, 120, 0}},
        {"a change of direction starts afresh", {100, -30, -100}, {0, 0, -120}},
        {"a whole notch clears what was pending", {100, 120, 30}, {0, 120, 0}},
    };
    for (const NotchCase& c : cases) {
        WheelNotches notches;
        std::vector<int> got;
        for (int d : c.deltas)
            got.push_back(notches.step(d));
        EXPECT_EQ(got, c.steps) << c.what;
    }
}

}  // namespace
