#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>

#include <ctime>
#include <memory>

#include "settings/UniqueFd.h"
#include "viewer/AwakeHours.h"

class DisplayPower;
class Program;
class QFileSystemWatcher;
class QSocketNotifier;
class QTimer;
class fImage;

// A frame's screen asleep outside its awake hours: the show pauses, the
// screen-saver hold is let go, and the screen is turned off (DisplayPower),
// or only drawn black where the display has no power control, which is said
// once on standard error. A key or a tap while asleep wakes it for five
// minutes. The hours follow the wall clock: they are looked at again at each
// change they foresee, at every whole minute, and at once whenever the clock
// is set (a board without a real-time clock that boots in 1970 and then gets
// the time from the network; an administrator), so never a timer set hours
// ahead. Going, it switches the screen back on.
class ScreenSleep : public QObject {
public:
    ScreenSleep(Program& program, AwakeHours hours);
    ~ScreenSleep() override;

    // The viewer follows the hours from now on.
    void Follow(fImage& viewer);

private:
    void check();
    void arm(std::time_t at);
    void fallAsleep(bool asleep);
    std::time_t now();
    void readClockOffset();

    Program& program_;
    AwakeHours hours_;
    QPointer<fImage> viewer_;
    std::unique_ptr<DisplayPower> power_;
    bool asleep_ = false;
    bool saidBlack_ = false;
    std::time_t wokenUntil_ = 0;  // a key or tap keeps it awake until then

    // A realtime timer that also ends when the clock is set.
    UniqueFd timer_;
    QSocketNotifier* timerNotifier_ = nullptr;
    QTimer* everyMinute_ = nullptr;  // only where no such timer can be had

    // Test builds only: a file whose number of seconds is added to the clock,
    // read at every look; writing it counts as setting the clock.
    QByteArray clockFile_;
    std::time_t clockOffset_ = 0;
    QFileSystemWatcher* clockWatcher_ = nullptr;
};
