#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QPointer>
#include <QProcess>
#include <QTimer>

#include "app/ProgramContext.h"
#include "tests/support/SessionBus.h"
#include "viewer/ScreenSaverSwitch.h"
#include "viewer/fImage.h"

#ifndef FAKE_SCREENSAVER
#error "FAKE_SCREENSAVER must name the fake service's executable"
#endif

namespace {

// A private session bus with the fake service on it.
class ScreenSaverBus : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        bus_ = new SessionBus;
        ASSERT_FALSE(bus_->address().isEmpty());
    }

    static void TearDownTestSuite()
    {
        stopService();
        delete bus_;
    }

    void SetUp() override { startService(); }
    void TearDown() override { stopService(); }

    // The fake answers as the desktop service, the portal, or both.
    static void startService(const QStringList& answers = {"--service"})
    {
        stopService();
        service_ = new QProcess;
        service_->start(FAKE_SCREENSAVER, answers);
        ASSERT_TRUE(service_->waitForStarted(5000));
        ASSERT_EQ(nextLine(), "ready");
    }

    static void stopService()
    {
        if (!service_)
            return;
        service_->terminate();
        service_->waitForFinished(5000);
        delete service_;
        service_ = nullptr;
    }

    // The fake service's next line of output, "" when none came in time.
    static QString nextLine(int waitMs = 5000)
    {
        QElapsedTimer timer;
        timer.start();
        while (!service_->canReadLine() && timer.elapsed() < waitMs)
            service_->waitForReadyRead(100);
        return QString::fromUtf8(service_->readLine()).trimmed();
    }

    // How the running program holds the screen saver off now.
    static ScreenSaverInhibition::Way heldWay() { return ProgramContext::running()->ScreenSaver().way(); }

    static fImage* openViewer(fImage::Data& data)
    {
        auto* viewer = new fImage(data, *ProgramContext::running());
        viewer->Form_Load();
        return viewer;
    }

    static void closeViewer(fImage* viewer)
    {
        QPointer<fImage> alive(viewer);
        viewer->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(alive.isNull());
    }

    static inline SessionBus* bus_ = nullptr;
    static inline QProcess* service_ = nullptr;
};

TEST_F(ScreenSaverBus, OpeningInhibitsAndClosingReleasesTheSameCookie)
{
    fImage::Data data;
    for (int opening = 0; opening < 2; ++opening) {
        fImage* viewer = openViewer(data);
        const QStringList inhibit = nextLine().split(' ');
        ASSERT_EQ(inhibit.size(), 3) << inhibit.join(' ').toStdString();
        EXPECT_EQ(inhibit[0], "Inhibit");
        closeViewer(viewer);
        EXPECT_EQ(nextLine(), "UnInhibit " + inhibit[1]);
    }
}

TEST_F(ScreenSaverBus, QuittingWithTheViewerOpenReleasesTheInhibition)
{
    fImage::Data data;
    fImage* viewer = openViewer(data);
    const QStringList inhibit = nextLine().split(' ');
    ASSERT_EQ(inhibit.size(), 3);

    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
    EXPECT_EQ(nextLine(), "UnInhibit " + inhibit[1]);

    closeViewer(viewer);  // nothing left to release
    EXPECT_EQ(nextLine(300), "");
}

TEST_F(ScreenSaverBus, NoServiceOrNoBusIsNoFailure)
{
    stopService();
    {
        QElapsedTimer timer;
        timer.start();
        ScreenSaverInhibition noService;  // the session bus, without the service
        EXPECT_FALSE(noService.cookie().has_value());
        EXPECT_LT(timer.elapsed(), 3000);
    }
    {
        ScreenSaverInhibition noBus(nullptr, QDBusConnection::connectToBus("unix:path=/nonexistent/bus", "no-bus"));
        EXPECT_FALSE(noBus.cookie().has_value());
        EXPECT_FALSE(noBus.suspendedX11());  // offscreen: no X server either
    }
    fImage::Data data;
    closeViewer(openViewer(data));
    EXPECT_EQ(heldWay(), ScreenSaverInhibition::Way::None);
}

// The desktop service first, then the portal (with the idle flag); each given
// back the way it was taken, and the portal not asked when the service answered.
TEST_F(ScreenSaverBus, TakesTheFirstWayThatAnswersAndReleasesItThatWay)
{
    struct Case {
        QStringList answers;
        ScreenSaverInhibition::Way way;
        QString taken;     // the first word of the fake's line for the taking
        QString released;  // the release line, with %1 for the cookie or request path
    };
    const Case cases[] = {
        {{"--service"}, ScreenSaverInhibition::Way::Service, "Inhibit", "UnInhibit %1"},
        {{"--portal"}, ScreenSaverInhibition::Way::Portal, "PortalInhibit", "Close %1"},
        {{"--service", "--portal"}, ScreenSaverInhibition::Way::Service, "Inhibit", "UnInhibit %1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answers.join(' ').toStdString());
        startService(c.answers);
        fImage::Data data;
        fImage* viewer = openViewer(data);
        EXPECT_EQ(heldWay(), c.way);
        const QStringList taken = nextLine().split(' ');
        ASSERT_EQ(taken.size(), 3);
        EXPECT_EQ(taken[0], c.taken);
        const bool portal = c.way == ScreenSaverInhibition::Way::Portal;
        if (portal) {
            EXPECT_EQ(taken[1], "8") << "the idle flag, and only that";
        }
        closeViewer(viewer);
        EXPECT_EQ(nextLine(), c.released.arg(portal ? taken[2] : taken[1]));
        EXPECT_EQ(nextLine(300), "") << "one taking and one release, nothing else";
        EXPECT_EQ(heldWay(), ScreenSaverInhibition::Way::None);
    }
}

}  // namespace
