#include "viewer/SlideShow.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "app/ImageList.h"
#include "app/KeyCodes.h"
#include "settings/AppSettings.h"
#include "viewer/ShowStateFile.h"

namespace {

using enum ShowAction::Kind;

// The inputs the rules tell apart, as bits, so that a rule names every input
// it serves. The media keys and the remote's calls are inputs of their own:
// Next and Previous go nowhere on a list of fewer than two entries, Play
// never pauses and Pause never starts.
enum Input : unsigned {
    Escape = 1u << 0,
    Space = 1u << 1,  // also play/pause
    Up = 1u << 2,
    Down = 1u << 3,
    Next = 1u << 4,
    Previous = 1u << 5,
    Play = 1u << 6,
    Pause = 1u << 7,  // also stop: a picture stays on screen
};

enum class When {
    Always,
    OneEntryAtMost,  // a list of fewer than two entries
    Running,         // a show runs
    TypeProgressive,
    TypeRandom,
};

// What a rule does, in order. The list's changes are the show's own; the
// rest become actions for the viewer.
enum class Do {
    Timers,    // the timers follow the show's state
    StepUp,    // the previous entry becomes current, wrapping
    StepDown,  // the next entry becomes current, wrapping
    Pick,      // a random pick becomes current; its drawn-ahead entry is prepared last
    View,
    StepFit,  // drop the decodes of other pictures, fit the current one once decoded
    Close,
};

struct Rule {
    unsigned inputs;  // Input bits
    When when;
    std::optional<ShowState> next;  // none: the state stays
    std::vector<Do> steps;
};

// First match wins. A stopped show with another type, or a key not listed,
// does nothing. Stopping comes before everything else; starting comes after
// the view, so the first step comes one delay after the first picture.
const Rule kRules[] = {
    {Escape, When::Always, ShowState::Stopped, {Do::Timers, Do::Close}},
    {Next | Previous, When::OneEntryAtMost, std::nullopt, {}},
    {Up | Previous, When::Always, ShowState::Stopped, {Do::Timers, Do::StepUp, Do::StepFit}},
    {Down | Next, When::Always, ShowState::Stopped, {Do::Timers, Do::StepDown, Do::StepFit}},
    {Space | Play | Pause, When::OneEntryAtMost, std::nullopt, {}},
    {Play, When::Running, std::nullopt, {}},
    {Space | Pause, When::Running, ShowState::Stopped, {Do::Timers}},
    {Space | Play, When::TypeProgressive, ShowState::Progressive, {Do::StepDown, Do::View, Do::Timers}},
    {Space | Play, When::TypeRandom, ShowState::Random, {Do::Pick, Do::View, Do::Timers}},
};

std::optional<Input> inputOfKey(int keyCode)
{
    switch (keyCode) {
    case KeyCodes::Escape: return Escape;
    case KeyCodes::Space:
    case KeyCodes::MediaPlayPause: return Space;
    case KeyCodes::Up: return Up;
    case KeyCodes::Down: return Down;
    case KeyCodes::MediaNext: return Next;
    case KeyCodes::MediaPrevious: return Previous;
    case KeyCodes::MediaPlay: return Play;
    case KeyCodes::MediaPause:
    case KeyCodes::MediaStop: return Pause;
    default: return std::nullopt;
    }
}

bool applies(When when, ShowState state, int listCount, const std::function<int()>& type)
{
    switch (when) {
    case When::Always: return true;
    case When::OneEntryAtMost: return listCount <= 1;
    case When::Running: return state != ShowState::Stopped;
    case When::TypeProgressive: return type() == AppSettings::kProgressive;
    case When::TypeRandom: return type() == AppSettings::kIntelligentRandom;
    }
    return false;
}

// The drawn-ahead entry is prepared after everything else: once the picked
// one is on screen.
ShowActions withAhead(ShowActions actions, const SlideShow::Picked& picked)
{
    if (picked.ahead >= 0)
        actions.push_back({Prepare, picked.ahead});
    return actions;
}

ShowAction timersFor(ShowState state)
{
    switch (state) {
    case ShowState::Progressive: return RunProgressive;
    case ShowState::Random: return RunRandom;
    case ShowState::Stopped: break;
    }
    return StopTimers;
}

std::int32_t wrapped(std::int32_t i, std::int32_t n) { return (i % n + n) % n; }

// FNV-1a over the paths, each ended by a zero byte (no path holds one).
std::uint64_t listKeyOf(const ImageList& list)
{
    std::uint64_t key = 0xCBF29CE484222325u;
    auto add = [&key](unsigned char byte) { key = (key ^ byte) * 0x100000001B3u; };
    for (int i = 0; i < list.count(); ++i) {
        for (const char c : list.path(i))
            add(static_cast<unsigned char>(c));
        add(0);
    }
    return key;
}

}  // namespace

