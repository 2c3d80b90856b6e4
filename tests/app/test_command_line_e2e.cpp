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
    QProcess bus;
    bus.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
    ASSERT_TRUE(bus.waitForStarted(kPatience) && bus.waitForReadyRead(kPatience));
    const QString address = QString::fromUtf8(bus.readLine()).trimmed();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", address);
    QProcess desktop;
    desktop.setProcessEnvironment(env);
    desktop.start(FAKE_SCREENSAVER, {"--service"});
    ASSERT_TRUE(desktop.waitForStarted(kPatience) && desktop.waitForReadyRead(kPatience));
    ASSERT_EQ(desktop.readLine().trimmed(), "ready");
    QByteArray said;
    auto waitFor = [&](const QByteArray& word) {
        QElapsedTimer waited;
        waited.start();
        while (!said.contains(word) && waited.elapsed() < kPatience) {
            desktop.waitForReadyRead(100);
            said += desktop.readAll();
        }
        return said.contains(word);
    };

    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        said.clear();
        QProcess program;
        Prepare(program, state.path(), true);
        QProcessEnvironment withBus = program.processEnvironment();
        withBus.insert("DBUS_SESSION_BUS_ADDRESS", address);
        program.setProcessEnvironment(withBus);
        program.start(MARBLEGLEN_BIN, {"--show", pictures.path(), "--order", "random", "--verbose"});
        program.waitForStarted(kPatience);
        QByteArray out;
        ASSERT_TRUE(WaitForLines(program, out, 1)) << signal;
        ASSERT_TRUE(waitFor("Inhibit ")) << signal;
        ::kill(static_cast<pid_t>(program.processId()), signal);
        ASSERT_TRUE(program.waitForFinished(kPatience)) << signal;
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << signal;
        EXPECT_EQ(program.exitCode(), 0) << signal;
        EXPECT_TRUE(waitFor("UnInhibit ")) << signal << ": " << said.toStdString();
        const QStringList saved = QDir(state.path() + "/marbleglen").entryList({"random-*.state"});
        ASSERT_EQ(saved.size(), 1) << signal;
        EXPECT_GT(QFileInfo(state.path() + "/marbleglen/" + saved.first()).size(), 20) << signal;
    }
    desktop.terminate();
    desktop.waitForFinished(kPatience);
    bus.terminate();
    bus.waitForFinished(kPatience);
}
