#pragma once

#include <QPointer>

class fImage;
class QObject;

// Wheel steps reach the viewer through an event filter on its window. One
// window is hooked at a time. Every wheel event is handed to the viewer's
// MouseWheel once and then goes on to the window's own handling.
class WheelHook {
public:
    WheelHook() = default;
    ~WheelHook() { Unhook(); }
    WheelHook(const WheelHook&) = delete;
    WheelHook& operator=(const WheelHook&) = delete;

    void Hook(fImage* window);
    void Unhook();

private:
    QPointer<fImage> window_;
    QPointer<QObject> filter_;
};

// Turns the wheel deltas of a series of events into steps of one notch (120).
// One event of a notch or more is one step; the small deltas a touchpad sends
// add up until they make a notch. A change of direction starts afresh.
class WheelNotches {
public:
    // The delta to hand on for this event: +-120 or more for a step, 0 for none.
    int step(int delta);

private:
    int pending_ = 0;
};
