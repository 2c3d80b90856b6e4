// The picture-frame recipes in packaging/frame, used as they are written: the
// two systemd units checked by systemd-analyze, the autostart entry checked by
// desktop-file-validate and started, and the kiosk unit's own commands run
// under cage as an unprivileged user. cage runs on its X11 backend in the test
// run's X server, because its headless backend has no pointer at all and the
// pointer is part of what is checked.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <signal.h>
#include <unistd.h>

#include "settings/AppSettings.h"
#include "tests/support/TempStore.h"
#include "tests/viewer/PictureFiles.h"
#include "viewer/ShowStateFile.h"

namespace {

constexpr int kPatience = 30000;  // the machine may be busy with other work
const QString kRecipes = QStringLiteral(FRAME_RECIPES);
const QString kUser = QStringLiteral("marbleglen-wayland");  // shared with the sway test

QByteArray ReadFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

template <class Condition>
bool WaitFor(Condition condition, int ms = kPatience)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition() && timer.elapsed() < ms)
        QThread::msleep(50);
    return condition();
}

// Runs a command to its end: its exit code and everything it printed.
struct Ran {
    int exitCode = -1;
    QByteArray output;
};
Ran RunTool(const QString& program, const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    Ran ran;
    if (process.waitForFinished(kPatience) && process.exitStatus() == QProcess::NormalExit)
        ran.exitCode = process.exitCode();
    ran.output = process.readAll();
    return ran;
}

// The values of one key of a unit file, in order ("Environment" may come often).
QStringList UnitValues(const QString& unit, const QString& key)
{
    QStringList values;
    for (const QString& line : QString::fromUtf8(ReadFile(unit)).split('\n'))
        if (line.startsWith(key + '='))
            values << line.mid(key.size() + 1);
    return values;
}

// A command line as systemd reads it: words split at blanks, quotes kept
// together; "${NAME}" replaced within a word, a word that is just "$NAME"
// replaced by the value's words.
QStringList SystemdCommand(const QString& line, const QMap<QString, QString>& env)
{
    QStringList words;
    QString word;
    bool inWord = false, quoted = false;
    QChar quote;
    auto finish = [&] {
        if (!inWord)
            return;
        if (!quoted && word.startsWith('$') && !word.startsWith("${")) {
            words << env.value(word.mid(1)).split(' ', Qt::SkipEmptyParts);
        } else {
            for (auto it = env.begin(); it != env.end(); ++it)
                word.replace("${" + it.key() + "}", it.value());
            words << word;
        }
        word.clear();
        inWord = quoted = false;
    };
    for (const QChar c : line) {
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
            else
                word += c;
        } else if (c == '"' || c == '\'') {
            quote = c;
            inWord = quoted = true;
        } else if (c == ' ') {
            finish();
        } else {
            word += c;
            inWord = true;
        }
    }
    finish();
    return words;
}

// The unit's Environment= settings, then those given (as a drop-in would).
QMap<QString, QString> UnitEnvironment(const QString& unit, const QMap<QString, QString>& dropIn)
{
    QMap<QString, QString> env;
    for (const QString& value : UnitValues(unit, "Environment"))
        for (const QString& assignment : SystemdCommand(value, {}))
            env[assignment.section('=', 0, 0)] = assignment.section('=', 1);
    for (auto it = dropIn.begin(); it != dropIn.end(); ++it)
        env[it.key()] = it.value();
    return env;
}

}  // namespace

