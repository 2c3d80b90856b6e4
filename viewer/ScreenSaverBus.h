#pragma once

#include <QDBusConnection>
#include <QDBusObjectPath>

#include <optional>

// The two ways of holding the screen saver off over D-Bus. Each asks once when
// built and, if the answer came, gives the inhibition back when destroyed.

// org.freedesktop.ScreenSaver: Inhibit hands out a cookie, UnInhibit takes it back.
class DesktopServiceInhibit {
public:
    explicit DesktopServiceInhibit(QDBusConnection bus);
    ~DesktopServiceInhibit();
    DesktopServiceInhibit(const DesktopServiceInhibit&) = delete;
    DesktopServiceInhibit& operator=(const DesktopServiceInhibit&) = delete;

    bool held() const { return cookie_.has_value(); }
    std::optional<quint32> cookie() const { return cookie_; }

private:
    QDBusConnection bus_;
    std::optional<quint32> cookie_;
};

// The desktop portal's org.freedesktop.portal.Inhibit with the idle flag: the
// answer is a request object, and closing that request ends the inhibition.
class PortalInhibit {
public:
    explicit PortalInhibit(QDBusConnection bus);
    ~PortalInhibit();
    PortalInhibit(const PortalInhibit&) = delete;
    PortalInhibit& operator=(const PortalInhibit&) = delete;

    bool held() const { return !request_.path().isEmpty(); }

private:
    QDBusConnection bus_;
    QDBusObjectPath request_;
};
