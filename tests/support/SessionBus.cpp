#include "tests/support/SessionBus.h"

SessionBus::SessionBus()
{
    daemon_.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
    if (!daemon_.waitForStarted(5000) || !daemon_.waitForReadyRead(5000))
        return;
    address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    if (!address_.isEmpty())
        qputenv("DBUS_SESSION_BUS_ADDRESS", address_.toUtf8());
}

SessionBus::~SessionBus()
{
    daemon_.terminate();
    if (!daemon_.waitForFinished(5000))
        daemon_.kill();
    daemon_.waitForFinished(5000);
}
