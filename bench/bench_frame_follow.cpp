// Pictures copied into a running picture frame's folder, one by one at a
// steady pace, by another process: for each, the time from the end of its copy
// (its close) to its joining the show's list, and with --new-first to its being
// on screen; and the longest gap between two pictures shown. With inotify
// events and with every folder polled, on a folder of some thousands of
// pictures. Runs the real program (a test build: it tells when a change joins
// the list); needs an X server.
//
//   bench_frame_follow MARBLEGLEN [PICTURES [COPIES]]
//   bench_frame_follow copy FROM FOLDER COPIES PACE_MS     (the copying process)
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/viewer/PictureFiles.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::int64_t nowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

// The copying process: each copy written and closed, then when it was closed told.
int copyMany(const char* from, const char* folder, int copies, int paceMs)
{
    QFile source(from);
    if (!source.open(QIODevice::ReadOnly))
        return 1;
    const QByteArray bytes = source.readAll();
    auto next = Clock::now();
    for (int i = 0; i < copies; ++i) {
        std::this_thread::sleep_until(next);
        next += std::chrono::milliseconds(paceMs);
        char name[32];
        std::snprintf(name, sizeof name, "in-%04d.jpg", i);
        const std::string path = std::string(folder) + "/" + name;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, bytes.constData(), static_cast<std::size_t>(bytes.size())) != bytes.size())
            return 1;
        // Timed just before the close that completes it: nothing can see it complete earlier.
        const std::int64_t closing = nowNs();
        ::close(fd);
        std::printf("%lld %s\n", static_cast<long long>(closing), name);
        std::fflush(stdout);
    }
    return 0;
}

struct Figures {
    std::vector<double> joined, onScreen;  // seconds after the copy's close
    double longestGap = 0;                 // seconds between two pictures shown
    int copies = 0;
};

std::string nameOf(const QByteArray& path) { return path.mid(path.lastIndexOf('/') + 1).toStdString(); }

Figures runOnce(const char* program, const QString& self, const QString& folder, const QString& source, int copies,
                int paceMs, bool poll, bool newFirst)
{
    QTemporaryDir state;
    QProcess show, copier;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_STATE_HOME", state.path());
    env.insert("MARBLEGLEN_TEST_CHANGES", "1");
    if (poll)
        env.insert("MARBLEGLEN_TEST_POLL", "1");
    show.setProcessEnvironment(env);
    QDir(folder).mkpath("incoming");
    QStringList args = {"--show", folder, "--order", "random", "--delay", "0.5", "--verbose"};
    if (newFirst)
        args << "--new-first";
    show.start(program, args);
    show.waitForStarted();

    std::map<std::string, std::int64_t> closed, joined, shown;
    std::vector<std::int64_t> ticks;
    QByteArray out, err, copied;
    auto take = [](QByteArray& buffer, auto&& line) {
        for (int nl; (nl = buffer.indexOf('\n')) >= 0; buffer.remove(0, nl + 1))
            line(buffer.left(nl));
    };
    auto read = [&] {
        show.waitForReadyRead(5);
        const std::int64_t at = nowNs();
        out += show.readAllStandardOutput();
        err += show.readAllStandardError();
        take(out, [&](const QByteArray& line) {
            ticks.push_back(at);
            shown.emplace(nameOf(line), at);
        });
        // "marbleglen: joined NANOSECONDS PATH"
        take(err, [&](const QByteArray& line) {
            const QList<QByteArray> w = line.split(' ');
            if (w.size() >= 4 && w[1] == "joined")
                joined.emplace(nameOf(line), w[2].toLongLong());
        });
        if (copier.state() != QProcess::NotRunning) {
            copier.waitForReadyRead(5);
            copied += copier.readAllStandardOutput();
            take(copied, [&](const QByteArray& line) {
                const QList<QByteArray> w = line.split(' ');
                if (w.size() == 2)
                    closed.emplace(w[1].toStdString(), w[0].toLongLong());
            });
        }
    };
    // The first pictures on screen and the walk long over before copying starts.
    const auto settled = Clock::now() + 3s;
    while (Clock::now() < settled)
        read();
    const std::size_t firstTick = ticks.size();
    copier.start(self, {"copy", source, folder + "/incoming", QString::number(copies), QString::number(paceMs)});
    copier.waitForStarted();
    // Until every copy joined (and with --new-first was shown), or a minute after the last.
    auto lastCopy = Clock::now() + std::chrono::milliseconds(paceMs) * copies;
    while (Clock::now() < lastCopy + 60s) {
        read();
        const bool all = closed.size() == static_cast<std::size_t>(copies) &&
                         std::all_of(closed.begin(), closed.end(), [&](const auto& c) {
                             return joined.count(c.first) && (!newFirst || shown.count(c.first));
                         });
        if (all && copier.state() == QProcess::NotRunning)
            break;
    }
    // A few ticks more, for the gaps.
    const auto more = Clock::now() + 1500ms;
    while (Clock::now() < more)
        read();
    show.terminate();
    show.waitForFinished(5000);
    copier.waitForFinished(5000);
    QDir(folder + "/incoming").removeRecursively();

    Figures f;
    f.copies = static_cast<int>(closed.size());
    for (const auto& [name, at] : closed) {
        if (joined.count(name))
            f.joined.push_back(static_cast<double>(joined[name] - at) / 1e9);
        if (newFirst && shown.count(name))
            f.onScreen.push_back(static_cast<double>(shown[name] - at) / 1e9);
    }
    for (std::size_t i = firstTick + 1; i < ticks.size(); ++i)
        f.longestGap = std::max(f.longestGap, static_cast<double>(ticks[i] - ticks[i - 1]) / 1e9);
    return f;
}

