// The slide show's rules on the plain core: state x input -> actions and the
// next state, and the random pick on a plain image list.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "app/ImageList.h"
#include "app/KeyCodes.h"
#include "viewer/SlideShow.h"

namespace {

using enum ShowAction;
using S = ShowState;

std::string describe(const ShowActions& actions)
{
    static const char* const names[] = {"StopTimers",     "StepUp",         "StepDown",  "Pick", "View", "Fit",
                                        "FitWhenDecoded", "RunProgressive", "RunRandom", "Close"};
    std::string text;
    for (ShowAction a : actions)
        text += std::string(names[static_cast<int>(a)]) + " ";
    return text;
}

// Brings a show into a state the way the viewer's inputs do.
SlideShow showIn(ShowState state)
{
    SlideShow show;
    if (state != S::Stopped)
        show.Start(state == S::Progressive ? 1 : 2);
    return show;
}

void fill(ImageList& list, int n)
{
    for (int i = 0; i < n; ++i)
        list.append("/p/" + QByteArray::number(i) + ".jpg");
}

}  // namespace

TEST(SlideShowRules, KeysInEachState)
{
    constexpr int Esc = KeyCodes::Escape, Space = KeyCodes::Space, Up = KeyCodes::Up, Down = KeyCodes::Down;
    struct Case {
        ShowState from;
        int key, count, type;
        ShowActions actions;
        ShowState to;
    } cases[] = {
        {S::Stopped, Esc, 5, 1, {StopTimers, Close}, S::Stopped},
        {S::Random, Esc, 5, 1, {StopTimers, Close}, S::Stopped},
        {S::Progressive, Up, 5, 1, {StopTimers, StepUp, FitWhenDecoded}, S::Stopped},
        {S::Random, Down, 5, 2, {StopTimers, StepDown, FitWhenDecoded}, S::Stopped},
        {S::Stopped, Down, 0, 0, {StopTimers, StepDown, FitWhenDecoded}, S::Stopped},
        // Space resumes in the type stored at the press, whatever order ran before.
        {S::Stopped, Space, 5, 1, {StepDown, View, RunProgressive}, S::Progressive},
        {S::Stopped, Space, 5, 2, {Pick, View, RunRandom}, S::Random},
        {S::Stopped, Space, 5, 3, {}, S::Stopped},
        {S::Progressive, Space, 5, 2, {StopTimers}, S::Stopped},
        {S::Random, Space, 2, 1, {StopTimers}, S::Stopped},
        // One entry or none: not even a pause.
        {S::Random, Space, 1, 2, {}, S::Random},
        {S::Stopped, Space, 1, 1, {}, S::Stopped},
        {S::Progressive, Space, 0, 1, {}, S::Progressive},
        // Keys no rule names do nothing.
        {S::Progressive, 0, 5, 1, {}, S::Progressive},
        {S::Stopped, 13, 5, 1, {}, S::Stopped},
    };
    for (const Case& c : cases) {
        SlideShow show = showIn(c.from);
        const ShowActions actions = show.Key(c.key, c.count, c.type);
        EXPECT_EQ(describe(actions), describe(c.actions)) << "key " << c.key << " from " << int(c.from);
        EXPECT_EQ(show.State(), c.to) << "key " << c.key << " from " << int(c.from);
    }
}

TEST(SlideShowRules, WheelStartsAndTicks)
{
    struct Case {
        const char* what;
        ShowState from;
        ShowActions (*input)(SlideShow&);
        ShowActions actions;
        ShowState to;
    } cases[] = {
        {"wheel away", S::Random, [](SlideShow& s) { return s.Wheel(120); }, {StopTimers, StepUp, FitWhenDecoded}, S::Stopped},
        {"wheel toward", S::Progressive, [](SlideShow& s) { return s.Wheel(-240); }, {StopTimers, StepDown, FitWhenDecoded},
         S::Stopped},
        {"wheel nothing", S::Progressive, [](SlideShow& s) { return s.Wheel(0); }, {}, S::Progressive},
        {"start 1", S::Stopped, [](SlideShow& s) { return s.Start(1); }, {View, RunProgressive}, S::Progressive},
        {"start 2", S::Progressive, [](SlideShow& s) { return s.Start(2); }, {Pick, View, RunRandom}, S::Random},
        {"start 0", S::Stopped, [](SlideShow& s) { return s.Start(0); }, {}, S::Stopped},
        {"tick 1", S::Progressive, [](SlideShow&) { return SlideShow::Tick(S::Progressive); }, {StepDown, Fit},
         S::Progressive},
        {"tick 2", S::Random, [](SlideShow&) { return SlideShow::Tick(S::Random); }, {Pick, Fit}, S::Random},
    };
    for (const Case& c : cases) {
        SlideShow show = showIn(c.from);
        EXPECT_EQ(describe(c.input(show)), describe(c.actions)) << c.what;
        EXPECT_EQ(show.State(), c.to) << c.what;
    }
    SlideShow closed = showIn(S::Random);
    closed.Closed();
    EXPECT_EQ(closed.State(), S::Stopped);
}

// A cycle covers the list once; a rebuilt list begins a new one and clears
// the flag; an empty list changes nothing; the memory outlives a close.
TEST(SlideShowRules, PicksCoverTheListOncePerCycle)
{
    ImageList list;
    fill(list, 10);
    list.setRebuiltSinceLastPick(true);
    SlideShow show(RandomOrder(7));
    std::set<int> shown;
    for (int i = 0; i < 3; ++i)
        shown.insert(show.Pick(list));
    EXPECT_FALSE(list.rebuiltSinceLastPick());
    show.Closed();
    for (int i = 0; i < 7; ++i) {
        const int p = show.Pick(list);
        EXPECT_EQ(list.current(), p);
        EXPECT_TRUE(shown.insert(p).second) << "shown twice in one cycle";
    }
    EXPECT_EQ(show.Order().ShownCount(), 0);

    show.Pick(list);
    show.Pick(list);
    list.setRebuiltSinceLastPick(true);
    show.Pick(list);
    EXPECT_EQ(show.Order().ShownCount(), 1) << "a rebuilt list begins a new cycle";

    const auto history = show.Order().ShownHistory();
    list.clear();
    EXPECT_EQ(show.Pick(list), -1);
    EXPECT_EQ(list.current(), -1);
    EXPECT_EQ(show.Order().ShownCount(), 1);
    EXPECT_EQ(show.Order().ShownHistory(), history);

    list.append("/only.jpg");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(show.Pick(list), 0) << "one entry is picked every time";
        EXPECT_EQ(show.Order().ShownCount(), 0) << "and completes a cycle each time";
    }
}
