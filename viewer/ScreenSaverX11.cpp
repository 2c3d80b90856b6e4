#include "viewer/ScreenSaverX11.h"

#include <QGuiApplication>

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

namespace {

Display* x11Display()
{
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->display() : nullptr;
}

bool canSuspend(Display* display)
{
    int event = 0, error = 0, major = 0, minor = 0;
    return XScreenSaverQueryExtension(display, &event, &error) && XScreenSaverQueryVersion(display, &major, &minor)
           && (major > 1 || (major == 1 && minor >= 1));
}

}  // namespace

X11SaverSuspension::X11SaverSuspension()
{
    Display* display = x11Display();
    if (!display || !canSuspend(display))
        return;
    XScreenSaverSuspend(display, True);
    XFlush(display);
    display_ = display;
}

X11SaverSuspension::~X11SaverSuspension()
{
    // Only on the connection it was taken on: a closed one has lifted it already.
    if (display_ && display_ == x11Display()) {
        XScreenSaverSuspend(display_, False);
        XFlush(display_);
    }
}
