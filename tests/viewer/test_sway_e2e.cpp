// The viewer on a real wlroots compositor, sway on its headless backend: idle
// inhibition seen by swayidle with a one-second timeout, and the output the
// viewer fills when there are two. wlroots compositors refuse to run as root,
// so the tests run sway, its tools and the viewer as an unprivileged user they
// create; without root they are skipped.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <signal.h>
#include <unistd.h>

#include <ctime>

#include "tests/viewer/PictureFiles.h"

#ifndef VIEWER_DRIVER
#error "VIEWER_DRIVER must name the viewer driver's executable"
#endif
#ifndef MARBLEGLEN_BIN
#error "MARBLEGLEN_BIN must name the program's executable"
#endif

namespace {

const QString kUser = QStringLiteral("marbleglen-wayland");
constexpr int kPatience = 15000;

// Runs a set-up command to its end, quietly; true when it succeeded.
bool run(const QString& program, const QStringList& args)
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(program, args);
    return process.waitForFinished(kPatience) && process.exitStatus() == QProcess::NormalExit
           && process.exitCode() == 0;
}

template <class Condition>
bool waitFor(Condition condition, int ms = kPatience)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition() && timer.elapsed() < ms)
        QThread::msleep(50);
    return condition();
}

// A Wayland session of the test user's own: a private runtime folder, sway
// in it, and the programs started inside it as that user.
class SwaySession {
public:
    // before: what sway is started under (env VAR=value to add to its environment).
    explicit SwaySession(const QString& home, const QStringList& before = {}) : home_(home), runtime_(home + "/runtime")
    {
        QDir().mkpath(runtime_);
        QFile config(home_ + "/sway.conf");
        config.open(QIODevice::WriteOnly);
        config.write("output HEADLESS-1 scale 2\n");
        config.close();
        run("chown", {"-R", kUser + ":" + kUser, home_});
        run("chmod", {"0700", home_, runtime_});
        sway_ = start(before + QStringList{"sway", "-c", home_ + "/sway.conf"}, home_ + "/sway.log");
    }

    ~SwaySession()
    {
        for (auto it = started_.rbegin(); it != started_.rend(); ++it) {
            (*it)->terminate();
            if (!(*it)->waitForFinished(5000))
                (*it)->kill();
            delete *it;
        }
    }

    // The compositor's socket, once it listens ("" if it never does).
    QString waitForSocket()
    {
        QString socket;
        waitFor([&] {
            const QStringList found = QDir(runtime_).entryList({"wayland-*"}, QDir::System);
            for (const QString& name : found)
                if (!name.endsWith(".lock"))
                    socket = name;
            return !socket.isEmpty() || sway_->state() == QProcess::NotRunning;
        });
        socket_ = socket;
        return socket;
    }

    // Its output can be read; what it says on stderr goes to the test's own
    // output, or to the file given.
    QProcess* start(const QStringList& command, const QString& errorFile = {})
    {
        auto* process = new QProcess;
        if (errorFile.isEmpty())
            process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        else
            process->setStandardErrorFile(errorFile);
        QStringList environment{"PATH=/usr/bin:/bin", "HOME=" + home_, "XDG_RUNTIME_DIR=" + runtime_,
                                "QT_QPA_PLATFORM=wayland", "WLR_BACKENDS=headless", "WLR_RENDERER=pixman",
                                "WLR_LIBINPUT_NO_DEVICES=1"};
        if (!socket_.isEmpty())
            environment << "WAYLAND_DISPLAY=" + socket_;
        process->start("runuser", QStringList{"-u", kUser, "--", "env", "-i"} + environment + command);
        process->waitForStarted(kPatience);
        started_.push_back(process);
        return process;
    }

    // swaymsg with the given arguments, run to its end; its output ("" when
    // sway's command socket never appeared).
    QByteArray swaymsg(const QStringList& args)
    {
        QStringList sockets;
        waitFor([&] { return !(sockets = QDir(runtime_).entryList({"sway-ipc.*.sock"}, QDir::System)).isEmpty(); });
        if (sockets.isEmpty())
            return {};
        QProcess* process = start(QStringList{"env", "SWAYSOCK=" + runtime_ + "/" + sockets.constFirst(), "swaymsg"} + args);
        process->waitForFinished(kPatience);
        return process->readAllStandardOutput();
    }

    QString swayLog() const
    {
        QFile log(home_ + "/sway.log");
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
    }

private:
    QString home_, runtime_, socket_;
    QProcess* sway_ = nullptr;
    std::vector<QProcess*> started_;
};

QString nextLine(QProcess* process, int ms = kPatience)
{
    waitFor(
        [&] {
            process->waitForReadyRead(50);
            return process->canReadLine() || process->state() == QProcess::NotRunning;
        },
        ms);
    return QString::fromUtf8(process->readLine()).trimmed();
}

