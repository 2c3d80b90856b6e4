#pragma once

#include <QDBusConnection>

#include <memory>
#include <optional>

class QWidget;
class DesktopServiceInhibit;
class PortalInhibit;
class IdleInhibitProtocol;
class X11SaverSuspension;

// Holds the screen saver and blanking off for as long as it lives, and gives
// the user back what they had when it goes. It takes the first of these ways
// that answers, and releases that one the way it was taken:
//   Service   org.freedesktop.ScreenSaver Inhibit on the bus (cookie);
//   Portal    the desktop portal's Inhibit with the idle flag (request handle),
//             all a sandboxed program may reach;
//   Protocol  the Wayland idle-inhibit protocol on the viewer's surface;
//   X11       the X server's own saver and display power-off, suspended.
// None of them: nothing happens, nothing fails.
class ScreenSaverInhibition {
public:
    enum class Way { None, Service, Portal, Protocol, X11 };

    // viewer: the window whose surface carries the Wayland inhibitor (none:
    // the protocol is not tried).
    explicit ScreenSaverInhibition(QWidget* viewer = nullptr, QDBusConnection bus = QDBusConnection::sessionBus());
    ~ScreenSaverInhibition();
    ScreenSaverInhibition(const ScreenSaverInhibition&) = delete;
    ScreenSaverInhibition& operator=(const ScreenSaverInhibition&) = delete;

    Way way() const;
    std::optional<quint32> cookie() const;
    bool suspendedX11() const { return way() == Way::X11; }

private:
    std::unique_ptr<DesktopServiceInhibit> service_;
    std::unique_ptr<PortalInhibit> portal_;
    std::unique_ptr<IdleInhibitProtocol> protocol_;
    std::unique_ptr<X11SaverSuspension> x11_;
};

const char* wayName(ScreenSaverInhibition::Way way);

// The program's switch. Off (false) takes an inhibition, on the given viewer
// window's surface where that matters; on (true) releases it. An inhibition
// still held when the application quits, or when the switch goes, is
// released then.
class ScreenSaverSwitch {
public:
    ScreenSaverSwitch();
    ~ScreenSaverSwitch();
    ScreenSaverSwitch(const ScreenSaverSwitch&) = delete;
    ScreenSaverSwitch& operator=(const ScreenSaverSwitch&) = delete;

    // True when the screen saver is held off (off) or released (on).
    bool SetActive(bool active, QWidget* viewer = nullptr);
    // How the inhibition now held was taken (None: none held).
    ScreenSaverInhibition::Way way() const;

private:
    std::unique_ptr<ScreenSaverInhibition> held_;
    QMetaObject::Connection releaseAtQuit_;
};
