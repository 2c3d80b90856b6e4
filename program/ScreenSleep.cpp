#include "program/ScreenSleep.h"

#include <errno.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <QFile>
#include <QFileSystemWatcher>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "program/Program.h"
#include "viewer/DisplayPower.h"

namespace {

// A key or a tap in the night lights the screen this long.
constexpr std::time_t kWokenFor = 5 * 60;

}  // namespace

ScreenSleep::ScreenSleep(Program& program, AwakeHours hours) : program_(program), hours_(std::move(hours))
{
    // CANCEL_ON_SET: a read fails with ECANCELED as soon as the clock is set,
    // whichever way and however far.
    timer_.reset(timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC));
    if (timer_) {
        timerNotifier_ = new QSocketNotifier(timer_.get(), QSocketNotifier::Read, this);
        connect(timerNotifier_, &QSocketNotifier::activated, this, [this] {
            std::uint64_t expired = 0;
            if (::read(timer_.get(), &expired, sizeof expired) < 0 && errno == EAGAIN)
                return;
            check();  // the time came, or the clock was set (ECANCELED)
        });
    } else {
        std::fprintf(stderr, "marbleglen: cannot set a timer for the awake hours (%s): they are looked at every minute\n",
                     std::strerror(errno));
        everyMinute_ = new QTimer(this);
        everyMinute_->setInterval(60 * 1000);
        connect(everyMinute_, &QTimer::timeout, this, &ScreenSleep::check);
        everyMinute_->start();
    }
#ifdef MARBLEGLEN_TEST_HOOKS
    clockFile_ = qgetenv("MARBLEGLEN_TEST_CLOCK");
    if (!clockFile_.isEmpty()) {
        clockWatcher_ = new QFileSystemWatcher(this);
        clockWatcher_->addPath(QFile::decodeName(clockFile_));
        connect(clockWatcher_, &QFileSystemWatcher::fileChanged, this, [this](const QString& path) {
            // Replaced by a rename, a file is no longer watched.
            if (!clockWatcher_->files().contains(path))
                clockWatcher_->addPath(path);
            check();
        });
    }
#endif
}

ScreenSleep::~ScreenSleep()
{
    // Whatever ends the show (Escape, a signal), the screen is left on.
    if (power_)
        power_->On();
}

void ScreenSleep::Follow(fImage& viewer)
{
    viewer_ = &viewer;
    connect(&viewer, &fImage::WakeRequested, this, [this] {
        wokenUntil_ = now() + kWokenFor;
        check();
    });
    check();
}

std::time_t ScreenSleep::now()
{
    readClockOffset();
    // Not time(): it reads a coarse clock that can lag the timer's by a tick,
    // which would wake us just before the change we were woken for.
    timespec clock{};
    clock_gettime(CLOCK_REALTIME, &clock);
    return clock.tv_sec + clockOffset_;
}

// A file half written keeps the last offset read.
void ScreenSleep::readClockOffset()
{
    if (clockFile_.isEmpty())
        return;
    QFile file(QFile::decodeName(clockFile_));
    if (!file.open(QIODevice::ReadOnly))
        return;
    bool number = false;
    const qlonglong offset = file.readAll().trimmed().toLongLong(&number);
    if (number)
        clockOffset_ = static_cast<std::time_t>(offset);
}

void ScreenSleep::check()
{
    if (!viewer_)
        return;
    tzset();  // the zone may have been changed since
    const std::time_t t = now();
    const AwakeHours::Answer answer = hours_.At(t);
    fallAsleep(!answer.awake && t >= wokenUntil_);
    // Looked at again on the next whole minute at the latest.
    std::time_t next = (t / 60 + 1) * 60;
    if (answer.nextChange)
        next = std::min(next, *answer.nextChange);
    if (t < wokenUntil_)
        next = std::min(next, wokenUntil_);
    arm(std::max(next, t + 1));
}

void ScreenSleep::arm(std::time_t at)
{
    if (!timer_)
        return;
    itimerspec when{};
    // On the system's clock: the test clock's offset taken off again.
    when.it_value.tv_sec = std::max<std::time_t>(at - clockOffset_, 1);
    if (timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &when, nullptr) != 0)
        std::fprintf(stderr, "marbleglen: cannot set the timer for the awake hours: %s\n", std::strerror(errno));
}

void ScreenSleep::fallAsleep(bool asleep)
{
    if (asleep == asleep_ || !viewer_)
        return;
    asleep_ = asleep;
    if (asleep) {
        viewer_->SetAsleep(true);
        program_.ScreenSaver().SetActive(true);
        if (!power_)
            power_ = std::make_unique<DisplayPower>(viewer_);
        if (!power_->Off() && !saidBlack_) {
            saidBlack_ = true;
            std::fputs("marbleglen: this display offers no power control (no DPMS, no output power protocol): "
                       "outside the awake hours the screen is only black, and the desktop's own blanking may "
                       "turn it off\n",
                       stderr);
        }
        return;
    }
    power_->On();
    program_.ScreenSaver().SetActive(false, viewer_);
    viewer_->SetAsleep(false);
}