// The test user, the tools, and a folder of the user's own holding the driver
// and a picture (the build folder need not be readable by that user).
class OnSway : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to create the unprivileged user that runs sway (wlroots refuses root)";
        for (const char* tool : {"sway", "swaymsg", "swayidle", "wtype", "runuser", "useradd"})
            ASSERT_FALSE(QStandardPaths::findExecutable(tool, {"/usr/bin", "/usr/sbin", "/bin", "/sbin"}).isEmpty())
                << tool << " is missing: scripts/ensure-deps installs it";
        if (!run("id", {"-u", kUser})) {
            ASSERT_TRUE(run("useradd", {"--system", "--user-group", "--no-create-home", "--home-dir", "/nonexistent",
                                        "--shell", "/usr/sbin/nologin", kUser}));
        }
        home = dir.path();
        ASSERT_TRUE(QFile::copy(VIEWER_DRIVER, home + "/viewer_driver"));
        ASSERT_TRUE(picturefiles::write(home + "/picture.jpg", picturefiles::jpeg(640, 480)));
    }

    QTemporaryDir dir;
    QString home;
};

// The output of the first view that matches, in sway's tree ("" for none).
QString outputOf(const QJsonObject& node, const std::function<bool(const QJsonObject&)>& matches,
                 const QString& output = {})
{
    const QString here = node["type"].toString() == "output" ? node["name"].toString() : output;
    if (matches(node))
        return here;
    for (const char* children : {"nodes", "floating_nodes"})
        for (const QJsonValue child : node[children].toArray()) {
            const QString found = outputOf(child.toObject(), matches, here);
            if (!found.isEmpty())
                return found;
        }
    return {};
}

TEST_F(OnSway, SwayidleWaitsWhileTheViewerIsOpenAndGoesOnOnceItCloses)
{
    SwaySession session(home);
    ASSERT_FALSE(session.waitForSocket().isEmpty()) << session.swayLog().toStdString();

    // A keyboard in the seat from the start (a virtual one, held for a minute),
    // so that the viewer gets the keyboard focus as it would on a desktop.
    session.start({"wtype", "-s", "60000"});
    QProcess* driver = session.start({home + "/viewer_driver", home + "/picture.jpg"});
    ASSERT_EQ(nextLine(driver), "open protocol") << "only the idle-inhibit protocol is there to take";

    const QString idleLog = home + "/idle.log";
    session.start({"swayidle", "-w", "timeout", "1", "echo idle >> " + idleLog});
    QThread::msleep(3000);
    EXPECT_FALSE(QFile::exists(idleLog)) << "swayidle went idle while the viewer was open";

    // Escape from a keyboard the compositor knows (a virtual one) closes the viewer.
    session.start({"wtype", "-k", "Escape"});
    const QString closed = nextLine(driver, 5000);
    EXPECT_EQ(closed, "closed") << "Escape did not close the viewer";
    if (closed != "closed") {
        driver->write("close\n");
        ASSERT_EQ(nextLine(driver), "closed");
    }
    EXPECT_TRUE(waitFor([&] { return QFile::exists(idleLog); }, 6000))
        << "swayidle did not go idle after the viewer closed";
    driver->write("quit\n");
}

TEST_F(OnSway, TheViewerFillsTheOutputOfTheMainWindow)
{
    SwaySession session(home);
    ASSERT_FALSE(session.waitForSocket().isEmpty()) << session.swayLog().toStdString();
    const QByteArray done = "\"success\": true";
    ASSERT_TRUE(session.swaymsg({"create_output"}).contains(done));
    ASSERT_TRUE(session.swaymsg({"focus", "output", "HEADLESS-2"}).contains(done));
    QProcess* driver = session.start({home + "/viewer_driver", "--main-window", home + "/picture.jpg"});
    ASSERT_EQ(nextLine(driver), "main");
    // The other output has the focus when the viewer opens.
    ASSERT_TRUE(session.swaymsg({"focus", "output", "HEADLESS-1"}).contains(done));
    driver->write("view\n");
    ASSERT_TRUE(nextLine(driver).startsWith("open"));

    const QJsonObject tree = QJsonDocument::fromJson(session.swaymsg({"-t", "get_tree"})).object();
    const QString mainOutput
        = outputOf(tree, [](const QJsonObject& n) { return n["name"].toString() == "Marbleglen"; });
    const QString viewerOutput
        = outputOf(tree, [](const QJsonObject& n) { return n["type"] == "con" && n["fullscreen_mode"].toInt() == 1; });
    EXPECT_EQ(mainOutput.toStdString(), "HEADLESS-2");
    EXPECT_EQ(viewerOutput.toStdString(), "HEADLESS-2") << "the viewer fills the output the main window is on";
    driver->write("quit\n");
}

