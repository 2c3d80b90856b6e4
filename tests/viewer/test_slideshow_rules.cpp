// The slide show on the plain core: whole shows driven input by input, with
// the state, the current entry and what the viewer is asked to do after each.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "app/ImageList.h"
#include "app/KeyCodes.h"
#include "tests/viewer/ShowActionsText.h"
#include "viewer/SlideShow.h"

namespace {

using enum ShowAction::Kind;
using S = ShowState;

std::string describe(const ShowActions& actions)
{
    return ShowActionsText(actions, [](int entry) { return std::to_string(entry); });
}

// Brings a show into a state the way the viewer's inputs do.
SlideShow showIn(ShowState state, ImageList& list)
{
    SlideShow show(RandomOrder(1));
    if (state != S::Stopped)
        show.Start(state == S::Progressive ? 1 : 2, list);
    return show;
}

void fill(ImageList& list, int n)
{
    list.clear();
    for (int i = 0; i < n; ++i)
        list.append("/p/" + QByteArray::number(i) + ".jpg");
}

constexpr QSize kScreen{1024, 768};

// One input as the viewer hands it on: "start T", "tick", "up", "down",
// "space T" (T the stored type), "escape", "wheel R", "pick", "closed", or
// "rebuild N" (a search that finds N entries). A fit asked for is followed by
// what the show wants once it is on a screen of the given size, after a "|".
std::string drive(SlideShow& show, ImageList& list, const std::string& input, QSize screen = kScreen)
{
    std::istringstream words(input);
    std::string verb;
    int number = 0;
    words >> verb >> number;
    ShowActions actions;
    if (verb == "start")
        actions = show.Start(number, list);
    else if (verb == "tick")
        actions = show.Tick(list);
    else if (verb == "up")
        actions = show.Key(KeyCodes::Up, list, 1);
    else if (verb == "down")
        actions = show.Key(KeyCodes::Down, list, 1);
    else if (verb == "space")
        actions = show.Key(KeyCodes::Space, list, number);
    else if (verb == "escape")
        actions = show.Key(KeyCodes::Escape, list, 1);
    else if (verb == "wheel")
        actions = show.Wheel(number, list);
    else if (verb == "pick")
        actions = show.RandomPick(list);
    else if (verb == "closed")
        show.Closed();
    else if (verb == "rebuild") {
        fill(list, number);
        list.setRebuiltSinceLastPick(true);
    } else
        ADD_FAILURE() << "no input " << input;
    std::string text = describe(actions);
    for (const ShowAction& a : actions)
        if (a.kind == View || a.kind == Fit || a.kind == FitWhenDecoded)
            return text + " |" + (show.Fitted(list, screen).empty() ? "" : " " + describe(show.Fitted(list, screen)));
    return text;
}

// The expected text with its placeholders filled in: "a" the entry drawn
// ahead now, "c-1" and "c+1" the current entry's neighbours.
std::string expand(std::string text, const SlideShow& show, const ImageList& list)
{
    const int n = list.count(), c = list.current();
    const std::pair<const char*, int> marks[] = {
        {":a", show.Order().Ahead()}, {":c-1", n ? (c + n - 1) % n : -1}, {":c+1", n ? (c + 1) % n : -1}};
    for (const auto& [mark, entry] : marks)
        for (auto at = text.find(mark); at != std::string::npos; at = text.find(mark))
            text.replace(at, std::string(mark).size(), ":" + std::to_string(entry));
    return text;
}

struct Step {
    const char* input;
    const char* actions;
    ShowState state;
    const char* current;  // a number, "a" the entry drawn ahead before the input, "=" unchanged, "*" any
};

struct Show {
    const char* what;
    int entries;
    int current;
    std::vector<Step> steps;
    QSize screen = kScreen;
};

}  // namespace

