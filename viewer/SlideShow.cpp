#include "viewer/SlideShow.h"

#include <optional>

#include "app/ImageList.h"
#include "app/KeyCodes.h"
#include "settings/AppSettings.h"

namespace {

using enum ShowAction;

enum class Input { Escape, Space, Up, Down, WheelAway, WheelToward };

enum class When {
    Always,
    OneEntryAtMost,  // a list of fewer than two entries
    Running,         // either timer on
    TypeProgressive,
    TypeRandom,
};

struct Rule {
    Input input;
    When when;
    ShowActions actions;
    std::optional<ShowState> next;  // none: the state stays
};

// First match wins. A stopped show with another type, or a key not listed,
// does nothing.
const Rule kRules[] = {
    {Input::Escape, When::Always, {StopTimers, Close}, ShowState::Stopped},
    // A step by key or wheel never waits for a decode: a held key steps
    // faster than photos decode.
    {Input::Up, When::Always, {StopTimers, StepUp, FitWhenDecoded}, ShowState::Stopped},
    {Input::WheelAway, When::Always, {StopTimers, StepUp, FitWhenDecoded}, ShowState::Stopped},
    {Input::Down, When::Always, {StopTimers, StepDown, FitWhenDecoded}, ShowState::Stopped},
    {Input::WheelToward, When::Always, {StopTimers, StepDown, FitWhenDecoded}, ShowState::Stopped},
    {Input::Space, When::OneEntryAtMost, {}, std::nullopt},
    {Input::Space, When::Running, {StopTimers}, ShowState::Stopped},
    {Input::Space, When::TypeProgressive, {StepDown, View, RunProgressive}, ShowState::Progressive},
    {Input::Space, When::TypeRandom, {Pick, View, RunRandom}, ShowState::Random},
};

std::optional<Input> inputOfKey(int keyCode)
{
    switch (keyCode) {
    case KeyCodes::Escape: return Input::Escape;
    case KeyCodes::Space: return Input::Space;
    case KeyCodes::Up: return Input::Up;
    case KeyCodes::Down: return Input::Down;
    default: return std::nullopt;
    }
}

ShowActions follow(ShowState& state, Input input, int listCount, int type)
{
    for (const Rule& rule : kRules) {
        if (rule.input != input)
            continue;
        const bool applies = rule.when == When::Always
                             || (rule.when == When::OneEntryAtMost && listCount <= 1)
                             || (rule.when == When::Running && state != ShowState::Stopped)
                             || (rule.when == When::TypeProgressive && type == AppSettings::kProgressive)
                             || (rule.when == When::TypeRandom && type == AppSettings::kIntelligentRandom);
        if (!applies)
            continue;
        if (rule.next)
            state = *rule.next;
        return rule.actions;
    }
    return {};
}

}  // namespace

ShowActions SlideShow::Key(int keyCode, int listCount, int type)
{
    const std::optional<Input> input = inputOfKey(keyCode);
    return input ? follow(state_, *input, listCount, type) : ShowActions{};
}

// Only the direction counts: the hook hands on whole notches.
ShowActions SlideShow::Wheel(int rotation)
{
    if (rotation == 0)
        return {};
    return follow(state_, rotation > 0 ? Input::WheelAway : Input::WheelToward, 0, 0);
}

ShowActions SlideShow::Start(int type)
{
    if (type == AppSettings::kProgressive) {
        state_ = ShowState::Progressive;
        return {View, RunProgressive};
    }
    if (type == AppSettings::kIntelligentRandom) {
        state_ = ShowState::Random;
        return {ShowAction::Pick, View, RunRandom};
    }
    return {};
}

ShowActions SlideShow::Tick(ShowState timer)
{
    switch (timer) {
    case ShowState::Progressive: return {StepDown, Fit};
    case ShowState::Random: return {ShowAction::Pick, Fit};
    case ShowState::Stopped: break;
    }
    return {};
}

int SlideShow::Pick(ImageList& list)
{
    const int n = list.count();
    if (n <= 0)
        return -1;
    const bool newCycle = list.rebuiltSinceLastPick();
    if (newCycle)
        list.setRebuiltSinceLastPick(false);
    const int position = order_.Pick(n, newCycle);
    list.select(position);
    return position;
}
