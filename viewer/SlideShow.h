#pragma once

#include <vector>

#include "viewer/RandomOrder.h"

class ImageList;

// What the slide show asks the viewer to do, in order.
enum class ShowAction {
    StopTimers,      // both step timers off
    StepUp,          // the previous entry becomes current, wrapping
    StepDown,        // the next entry becomes current, wrapping
    Pick,            // a random pick becomes current (Pick below)
    View,            // show the viewer window and fit the current entry
    Fit,             // fit the current entry
    FitWhenDecoded,  // fit the current entry once its picture is decoded, never waiting for it
    RunProgressive,  // the progressive timer on (a running one keeps its count), the other off
    RunRandom,       // the random timer on (a running one keeps its count), the other off
    Close,           // close the viewer
};
using ShowActions = std::vector<ShowAction>;

enum class ShowState { Stopped, Progressive, Random };

// The slide show's rules: which state the show is in, and what each key,
// wheel step, tick and start does in that state. Inputs in, actions out; the
// viewer maps the actions to its timers and its drawing. The random order's
// memory lives here too, and outlives the viewer window, so a cycle goes on
// across closing and opening it.
class SlideShow {
public:
    SlideShow() = default;
    explicit SlideShow(RandomOrder order) : order_(std::move(order)) {}

    ShowState State() const { return state_; }

    // A key press (a KeyCode), with the list's entry count and the slide-show
    // type as stored at that moment.
    ShowActions Key(int keyCode, int listCount, int type);
    // A wheel step; a positive rotation is away from the user.
    ShowActions Wheel(int rotation);
    // The main window's "Start Slide Show" with the stored type.
    ShowActions Start(int type);
    // One tick of the progressive (Progressive) or the random (Random) timer.
    static ShowActions Tick(ShowState timer);
    // The viewer closed: no show goes on.
    void Closed() { state_ = ShowState::Stopped; }

    // The random pick: makes a position of the list current that was not
    // picked in this cycle. A list rebuilt since the last pick begins a new
    // cycle and clears that flag. An empty list changes nothing. Returns the
    // position, -1 for none.
    int Pick(ImageList& list);

    RandomOrder& Order() { return order_; }
    const RandomOrder& Order() const { return order_; }

private:
    ShowState state_ = ShowState::Stopped;
    RandomOrder order_;
};