TEST(SlideShowRules, WholeShows)
{
    const Show shows[] = {
        {"no entries",
         0,
         -1,
         {
             {"down", "Stop FitWhenDecoded |", S::Stopped, "-1"},
             {"space 2", "", S::Stopped, "-1"},
             {"start 2", "View RunRandom |", S::Random, "-1"},
             {"tick", "Fit |", S::Random, "-1"},
             {"pick", "", S::Random, "-1"},
             {"escape", "Stop Close", S::Stopped, "-1"},
         }},
        {"one entry",
         1,
         0,
         {
             {"space 1", "", S::Stopped, "0"},
             {"start 2", "View RunRandom |", S::Random, "0"},
             {"tick", "Fit |", S::Random, "0"},
             {"space 2", "", S::Random, "0"},  // not even a pause
             {"wheel -120", "Stop Drop:0 FitWhenDecoded |", S::Stopped, "0"},
             {"start 1", "View RunProgressive |", S::Progressive, "0"},
             {"tick", "Fit |", S::Progressive, "0"},
         }},
        {"two entries, progressive",
         2,
         0,
         {
             {"start 1", "View RunProgressive | Prepare:1", S::Progressive, "0"},
             {"tick", "Fit | Prepare:0", S::Progressive, "1"},
             {"tick", "Fit | Prepare:1", S::Progressive, "0"},
             {"space 2", "Stop", S::Stopped, "0"},  // pauses, whatever the stored type
             {"space 1", "View RunProgressive | Prepare:0", S::Progressive, "1"},
             {"up", "Stop Drop:0 FitWhenDecoded | Prepare:1", S::Stopped, "0"},
             {"tick", "", S::Stopped, "0"},  // a stopped show does not step
         }},
        {"five entries, stepping",
         5,
         0,
         {
             {"up", "Stop Drop:4 FitWhenDecoded | Prepare:3 Prepare:0", S::Stopped, "4"},
             {"down", "Stop Drop:0 FitWhenDecoded | Prepare:4 Prepare:1", S::Stopped, "0"},
             {"wheel 120", "Stop Drop:4 FitWhenDecoded | Prepare:3 Prepare:0", S::Stopped, "4"},
             {"wheel -240", "Stop Drop:0 FitWhenDecoded | Prepare:4 Prepare:1", S::Stopped, "0"},
             {"wheel 0", "", S::Stopped, "0"},
             {"space 3", "", S::Stopped, "0"},  // no order stored: nothing
             {"start 1", "View RunProgressive | Prepare:4 Prepare:1", S::Progressive, "0"},
             {"down", "Stop Drop:1 FitWhenDecoded | Prepare:0 Prepare:2", S::Stopped, "1"},
         }},
        {"five entries, random",
         5,
         0,
         {
             {"start 2", "View RunRandom Prepare:a |", S::Random, "*"},
             {"tick", "Fit Prepare:a |", S::Random, "a"},
             {"tick", "Fit Prepare:a |", S::Random, "a"},
             {"space 1", "Stop", S::Stopped, "="},
             {"space 2", "View RunRandom Prepare:a |", S::Random, "a"},
             {"tick", "Fit Prepare:a |", S::Random, "a"},  // the fifth pick ends the cycle
             {"tick", "Fit Prepare:a |", S::Random, "a"},
             {"start 1", "View RunProgressive | Prepare:c-1 Prepare:c+1", S::Progressive, "="},
             {"start 2", "View RunRandom Prepare:a |", S::Random, "a"},
             {"down", "Stop Drop:c FitWhenDecoded | Prepare:c-1 Prepare:c+1", S::Stopped, "*"},
             {"pick", "Prepare:a", S::Stopped, "a"},
             {"escape", "Stop Close", S::Stopped, "="},
         }},
        {"a rebuilt list",
         5,
         2,
         {
             {"start 2", "View RunRandom Prepare:a |", S::Random, "*"},
             {"rebuild 3", "", S::Random, "-1"},
             {"tick", "Fit Prepare:a |", S::Random, "*"},  // a new cycle: the drawn entry is forgotten
             {"tick", "Fit Prepare:a |", S::Random, "a"},
             {"rebuild 4", "", S::Random, "-1"},
             {"start 1", "View RunProgressive |", S::Progressive, "-1"},
             {"tick", "Fit |", S::Progressive, "-1"},  // nothing current: nothing to step from
             {"closed", "", S::Stopped, "-1"},
         }},
        // Room for the picture on screen and one more: the next one only.
        {"five entries, 3840 x 2160",
         5,
         0,
         {
             {"down", "Stop Drop:1 FitWhenDecoded | Prepare:2", S::Stopped, "1"},
             {"up", "Stop Drop:0 FitWhenDecoded | Prepare:1", S::Stopped, "0"},
             {"start 1", "View RunProgressive | Prepare:1", S::Progressive, "0"},
             {"tick", "Fit | Prepare:2", S::Progressive, "1"},
             {"start 2", "View RunRandom Prepare:a |", S::Random, "*"},
         },
         {3840, 2160}},
    };
    for (const Show& script : shows) {
        ImageList list;
        fill(list, script.entries);
        if (script.current >= 0)
            list.select(script.current);
        list.setRebuiltSinceLastPick(true);
        SlideShow show(RandomOrder(20261208));
        std::set<int> shownInCycle;
        for (const Step& step : script.steps) {
            const std::string where = std::string(script.what) + ", " + step.input;
            const int currentBefore = list.current();
            const int aheadBefore = show.Order().Ahead();
            const std::string actions = drive(show, list, step.input, script.screen);
            std::string expected = step.actions;
            for (auto at = expected.find(":c "); at != std::string::npos; at = expected.find(":c "))
                // Appended: GCC 12 at -O3 warns falsely (-Wrestrict) about ":" + std::to_string(n).
                expected.replace(at, 3, std::string(":").append(std::to_string(list.current())).append(" "));
            EXPECT_EQ(actions, expand(expected, show, list)) << where;
            EXPECT_EQ(show.State(), step.state) << where;
            const std::string current = step.current;
            if (current != "*") {
                const int wanted = current == "a" ? aheadBefore : current == "=" ? currentBefore : std::stoi(current);
                EXPECT_EQ(list.current(), wanted) << where;
            }

            // Whatever the input: the entry drawn ahead is one of the list as
            // the last pick saw it, not shown in this cycle.
            const RandomOrder& order = show.Order();
            const std::set<int> shown(order.ShownHistory().begin() + 1,
                                      order.ShownHistory().begin() + 1 + order.ShownCount());
            if (order.Ahead() >= 0) {
                EXPECT_LT(order.Ahead(), order.Saved().size) << where;
                EXPECT_EQ(shown.count(order.Ahead()), 0u) << where << ": drawn ahead, but shown already";
            }
            EXPECT_EQ(shown.size(), static_cast<std::size_t>(order.ShownCount())) << where << ": shown twice";
        }
    }
}