// On a 3840 x 2160 screen a picture takes 32 MiB; holding the usual three and
// keeping two more would outgrow what other viewers take there. Beyond the
// budget, what goes first is the memory kept, then the entry before.
PictureRoom PictureRoom::For(QSize screen)
{
    constexpr std::int64_t kBudget = std::int64_t(64) << 20;
    constexpr PictureRoom kMost{3, 2};
    const std::int64_t bytes = std::int64_t(std::max(screen.width(), 1)) * std::max(screen.height(), 1) * 4;
    // The picture on screen and the next one always.
    const int fit = static_cast<int>(std::clamp<std::int64_t>(kBudget / bytes, 2, kMost.held + kMost.kept));
    const int held = std::min(fit, kMost.held);
    return {held, fit - held};
}

SlideShow::SlideShow(const ShowValue& value, ImageList& list)
    : order_(value.order), running_(value.running && value.order != ShowOrder::None), random_(value.random),
      resumeAfter_(QByteArray::fromStdString(value.resumeAfter)), leftShown_(value.leftShown),
      leftShownCycle_(random_.CyclesBegun())
{
    if (value.current >= -1 && value.current < list.count())
        list.select(value.current);
    for (const std::string& path : value.joined)
        joined_.push_back(QByteArray::fromStdString(path));
}

ShowValue SlideShow::Saved(const ImageList& list) const
{
    ShowValue value{order_, running_, list.current(), list.currentPath().toStdString(), listKeyOf(list),
                    random_.Saved()};
    for (const QByteArray& path : joined_)
        value.joined.push_back(path.toStdString());
    value.resumeAfter = resumeAfter_.toStdString();
    if (leftShownCycle_ == random_.CyclesBegun())
        value.leftShown = leftShown_;
    return value;
}

// A stopped show keeps the order it ran in.
void SlideShow::enter(ShowState state)
{
    running_ = state != ShowState::Stopped;
    if (state == ShowState::Progressive)
        order_ = ShowOrder::Progressive;
    else if (state == ShowState::Random)
        order_ = ShowOrder::Random;
}

ShowState SlideShow::State() const
{
    if (!running_)
        return ShowState::Stopped;
    return order_ == ShowOrder::Random ? ShowState::Random : ShowState::Progressive;
}

ShowActions SlideShow::Key(int keyCode, ImageList& list, int type)
{
    return Key(keyCode, list, [type] { return type; });
}

ShowActions SlideShow::Key(int keyCode, ImageList& list, const std::function<int()>& storedType)
{
    const std::optional<Input> input = inputOfKey(keyCode);
    if (!input)
        return {};
    // Read once at most, and only by the rule that needs it.
    std::optional<int> type;
    auto typeOnce = [&] {
        if (!type)
            type = storedType();
        return *type;
    };
    for (const Rule& rule : kRules) {
        if ((rule.inputs & *input) == 0 || !applies(rule.when, State(), list.count(), typeOnce))
            continue;
        if (rule.next)
            enter(*rule.next);
        ShowActions actions;
        std::int32_t ahead = -1;
        for (const Do step : rule.steps) {
            switch (step) {
            case Do::Timers: actions.push_back(timersFor(State())); break;
            case Do::StepUp:
            case Do::StepDown:
                // A step by hand: a progressive show goes on from there.
                resumeAfter_.clear();
                step == Do::StepUp ? list.moveUp() : list.moveDown();
                break;
            case Do::Pick: ahead = Pick(list).ahead; break;
            case Do::View: actions.push_back(View); break;
            case Do::StepFit:
                if (list.current() >= 0)
                    actions.push_back({DropUnfinishedBut, list.current()});
                actions.push_back(FitWhenDecoded);
                break;
            case Do::Close: actions.push_back(Close); break;
            }
        }
        return withAhead(std::move(actions), {-1, ahead});
    }
    return {};
}

// Only the direction counts: the hook hands on whole notches.
ShowActions SlideShow::Wheel(int rotation, ImageList& list)
{
    if (rotation == 0)
        return {};
    // The wheel's rules are the arrow keys'.
    return Key(rotation > 0 ? KeyCodes::Up : KeyCodes::Down, list, 0);
}

