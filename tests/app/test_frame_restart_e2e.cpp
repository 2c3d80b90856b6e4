// The picture frame across restarts: the real program started again and
// again on one folder, ended cleanly, killed at random moments, and with its
// state file cut short as a power cut would leave it or spoilt on purpose.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>

#include <string_view>

#include "tests/support/TempStore.h"
#include "tests/viewer/PictureFiles.h"

namespace {

constexpr int kPatience = 30000;  // the machine may be busy with other work
constexpr qint64 kRecord = 20;    // bytes of one record of the state file

struct ShowRun {
    QList<QByteArray> shown;  // in the order shown
    QByteArray err;
    int exitCode = -1;
    bool exited = false;
};

class Frame {
public:
    Frame()
    {
        for (int folder = 0; folder < 2; ++folder) {
            const QString dir = pictures.path() + QString("/album %1").arg(folder);
            QDir().mkpath(dir);
            for (int i = 0; i < kPictures / 2; ++i)
                picturefiles::write(dir + QString("/IMG_%1.jpg").arg(i), picturefiles::jpeg(32, 24));
        }
    }

    static constexpr int kPictures = 6;
    QTemporaryDir pictures, state;

    QString stateFile(const QString& order) const
    {
        const QStringList files = QDir(state.path() + "/marbleglen").entryList({order + "-*.state"});
        return files.size() == 1 ? state.path() + "/marbleglen/" + files.first() : QString();
    }

    // Starts the show, lets `stop(program, shown)` decide when, and ends it
    // with `signal`.
    template <class Stop>
    ShowRun run(const QString& order, int signal, Stop stop)
    {
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_STATE_HOME", state.path());
        program.setProcessEnvironment(env);
        program.start(MARBLEGLEN_BIN,
                      {"--show", pictures.path(), "--order", order, "--delay", "0.5", "--verbose"});
        program.waitForStarted(kPatience);
        QByteArray out;
        QElapsedTimer since;
        since.start();
        while (program.state() == QProcess::Running && since.elapsed() < kPatience && !stop(out.count('\n'), since.elapsed())) {
            program.waitForReadyRead(10);
            out += program.readAllStandardOutput();
        }
        ::kill(static_cast<pid_t>(program.processId()), signal);
        ShowRun result;
        result.exited = program.waitForFinished(kPatience) && program.exitStatus() == QProcess::NormalExit;
        result.exitCode = program.exitCode();
        out += program.readAllStandardOutput();
        // The program's own lines; Qt may add words of its own.
        for (const QByteArray& line : program.readAllStandardError().split('\n'))
            if (line.startsWith("marbleglen: "))
                result.err += line + '\n';
        for (const QByteArray& line : out.split('\n'))
            if (!line.isEmpty())
                result.shown.append(line);
        return result;
    }
};

}  // namespace

// No picture repeats within a cycle across clean ends and kills (whatever was
// shown was written first); a power cut may bring back only pictures of the
// run it cut short; a spoilt file begins a fresh cycle with one line said.
TEST(FrameRestarts, RandomCycleGoesOnAcrossRestartsKillsAndPowerCuts)
{
    TempStore settings;
    Frame frame;
    enum End { Clean, Kill, KillAnywhere, PowerCut, Spoilt };
    const End plan[] = {Clean, Kill, KillAnywhere, PowerCut, Clean, Spoilt, PowerCut, Clean};
    QRandomGenerator random(20261208);
    QSet<QByteArray> cycle;        // shown in the cycle the program is in
    QSet<QByteArray> mayRepeat;    // their records lost to a power cut
    int cycles = 0, shownInAll = 0;
    for (std::size_t r = 0; r < std::size(plan); ++r) {
        const End end = plan[r];
        const QString file = frame.stateFile("random");
        if (end == Spoilt) {
            QFile spoil(file);
            ASSERT_TRUE(spoil.open(QIODevice::ReadWrite));
            spoil.seek(3);
            spoil.write("spoilt");
        }
        const qint64 sizeBefore = file.isEmpty() ? 0 : QFileInfo(file).size();
        const int pictures = 1 + static_cast<int>(random.bounded(3));
        const int killAt = 50 + static_cast<int>(random.bounded(1500));
        const int signal = end == Clean || end == Spoilt ? SIGTERM : SIGKILL;
        const ShowRun run = frame.run("random", signal, [&](int shown, qint64 elapsed) {
            return end == KillAnywhere ? elapsed >= killAt : shown >= pictures;
        });
        const std::string what = "run " + std::to_string(r);
        if (signal == SIGTERM) {
            EXPECT_TRUE(run.exited) << what;
            EXPECT_EQ(run.exitCode, 0) << what;
        }
        if (end == Spoilt) {
            EXPECT_EQ(run.err.count('\n'), 1) << what << ": " << run.err.toStdString();
            EXPECT_TRUE(run.err.contains(QFile::encodeName(file))) << run.err.toStdString();
            cycle.clear();
            mayRepeat.clear();
        } else if (r > 0 && plan[r - 1] == PowerCut) {
            // A record torn by the cut is said, once.
            EXPECT_LE(run.err.count('\n'), 1) << what << ": " << run.err.toStdString();
        } else {
            EXPECT_TRUE(run.err.isEmpty()) << what << ": " << run.err.toStdString();
        }
        QSet<QByteArray> addedThisRun;
        bool cycleEndedThisRun = false;
        for (const QByteArray& path : run.shown) {
            ++shownInAll;
            if (cycle.contains(path)) {
                EXPECT_TRUE(mayRepeat.remove(path)) << what << ": " << path.toStdString() << " shown twice in a cycle";
            }
            cycle.insert(path);
            addedThisRun.insert(path);
            // The program's cycle ends once it has a record of every picture.
            if (cycle.size() == Frame::kPictures && mayRepeat.isEmpty()) {
                cycle.clear();
                mayRepeat.clear();
                addedThisRun.clear();
                cycleEndedThisRun = true;
                ++cycles;
            }
        }
        if (end == PowerCut && !cycleEndedThisRun) {
            // What was not synced yet is lost: this run's records, from a
            // random byte on. Those pictures may come again, once.
            const QString now = frame.stateFile("random");
            const qint64 sizeNow = QFileInfo(now).size();
            const qint64 cut = sizeBefore + static_cast<qint64>(random.bounded(static_cast<quint32>(sizeNow - sizeBefore + 1)));
            ASSERT_TRUE(QFile::resize(now, cut));
            const qint64 lost = (sizeNow - cut + kRecord - 1) / kRecord;
            for (qint64 i = 0; i < lost && i < run.shown.size(); ++i) {
                const QByteArray& path = run.shown[run.shown.size() - 1 - static_cast<int>(i)];
                if (addedThisRun.contains(path))
                    mayRepeat.insert(path);
            }
        }
    }
    EXPECT_GE(cycles, 1) << "the runs went past the end of a cycle (" << shownInAll << " pictures shown)";
}