TEST(SlideShowRules, KeysInEachState)
{
    constexpr int Esc = KeyCodes::Escape, Space = KeyCodes::Space, Up = KeyCodes::Up;
    struct Case {
        ShowState from;
        int key, count, type;
        const char* actions;
        ShowState to;
    } cases[] = {
        {S::Stopped, Esc, 5, 1, "Stop Close", S::Stopped},
        {S::Random, Esc, 5, 1, "Stop Close", S::Stopped},
        {S::Progressive, Up, 5, 1, "Stop Drop:4 FitWhenDecoded", S::Stopped},
        // Space resumes in the type stored at the press, whatever order ran before.
        {S::Stopped, Space, 5, 1, "View RunProgressive", S::Progressive},
        {S::Progressive, Space, 5, 2, "Stop", S::Stopped},
        {S::Random, Space, 2, 1, "Stop", S::Stopped},
        // One entry or none: not even a pause.
        {S::Random, Space, 1, 2, "", S::Random},
        {S::Progressive, Space, 0, 1, "", S::Progressive},
        // Keys no rule names do nothing.
        {S::Progressive, 0, 5, 1, "", S::Progressive},
        {S::Stopped, 13, 5, 1, "", S::Stopped},
    };
    for (const Case& c : cases) {
        ImageList list;
        fill(list, c.count);
        if (c.count > 0)
            list.select(0);
        SlideShow show = showIn(c.from, list);
        if (c.count > 0)
            list.select(0);
        const ShowActions actions = show.Key(c.key, list, c.type);
        EXPECT_EQ(describe(actions), c.actions) << "key " << c.key << " from " << int(c.from);
        EXPECT_EQ(show.State(), c.to) << "key " << c.key << " from " << int(c.from);
    }
}

