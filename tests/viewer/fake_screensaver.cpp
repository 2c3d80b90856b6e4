// Stand-ins for a desktop's org.freedesktop.ScreenSaver service and for the
// desktop portal's Inhibit, for tests that run on a private bus where no
// desktop runs. Arguments choose which answer: --service (the default when
// none is given), --portal. Every call is printed on a line of its own:
//   Inhibit <cookie> <application>
//   UnInhibit <cookie>
//   PortalInhibit <flags> <request path>
//   Close <request path>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>
#include <QDBusObjectPath>
#include <QObject>
#include <QVariantMap>

#include <cstdio>

namespace {

void say(const QString& line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

}  // namespace

class FakeScreenSaver : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")
public slots:
    uint Inhibit(const QString& application, const QString&)
    {
        const uint cookie = next_++;
        say(QStringLiteral("Inhibit %1 %2").arg(cookie).arg(application));
        return cookie;
    }
    void UnInhibit(uint cookie) { say(QStringLiteral("UnInhibit %1").arg(cookie)); }

private:
    uint next_ = 41;
};

// One inhibition the portal handed out; closing it ends the inhibition.
class FakeRequest : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Request")
public:
    explicit FakeRequest(QString path, QObject* parent) : QObject(parent), path_(std::move(path)) {}
public slots:
    void Close()
    {
        say("Close " + path_);
        QDBusConnection::sessionBus().unregisterObject(path_);
        deleteLater();
    }

private:
    QString path_;
};

class FakePortal : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Inhibit")
public slots:
    QDBusObjectPath Inhibit(const QString&, uint flags, const QVariantMap&)
    {
        const QString path = QStringLiteral("/org/freedesktop/portal/desktop/request/fake/r%1").arg(next_++);
        QDBusConnection::sessionBus().registerObject(path, new FakeRequest(path, this),
                                                     QDBusConnection::ExportAllSlots);
        say(QStringLiteral("PortalInhibit %1 %2").arg(flags).arg(path));
        return QDBusObjectPath(path);
    }

private:
    uint next_ = 1;
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    QDBusConnection bus = QDBusConnection::sessionBus();
    auto offer = [&](const char* path, QObject* object, const char* name) {
        if (bus.registerObject(path, object, QDBusConnection::ExportAllSlots) && bus.registerService(name))
            return true;
        std::fprintf(stderr, "fake screen saver: cannot register %s: %s\n", name, qPrintable(bus.lastError().message()));
        return false;
    };
    FakeScreenSaver service;
    FakePortal portal;
    if ((args.isEmpty() || args.contains("--service"))
        && !offer("/org/freedesktop/ScreenSaver", &service, "org.freedesktop.ScreenSaver"))
        return 1;
    if (args.contains("--portal") && !offer("/org/freedesktop/portal/desktop", &portal, "org.freedesktop.portal.Desktop"))
        return 1;
    say("ready");
    return QCoreApplication::exec();
}

#include "fake_screensaver.moc"
