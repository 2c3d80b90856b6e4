// The viewer's picture loading and stepping on photo-like JPEGs (plasma,
// quality 90, 4:2:0 like a camera's): 24 MP baseline, 24 MP progressive,
// 12 MP and 2 MP, for a 1920 x 1080 screen. Measured in one run, interleaved,
// medians over the rounds:
//   (a) djpeg -scale 1/2 FILE > /dev/null      the baseline
//   (b) the viewer's picture loading to its fitted size
//   (c) Down key to the new picture handed to the window, when it was prepared
//       (and, for comparison, to the picture painted)
// and the memory: a prepared picture's size, pictures held, peak resident size.
//
// Usage: bench_viewer [ROUNDS [PICTURES]]   (default 7 rounds, build/bench-pictures)
// The pictures are made once with ImageMagick and jpegtran and kept in PICTURES.
// (c) uses the screen the program runs on; for the 1920 x 1080 figures run it as
//   MARBLEGLEN_SCREEN=1920x1080x24 scripts/with-xserver build/bin/bench_viewer
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/ImageListBox.h"
#include "app/forms.h"
#include "app/frmSearch.h"
#include "app/runtime_services.h"
#include "viewer/PictureBox.h"
#include "viewer/PictureLoader.h"
#include "viewer/fImage.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

double cpuMs(const rusage& u)
{
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

double processCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return cpuMs(usage);
}

long peakMegabytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

struct Sample {
    const char* name;
    const char* file;
    const char* make;  // shell command run in the pictures folder when the file is missing
};

const Sample kSamples[] = {
    {"24 MP baseline", "base24.jpg",
     "convert -size 6000x4000 plasma: -sampling-factor 4:2:0 -quality 90 base24.jpg"},
    {"24 MP progressive", "prog24.jpg", "jpegtran -progressive -copy none base24.jpg > prog24.jpg"},
    {"12 MP", "mp12.jpg", "convert base24.jpg -resize 4000x3000! -sampling-factor 4:2:0 -quality 90 mp12.jpg"},
    {"2 MP", "mp2.jpg", "convert base24.jpg -resize 1600x1200! -sampling-factor 4:2:0 -quality 90 mp2.jpg"},
};
constexpr int kCount = std::size(kSamples);

bool makePictures(const QString& folder)
{
    QDir().mkpath(folder);
    for (const Sample& s : kSamples) {
        if (QFile::exists(folder + "/" + s.file))
            continue;
        std::printf("making %s (once) ...\n", s.file);
        std::fflush(stdout);
        QProcess shell;
        shell.setWorkingDirectory(folder);
        shell.start("sh", {"-c", s.make});
        if (!shell.waitForFinished(-1) || shell.exitCode() != 0) {
            std::fprintf(stderr, "could not make %s: %s\n", s.file, shell.readAllStandardError().constData());
            return false;
        }
    }
    return true;
}

struct Timing {
    double wall = -1, cpu = -1;
};

// One djpeg run, process start included, its output thrown away.
Timing timeDjpeg(const QByteArray& path)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>("djpeg"), const_cast<char*>("-scale"), const_cast<char*>("1/2"),
                    const_cast<char*>(path.constData()), nullptr};
    const Clock::time_point start = Clock::now();
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, "djpeg", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return {};
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    return {msSince(start), cpuMs(usage)};
}

void pressDown(fImage& viewer)
{
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
    QApplication::sendEvent(&viewer, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Down, Qt::NoModifier);
    QApplication::sendEvent(&viewer, &release);
}

