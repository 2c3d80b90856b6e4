// The real program under a real X server, driven by playerctl (the desktop's
// own MPRIS client) and media keys over a private session bus; after each
// call, the picture on screen is the one expected.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

#include "settings/AppSettings.h"
#include "tests/support/SessionBus.h"
#include "tests/support/TempStore.h"
#include "tests/viewer/PictureFiles.h"

namespace {

constexpr int kPatience = 30000;  // the machine may be busy with other work

const QColor kColours[] = {Qt::red, Qt::green, Qt::blue, Qt::yellow};
const char* const kColourNames[] = {"red", "green", "blue", "yellow"};
constexpr int kPictures = std::size(kColours);

// Which picture the middle of the screen shows; -1 for none.
int pictureOnScreen()
{
    QScreen* screen = QGuiApplication::primaryScreen();
    const QPoint middle = screen->geometry().center();
    const QColor pixel = screen->grabWindow(0, middle.x(), middle.y(), 1, 1).toImage().pixelColor(0, 0);
    return picturefiles::colourShown(pixel, kColours);
}

// The picture on screen once it is `wanted`, or what it still is after a while.
int pictureOnScreenOnce(int wanted)
{
    QElapsedTimer waited;
    waited.start();
    int shown = pictureOnScreen();
    while (shown != wanted && waited.elapsed() < 5000) {
        QTest::qWait(50);
        shown = pictureOnScreen();
    }
    return shown;
}

// Removes files by their bytes: a folder's own clean-up goes through text and
// cannot name a file whose name is not UTF-8.
struct RemovedAtEnd {
    std::vector<QByteArray> paths;
    ~RemovedAtEnd()
    {
        for (const QByteArray& path : paths)
            ::unlink(path.constData());
    }
};

struct Ran {
    int exitCode = -1;
    QByteArray out, err;
};

Ran run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    Ran r;
    if (!process.waitForFinished(kPatience)) {
        process.kill();
        process.waitForFinished();
        return r;
    }
    r.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    r.out = process.readAllStandardOutput().trimmed();
    r.err = process.readAllStandardError().trimmed();
    return r;
}

Ran playerctl(const QStringList& arguments) { return run("playerctl", QStringList{"-p", "marbleglen"} + arguments); }

// The id of the program's visible window with this title; 0 when none came.
QByteArray findWindow(qint64 pid, const QString& title)
{
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < kPatience) {
        const Ran search = run("xdotool", {"search", "--onlyvisible", "--pid", QString::number(pid), "--name",
                                           "^" + title + "$"});
        if (search.exitCode == 0 && !search.out.isEmpty())
            return search.out.split('\n').first();
        QTest::qWait(100);
    }
    return {};
}

void clickAt(const QByteArray& window, int x, int y)
{
    ASSERT_EQ(run("xdotool", {"mousemove", "--sync", "--window", window, QString::number(x), QString::number(y)}).exitCode, 0);
    ASSERT_EQ(run("xdotool", {"click", "1"}).exitCode, 0);
}

}  // namespace