ShowActions SlideShow::Start(int type, ImageList& list)
{
    if (type == AppSettings::kProgressive) {
        enter(ShowState::Progressive);
        return {View, RunProgressive};
    }
    if (type == AppSettings::kIntelligentRandom) {
        enter(ShowState::Random);
        return withAhead({View, RunRandom}, Pick(list));
    }
    return {};
}

ShowActions SlideShow::Tick(ImageList& list)
{
    if (State() != ShowState::Stopped)
        if (const std::int32_t joined = takeJoined(list); joined >= 0)
            return tickJoined(joined, list);
    switch (State()) {
    case ShowState::Progressive:
        if (!resumeAfter_.isEmpty()) {
            // The pictures that joined have been shown: on after the one it was at.
            if (const std::int32_t next = list.after(resumeAfter_); next >= 0) {
                resumeAfter_.clear();
                list.select(next);
            }
        } else {
            list.moveDown();
        }
        return {Fit};
    case ShowState::Random: return withAhead({Fit}, Pick(list));
    case ShowState::Stopped: break;
    }
    return {};
}

// Every step of the answers has been taken on the list; what is left for the
// viewer is to show where they ended. Closing ends everything.
ShowActions SlideShow::Settled(const std::vector<ShowActions>& answers, const ImageList& list) const
{
    bool view = false, drop = false, timers = false;
    std::optional<ShowAction::Kind> fit;
    const ShowActions* prepares = nullptr;
    for (const ShowActions& answer : answers) {
        bool prepared = false;
        for (const ShowAction& action : answer) {
            switch (action.kind) {
            case Close: return {StopTimers, Close};
            case View: view = true; break;
            case Fit:
            case FitWhenDecoded: fit = action.kind; break;
            case DropUnfinishedBut: drop = true; break;
            case StopTimers:
            case RunProgressive:
            case RunRandom: timers = true; break;
            case Prepare: prepared = true; break;
            }
        }
        if (prepared)
            prepares = &answer;
    }
    ShowActions settled;
    if (drop && list.current() >= 0)
        settled.push_back({DropUnfinishedBut, list.current()});
    if (view)
        settled.push_back(View);
    else if (fit)
        settled.push_back(*fit);
    if (timers)
        settled.push_back(timersFor(State()));
    if (prepares)
        for (const ShowAction& action : *prepares)
            if (action.kind == Prepare)
                settled.push_back(action);
    return settled;
}

ShowActions SlideShow::RandomPick(ImageList& list) { return withAhead({}, Pick(list)); }

// A running random show has prepared the entry drawn for its next tick; the
// list neighbours would only stand in that picture's way in the decode queue.
ShowActions SlideShow::Fitted(const ImageList& list, QSize screen) const
{
    const std::int32_t count = list.count();
    const std::int32_t current = list.current();
    if (State() == ShowState::Random || count < 2 || current < 0)
        return {};
    // The way Up and Down go; the next entry last, so that it is decoded
    // first. With room for one beside the picture on screen, the next only:
    // the way a show and Down go. A progressive show's next may be a
    // picture that joined.
    const std::int32_t before = wrapped(current - 1, count);
    const std::int32_t next = State() == ShowState::Progressive ? nextEntry(list) : -1;
    const std::int32_t after = next >= 0 ? next : wrapped(current + 1, count);
    if (before == after || PictureRoom::For(screen).held < 3)
        return {{Prepare, after}};
    return {{Prepare, before}, {Prepare, after}};
}

SlideShow::Picked SlideShow::Pick(ImageList& list)
{
    const std::int32_t n = list.count();
    if (n <= 0)
        return {};
    const bool newCycle = list.rebuiltSinceLastPick();
    if (newCycle)
        list.setRebuiltSinceLastPick(false);
    Picked picked;
    picked.position = random_.Pick(n, newCycle);
    list.select(picked.position);
    // With one entry the next pick is this one again: nothing to prepare.
    if (n >= 2)
        picked.ahead = random_.DrawAhead(n);
    return picked;
}

bool SlideShow::followsList(const ImageList& list) const { return random_.Size() == list.count(); }

// Shown in this cycle and then gone; forgotten once a new cycle begins.
std::vector<std::uint64_t>& SlideShow::leftShown()
{
    if (leftShownCycle_ != random_.CyclesBegun()) {
        leftShown_.clear();
        leftShownCycle_ = random_.CyclesBegun();
    }
    return leftShown_;
}

// A joined picture still to be shown: in the list, not on screen, and in
// random order not shown in this cycle meanwhile (a pick or a key may have
// got there first).
bool SlideShow::waiting(std::int32_t entry, const ImageList& list) const
{
    return entry >= 0 && entry != list.current() && !(order_ == ShowOrder::Random && random_.Picked(entry));
}