// Both units as written, but for where the program is (it is not installed
// here): systemd-analyze finds nothing to say, the manual page they point to
// included. It only warns about most mistakes, so anything said is a failure.
TEST(FrameRecipes, SystemdUnitsVerifyAsWritten)
{
    QTemporaryDir dir;
    QDir().mkpath(dir.path() + "/man/man1");
    QDir().mkpath(dir.path() + "/runtime");
    ASSERT_TRUE(QFile::copy(kRecipes + "/../marbleglen.1", dir.path() + "/man/man1/marbleglen.1"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("MANPATH", dir.path() + "/man:/usr/share/man");
    env.insert("XDG_RUNTIME_DIR", dir.path() + "/runtime");  // the user manager's, for --user
    struct Row {
        const char* unit;
        QStringList scope;
    } const rows[] = {{"marbleglen-frame.service", {"--user"}}, {"marbleglen-kiosk.service", {"--system"}}};
    for (const Row& row : rows) {
        const QString unit = dir.path() + "/" + row.unit;
        QByteArray text = ReadFile(kRecipes + "/" + row.unit);
        ASSERT_TRUE(text.contains("/usr/bin/marbleglen ")) << row.unit;
        text.replace("/usr/bin/marbleglen ", QByteArray(MARBLEGLEN_BIN) + ' ');
        ASSERT_TRUE(WriteFile(unit, text));
        const Ran verified = RunTool("systemd-analyze", row.scope + QStringList{"verify", unit}, env);
        EXPECT_EQ(verified.exitCode, 0) << row.unit << ": " << verified.output.toStdString();
        EXPECT_TRUE(verified.output.isEmpty()) << row.unit << ": " << verified.output.toStdString();
        for (const QString& pam : UnitValues(unit, "PAMName"))
            EXPECT_TRUE(QFile::exists("/etc/pam.d/" + pam)) << row.unit << ": no PAM stack " << pam.toStdString();
    }
}

// The autostart entry is valid, and its command, as written, starts a show of
// search folder 1 that keeps its place and ends with 0 on SIGTERM.
TEST(FrameRecipes, AutostartEntryIsValidAndItsCommandStartsTheShow)
{
    const QString entry = kRecipes + "/marbleglen-frame.desktop";
    const Ran validated = RunTool("desktop-file-validate", {entry});
    EXPECT_EQ(validated.exitCode, 0) << validated.output.toStdString();
    EXPECT_TRUE(validated.output.isEmpty()) << validated.output.toStdString();

    TempStore settings;
    QTemporaryDir pictures, state;
    for (const char* name : {"a.jpg", "b.jpg"})
        ASSERT_TRUE(picturefiles::write(pictures.path() + "/" + name, picturefiles::jpeg(64, 48)));
    AppSettings::WriteText("varImagePath1", pictures.path().toStdString());

    const QStringList exec = UnitValues(entry, "Exec");
    ASSERT_EQ(exec.size(), 1);
    QStringList command = QProcess::splitCommand(exec.first());
    ASSERT_FALSE(command.isEmpty());
    ASSERT_EQ(command.first(), "marbleglen") << "the program is found on the PATH";
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_STATE_HOME", state.path());
    program.setProcessEnvironment(env);
    program.start(MARBLEGLEN_BIN, command.mid(1));
    ASSERT_TRUE(program.waitForStarted(kPatience));
    // It runs until stopped; what it showed is in its state file.
    const QString stateDir = state.path() + "/marbleglen";
    auto running = [&] {
        program.waitForFinished(20);  // a mistake on the command line ends it at once
        return !QDir(stateDir).isEmpty() || program.state() != QProcess::Running;
    };
    ASSERT_TRUE(WaitFor(running)) << program.readAllStandardError().toStdString();
    QThread::msleep(1500);
    ASSERT_EQ(program.state(), QProcess::Running) << program.readAllStandardError().toStdString();
    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(kPatience));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_FALSE(program.readAllStandardError().contains("marbleglen:"));
    const QStringList files = QDir(stateDir).entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1);
    const auto order = files.first().startsWith("random") ? ShowStateFile::Random : ShowStateFile::Progressive;
    ShowStateFile saved((stateDir + "/" + files.first()).toStdString(), pictures.path().toStdString(), order);
    const ShowStateFile::Loaded place = saved.Open();
    EXPECT_EQ(place.problem, "");
    EXPECT_TRUE(place.last.has_value()) << "no picture shown";
}

