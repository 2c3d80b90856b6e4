#pragma once

// The screen of the X server a benchmark runs under, watched as a user sees
// it: changes reported by the DAMAGE extension on the root window, parts of
// the screen read back, keys pressed and the pointer moved through XTEST.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xdamage.h>

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <string>

namespace screen_watch {
using Clock = std::chrono::steady_clock;

inline double msBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}
}  // namespace screen_watch

class ScreenWatch {
public:
    // With `background` (0xRRGGBB) the root is painted in it first.
    explicit ScreenWatch(long background = -1) : background_(background)
    {
        display_ = XOpenDisplay(nullptr);
        if (!display_)
            return;
        root_ = DefaultRootWindow(display_);
        width_ = DisplayWidth(display_, DefaultScreen(display_));
        height_ = DisplayHeight(display_, DefaultScreen(display_));
        int major = 0, minor = 0, error = 0;
        if (!XTestQueryExtension(display_, &major, &error, &major, &minor) ||
            !XDamageQueryExtension(display_, &damageEvent_, &error)) {
            XCloseDisplay(display_);
            display_ = nullptr;
            return;
        }
        if (background >= 0) {
            XSetWindowBackground(display_, root_, static_cast<unsigned long>(background));
            XClearWindow(display_, root_);
        }
        damage_ = XDamageCreate(display_, root_, XDamageReportNonEmpty);
        XSync(display_, False);
    }
    ~ScreenWatch()
    {
        if (display_)
            XCloseDisplay(display_);
    }
    bool ok() const { return display_ != nullptr; }
    int width() const { return width_; }
    int height() const { return height_; }

    // A middle row and column, and a row at a third: where any picture
    // centred on the screen shows.
    std::string sample()
    {
        std::string bytes;
        const int areas[][4] = {{0, height_ / 2, width_, 1}, {0, height_ / 3, width_, 1}, {width_ / 2, 0, 1, height_}};
        for (const auto& a : areas) {
            XImage* image = XGetImage(display_, root_, a[0], a[1], static_cast<unsigned>(a[2]),
                                      static_cast<unsigned>(a[3]), AllPlanes, ZPixmap);
            if (!image)
                continue;
            bytes.append(image->data, static_cast<std::size_t>(image->bytes_per_line) * static_cast<std::size_t>(a[3]));
            XDestroyImage(image);
        }
        return bytes;
    }

    // The share of the middle row and of the middle column that is neither
    // black nor the background, and the share that is black: of each, the
    // smaller of the row's and the column's.
    struct Cover {
        double picture = 0, black = 0;
    };
    Cover cover()
    {
        Cover c{1, 1};
        const int areas[][4] = {{0, height_ / 2, width_, 1}, {width_ / 2, 0, 1, height_}};
        for (const auto& a : areas) {
            XImage* image = XGetImage(display_, root_, a[0], a[1], static_cast<unsigned>(a[2]),
                                      static_cast<unsigned>(a[3]), AllPlanes, ZPixmap);
            if (!image)
                return {};
            int picture = 0, black = 0;
            for (int y = 0; y < a[3]; ++y)
                for (int x = 0; x < a[2]; ++x) {
                    const long p = static_cast<long>(XGetPixel(image, x, y) & 0xffffff);
                    black += p == 0;
                    picture += p != 0 && p != background_;
                }
            XDestroyImage(image);
            const double n = a[2] * a[3];
            c.picture = std::min(c.picture, picture / n);
            c.black = std::min(c.black, black / n);
        }
        return c;
    }

    // Forgets the changes reported so far.
    void clearDamage()
    {
        XDamageSubtract(display_, damage_, None, None);
        XSync(display_, False);
        while (XPending(display_)) {
            XEvent e;
            XNextEvent(display_, &e);
        }
    }

    // Waits up to `ms` for a change to be reported; true when one was.
    bool waitDamage(int ms)
    {
        using namespace screen_watch;
        const Clock::time_point until = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            while (XPending(display_)) {
                XEvent e;
                XNextEvent(display_, &e);
                if (e.type == damageEvent_ + XDamageNotify) {
                    XDamageSubtract(display_, damage_, None, None);
                    return true;
                }
            }
            const double left = msBetween(Clock::now(), until);
            if (left <= 0)
                return false;
            pollfd fd{ConnectionNumber(display_), POLLIN, 0};
            poll(&fd, 1, static_cast<int>(left) + 1);
        }
    }

    void press(KeySym key)
    {
        const KeyCode code = XKeysymToKeycode(display_, key);
        XTestFakeKeyEvent(display_, code, True, CurrentTime);
        XTestFakeKeyEvent(display_, code, False, CurrentTime);
        XFlush(display_);
    }

    void parkPointer()
    {
        XTestFakeMotionEvent(display_, -1, width_ - 1, height_ - 1, CurrentTime);
        XFlush(display_);
    }

private:
    Display* display_ = nullptr;
    Window root_ = 0;
    Damage damage_ = 0;
    int damageEvent_ = 0;
    int width_ = 0, height_ = 0;
    long background_ = -1;
};
