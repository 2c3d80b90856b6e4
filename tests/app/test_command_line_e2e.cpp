// The real program started from the command line: the options, good and bad,
// with what each prints and its exit code. Mistakes and --help need no
// display; the shows run on the X server of the test run.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>

#include "settings/AppSettings.h"
#include "tests/support/TempStore.h"
#include "tests/viewer/PictureFiles.h"
#include "tests/viewer/XPointer.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/dpms.h>

#include <ctime>

namespace {

constexpr int kPatience = 30000;  // the machine may be busy with other work

QByteArray ReadFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The program with a state folder of its own, and without a display when asked.
void Prepare(QProcess& program, const QString& stateHome, bool display)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_STATE_HOME", stateHome);
    if (!display) {
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.insert("QT_QPA_PLATFORM", "xcb");  // would abort, were a window asked for
    }
    program.setProcessEnvironment(env);
}

// Waits until `lines` lines have come on standard output.
bool WaitForLines(QProcess& program, QByteArray& out, int lines, int ms = kPatience)
{
    QElapsedTimer waited;
    waited.start();
    while (out.count('\n') < lines && waited.elapsed() < ms && program.state() == QProcess::Running) {
        program.waitForReadyRead(100);
        out += program.readAllStandardOutput();
    }
    return out.count('\n') >= lines;
}

// A desktop's screen-saver service on a private session bus, saying each
// Inhibit and UnInhibit it is sent.
struct FakeDesktop {
    QProcess bus, desktop;
    QString address;
    QByteArray said;

    FakeDesktop()
    {
        bus.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
        if (!bus.waitForStarted(kPatience) || !bus.waitForReadyRead(kPatience))
            return;
        address = QString::fromUtf8(bus.readLine()).trimmed();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SESSION_BUS_ADDRESS", address);
        desktop.setProcessEnvironment(env);
        desktop.start(FAKE_SCREENSAVER, {"--service"});
        if (desktop.waitForStarted(kPatience) && desktop.waitForReadyRead(kPatience))
            said = desktop.readLine().trimmed();
    }
    ~FakeDesktop()
    {
        for (QProcess* process : {&desktop, &bus}) {
            process->terminate();
            process->waitForFinished(kPatience);
        }
    }
    bool ready() const { return said == "ready"; }
    void join(QProcess& program) const
    {
        QProcessEnvironment env = program.processEnvironment();
        env.insert("DBUS_SESSION_BUS_ADDRESS", address);
        program.setProcessEnvironment(env);
    }
    // Until the desktop has been sent `word` since `said` was last cleared.
    bool waitFor(const QByteArray& word, int ms = kPatience)
    {
        QElapsedTimer waited;
        waited.start();
        while (!said.contains(word) && waited.elapsed() < ms) {
            desktop.waitForReadyRead(100);
            said += desktop.readAll();
        }
        return said.contains(word);
    }
};

}  // namespace