std::int32_t SlideShow::nextEntry(const ImageList& list) const
{
    if (State() == ShowState::Stopped)
        return -1;
    for (const QByteArray& path : joined_)
        if (const std::int32_t entry = list.find(path); waiting(entry, list))
            return entry;
    if (State() == ShowState::Progressive)
        return resumeAfter_.isEmpty() ? list.below() : list.after(resumeAfter_);
    return random_.Ahead();
}

std::int32_t SlideShow::takeJoined(ImageList& list)
{
    while (!joined_.empty()) {
        const std::int32_t entry = list.find(joined_.front());
        joined_.pop_front();
        if (waiting(entry, list))
            return entry;
    }
    return -1;
}

// A picture that joined is shown out of turn and counts as shown in the
// cycle; a progressive show remembers where it was for when they are done.
ShowActions SlideShow::tickJoined(std::int32_t entry, ImageList& list)
{
    if (State() == ShowState::Progressive && resumeAfter_.isEmpty())
        resumeAfter_ = list.place();
    if (State() == ShowState::Random && followsList(list))
        random_.MarkPicked(entry);
    list.select(entry);
    if (State() == ShowState::Progressive)
        return {Fit};
    if (random_.Ahead() < 0 && list.count() >= 2 && followsList(list))
        random_.DrawAhead(list.count());
    const std::int32_t next = nextEntry(list);
    return withAhead({Fit}, {entry, next});
}

ShowActions SlideShow::Add(std::vector<QByteArray> paths, ImageList& list)
{
    const QByteArray nextBefore = [&] {
        const std::int32_t next = nextEntry(list);
        return next >= 0 ? list.path(next) : QByteArray();
    }();
    const bool follows = followsList(list);
    const std::vector<std::int32_t> at = list.insert(std::move(paths));
    std::vector<std::int32_t> rising;
    for (const std::int32_t entry : at)
        if (entry >= 0)
            rising.push_back(entry);
    if (rising.empty())
        return {};
    std::sort(rising.begin(), rising.end());
    if (follows)
        random_.Inserted(rising, list.count());
    for (const std::int32_t entry : at) {
        if (entry < 0)
            continue;
        const QByteArray& path = list.path(entry);
        std::vector<std::uint64_t>& left = leftShown();
        const auto back = std::lower_bound(left.begin(), left.end(), PathHash(path));
        if (follows && back != left.end() && *back == PathHash(path)) {
            left.erase(back);
            random_.MarkPicked(entry);  // came back: no second showing in this cycle
        } else if (newFirst_) {
            joined_.push_back(path);
        }
    }
    return nextChanged(list, nextBefore);
}

ShowActions SlideShow::Remove(const std::vector<QByteArray>& paths, ImageList& list)
{
    const std::int32_t nextEntryBefore = nextEntry(list);
    const QByteArray nextBefore = nextEntryBefore >= 0 ? list.path(nextEntryBefore) : QByteArray();
    const bool follows = followsList(list);
    const std::vector<std::int32_t> gone = list.indexesOf(paths);
    if (gone.empty())
        return {};
    if (follows) {
        std::vector<std::uint64_t>& left = leftShown();
        for (const std::int32_t entry : gone)
            if (random_.Picked(entry))
                left.push_back(PathHash(list.path(entry)));
        std::sort(left.begin(), left.end());
    }
    list.removeAt(gone);
    // A new picture that went before it was shown is no longer waiting.
    std::erase_if(joined_, [&list](const QByteArray& path) { return list.find(path) < 0; });
    if (follows)
        random_.Removed(gone, list.count());
    return nextChanged(list, nextBefore);
}

// After a change of the list: a random show draws anew when its drawn-ahead
// picture left; the viewer prepares the next picture when it is another one,
// and stops decoding the one that left.
ShowActions SlideShow::nextChanged(const ImageList& list, const QByteArray& nextBefore)
{
    if (State() == ShowState::Stopped)
        return {};
    if (State() == ShowState::Random && random_.Ahead() < 0 && list.count() >= 2 && followsList(list))
        random_.DrawAhead(list.count());
    const std::int32_t next = nextEntry(list);
    if (next < 0 || list.path(next) == nextBefore)
        return {};
    ShowActions actions;
    if (!nextBefore.isEmpty() && list.find(nextBefore) < 0)
        actions.push_back({DropUnfinishedBut, next});
    actions.push_back({Prepare, next});
    return actions;
}
