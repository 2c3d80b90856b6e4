// Sends one MPRIS method call many times to a player on the session bus, as
// fast as the bus takes them, then waits for every answer. Prints
// "answered N failed M" and exits 0 when every call was answered.
//
// Usage: remote_flood SERVICE METHOD COUNT
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>

#include <cstdio>
#include <vector>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: remote_flood SERVICE METHOD COUNT\n");
        return 2;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "no session bus\n");
        return 1;
    }
    const int count = QByteArray(argv[3]).toInt();
    std::vector<QDBusPendingCall> calls;
    calls.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        calls.push_back(bus.asyncCall(QDBusMessage::createMethodCall(
            argv[1], "/org/mpris/MediaPlayer2", "org.mpris.MediaPlayer2.Player", argv[2])));
    int answered = 0, failed = 0;
    for (QDBusPendingCall& call : calls) {
        call.waitForFinished();
        ++(call.isError() ? failed : answered);
    }
    std::printf("answered %d failed %d\n", answered, failed);
    return failed == 0 ? 0 : 1;
}
