#include "viewer/ScreenSaverSwitch.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QGuiApplication>

#include <memory>

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

namespace {

const char* const kService = "org.freedesktop.ScreenSaver";
const char* const kPath = "/org/freedesktop/ScreenSaver";
const char* const kInterface = "org.freedesktop.ScreenSaver";
// A desktop that does not answer within this long is taken as absent.
constexpr int kCallTimeoutMs = 2000;

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

// Never destroyed at exit: by then the bus may be gone. The release runs when
// the application quits, or the switch is turned on again.
std::unique_ptr<ScreenSaverInhibition>& held()
{
    static auto* h = new std::unique_ptr<ScreenSaverInhibition>;
    return *h;
}

}  // namespace

ScreenSaverInhibition::ScreenSaverInhibition(QDBusConnection bus) : bus_(std::move(bus))
{
    if (bus_.isConnected()) {
        QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Inhibit");
        call << QCoreApplication::applicationName() << QStringLiteral("Showing pictures full screen");
        const QDBusMessage reply = bus_.call(call, QDBus::Block, kCallTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
            cookie_ = reply.arguments().constFirst().toUInt();
    }
    if (!cookie_) {
        Display* display = x11Display();
        if (display && canSuspend(display)) {
            XScreenSaverSuspend(display, True);
            XFlush(display);
            display_ = display;
        }
    }
}

ScreenSaverInhibition::~ScreenSaverInhibition()
{
    if (cookie_ && bus_.isConnected()) {
        QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "UnInhibit");
        call << *cookie_;
        // Wait for the reply: at program end the message must leave before the connection goes.
        bus_.call(call, QDBus::Block, kCallTimeoutMs);
    }
    if (display_ && display_ == x11Display()) {
        XScreenSaverSuspend(display_, False);
        XFlush(display_);
    }
}

bool SetScreenSaverActive(bool active)
{
    if (active) {
        held().reset();
        return true;
    }
    if (!held()) {
        held() = std::make_unique<ScreenSaverInhibition>();
        static const bool releaseAtQuit = [] {
            if (auto* app = QCoreApplication::instance())
                QObject::connect(app, &QCoreApplication::aboutToQuit, [] { held().reset(); });
            return true;
        }();
        (void)releaseAtQuit;
    }
    return held()->cookie().has_value() || held()->suspendedX11();
}
