// The cost of a picture frame keeping its place: what each slide-show tick
// writes and how long it takes, at 10,000 and 1,000,000 pictures, against
// writing the whole cycle anew at every tick; and how long a restart takes to
// put a saved cycle of 1,000,000 back onto the list.
//
//   build/bin/bench_frame_state [FOLDER]   (default build/bench-state, on disk)
#include <QByteArray>
#include <QDir>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/ImageList.h"
#include "bench/Spread.h"
#include "viewer/RandomOrder.h"
#include "viewer/ShowStateFile.h"
#include "viewer/SlideShow.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTicksPerSync = 56;

// Bytes this process has sent to the storage layer (whole pages, as the
// disk sees them), from /proc/self/io; -1 when it cannot be read.
double storageBytes()
{
    std::FILE* f = std::fopen("/proc/self/io", "r");
    if (!f)
        return -1;
    char line[128];
    double bytes = -1;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "write_bytes: %lf", &bytes) == 1)
            break;
    std::fclose(f);
    return bytes;
}

double msSince(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

// Paths shaped like a photo library: 200 pictures a folder.
std::vector<QByteArray> library(std::int32_t n)
{
    std::vector<QByteArray> paths;
    paths.reserve(static_cast<std::size_t>(n));
    for (std::int32_t i = 0; i < n; ++i)
        paths.push_back(QByteArray("/home/frame/Pictures/") + QByteArray::number(2000 + i / 20000) + "/album "
                        + QByteArray::number(i / 200) + "/IMG_" + QByteArray::number(i) + ".jpg");
    return paths;
}

// Ticks as the frame makes them at the shortest delay, 0.5 s: a pick, its
// record, and a sync every 56 ticks (the frame syncs 28 s after the first
// record not yet synced).
void ticks(const std::string& folder, std::int32_t n, std::int32_t count)
{
    const std::vector<QByteArray> paths = library(n);
    const std::string file = folder + "/random-" + std::to_string(n) + ".state";
    ::unlink(file.c_str());
    ShowStateFile store(file, "/home/frame/Pictures", ShowStateFile::Random);
    store.Open();
    const std::uint64_t startBytes = store.BytesWritten();
    const double startStorage = storageBytes();
    RandomOrder order(1);
    std::vector<double> perTick, syncs;
    std::int32_t recorded = 0;
    for (std::int32_t done = 0; done < count;) {
        const auto batch = Clock::now();
        double syncedMs = 0;
        for (int i = 0; i < 1000 && done < count; ++i, ++done) {
            const std::int32_t p = order.Pick(n, false);
            if (order.ShownCount() == recorded + 1)
                store.Shown(PathHash(paths[static_cast<std::size_t>(p)]), p);
            else
                store.NewCycle();
            recorded = order.ShownCount();
            if (done % kTicksPerSync == kTicksPerSync - 1) {
                const auto s = Clock::now();
                store.Sync();
                syncs.push_back(msSince(s));
                syncedMs += syncs.back();
            }
        }
        perTick.push_back((msSince(batch) - syncedMs) * 1000.0 / 1000);
    }
    store.Sync();
    const Spread tick = spreadOf(perTick), sync = spreadOf(syncs);
    const double bytes = double(store.BytesWritten() - startBytes) / count;
    const double storage = (storageBytes() - startStorage) / count;
    std::printf("%9d pictures, %8d ticks%s: %6.1f bytes/tick; record %5.2f us/tick (min %.2f, max %.2f, per 1000 ticks); "
                "sync %6.2f ms (min %.2f, max %.2f) every %d ticks = %.2f us/tick; %.1f bytes/tick reached storage\n",
                n, count, count == n ? " (whole cycle)" : "", bytes, tick.median, tick.min, tick.max, sync.median,
                sync.min, sync.max, kTicksPerSync, sync.median * 1000 / kTicksPerSync, storage);
    if (store.Error().size())
        std::printf("  write error: %s\n", store.Error().c_str());
}

// The baseline: the cycle's shown set written whole at every tick, into a
// temporary file that is synced and renamed (half-way through a cycle).
void snapshots(const std::string& folder, std::int32_t n, int count)
{
    const std::string file = folder + "/snapshot-" + std::to_string(n);
    std::vector<std::uint64_t> shown(static_cast<std::size_t>(n / 2), 0x1234);
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        const auto t = Clock::now();
        const int fd = ::open((file + ".new").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const ssize_t w = ::write(fd, shown.data(), shown.size() * 8);
        const bool ok = w == static_cast<ssize_t>(shown.size() * 8) && fsync(fd) == 0;
        ::close(fd);
        if (!ok || ::rename((file + ".new").c_str(), file.c_str()) != 0)
            std::printf("  snapshot write failed\n");
        times.push_back(msSince(t));
        shown.push_back(0x5678);
    }
    const Spread s = spreadOf(times);
    std::printf("%9d pictures, snapshot per tick (baseline): %9.0f bytes/tick; %8.2f ms/tick (min %.2f, max %.2f)\n", n,
                double(shown.size() * 8), s.median, s.min, s.max);
}

// A restart: the saved cycle read back and put onto the list as the frame
// does it, up to the first pick.
void restart(const std::string& folder, std::int32_t n, std::int32_t saved)
{
    const std::vector<QByteArray> paths = library(n);
    const std::string file = folder + "/restart.state";
    ::unlink(file.c_str());
    {
        ShowStateFile store(file, "/home/frame/Pictures", ShowStateFile::Random);
        store.Open();
        RandomOrder order(2);
        for (std::int32_t i = 0; i < saved; ++i) {
            const std::int32_t p = order.Pick(n, false);
            store.Shown(PathHash(paths[static_cast<std::size_t>(p)]), p);
        }
        store.Sync();
    }
    ImageList list;
    list.append(std::vector<QByteArray>(paths));
    std::vector<double> open, map, total;
    for (int round = 0; round < 5; ++round) {
        const auto t = Clock::now();
        ShowStateFile store(file, "/home/frame/Pictures", ShowStateFile::Random);
        ShowStateFile::Loaded loaded = store.Open();
        std::sort(loaded.shown.begin(), loaded.shown.end());
        open.push_back(msSince(t));
        const auto m = Clock::now();
        std::int32_t shown = 0;
        const RandomOrder::Value value =
            ShownAmong(loaded.shown, n, [&list](std::int32_t i) -> const QByteArray& { return list.path(i); }, shown);
        SlideShow show(ShowValue{ShowOrder::Random, true, -1, {}, 0, value}, list);
        show.RandomPick(list);
        map.push_back(msSince(m));
        total.push_back(msSince(t));
        if (shown != saved)
            std::printf("  mapped %d of %d saved\n", shown, saved);
    }
    const Spread o = spreadOf(open), p = spreadOf(map), a = spreadOf(total);
    std::printf("restart, cycle of %d with %d shown: %7.1f ms (min %.1f, max %.1f): read %.1f ms, onto the list and "
                "first pick %.1f ms\n",
                n, saved, a.median, a.min, a.max, o.median, p.median);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string folder = argc > 1 ? argv[1] : "build/bench-state";
    QDir().mkpath(QString::fromStdString(folder));
    std::printf("State files in %s\n\nPer tick:\n", folder.c_str());
    ticks(folder, 10000, 10000);
    ticks(folder, 1000000, 1000000);
    snapshots(folder, 10000, 200);
    snapshots(folder, 1000000, 10);
    std::printf("\nRestart:\n");
    restart(folder, 1000000, 500000);
    restart(folder, 1000000, 999999);
    return 0;
}
