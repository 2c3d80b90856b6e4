#pragma once

#include <QByteArray>
#include <QSize>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "viewer/RandomOrder.h"

class ImageList;

// What the slide show asks the viewer to do, in order. Changes to the list (a
// step, a pick) the show has made itself by the time it answers.
struct ShowAction {
    enum Kind : std::uint8_t {
        StopTimers,         // both step timers off
        RunProgressive,     // the progressive timer on (a running one keeps its count), the other off
        RunRandom,          // the random timer on (a running one keeps its count), the other off
        View,               // show the viewer window and fit the current entry
        Fit,                // fit the current entry
        FitWhenDecoded,     // fit the current entry once its picture is decoded, never waiting for it
        DropUnfinishedBut,  // stop every decode not finished but that of list entry `entry`
        Prepare,            // decode list entry `entry` ahead, once the picture on screen is painted
        Close,              // close the viewer
    };
    // Not explicit: an action without an entry is written as its kind.
    ShowAction(Kind k, std::int32_t e = -1) : kind(k), entry(e) {}
    Kind kind;
    std::int32_t entry;
    bool operator==(const ShowAction&) const = default;
};
using ShowActions = std::vector<ShowAction>;

// How many screen-sized pictures the viewer keeps: those prepared (the one on
// screen among them) and the memory of dropped ones, kept for the next
// decodes. Both come out of one budget, so that a large screen holds fewer.
struct PictureRoom {
    int held = 3;
    int kept = 2;
    static PictureRoom For(QSize screen);
    bool operator==(const PictureRoom&) const = default;
};

enum class ShowState { Stopped, Progressive, Random };
enum class ShowOrder { None, Progressive, Random };

// Where a show stands, as plain data: a show built from it goes on exactly as
// the one that gave it, with the same list. Positions are the list's; listKey
// tells whether a list is still the one they refer to, and currentPath finds
// the current picture in a list that has changed. For a list of 1,000,000
// entries the value takes about 125 KB (the cycle's bitset).
struct ShowValue {
    ShowOrder order = ShowOrder::None;  // the order last started or resumed
    bool running = false;
    std::int32_t current = -1;  // the list's current entry
    std::string currentPath;    // its path, as the file system's bytes
    std::uint64_t listKey = 0;  // a digest of the list's paths, in order
    RandomOrder::Value random;  // shown in this cycle, drawn ahead, the generator
    // What joined or left the list while the show ran (see SlideShow::Add).
    std::vector<std::string> joined = {};       // pictures to show next, first to come first
    std::string resumeAfter = {};               // where the progressive order goes on after them
    std::vector<std::uint64_t> leftShown = {};  // digests of pictures shown in this cycle that left, sorted
    bool operator==(const ShowValue&) const = default;
};

// The slide show: whether it runs and in which order, what each key, wheel
// step, tick and start does, and the random order's memory. It steps and
// picks on the image list itself and answers with what the viewer must do:
// its timers follow the show's state, and what to decode ahead or drop is
// decided here. Nothing here needs a window. The show outlives the viewer
// window, so a random cycle goes on across closing and opening it.
class SlideShow {
public:
    SlideShow() = default;
    explicit SlideShow(RandomOrder order) : random_(std::move(order)) {}
    // Goes on where the value's show stood; value.current becomes the list's
    // current entry when the list has it.
    SlideShow(const ShowValue& value, ImageList& list);
    ShowValue Saved(const ImageList& list) const;

    ShowState State() const;

    // A key press (a KeyCode) with the slide-show type stored at that moment.
    ShowActions Key(int keyCode, ImageList& list, int type);
    // The same, the stored type read only when a rule depends on it (a start).
    ShowActions Key(int keyCode, ImageList& list, const std::function<int()>& storedType);
    // What the viewer must do for several inputs answered one after another
    // (answers in order, every one applied to the show already), done at
    // once: the current entry fitted once, the timers of the show's state
    // now, and the last preparing asked for.
    ShowActions Settled(const std::vector<ShowActions>& answers, const ImageList& list) const;
    // A wheel step; a positive rotation is away from the user.
    ShowActions Wheel(int rotation, ImageList& list);
    // The main window's "Start Slide Show" with the stored type.
    ShowActions Start(int type, ImageList& list);
    // A tick of the running show's timer.
    ShowActions Tick(ImageList& list);
    // The random pick on its own (the viewer's RandomNumber).
    ShowActions RandomPick(ImageList& list);
    // A fit has put the current entry (or the error picture) on a screen of
    // the given size in device pixels; what it asks to prepare fits in the
    // room for pictures of that size.
    ShowActions Fitted(const ImageList& list, QSize screen) const;
    // The viewer closed: no show goes on.
    void Closed() { running_ = false; }

    // The random pick: makes a position of the list current that was not
    // picked in this cycle, and draws the one the next pick will make current
    // (with two entries or more). A list rebuilt since the last pick begins a
    // new cycle and clears that flag. An empty list changes nothing. Positions
    // are -1 for none.
    struct Picked {
        std::int32_t position = -1;
        std::int32_t ahead = -1;
    };
    Picked Pick(ImageList& list);

    const RandomOrder& Order() const { return random_; }

    // Pictures that joined the list while the show runs (a picture frame's
    // folder that changes): each put where a search puts it, and in random
    // order among the pictures not shown in this cycle; one shown in this
    // cycle that left and comes back counts as shown. The current entry
    // stays the same picture. With new pictures first, the show's next ticks
    // show those that joined unshown, in the order given (in arrival order
    // when called batch by batch), each counting as shown in the cycle; a
    // progressive show then goes on after the picture it was at. Answers
    // what to prepare when the next picture is another one now.
    ShowActions Add(std::vector<QByteArray> paths, ImageList& list);
    // Pictures that left: out of the list and of the cycle. A current one
    // stays on screen and nothing is current; the next tick goes on from
    // there (progressive: the picture that followed it). A random show's
    // drawn-ahead picture that left is drawn again. Answers what to stop
    // preparing and what to prepare when the next picture is another one.
    ShowActions Remove(const std::vector<QByteArray>& paths, ImageList& list);
    void SetNewFirst(bool on) { newFirst_ = on; }

private:
    void enter(ShowState state);
    // The entry the next tick shows, -1 for none known.
    std::int32_t nextEntry(const ImageList& list) const;
    // The first joined picture still waiting, taken from the queue; -1 for none.
    std::int32_t takeJoined(ImageList& list);
    bool waiting(std::int32_t entry, const ImageList& list) const;
    // The random order is kept for this list (a progressive show's is not).
    bool followsList(const ImageList& list) const;
    std::vector<std::uint64_t>& leftShown();
    ShowActions nextChanged(const ImageList& list, const QByteArray& nextBefore);
    ShowActions tickJoined(std::int32_t entry, ImageList& list);

    ShowOrder order_ = ShowOrder::None;
    bool running_ = false;
    RandomOrder random_;
    bool newFirst_ = false;
    std::deque<QByteArray> joined_;  // to show next, first to come first
    QByteArray resumeAfter_;         // where a progressive show goes on after them
    std::vector<std::uint64_t> leftShown_;  // digests, sorted: shown in cycle leftShownCycle_, then left
    std::uint64_t leftShownCycle_ = 0;
};