namespace {

// Ends a process and everything below it.
void KillTree(qint64 pid)
{
    if (pid <= 0)
        return;
    ::kill(static_cast<pid_t>(pid), SIGSTOP);  // no new children meanwhile
    for (const QByteArray& child : ReadFile(QString("/proc/%1/task/%1/children").arg(pid)).split(' '))
        if (!child.trimmed().isEmpty())
            KillTree(child.trimmed().toLongLong());
    ::kill(static_cast<pid_t>(pid), SIGKILL);
}

// The kiosk's session: a home of the test user's own holding the program, its
// pictures, its runtime folder and what it says; cage and its helpers started
// there as that user, on the test run's X server.
class KioskSession {
public:
    explicit KioskSession(const QString& home) : home(home), runtime(home + "/runtime")
    {
        QDir().mkpath(runtime);
    }

    ~KioskSession()
    {
        for (auto it = started_.rbegin(); it != started_.rend(); ++it) {
            KillTree((*it)->processId());  // runuser's children would outlive it
            (*it)->waitForFinished(5000);
            delete *it;
        }
    }

    QStringList Environment(const QMap<QString, QString>& extra) const
    {
        QStringList env{"PATH=/usr/bin:/bin", "HOME=" + home, "XDG_RUNTIME_DIR=" + runtime,
                        "DISPLAY=" + qEnvironmentVariable("DISPLAY")};
        if (!socket.isEmpty())
            env << "WAYLAND_DISPLAY=" + socket;
        // The sanitizers' settings of a sanitized build's run; full traces, as
        // Mesa's EGL has no frame pointers (see tests/support/with-weston).
        // The show runs under strace, where the leak checker cannot work (its
        // leaks are looked for by the frame's other tests).
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
            if (qEnvironmentVariableIsSet(name))
                env << QString(name) + "=" + qEnvironmentVariable(name)
                           + (QByteArray(name) == "ASAN_OPTIONS" ? ":fast_unwind_on_malloc=0:detect_leaks=0" : "");
        for (auto it = extra.begin(); it != extra.end(); ++it)
            env << it.key() + "=" + it.value();
        return env;
    }

    QProcess* Start(const QStringList& command, const QMap<QString, QString>& extra = {})
    {
        auto* process = new QProcess;
        process->setStandardErrorFile(home + "/stderr-" + QString::number(started_.size()));
        process->start("runuser", QStringList{"-u", kUser, "--", "env", "-i"} + Environment(extra) + command);
        process->waitForStarted(kPatience);
        started_.push_back(process);
        return process;
    }

    int RunAs(const QStringList& command, const QMap<QString, QString>& extra = {})
    {
        QProcess* process = Start(command, extra);
        return process->waitForFinished(kPatience) ? process->exitCode() : -1;
    }

    bool WaitForSocket(QProcess* compositor)
    {
        return WaitFor([&] {
            for (const QString& name : QDir(runtime).entryList({"wayland-*"}, QDir::System))
                if (!name.endsWith(".lock"))
                    socket = name;
            return !socket.isEmpty() || compositor->state() == QProcess::NotRunning;
        }) && !socket.isEmpty();
    }

    QString home, runtime, socket;

private:
    std::vector<QProcess*> started_;
};

// The child of `parent` whose command is `name` (0 for none).
pid_t ChildNamed(qint64 parent, const QByteArray& name)
{
    const QString path = QString("/proc/%1/task/%1/children").arg(parent);
    for (const QByteArray& child : ReadFile(path).split(' ')) {
        const QString pid = QString::fromLatin1(child.trimmed());
        if (!pid.isEmpty() && ReadFile("/proc/" + pid + "/comm").trimmed() == name)
            return static_cast<pid_t>(pid.toInt());
    }
    return 0;
}

}  // namespace