// Each row: the arguments, the exit code, and a piece of what must be printed
// (on stdout for 0, as the one line on stderr otherwise). None starts anything.
TEST(CommandLine, HelpVersionAndMistakesNeedNoDisplayAndStartNothing)
{
    TempStore settings;
    AppSettings::WriteText("varImagePath1", "/media/one");
    const QByteArray storedBefore = ReadFile(settings.storeFile());
    QTemporaryDir state;
    struct Row {
        QStringList arguments;
        int exitCode;
        const char* says;
    } const rows[] = {
        {{"--help"}, 0, "--show <N|FOLDER>"},
        {{"-h"}, 0, "--delay <SECONDS>"},
        {{"--help"}, 0, "--new-first"},
        {{"--version"}, 0, "marbleglen 1.1.4"},
        {{"--bogus"}, 2, "Unknown option 'bogus' (options: --show, --order, --delay, --kiosk"},
        {{"--show"}, 2, "Missing value after '--show'"},
        {{"--show", "/tmp", "--order", "sideways"}, 2, "--order 'sideways' is not an order (allowed: progressive, random)"},
        {{"--show", "/tmp", "--delay", "4"}, 2, "(allowed: 0.5, 1, 2, 3, 5, 10, 15 seconds)"},
        {{"--show", "/tmp", "--delay", "half"}, 2, "--delay 'half' is not one of the delays"},
        {{"--show", "0"}, 2, "there is no search folder 0 (allowed: 1 to 4, or a folder"},
        {{"--show", "5"}, 2, "there is no search folder 5"},
        {{"--show", "3"}, 2, "--show 3: search folder 3 has no path set"},
        {{"--show", "/tmp", "--show", "/var"}, 2, "--show given more than once"},
        {{"--kiosk"}, 2, "--kiosk only goes with --show"},
        {{"--order", "random"}, 2, "--order only goes with --show"},
        {{"--new-first"}, 2, "--new-first only goes with --show"},
        {{"/tmp"}, 2, "unexpected argument '/tmp'"},
        {{"--show", "/tmp", "--awake", "7:00-22:00"}, 2, "--awake '7:00-22:00': '7:00-22:00' is not a span (allowed: HH:MM-HH:MM"},
        {{"--show", "/tmp", "--awake", "07:00-22:00,"}, 2, "--awake '07:00-22:00,': an empty span (allowed:"},
        {{"--awake", "07:00-22:00"}, 2, "--awake only goes with --show"},
    };
    for (const Row& row : rows) {
        const std::string name = row.arguments.join(' ').toStdString();
        QProcess program;
        Prepare(program, state.path(), false);
        program.start(MARBLEGLEN_BIN, row.arguments);
        program.waitForStarted(kPatience);
        ASSERT_TRUE(program.waitForFinished(kPatience)) << name;
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << name;
        EXPECT_EQ(program.exitCode(), row.exitCode) << name;
        const QByteArray out = program.readAllStandardOutput(), err = program.readAllStandardError();
        const QByteArray& said = row.exitCode == 0 ? out : err;
        EXPECT_TRUE(said.contains(row.says)) << name << " said: " << said.toStdString();
        if (row.exitCode != 0) {
            EXPECT_TRUE(out.isEmpty()) << name;
            EXPECT_EQ(err.count('\n'), 1) << name << ": " << err.toStdString();
            EXPECT_TRUE(err.startsWith("marbleglen: ")) << name;
        } else {
            EXPECT_TRUE(err.isEmpty()) << name << ": " << err.toStdString();
        }
    }
    EXPECT_EQ(ReadFile(settings.storeFile()), storedBefore) << "nothing stored";
    EXPECT_TRUE(QDir(state.path()).isEmpty()) << "no state written";
}

// Good command lines: each runs the show full screen with no main window,
// until Escape, a click or a signal ends it with exit code 0; the overrides
// are for that run alone. --verbose names each picture as it is shown.
TEST(CommandLine, AShowRunsAtOnceAndEndsWithZero)
{
    TempStore settings;
    QTemporaryDir pictures, state;
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg"})
        ASSERT_TRUE(picturefiles::write(pictures.path() + "/" + name, picturefiles::jpeg(64, 48)));
    AppSettings::WriteText("varImagePath2", pictures.path().toStdString());
    AppSettings::WriteText("varSlideShowDelayTime", "7");
    const QByteArray storedBefore = ReadFile(settings.storeFile());

    enum class End { Escape, Click, Term, Int, Hup };
    struct Row {
        QStringList arguments;
        End end;
        int picturesBeforeEnd;  // shown before the end is sent
    } const rows[] = {
        {{"--show", "2", "--order", "progressive", "--verbose"}, End::Escape, 1},
        {{"--show", pictures.path(), "--order", "random", "--delay", "0.5", "--verbose"}, End::Click, 3},
        {{"--show", pictures.path() + "/", "--delay", "0.5", "--verbose", "--kiosk"}, End::Term, 2},
        {{"--show=" + pictures.path(), "--order=random", "--delay=1", "--verbose"}, End::Int, 1},
        {{"--verbose", "--delay", "0.5", "--show", "2"}, End::Hup, 2},
    };
    for (const Row& row : rows) {
        const std::string name = row.arguments.join(' ').toStdString();
        QProcess program;
        Prepare(program, state.path(), true);
        program.start(MARBLEGLEN_BIN, row.arguments);
        program.waitForStarted(kPatience);
        QByteArray out;
        ASSERT_TRUE(WaitForLines(program, out, row.picturesBeforeEnd)) << name << ": " << out.toStdString()
                                                                       << program.readAllStandardError().toStdString();
        QTest::qWait(200);
        if (row.arguments.contains("--kiosk")) {
            // A child at the frame: a click leaves the show running.
            QProcess::execute("xdotool", {"click", "1"});
            EXPECT_FALSE(program.waitForFinished(700)) << name << ": a click ended the kiosk show";
            EXPECT_TRUE(pointerInvisible()) << name;
        }
        switch (row.end) {
        case End::Escape: QProcess::execute("xdotool", {"key", "Escape"}); break;
        case End::Click: QProcess::execute("xdotool", {"click", "1"}); break;
        case End::Term: ::kill(static_cast<pid_t>(program.processId()), SIGTERM); break;
        case End::Int: ::kill(static_cast<pid_t>(program.processId()), SIGINT); break;
        case End::Hup: ::kill(static_cast<pid_t>(program.processId()), SIGHUP); break;
        }
        ASSERT_TRUE(program.waitForFinished(kPatience)) << name;
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << name;
        EXPECT_EQ(program.exitCode(), 0) << name;
        out += program.readAllStandardOutput();
        for (const QByteArray& line : out.trimmed().split('\n'))
            EXPECT_TRUE(line.startsWith(QFile::encodeName(pictures.path()))) << name << ": " << line.toStdString();
        const QByteArray err = program.readAllStandardError();
        EXPECT_FALSE(err.contains("marbleglen:")) << name << ": " << err.toStdString();
    }
    EXPECT_EQ(ReadFile(settings.storeFile()), storedBefore) << "the overrides are not stored";
}