// The room for pictures comes out of one budget: a larger screen holds fewer,
// the kept memory going first, then the entry before; never fewer than the
// picture on screen and the next.
TEST(SlideShowRules, RoomForPicturesShrinksWithTheScreen)
{
    const struct {
        QSize screen;
        PictureRoom room;
    } cases[] = {
        {{1024, 768}, {3, 2}},  {{1920, 1080}, {3, 2}}, {{2560, 1600}, {3, 1}},
        {{3440, 1440}, {3, 0}}, {{3840, 2160}, {2, 0}}, {{7680, 4320}, {2, 0}},
    };
    for (const auto& c : cases) {
        const PictureRoom room = PictureRoom::For(c.screen);
        EXPECT_EQ(room.held, c.room.held) << c.screen.width() << "x" << c.screen.height();
        EXPECT_EQ(room.kept, c.room.kept) << c.screen.width() << "x" << c.screen.height();
    }
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
        shown.insert(show.Pick(list).position);
    EXPECT_FALSE(list.rebuiltSinceLastPick());
    show.Closed();
    for (int i = 0; i < 7; ++i) {
        const int p = show.Pick(list).position;
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
    EXPECT_EQ(show.Pick(list).position, -1);
    EXPECT_EQ(list.current(), -1);
    EXPECT_EQ(show.Order().ShownCount(), 1);
    EXPECT_EQ(show.Order().ShownHistory(), history);

    list.append("/only.jpg");
    for (int i = 0; i < 3; ++i) {
        const SlideShow::Picked picked = show.Pick(list);
        EXPECT_EQ(picked.position, 0) << "one entry is picked every time";
        EXPECT_EQ(picked.ahead, -1) << "and there is nothing else to prepare";
        EXPECT_EQ(show.Order().ShownCount(), 0) << "and completes a cycle each time";
    }
}

namespace {

// What one input left behind, to hold a restored show against.
struct Trace {
    std::string actions;
    ShowState state;
    int current;
    ShowValue value;
};

Trace trace(const std::string& actions, const SlideShow& show, const ImageList& list)
{
    return {actions, show.State(), list.current(), show.Saved(list)};
}

}  // namespace

// A show saved at any point and built again from its value, on the same list,
// goes on exactly as the original: the same picks, requests and values.
TEST(SlideShowRules, RestoredShowGoesOnAsTheOriginal)
{
    const char* const inputs[] = {"start 1", "start 2", "tick",     "tick",       "tick",      "tick",   "up",
                                  "down",    "space 1", "space 2",  "space 3",    "wheel 120", "wheel -120",
                                  "pick",    "escape",  "closed",   "rebuild 0",  "rebuild 1", "rebuild 6"};
    std::mt19937 random(5);
    for (int run = 0; run < 300; ++run) {
        const int entries = std::uniform_int_distribution<int>(0, 12)(random);
        std::vector<std::string> script(40);
        for (std::string& input : script)
            input = inputs[std::uniform_int_distribution<std::size_t>(0, std::size(inputs) - 1)(random)];

        // The original, with what it left after each input; the lists' sizes
        // and flags, so that the list can be built again as it stood.
        ImageList list;
        fill(list, entries);
        list.setRebuiltSinceLastPick(true);
        SlideShow show(RandomOrder(static_cast<std::uint64_t>(run)));
        std::vector<Trace> traces{trace("", show, list)};
        std::vector<std::pair<int, bool>> lists{{list.count(), list.rebuiltSinceLastPick()}};
        for (const std::string& input : script) {
            const std::string actions = drive(show, list, input);
            traces.push_back(trace(actions, show, list));
            lists.emplace_back(list.count(), list.rebuiltSinceLastPick());
        }

        for (std::size_t at = 0; at < script.size(); ++at) {
            ImageList again;
            fill(again, lists[at].first);
            again.setRebuiltSinceLastPick(lists[at].second);
            SlideShow restored(traces[at].value, again);
            ASSERT_EQ(again.current(), traces[at].current) << "run " << run << ", restored after " << at;
            for (std::size_t i = at; i < script.size(); ++i) {
                const std::string where =
                    "run " + std::to_string(run) + ", restored after " + std::to_string(at) + ", " + script[i];
                const Trace now = trace(drive(restored, again, script[i]), restored, again);
                ASSERT_EQ(now.actions, traces[i + 1].actions) << where;
                ASSERT_EQ(now.state, traces[i + 1].state) << where;
                ASSERT_EQ(now.current, traces[i + 1].current) << where;
                ASSERT_TRUE(now.value == traces[i + 1].value) << where;
            }
        }
    }
}

// The value's size does not grow with the pictures shown: a bitset of the
// list's positions and a few numbers.
TEST(SlideShowRules, ValueOfAMillionEntriesStaysUnderOneMebibyte)
{
    const std::int32_t n = 1000000;
    RandomOrder order(3);
    for (std::int32_t i = 0; i < n / 2; ++i)
        order.Pick(n, false);
    order.DrawAhead(n);
    const RandomOrder::Value value = order.Saved();
    const std::size_t bytes = sizeof(ShowValue) + value.shown.capacity() * sizeof(value.shown[0]);
    EXPECT_LT(bytes, 1u << 20);

    RandomOrder restored(value);
    EXPECT_EQ(restored.ShownCount(), n / 2);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(restored.Pick(n, false), order.Pick(n, false)) << "pick " << i;
}

// The media keys and the remote's calls are inputs of the keys' own rules: a
// show driven by a mix of them ends, action for action, where the same inputs
// as plain keys take it. Next and Previous go nowhere with fewer than two
// entries, Play never pauses, Pause and Stop never start.
TEST(SlideShowRules, RemoteCallsActAsTheKeys)
{
    struct Case {
        int entries;
        int type;           // the stored order
        const char* mixed;  // keys and remote calls
        const char* keys;   // the same as keys alone
    };
    const Case cases[] = {
        {5, 1, "next next previous playpause tick pause tick", "down down up space tick space tick"},
        {5, 2, "play tick play tick stop previous play tick", "space tick tick space up space tick"},
        {5, 2, "down play space next space stop", "down space space down space space"},
        {5, 1, "pause stop up play", "up space"},
        {2, 1, "start next play", "start down space"},
        {1, 1, "start next previous pause stop playpause tick", "start tick"},
        {0, 2, "next play pause", ""},
    };
    const std::pair<const char*, int> codes[] = {
        {"next", KeyCodes::MediaNext},   {"previous", KeyCodes::MediaPrevious}, {"play", KeyCodes::MediaPlay},
        {"pause", KeyCodes::MediaPause}, {"stop", KeyCodes::MediaStop},         {"playpause", KeyCodes::MediaPlayPause},
        {"down", KeyCodes::Down},        {"up", KeyCodes::Up},                  {"space", KeyCodes::Space},
    };
    // Each input's actions, then the show's state and value at the end.
    auto run = [&](const Case& c, const char* script) {
        ImageList list;
        fill(list, c.entries);
        if (c.entries > 0)
            list.select(0);
        list.setRebuiltSinceLastPick(true);
        SlideShow show(RandomOrder(11));
        std::istringstream words(script);
        std::string trail;
        for (std::string word; words >> word;) {
            ShowActions actions;
            if (word == "start")
                actions = show.Start(c.type, list);
            else if (word == "tick")
                actions = show.Tick(list);
            else {
                const auto code = std::find_if(std::begin(codes), std::end(codes),
                                               [&](const auto& named) { return word == named.first; });
                if (code == std::end(codes)) {
                    ADD_FAILURE() << "no input " << word;
                    continue;
                }
                actions = show.Key(code->second, list, c.type);
            }
            // An input that does nothing leaves no trace, as it would among keys.
            if (!actions.empty())
                trail += "[" + describe(actions) + "] ";
        }
        return std::make_tuple(trail, show.State(), show.Saved(list));
    };
    for (const Case& c : cases) {
        const auto [mixedTrail, mixedState, mixedValue] = run(c, c.mixed);
        const auto [keysTrail, keysState, keysValue] = run(c, c.keys);
        EXPECT_EQ(mixedTrail, keysTrail) << c.mixed;
        EXPECT_EQ(mixedState, keysState) << c.mixed;
        EXPECT_TRUE(mixedValue == keysValue) << c.mixed;
    }
}

// Inputs answered together (a burst of remote calls): every one is applied in
// order, and the viewer is asked once for where they ended.
TEST(SlideShowRules, InputsAnsweredTogetherSettleWhereTheyEnded)
{
    struct Case {
        int type;
        const char* inputs;  // key codes' names, as in the table above
        const char* settled;
    };
    const Case cases[] = {
        {1, "next next next", "Drop:3 FitWhenDecoded Stop"},
        {1, "play pause", "View Stop"},
        {1, "play next play", "Drop:3 View RunProgressive"},
        {2, "play play", "View RunRandom Prepare:a"},
        {2, "next play pause next", "Drop:c View Stop Prepare:a"},
        {1, "pause stop", ""},
        {1, "next escape next", "Stop Close"},
    };
    const std::pair<const char*, int> codes[] = {
        {"next", KeyCodes::MediaNext}, {"play", KeyCodes::MediaPlay}, {"pause", KeyCodes::MediaPause},
        {"stop", KeyCodes::MediaStop}, {"escape", KeyCodes::Escape},
    };
    for (const Case& c : cases) {
        ImageList list;
        fill(list, 5);
        list.select(0);
        list.setRebuiltSinceLastPick(true);
        SlideShow show(RandomOrder(3));
        std::vector<ShowActions> answers;
        std::istringstream words(c.inputs);
        for (std::string word; words >> word;)
            for (const auto& [name, code] : codes)
                if (word == name)
                    answers.push_back(show.Key(code, list, [&] { return c.type; }));
        std::string expected = c.settled;
        for (auto at = expected.find(":c "); at != std::string::npos; at = expected.find(":c "))
            expected.replace(at, 3, ":" + std::to_string(list.current()) + " ");
        EXPECT_EQ(describe(show.Settled(answers, list)), expand(expected, show, list)) << c.inputs;
    }
}