// Median, worst, and which copy (0: the first) was the worst.
std::string medianWorst(const std::vector<double>& v, int of)
{
    char text[96];
    if (v.empty())
        return "none";
    const auto worst = std::max_element(v.begin(), v.end());
    std::vector<double> sorted = v;
    std::sort(sorted.begin(), sorted.end());
    std::snprintf(text, sizeof text, "%6.3f s %6.3f s #%-4td (%zu of %d)", sorted[sorted.size() / 2], *worst,
                  worst - v.begin(), v.size(), of);
    return text;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 6 && std::string(argv[1]) == "copy")
        return copyMany(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_frame_follow MARBLEGLEN [PICTURES [COPIES]]\n");
        return 2;
    }
    const int pictures = argc > 2 ? std::atoi(argv[2]) : 3000;
    const int copies = argc > 3 ? std::atoi(argv[3]) : 1000;
    // A copy every 20 ms: 1,000 in 20 s. With --new-first, slower than the
    // show's delay, so that each can be shown before the next comes.
    constexpr int kPaceMs = 20, kNewFirstCopies = 30, kNewFirstPaceMs = 750;

    QTemporaryDir work;
    const QString folder = work.filePath("pictures");
    for (int i = 0; i < pictures; ++i) {
        const QString sub = folder + QString("/album %1").arg(i / 100);
        if (i % 100 == 0)
            QDir().mkpath(sub);
        QFile file(sub + QString("/IMG_%1.jpg").arg(i));
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        file.write(picturefiles::jpeg(64, 48));
    }
    const QString source = work.filePath("photo.jpg");
    {
        QFile file(source);
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        file.write(picturefiles::jpeg(1600, 1200));  // a photo's size on screen
    }
    const QString self = QString::fromLocal8Bit(argv[0]);
    std::printf("%d pictures in %d folders; a 0.5 s random show; copies of a %lld-byte JPEG\n", pictures,
                (pictures + 99) / 100, static_cast<long long>(QFile(source).size()));
    std::printf("%-26s %-40s %-40s %s\n", "", "close to joined (median, worst #copy)", "close to on screen (median, worst #copy)",
                "longest tick gap");
    for (const bool poll : {false, true}) {
        for (const bool newFirst : {false, true}) {
            const int n = newFirst ? kNewFirstCopies : copies;
            const Figures f = runOnce(argv[1], self, folder, source, n, newFirst ? kNewFirstPaceMs : kPaceMs, poll, newFirst);
            char label[64];
            std::snprintf(label, sizeof label, "%s, %d %s", poll ? "polled" : "events", n,
                          newFirst ? "new first" : "copies");
            std::printf("%-26s %-40s %-40s %.3f s\n", label, medianWorst(f.joined, n).c_str(),
                        newFirst ? medianWorst(f.onScreen, n).c_str() : "-", f.longestGap);
            std::fflush(stdout);
        }
    }
    return 0;
}
