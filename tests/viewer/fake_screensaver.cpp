// A stand-in for a desktop's org.freedesktop.ScreenSaver service, for tests
// that run on a private bus where no desktop runs. It hands out cookies and
// prints every call on a line of its own:
//   Inhibit <cookie> <application>
//   UnInhibit <cookie>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QObject>

#include <cstdio>

class FakeScreenSaver : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")
public slots:
    uint Inhibit(const QString& application, const QString&)
    {
        const uint cookie = next_++;
        std::printf("Inhibit %u %s\n", cookie, qPrintable(application));
        std::fflush(stdout);
        return cookie;
    }
    void UnInhibit(uint cookie)
    {
        std::printf("UnInhibit %u\n", cookie);
        std::fflush(stdout);
    }

private:
    uint next_ = 41;
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    FakeScreenSaver service;
    if (!bus.registerObject("/org/freedesktop/ScreenSaver", &service, QDBusConnection::ExportAllSlots)
        || !bus.registerService("org.freedesktop.ScreenSaver")) {
        std::fprintf(stderr, "fake screen saver: cannot register: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

#include "fake_screensaver.moc"