// A progressive show goes on after the last picture shown, in list order.
TEST(FrameRestarts, ProgressiveGoesOnAfterTheLastPictureShown)
{
    TempStore settings;
    Frame frame;
    QList<QByteArray> all;
    for (int run = 0; run < 3; ++run) {
        const ShowRun shown = frame.run("progressive", SIGTERM, [](int lines, qint64) { return lines >= 2; });
        EXPECT_EQ(shown.exitCode, 0);
        all += shown.shown;
    }
    ASSERT_GE(all.size(), 6);
    QList<QByteArray> expected;
    for (int folder = 0; folder < 2; ++folder)
        for (int i = 0; i < Frame::kPictures / 2; ++i)
            expected.append(QFile::encodeName(frame.pictures.path() + QString("/album %1/IMG_%2.jpg").arg(folder).arg(i)));
    for (int i = 0; i < all.size(); ++i)
        EXPECT_EQ(all[i], expected[i % expected.size()]) << "picture " << i;
}

// A folder not there at start (a drive not mounted yet): the show starts by
// itself once it holds pictures.
TEST(FrameRestarts, StartsByItselfWhenTheFolderAppears)
{
    TempStore settings;
    QTemporaryDir parent, state;
    const QString folder = parent.path() + "/not yet";
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_STATE_HOME", state.path());
    program.setProcessEnvironment(env);
    program.start(MARBLEGLEN_BIN, {"--show", folder, "--verbose"});
    program.waitForStarted(kPatience);
    QTest::qWait(700);
    ASSERT_EQ(program.state(), QProcess::Running);
    QDir().mkpath(folder);
    picturefiles::write(folder + "/late.jpg", picturefiles::jpeg(32, 24));
    QElapsedTimer waited;
    waited.start();
    QByteArray out;
    while (!out.contains("late.jpg") && waited.elapsed() < kPatience) {
        program.waitForReadyRead(100);
        out += program.readAllStandardOutput();
    }
    EXPECT_TRUE(out.contains("late.jpg"));
    EXPECT_LT(waited.elapsed(), 6000) << "looked again within a few seconds";
    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(kPatience));
    EXPECT_EQ(program.exitCode(), 0);
}

// On a slow share the first picture is up long before the search ends: the
// next one, one delay after the search has ended, comes much later.
TEST(FrameStart, FirstPictureComesBeforeTheSearchEnds)
{
    if (std::string_view(SLOW_LISTING).empty())
        GTEST_SKIP() << "built without the benchmarks' slowed listing library";
    TempStore settings;
    QTemporaryDir tree, state;
    QDir().mkpath(tree.path() + "/a");
    picturefiles::write(tree.path() + "/a/first.jpg", picturefiles::jpeg(32, 24));
    for (int i = 0; i < 300; ++i)
        QDir().mkpath(tree.path() + QString("/b/%1").arg(i));
    QDir().mkpath(tree.path() + "/c");
    picturefiles::write(tree.path() + "/c/last.jpg", picturefiles::jpeg(32, 24));

    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_STATE_HOME", state.path());
    env.insert("LD_PRELOAD", SLOW_LISTING);
    env.insert("MARBLEGLEN_SLOW_LISTING_US", "60000");  // every folder listing waits 60 ms
    program.setProcessEnvironment(env);
    QElapsedTimer since;
    since.start();
    program.start(MARBLEGLEN_BIN, {"--show", tree.path(), "--order", "progressive", "--delay", "0.5", "--verbose"});
    program.waitForStarted(kPatience);
    QByteArray out;
    qint64 first = -1, second = -1;
    while (second < 0 && since.elapsed() < kPatience && program.state() == QProcess::Running) {
        program.waitForReadyRead(10);
        out += program.readAllStandardOutput();
        if (first < 0 && out.count('\n') >= 1)
            first = since.elapsed();
        if (out.count('\n') >= 2)
            second = since.elapsed();
    }
    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(kPatience));
    const QList<QByteArray> lines = out.trimmed().split('\n');
    ASSERT_GE(lines.size(), 2) << out.toStdString();
    EXPECT_TRUE(lines[0].endsWith("/a/first.jpg")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].endsWith("/c/last.jpg")) << lines[1].toStdString();
    // 300 folders at 60 ms, 16 at a time: the search takes over a second.
    EXPECT_GT(second - first, 1000) << "first at " << first << " ms, second at " << second << " ms";
}