// The screen asleep outside --awake, on sway, as the test's own clock (a
// file of seconds added to the system's, in a test build) crosses the span's
// edges and a key wakes it for five minutes; a show ended asleep leaves the
// output on. What sway was asked is read from its own record of the requests
// it received (WAYLAND_DEBUG=server), and the output's power from sway where
// the backend can switch it: wlroots 0.15's headless outputs cannot be
// turned off (sway says "Failed to commit output"), so there it stays on.
TEST_F(OnSway, TheOutputSleepsOutsideTheAwakeHours)
{
    ASSERT_TRUE(QFile::copy(MARBLEGLEN_BIN, home + "/marbleglen"));
    ASSERT_TRUE(QDir(home).mkpath("pictures"));
    for (const char* name : {"a.jpg", "b.jpg"})
        ASSERT_TRUE(picturefiles::write(home + "/pictures/" + name, picturefiles::jpeg(320, 240)));
    const QString clockFile = home + "/clock";
    auto setClock = [&](int hours, int minutes, int seconds, int days = 0) {
        const std::time_t now = std::time(nullptr);
        const std::time_t to = now - now % 86400 + days * 86400 + hours * 3600 + minutes * 60 + seconds;
        QFile file(clockFile + ".new");
        file.open(QIODevice::WriteOnly);
        file.write(QByteArray::number(qlonglong(to - now)));
        file.close();
        ::rename(QFile::encodeName(clockFile + ".new"), QFile::encodeName(clockFile));
    };
    setClock(12, 0, 0);
    SwaySession session(home, {"env", "WAYLAND_DEBUG=server"});
    ASSERT_FALSE(session.waitForSocket().isEmpty()) << session.swayLog().toStdString();
    // The modes asked for so far, in order ("01" for off, then on).
    auto asked = [&] {
        static const QRegularExpression setMode("zwlr_output_power_v1@\\d+\\.set_mode\\((\\d)\\)");
        QString modes;
        for (auto match = setMode.globalMatch(session.swayLog()); match.hasNext();)
            modes += match.next().captured(1);
        return modes;
    };
    auto power = [&] {
        for (const QJsonValue output : QJsonDocument::fromJson(session.swaymsg({"-t", "get_outputs"})).array())
            if (output["name"].toString() == "HEADLESS-1")
                return output["dpms"].toBool() ? "1" : "0";
        return "none";
    };
    auto becomes = [&](const QString& modes) {
        return waitFor([&] { return asked() == modes; })
               && waitFor([&] {
                      return power() == modes.right(1) || session.swayLog().contains("Failed to commit output HEADLESS-1");
                  });
    };

    session.start({"wtype", "-s", "60000"});
    QProcess* program = session.start({"env", "TZ=UTC", "MARBLEGLEN_TEST_CLOCK=" + clockFile, home + "/marbleglen",
                                       "--show", home + "/pictures", "--order", "progressive", "--delay", "0.5",
                                       "--awake", "07:00-22:00"},
                                      home + "/program.err");
    // Once the show is on screen, the evening of the same day.
    ASSERT_TRUE(waitFor([&] {
        const QJsonObject tree = QJsonDocument::fromJson(session.swaymsg({"-t", "get_tree"})).object();
        return !outputOf(tree, [](const QJsonObject& n) { return n["fullscreen_mode"].toInt() == 1; }).isEmpty();
    }));
    setClock(21, 59, 57);
    QThread::msleep(1000);
    EXPECT_EQ(asked(), "") << "asleep before 22:00";
    EXPECT_TRUE(becomes("0")) << "22:00 came: " << asked().toStdString();
    session.start({"wtype", "a"});
    EXPECT_TRUE(becomes("01")) << "a key: " << asked().toStdString();
    setClock(22, 6, 0);
    EXPECT_TRUE(becomes("010")) << "five minutes after the key: " << asked().toStdString();
    setClock(6, 59, 58, 1);
    QThread::msleep(1000);
    EXPECT_EQ(asked(), "010") << "awake before 07:00";
    EXPECT_TRUE(becomes("0101")) << "07:00 came: " << asked().toStdString();
    setClock(23, 0, 0, 1);
    EXPECT_TRUE(becomes("01010")) << "23:00: " << asked().toStdString();

    ::kill(static_cast<pid_t>(program->processId()), SIGTERM);
    EXPECT_TRUE(program->waitForFinished(kPatience));
    EXPECT_TRUE(becomes("010101")) << "the show ended with the output off: " << asked().toStdString();
    QFile said(home + "/program.err");
    said.open(QIODevice::ReadOnly);
    EXPECT_FALSE(said.readAll().contains("marbleglen:")) << "the output power protocol was not used";
}

}  // namespace