// A service manager stopping the show: the screen saver held off through the
// desktop service is given back, and the place is saved, before exit code 0.
TEST(CommandLine, EndSignalsGiveTheScreenSaverBackAndSaveThePlace)
{
    TempStore settings;
    QTemporaryDir pictures, state;
    for (const char* name : {"a.jpg", "b.jpg"})
        ASSERT_TRUE(picturefiles::write(pictures.path() + "/" + name, picturefiles::jpeg(64, 48)));
    FakeDesktop desktop;
    ASSERT_TRUE(desktop.ready());

    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        desktop.said.clear();
        QProcess program;
        Prepare(program, state.path(), true);
        desktop.join(program);
        program.start(MARBLEGLEN_BIN, {"--show", pictures.path(), "--order", "random", "--verbose"});
        program.waitForStarted(kPatience);
        QByteArray out;
        ASSERT_TRUE(WaitForLines(program, out, 1)) << signal;
        ASSERT_TRUE(desktop.waitFor("Inhibit ")) << signal;
        ::kill(static_cast<pid_t>(program.processId()), signal);
        ASSERT_TRUE(program.waitForFinished(kPatience)) << signal;
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << signal;
        EXPECT_EQ(program.exitCode(), 0) << signal;
        EXPECT_TRUE(desktop.waitFor("UnInhibit ")) << signal << ": " << desktop.said.toStdString();
        const QStringList saved = QDir(state.path() + "/marbleglen").entryList({"random-*.state"});
        ASSERT_EQ(saved.size(), 1) << signal;
        EXPECT_GT(QFileInfo(state.path() + "/marbleglen/" + saved.first()).size(), 20) << signal;
    }
}

namespace {

// The colour at the middle of the X screen, where the viewer centres a picture.
QRgb ScreenCentre()
{
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return 0;
    const int screen = DefaultScreen(display);
    XImage* image = XGetImage(display, RootWindow(display, screen), DisplayWidth(display, screen) / 2,
                              DisplayHeight(display, screen) / 2, 1, 1, AllPlanes, ZPixmap);
    const unsigned long pixel = image ? XGetPixel(image, 0, 0) : 0;
    if (image)
        XDestroyImage(image);
    XCloseDisplay(display);
    return QRgb(pixel & 0xffffff);
}

// The server's DPMS level; none where the server has no DPMS (Xvfb).
std::optional<int> DpmsLevel()
{
    Display* display = XOpenDisplay(nullptr);
    int event = 0, error = 0;
    std::optional<int> level;
    if (display && DPMSQueryExtension(display, &event, &error) && DPMSCapable(display)) {
        CARD16 power = 0;
        BOOL enabled = False;
        DPMSInfo(display, &power, &enabled);
        level = power;
    }
    if (display)
        XCloseDisplay(display);
    return level;
}

template <class Condition>
bool Within(int ms, Condition condition)
{
    QElapsedTimer waited;
    waited.start();
    while (!condition() && waited.elapsed() < ms)
        QTest::qWait(50);
    return condition();
}

// UTC seconds of today's (or another day's) hh:mm:ss.
std::time_t Today(int hours, int minutes, int seconds, int days = 0)
{
    const std::time_t now = std::time(nullptr);
    return now - now % 86400 + days * 86400 + hours * 3600 + minutes * 60 + seconds;
}

}  // namespace

