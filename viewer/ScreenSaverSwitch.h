#pragma once

#include <QDBusConnection>

#include <optional>

typedef struct _XDisplay Display;

// Holds the screen saver off for as long as it lives, and gives the user back
// what they had when it goes: org.freedesktop.ScreenSaver Inhibit on the given
// bus, UnInhibit with the same cookie at the end. Where no such service
// answers on an X server, the server's own screen saver and display power-off
// are suspended instead (the server lifts that by itself if the program dies).
// No bus and no X server: nothing happens.
class ScreenSaverInhibition {
public:
    explicit ScreenSaverInhibition(QDBusConnection bus = QDBusConnection::sessionBus());
    ~ScreenSaverInhibition();
    ScreenSaverInhibition(const ScreenSaverInhibition&) = delete;
    ScreenSaverInhibition& operator=(const ScreenSaverInhibition&) = delete;

    std::optional<quint32> cookie() const { return cookie_; }
    bool suspendedX11() const { return display_ != nullptr; }

private:
    QDBusConnection bus_;
    std::optional<quint32> cookie_;
    Display* display_ = nullptr;
};

// Off (false) takes an inhibition for the program, on (true) releases it.
// An inhibition still held when the application quits is released then.
// Returns true when the screen saver is held off (off) or released (on).
bool SetScreenSaverActive(bool active);