bool waitPrepared(fImage& viewer, const QByteArray& a, const QByteArray& b)
{
    QElapsedTimer timer;
    timer.start();
    while (!(viewer.IsPrepared(a) && viewer.IsPrepared(b))) {
        if (timer.elapsed() > 30000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    QTemporaryDir settings;  // never the user's own settings
    setenv("XDG_CONFIG_HOME", settings.path().toLocal8Bit().constData(), 1);
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const QString folder = argc > 2 ? QString::fromLocal8Bit(argv[2])
                                    : QCoreApplication::applicationDirPath() + "/../bench-pictures";
    if (!makePictures(folder))
        return 1;
    setMsgBoxHook([](const QString& text) { std::fprintf(stderr, "message: %s\n", qPrintable(text)); });

    std::vector<QByteArray> paths;
    for (const Sample& s : kSamples)
        paths.push_back(QFile::encodeName(QDir(folder).absoluteFilePath(s.file)));

    // (c) first, so that the peak resident size is the viewing's own.
    frmSearch& search = forms::frmSearch();
    for (int r = 0; r < rounds + 1; ++r)
        for (const QByteArray& p : paths)
            search.List1->AddItem(p);
    search.List1->setSelected(0);
    search.Command2_Click();
    fImage& viewer = forms::fImage();
    const QSize screen = viewer.ScreenPixels();
    std::vector<double> handed[kCount], painted[kCount];
    qint64 preparedBytes = 0;
    for (int step = 0; step < rounds * kCount; ++step) {
        const int next = (step + 1) % kCount, before = step % kCount;
        if (!waitPrepared(viewer, paths[next], paths[before])) {
            std::fprintf(stderr, "entry %d was never prepared\n", step + 1);
            return 1;
        }
        const Clock::time_point start = Clock::now();
        pressDown(viewer);
        handed[next].push_back(msSince(start));
        viewer.repaint();
        painted[next].push_back(msSince(start));
        preparedBytes = std::max(preparedBytes, viewer.Image1->picture().sizeInBytes());
    }
    const long viewingPeak = peakMegabytes();
    viewer.close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    // (a) and (b), interleaved.
    const QSize fitTo(1920, 1080);
    std::vector<double> djpeg[kCount], load[kCount], djpegCpu[kCount], loadCpu[kCount];
    QSize shown[kCount];
    for (int r = 0; r < rounds; ++r) {
        for (int i = 0; i < kCount; ++i) {
            const Timing t = timeDjpeg(paths[i]);
            djpeg[i].push_back(t.wall);
            djpegCpu[i].push_back(t.cpu);
            const double cpuBefore = processCpuMs();
            const Clock::time_point start = Clock::now();
            const Picture p = loadPictureFile(paths[i], fitTo);
            load[i].push_back(msSince(start));
            loadCpu[i].push_back(processCpuMs() - cpuBefore);
            if (!p.ok()) {
                std::fprintf(stderr, "%s: %s\n", paths[i].constData(), qPrintable(p.error));
                return 1;
            }
            shown[i] = p.image.size();
        }
    }

    std::printf("medians over %d rounds; loading fitted to %dx%d, stepping on a %dx%d screen\n", rounds,
                fitTo.width(), fitTo.height(), screen.width(), screen.height());
    std::printf("wall time, processor time in brackets (steadier on a busy machine)\n");
    std::printf("%-18s %18s %18s %13s %11s %12s\n", "picture", "(a) djpeg 1/2", "(b) loading", "b/a", "(c) handed",
                "(c) painted");
    for (int i = 0; i < kCount; ++i) {
        const double a = median(djpeg[i]), b = median(load[i]);
        const double ac = median(djpegCpu[i]), bc = median(loadCpu[i]);
        std::printf("%-18s %7.1f (%6.1f) ms %7.1f (%6.1f) ms %5.2f (%5.2f) %8.2f ms %9.2f ms  shown %dx%d\n",
                    kSamples[i].name, a, ac, b, bc, a > 0 ? b / a : 0.0, ac > 0 ? bc / ac : 0.0, median(handed[i]),
                    median(painted[i]), shown[i].width(), shown[i].height());
    }
    std::printf("a prepared picture: %.1f MB; held at most: 3; peak resident size while viewing: %ld MB\n",
                preparedBytes / 1048576.0, viewingPeak);
    return 0;
}