// The screen asleep outside --awake, on a clock the test moves (a file of
// seconds added to the system's, in a test build), in UTC: started in 1970
// at night, the clock set to today; the span's end passing by the program's
// own timer; a key waking it for five minutes; the next morning's start.
// Asleep: the picture is covered black and no step comes, the screen saver is
// given back, and the screen is off through DPMS, or, on a server without
// DPMS (Xvfb), said once on stderr. Escape while asleep ends the show with
// the screen on.
TEST(CommandLine, TheScreenSleepsOutsideTheAwakeHours)
{
    TempStore settings;
    QTemporaryDir pictures, state, clock;
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg"})
        ASSERT_TRUE(picturefiles::write(pictures.path() + "/" + name, picturefiles::solidJpeg(320, 240, 0xff30c030)));
    FakeDesktop desktop;
    ASSERT_TRUE(desktop.ready());
    const QString clockFile = clock.path() + "/offset";
    auto setClock = [&](std::time_t to) {
        QFile file(clockFile + ".new");
        file.open(QIODevice::WriteOnly);
        file.write(QByteArray::number(qlonglong(to - std::time(nullptr))));
        file.close();
        ::rename(QFile::encodeName(clockFile + ".new"), QFile::encodeName(clockFile));
    };
    setClock(30);

    QProcess program;
    Prepare(program, state.path(), true);
    desktop.join(program);
    QProcessEnvironment env = program.processEnvironment();
    env.insert("TZ", "UTC");
    env.insert("MARBLEGLEN_TEST_CLOCK", clockFile);
    program.setProcessEnvironment(env);
    program.start(MARBLEGLEN_BIN, {"--show", pictures.path(), "--order", "progressive", "--delay", "0.5",
                                   "--verbose", "--awake", "07:00-22:00"});
    ASSERT_TRUE(program.waitForStarted(kPatience));
    QByteArray out, err;
    auto steps = [&] {
        program.waitForReadyRead(20);
        out += program.readAllStandardOutput();
        err += program.readAllStandardError();
        return out.count('\n');
    };
    auto black = [] { return ScreenCentre() == 0; };
    auto shown = [] { return qGreen(ScreenCentre()) > 150 && qRed(ScreenCentre()) < 100; };
    const bool dpms = DpmsLevel().has_value();
    auto asleep = [&](const char* when) {
        ASSERT_TRUE(Within(kPatience, black)) << when << ": not black";
        ASSERT_TRUE(desktop.waitFor("UnInhibit ")) << when;
        if (dpms) {
            EXPECT_EQ(DpmsLevel(), std::optional<int>(DPMSModeOff)) << when;
        }
        const int before = steps();
        QTest::qWait(800);  // past the next step, were the show going on
        EXPECT_EQ(steps(), before) << when << ": the show went on asleep";
        desktop.said.clear();
    };
    auto awake = [&](const char* when) {
        const int before = steps();
        ASSERT_TRUE(Within(kPatience, shown)) << when << ": no picture";
        ASSERT_TRUE(desktop.waitFor("Inhibit ")) << when;
        if (dpms) {
            EXPECT_EQ(DpmsLevel(), std::optional<int>(DPMSModeOn)) << when;
        }
        EXPECT_TRUE(Within(kPatience, [&] { return steps() >= before + 2; })) << when << ": the show did not go on";
        desktop.said.clear();
    };

    // 1970-01-01 00:00:30: the first picture is chosen, under black.
    ASSERT_TRUE(Within(kPatience, [&] { return steps() >= 1; }));
    asleep("started at night");
    setClock(Today(21, 59, 56));
    awake("the clock set to today");
    asleep("22:00 came");
    QProcess::execute("xdotool", {"key", "a"});
    awake("a key");
    setClock(Today(22, 6, 0));
    asleep("five minutes after the key");
    setClock(Today(6, 59, 59, 1));
    EXPECT_TRUE(black()) << "awake before 07:00";
    awake("07:00 came");
    setClock(Today(23, 0, 0, 1));
    asleep("23:00");

    QProcess::execute("xdotool", {"key", "Escape"});
    ASSERT_TRUE(program.waitForFinished(kPatience));
    EXPECT_EQ(program.exitCode(), 0);
    err += program.readAllStandardError();
    if (dpms) {
        EXPECT_EQ(DpmsLevel(), std::optional<int>(DPMSModeOn)) << "the screen is left off";
        EXPECT_FALSE(err.contains("marbleglen:")) << err.toStdString();
    } else {
        EXPECT_EQ(err.count("no power control"), 1) << err.toStdString();
    }
}
