#pragma once

#include <QProcess>
#include <QString>

// A private session bus (dbus-daemon) for as long as it lives, named in
// DBUS_SESSION_BUS_ADDRESS: start it before anything in the process opens the
// session bus, so that the program's own calls go there. No desktop runs
// where the tests run, and a test must not reach the desktop of the person
// running it.
class SessionBus {
public:
    SessionBus();
    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    // Empty when the bus did not start.
    QString address() const { return address_; }

private:
    QProcess daemon_;
    QString address_;
};