TEST(RemoteOnScreen, PlayerctlStepsPausesResumesAndQuitsTheRealProgram)
{
    TempStore store;  // the program inherits XDG_CONFIG_HOME
    QTemporaryDir folder;
    // In name order; the second name is Latin-1, not UTF-8.
    const QByteArray names[kPictures] = {"1 red.jpg", "2 caf\xe9 green.jpg", "3 blue 100%.jpg", "4 yellow.jpg"};
    QByteArray paths[kPictures];
    RemovedAtEnd removed;
    for (int i = 0; i < kPictures; ++i) {
        paths[i] = folder.path().toUtf8() + "/" + names[i];
        removed.paths.push_back(paths[i]);
        ASSERT_TRUE(picturefiles::writeAt(paths[i], picturefiles::solidJpeg(320, 240, kColours[i].rgb())));
    }
    AppSettings::WriteText("varImagePath1", folder.path().toStdString());
    AppSettings::WriteText("txtImageCaption1", "Colours");
    AppSettings::WriteText("varSlideShowType", "1");
    AppSettings::WriteText("varSlideShowDelayTime", "7");  // 15 s: no tick while the test looks

    SessionBus bus;  // for the program and playerctl alike
    ASSERT_FALSE(bus.address().isEmpty());

    QProcess program;
    program.start(MARBLEGLEN_BIN, {"--remote"});
    ASSERT_TRUE(program.waitForStarted(kPatience));
    const QByteArray mainWindow = findWindow(program.processId(), "Marbleglen");
    ASSERT_FALSE(mainWindow.isEmpty());
    EXPECT_EQ(run("playerctl", {"-l"}).out, "") << "no player before the viewer opens";

    // The first folder's caption (48, 145, 89 x 15), then "View Image" (48, 73, 89 x 20).
    clickAt(mainWindow, 92, 152);
    QTest::qWait(300);
    clickAt(mainWindow, 92, 83);
    ASSERT_EQ(pictureOnScreenOnce(0), 0) << "the viewer opens on the first picture";

    QElapsedTimer waited;
    waited.start();
    while (run("playerctl", {"-l"}).out != "marbleglen" && waited.elapsed() < kPatience)
        QTest::qWait(100);
    ASSERT_EQ(run("playerctl", {"-l"}).out, "marbleglen");

    struct Step {
        const char* call;  // playerctl's words, or "key NAME" for a media key on the viewer
        int picture;
        const char* status;
    };
    const Step steps[] = {
        {"status", 0, "Paused"},
        {"next", 1, "Paused"},
        {"next", 2, "Paused"},
        {"previous", 1, "Paused"},
        {"play-pause", 2, "Playing"},
        {"play-pause", 2, "Paused"},
        {"play", 3, "Playing"},
        {"stop", 3, "Paused"},
        {"key XF86AudioNext", 0, "Paused"},
        {"key XF86AudioPlay", 1, "Playing"},
        {"key XF86AudioPrev", 0, "Paused"},
        {"previous", 3, "Paused"},
    };
    std::string table = "call                 screen  status\n";
    for (const Step& s : steps) {
        SCOPED_TRACE(s.call);
        const QStringList words = QString(s.call).split(' ');
        if (words.first() == "key") {
            EXPECT_EQ(run("xdotool", {"key", words[1]}).exitCode, 0);
        } else if (words.first() != "status") {
            EXPECT_EQ(playerctl(words).exitCode, 0);
        }
        const int shown = pictureOnScreenOnce(s.picture);
        const QByteArray status = playerctl({"status"}).out;
        char line[96];
        std::snprintf(line, sizeof line, "%-20s %-7s %s\n", s.call, shown >= 0 ? kColourNames[shown] : "none",
                      status.constData());
        table += line;
        EXPECT_EQ(shown, s.picture);
        EXPECT_EQ(status, s.status);
    }
    std::printf("%s", table.c_str());

    // The picture whose name is not UTF-8: its URL decodes to the path's bytes.
    ASSERT_EQ(playerctl({"next"}).exitCode, 0);
    ASSERT_EQ(playerctl({"next"}).exitCode, 0);
    ASSERT_EQ(pictureOnScreenOnce(1), 1);
    const Ran metadata = playerctl({"metadata"});
    std::printf("playerctl -p marbleglen metadata:\n%s\n", metadata.out.constData());
    const QByteArray url = playerctl({"metadata", "xesam:url"}).out;
    ASSERT_TRUE(url.startsWith("file://")) << url.constData();
    EXPECT_EQ(QByteArray::fromPercentEncoding(url.mid(7)), paths[1]);
    EXPECT_EQ(playerctl({"metadata", "mpris:artUrl"}).out, url);
    EXPECT_TRUE(metadata.out.contains("mpris:trackid")) << metadata.out.constData();

    // Debian 12's playerctl has no "quit": the call itself, as a script sends it.
    const Ran quit = run("dbus-send", {"--session", "--print-reply", "--dest=org.mpris.MediaPlayer2.marbleglen",
                                       "/org/mpris/MediaPlayer2", "org.mpris.MediaPlayer2.Quit"});
    ASSERT_EQ(quit.exitCode, 0) << quit.err.constData();
    const bool ended = program.waitForFinished(kPatience);
    if (!ended) {
        program.kill();
        program.waitForFinished();
    }
    ASSERT_TRUE(ended) << "Quit did not end the program";
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);

}