// The kiosk unit's ExecStart, then its ExecStop, as written (the program's
// path and the folder put in): the show fills cage's output, the pointer that
// comes over it shows nothing, the idle timer waits, and stopping saves the
// pictures shown and ends the show, and with it cage, with status 0.
TEST(FrameRecipes, KioskUnitRunsTheShowUnderCageAndStopsItCleanly)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to create the unprivileged user that runs cage";
    for (const char* tool : {"cage", "grim", "swayidle", "strace", "xhost", "xdotool", "runuser", "useradd"})
        ASSERT_FALSE(QStandardPaths::findExecutable(tool, {"/usr/bin", "/usr/sbin", "/bin", "/sbin"}).isEmpty())
            << tool << " is missing: scripts/ensure-deps installs it";
    if (RunTool("id", {"-u", kUser}).exitCode != 0) {
        ASSERT_EQ(RunTool("useradd", {"--system", "--user-group", "--no-create-home", "--home-dir", "/nonexistent",
                                  "--shell", "/usr/sbin/nologin", kUser}).exitCode, 0);
    }
    ASSERT_EQ(RunTool("xhost", {"+si:localuser:" + kUser}).exitCode, 0);

    QTemporaryDir dir;
    KioskSession session(dir.path());
    const QString folder = dir.path() + "/family photos";  // a name with a space, as ${} keeps it
    QDir().mkpath(folder);
    const QRgb green = qRgb(0, 160, 0);
    for (int i = 0; i < 16; ++i)
        ASSERT_TRUE(picturefiles::write(folder + QString("/IMG_%1.jpg").arg(i), picturefiles::solidJpeg(2048, 1536, green)));
    ASSERT_TRUE(QFile::copy(MARBLEGLEN_BIN, dir.path() + "/marbleglen"));
    ASSERT_EQ(RunTool("chown", {"-R", kUser + ":" + kUser, dir.path()}).exitCode, 0);
    ASSERT_EQ(RunTool("chmod", {"0700", dir.path(), session.runtime}).exitCode, 0);

    const QString unit = kRecipes + "/marbleglen-kiosk.service";
    QMap<QString, QString> env = UnitEnvironment(
        unit, {{"FRAME_SHOW", folder}, {"FRAME_OPTIONS", "--order random --delay 1 --verbose"}});
    QStringList start = SystemdCommand(UnitValues(unit, "ExecStart").value(0), env);
    ASSERT_TRUE(start.contains("/usr/bin/marbleglen"));
    start.replace(start.indexOf("/usr/bin/marbleglen"), dir.path() + "/marbleglen");
    QMap<QString, QString> run = env;
    run.insert(QMap<QString, QString>{{"WLR_BACKENDS", "x11"}, {"WLR_RENDERER", "pixman"}, {"WAYLAND_DEBUG", "client"}});
    QProcess* cage = session.Start(start, run);
    ASSERT_TRUE(session.WaitForSocket(cage)) << ReadFile(dir.path() + "/stderr-0").toStdString();
    const QString log = dir.path() + "/stderr-0";  // cage's, and the show's protocol trace

    QByteArray shown;
    auto readShown = [&] {
        cage->waitForReadyRead(50);
        shown += cage->readAllStandardOutput();
        return shown.contains('\n') || cage->state() != QProcess::Running;
    };
    ASSERT_TRUE(WaitFor(readShown)) << ReadFile(log).toStdString();
    ASSERT_EQ(cage->state(), QProcess::Running) << ReadFile(log).toStdString();
    const pid_t show = ChildNamed(ChildNamed(cage->processId(), "cage"), "marbleglen");
    ASSERT_NE(show, 0);
    // How the show ends is seen from outside: cage does not pass it on.
    QProcess tracer;
    tracer.start("strace", {"-q", "-e", "trace=none", "-e", "signal=none", "-p", QString::number(show)});
    ASSERT_TRUE(tracer.waitForStarted(kPatience));

    // The output, and the size the show's surface takes on it.
    const QRegularExpression mode(R"(wl_output@\d+\.mode\(1, (\d+), (\d+),)");
    const QRegularExpression geometry(R"(set_window_geometry\(0, 0, (\d+), (\d+)\))");
    auto lastSize = [&](const QRegularExpression& pattern) {
        QSize size;
        for (auto it = pattern.globalMatch(QString::fromUtf8(ReadFile(log))); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            size = QSize(m.captured(1).toInt(), m.captured(2).toInt());
        }
        return size;
    };
    const QSize output = lastSize(mode);
    ASSERT_TRUE(output.isValid()) << ReadFile(log).toStdString();
    EXPECT_TRUE(WaitFor([&] { return lastSize(geometry) == output; }, 5000))
        << "output " << output.width() << "x" << output.height() << ", the show's surface "
        << lastSize(geometry).width() << "x" << lastSize(geometry).height();

    // A pointer comes over the show (the X pointer moving in cage's window).
    auto entered = [&] { return ReadFile(log).contains(".enter("); };
    for (const char* at : {"640 512", "300 300", "100 100", "700 600"}) {
        RunTool("xdotool", QString("mousemove %1").arg(at).split(' '));
        if (WaitFor(entered, 1000))
            break;
    }
    ASSERT_TRUE(entered()) << "the pointer never came over the show";
    RunTool("xdotool", {"mousemove_relative", "--", "15", "10"});
    QThread::msleep(500);
    ASSERT_EQ(session.RunAs({"grim", "-c", dir.path() + "/shot.png"}), 0);
    const QImage shot(dir.path() + "/shot.png");
    ASSERT_EQ(shot.size(), output);
    int strange = 0;  // neither the picture's green nor the black around it
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x) {
            const QColor c = shot.pixelColor(x, y);
            const bool isGreen = c.red() < 50 && std::abs(c.green() - 160) < 50 && c.blue() < 50;
            const bool isBlack = c.red() < 30 && c.green() < 30 && c.blue() < 30;
            strange += !isGreen && !isBlack;
        }
    EXPECT_EQ(strange, 0) << "the pointer shows over the kiosk show";

    // The idle timer never runs out while the show runs.
    const QString idle = dir.path() + "/idle";
    session.Start({"swayidle", "-w", "timeout", "1", "touch " + idle});
    QThread::msleep(2500);
    EXPECT_FALSE(QFile::exists(idle)) << "the compositor went idle under the show";

    // systemctl stop: ExecStop as written, as the unit's user.
    const pid_t mainPid = ChildNamed(cage->processId(), "cage");
    QMap<QString, QString> stopEnv = env;
    stopEnv.insert("MAINPID", QString::number(mainPid));
    for (const QString& stop : UnitValues(unit, "ExecStop"))
        EXPECT_EQ(session.RunAs(SystemdCommand(stop, stopEnv)), 0);
    // Then systemd sends SIGTERM to whatever of the unit still runs.
    for (const pid_t left : {mainPid, show})
        if (left && ReadFile(QString("/proc/%1/comm").arg(left)).startsWith(left == show ? "marbleglen" : "cage"))
            ::kill(left, SIGTERM);
    ASSERT_TRUE(cage->waitForFinished(kPatience));
    EXPECT_EQ(cage->exitCode(), 0) << ReadFile(log).right(2000).toStdString();
    ASSERT_TRUE(tracer.waitForFinished(kPatience));
    EXPECT_EQ(tracer.readAllStandardError().trimmed().toStdString(), "+++ exited with 0 +++")
        << ReadFile(log).right(2000).toStdString();
    shown += cage->readAllStandardOutput();

    // The place lives in the user's ~/.local/state, and holds every picture shown.
    const QString stateDir = dir.path() + "/.local/state/marbleglen";
    const QStringList files = QDir(stateDir).entryList({"random-*.state"});
    ASSERT_EQ(files.size(), 1) << stateDir.toStdString();
    ShowStateFile state((stateDir + "/" + files.first()).toStdString(), folder.toStdString(), ShowStateFile::Random);
    const ShowStateFile::Loaded saved = state.Open();
    EXPECT_EQ(saved.problem, "");
    const QList<QByteArray> lines = shown.trimmed().split('\n');
    ASSERT_LT(lines.size(), 16) << "a cycle went round: the check below would not hold";
    for (const QByteArray& path : lines)
        EXPECT_NE(std::find(saved.shown.begin(), saved.shown.end(), PathHash(path)), saved.shown.end())
            << path.toStdString() << " was shown but is not in the saved place";
}
