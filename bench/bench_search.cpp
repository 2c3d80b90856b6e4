// The folder search on a synthetic library of 100,000 files in 5,000 folders
// up to 10 levels deep (about 70% pictures named "*.jpg" in mixed capitals,
// the rest decoys), against the walkers people use. Measured in one run,
// interleaved, over the rounds:
//   find TREE -iname '*.jpg'                     the usual baseline
//   fdfind -u -j8 -g -i '*.jpg' TREE             the fast one, 8 threads
//   the walk producing the image list, without a window
//   the walk one folder at a time (for comparison)
//   a folder-caption click, list filled and first painted (offscreen)
// Each is timed the same way: wall time from start to end (find and fdfind
// as processes, their output thrown away; the walk in this process).
//
// Usage: bench_search [MODE] [ROUNDS [TREE]]
//   warm     (default) caches warm: a first round is not counted
//   cold     the page cache dropped before each round of each contender
//            (needs root: without it the mode says so and is skipped)
//   latency  every folder listing waits 2 ms, as on a network share: the
//            benchmark runs itself again with a preloaded library that adds
//            the wait to readdir and getdents64, for find and fdfind too
//   threads  the walk alone with 2 to 32 threads, cold and slowed
//   watch    the folder watcher set up on the walk's result, against the walk
//            itself in the same rounds (caches warm), and the memory it adds
// TREE (default: bench-tree beside the build's bin folder) is built once and
// kept, so later runs skip building.
#include <QApplication>
#include <QElapsedTimer>
#include <QStatusBar>
#include <QTemporaryDir>

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bench/PageCache.h"
#include "bench/SearchTree.h"
#include "bench/Spread.h"
#include "app/FolderWalk.h"
#include "app/FolderWatcher.h"
#include "app/ImageListBox.h"
#include "program/Program.h"
#include "app/frmSearch.h"
#include "app/runtime_services.h"
#include "settings/AppSettings.h"

extern char** environ;

namespace {
using search_tree::kFiles;
using search_tree::kFolders;
using search_tree::kMaxDepth;
constexpr long kListingWaitUs = 2000;
const char* const kWaitVariable = "MARBLEGLEN_SLOW_LISTING_US";
const char* const kCountVariable = "MARBLEGLEN_SLOW_LISTING_COUNT";


double nowMs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double timeMs(const std::function<void()>& run)
{
    const double start = nowMs();
    run();
    return nowMs() - start;
}

// Runs a program with its arguments as they are (no shell), its output to
// `output` (or thrown away), with `extraEnv` ("NAME=value") added to the
// environment; false when it could not run or failed.
bool runProgram(const std::vector<std::string>& args, const char* output = "/dev/null",
                const std::vector<std::string>& extraEnv = {})
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> env;
    for (char** e = environ; *e; ++e) {
        const std::string_view entry(*e);
        const bool replaced = std::any_of(extraEnv.begin(), extraEnv.end(), [&](const std::string& x) {
            return entry.substr(0, entry.find('=') + 1) == std::string_view(x).substr(0, x.find('=') + 1);
        });
        if (!replaced)
            env.push_back(*e);
    }
    for (const std::string& e : extraEnv)
        env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return false;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::size_t linesIn(const QString& file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return static_cast<std::size_t>(f.readAll().count('\n'));
}

// The preloaded slow-listing library's controls, when it is loaded.
void (*setListingWait)(long) = nullptr;
long (*slowedListings)() = nullptr;

// Counts the paints of the widget it watches.
class PaintCount : public QObject {
public:
    int count = 0;
    bool eventFilter(QObject*, QEvent* e) override
    {
        count += e->type() == QEvent::Paint;
        return false;
    }
};

struct Contender {
    Contender(std::string n, std::function<void()> r, int most, QString counts = {})
        : name(std::move(n)), run(std::move(r)), rounds(most), countFile(std::move(counts))
    {
    }
    std::string name;
    std::function<void()> run;
    int rounds;  // at most this many (the slow ones in latency mode)
    QString countFile;  // where a program started reports its slowed listings
    std::vector<double> ms;
    std::vector<long> listings;  // slowed listings of each run in this process
};

std::size_t walk(const std::string& root, int threads)
{
    QByteArray path(root.c_str());
    std::int64_t files = 0, dirs = 0, notSearched = 0;
    std::vector<QByteArray> found;
    if (threads > 0)
        FindFiles(path, "*.jpg", files, dirs, notSearched, found, nullptr, threads);
    else
        FindFilesInTurn(path, "*.jpg", files, dirs, notSearched, found);
    return found.size();
}

// Rounds of every contender, interleaved; `before` runs ahead of each timed run.
void measure(std::vector<Contender>& contenders, int rounds, bool discardFirst,
             const std::function<void()>& before)
{
    for (int round = discardFirst ? -1 : 0; round < rounds; ++round)
        for (Contender& c : contenders) {
            if (round >= c.rounds)
                continue;
            before();
            const long listed = slowedListings ? slowedListings() : 0;
            const double ms = timeMs(c.run);
            if (round >= 0)
                c.ms.push_back(ms);
            if (slowedListings && slowedListings() > listed)
                c.listings.push_back(slowedListings() - listed);
        }
}

void printTable(const char* title, const std::vector<Contender>& contenders)
{
    std::printf("\n%s\n", title);
    std::printf("  %-34s %9s %9s %9s  %7s %9s\n", "wall time, ms", "min", "median", "max", "/find", "/fdfind");
    const double find = spreadOf(contenders[0].ms).median, fd = spreadOf(contenders[1].ms).median;
    for (const Contender& c : contenders) {
        const Spread s = spreadOf(c.ms);
        std::printf("  %-34s %9.1f %9.1f %9.1f  %7.2f %9.2f   (%zu rounds)\n", c.name.c_str(), s.min, s.median,
                    s.max, s.median / find, s.median / fd, c.ms.size());
    }
    std::fflush(stdout);
}

// Slowed listings of each run: from this process's counter, or from the
// reports the programs started wrote.
void printListingCounts(const std::vector<Contender>& contenders)
{
    std::printf("  listings slowed in each run:");
    for (const Contender& c : contenders) {
        std::vector<long> n = c.listings;
        QFile f(c.countFile);
        if (!c.countFile.isEmpty() && f.open(QIODevice::ReadOnly))
            for (const QByteArray& line : f.readAll().split('\n'))
                if (!line.isEmpty())
                    n.push_back(line.split(' ').value(1).toLong());
        if (n.empty())
            continue;
        const auto [least, most] = std::minmax_element(n.begin(), n.end());
        std::printf(" %s %ld", c.name.c_str(), *least);
        if (*most != *least)
            std::printf("-%ld", *most);
        std::printf(";");
    }
    std::printf("\n");
}

// Bytes of the heap in use.
double heapBytes()
{
    const struct mallinfo2 m = mallinfo2();
    return static_cast<double>(m.uordblks + m.hblkhd);
}

double residentBytes()
{
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

// The walk, then a watcher set up on what it found, round after round: each
// one's wall time, and what the watcher holds once set up.
int benchWatch(const std::string& root, int rounds)
{
    std::vector<double> walks, setUps, heap, resident;
    FolderWatcher::Counts counts;
    for (int round = -1; round < rounds; ++round) {
        QByteArray path(root.c_str());
        std::int64_t files = 0, dirs = 0, notSearched = 0;
        std::vector<QByteArray> found;
        std::vector<WalkedFolder> folders;
        const double walk = timeMs([&] { FindFiles(path, "*.jpg", files, dirs, notSearched, found, nullptr,
                                                   kWalkThreads, &folders); });
        const std::size_t pictures = found.size(), listed = folders.size();
        // A show keeps the list and hands the watcher a copy.
        const std::vector<QByteArray> list = found;
        auto watcher = std::make_unique<FolderWatcher>(QByteArray(root.c_str()), "*.jpg",
                                                       [](std::vector<FolderChange>&&) {});
        const double setUp = timeMs([&] {
            watcher->start(std::move(found), std::move(folders));
            if (!watcher->waitUntilSetUp(std::chrono::minutes(1)))
                std::fprintf(stderr, "the watcher was not set up within a minute\n");
        });
        counts = watcher->counts();
        // What it holds: the memory in use with it and without it.
        malloc_trim(0);
        const double heapWith = heapBytes(), residentWith = residentBytes();
        watcher.reset();
        malloc_trim(0);
        if (round >= 0) {
            walks.push_back(walk);
            setUps.push_back(setUp);
            heap.push_back(heapWith - heapBytes());
            resident.push_back(residentWith - residentBytes());
        }
        if (round == -1)
            std::printf("%zu pictures in %zu folders; %d folders watched, %d polled\n", pictures, listed,
                        counts.watched, counts.polled);
    }
    const Spread w = spreadOf(walks), s = spreadOf(setUps), h = spreadOf(heap), r = spreadOf(resident);
    std::printf("\nwarm caches, %d rounds          %9s %9s %9s\n", rounds, "min", "median", "max");
    std::printf("  walk, %2d threads, ms          %9.1f %9.1f %9.1f\n", kWalkThreads, w.min, w.median, w.max);
    std::printf("  watcher set up, ms            %9.1f %9.1f %9.1f   (%.2f x the walk)\n", s.min, s.median, s.max,
                s.median / w.median);
    std::printf("  heap the watcher holds, MB    %9.2f %9.2f %9.2f\n", h.min / 1e6, h.median / 1e6, h.max / 1e6);
    std::printf("  resident memory added, MB     %9.2f %9.2f %9.2f\n", r.min / 1e6, r.median / 1e6, r.max / 1e6);
    return 0;
}

std::string selfPath()
{
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}
}  // namespace

int main(int argc, char** argv)
{
    std::string mode = "warm";
    int arg = 1;
    if (argc > 1 && !std::isdigit(static_cast<unsigned char>(argv[1][0])))
        mode = argv[arg++];
    if (mode != "warm" && mode != "cold" && mode != "latency" && mode != "threads" && mode != "watch") {
        std::fprintf(stderr, "bench_search: no mode named '%s' (warm, cold, latency, threads, watch)\n", mode.c_str());
        return 2;
    }
    const bool coldRounds = mode == "cold" || mode == "threads";
    if (coldRounds && (geteuid() != 0 || access("/proc/sys/vm/drop_caches", W_OK) != 0)) {
        std::printf("the %s mode drops the page cache before each round, which needs root: skipped\n",
                    mode.c_str());
        return 0;
    }
    // Slowed listings need the library loaded from the start: run again with it.
    const std::string exe = selfPath();
    const std::string dir = exe.substr(0, exe.rfind('/'));
    if ((mode == "latency" || mode == "threads") && !std::getenv(kWaitVariable)) {
        const std::string preload = dir + "/libslow_listing.so";
        setenv("LD_PRELOAD", preload.c_str(), 1);
        setenv(kWaitVariable, "0", 1);  // off until the measuring starts
        execv(exe.c_str(), argv);
        std::perror("bench_search: running again with the slow listing");
        return 1;
    }
    const int rounds = arg < argc ? std::max(1, std::atoi(argv[arg++])) : 5;
    const std::string root = arg < argc ? std::string(argv[arg++]) : dir + "/../bench-tree";

    QTemporaryDir settings, scratch;
    setenv("XDG_CONFIG_HOME", settings.path().toLocal8Bit().constData(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);

    if (struct stat st {}; stat(root.c_str(), &st) != 0) {
        mkdir(root.c_str(), 0755);
        std::printf("building the tree in %s ...\n", root.c_str());
        const int matching = search_tree::build(root);
        std::printf("%d files, %d named *.jpg, %d folders up to %d levels\n", kFiles, matching, kFolders,
                    kMaxDepth);
    }
    if (mode == "watch")
        return benchWatch(root, rounds);

    {
        cRegistry reg = AppSettings::Open();
        reg.setValueKey("varImagePath1");
        reg.setValue(Variant(root));
    }
    Program program;
    program.setMessageSink([](const QString& text) { std::fprintf(stderr, "message: %s\n", qPrintable(text)); });
    frmSearch& window = program.frmSearch();
    window.show();
    QApplication::processEvents();

    const std::vector<std::string> find = {"find", root, "-iname", "*.jpg"};
    const std::vector<std::string> fd = {"fdfind", "-u", "-j8", "-g", "-i", "*.jpg", root};

    // Every contender finds the same files (checked once, not timed).
    const QString findOut = scratch.filePath("find"), fdOut = scratch.filePath("fd");
    const bool haveFd = runProgram(fd, QFile::encodeName(fdOut).constData());
    if (!runProgram(find, QFile::encodeName(findOut).constData()) || !haveFd) {
        std::fprintf(stderr, "bench_search: find or fdfind did not run (fdfind: Debian package fd-find)\n");
        return 1;
    }
    const std::size_t walked = walk(root, kWalkThreads);
    window.lblImageCaption1_Click();
    std::printf("files found: find %zu, fdfind %zu, walk %zu, walk in turn %zu; window: %d entries, status \"%s\"\n",
                linesIn(findOut), linesIn(fdOut), walked, walk(root, 0), window.List1->ListCount(),
                qPrintable(window.StatusBar1->currentMessage()));

    const bool slowed = mode == "latency" || mode == "threads";
    const int slowRounds = slowed ? std::min(rounds, 2) : rounds;  // find and the walk in turn take 10 s and more
    if (slowed) {
        setListingWait = reinterpret_cast<void (*)(long)>(dlsym(RTLD_DEFAULT, "marbleglen_slow_listing_set"));
        slowedListings = reinterpret_cast<long (*)()>(dlsym(RTLD_DEFAULT, "marbleglen_slow_listing_count"));
        if (!setListingWait || !slowedListings) {
            std::fprintf(stderr, "bench_search: the slow-listing library is not loaded\n");
            return 1;
        }
        setListingWait(kListingWaitUs);
    }
    // The programs started get the wait through their environment, and each
    // reports its slowed listings to a file of its own.
    auto process = [&](const std::vector<std::string>& args, const QString& countFile) {
        std::vector<std::string> env;
        if (slowed)
            env = {std::string(kWaitVariable) + "=" + std::to_string(kListingWaitUs),
                   std::string(kCountVariable) + "=" + QFile::encodeName(countFile).toStdString()};
        return [args, env] {
            if (!runProgram(args, "/dev/null", env))
                std::fprintf(stderr, "%s failed\n", args[0].c_str());
        };
    };
    const QString findCounts = scratch.filePath("find-listings"), fdCounts = scratch.filePath("fd-listings");

    if (mode == "threads") {
        auto sweep = [&](const char* title, const std::function<void()>& before) {
            std::vector<Contender> table;
            for (int threads : {2, 4, 8, 16, 32})
                table.emplace_back("walk, " + std::to_string(threads) + " threads",
                                   [&root, threads] { walk(root, threads); }, rounds);
            measure(table, rounds, false, before);
            std::printf("\n%s\n", title);
            for (const Contender& c : table) {
                const Spread s = spreadOf(c.ms);
                std::printf("  %-20s %9.1f %9.1f %9.1f ms (min, median, max)\n", c.name.c_str(), s.min, s.median,
                            s.max);
            }
        };
        setListingWait(0);
        sweep("the walk alone, page cache dropped before each round", [] { dropCaches(); });
        setListingWait(kListingWaitUs);
        sweep("the walk alone, every folder listing waits 2 ms", [] {});
        return 0;
    }

    std::vector<Contender> contenders = {
        {"find -iname '*.jpg'", process(find, findCounts), slowRounds, findCounts},
        {"fdfind -u -j8 -g -i '*.jpg'", process(fd, fdCounts), rounds, fdCounts},
        {"walk, " + std::to_string(kWalkThreads) + " threads", [&] { walk(root, kWalkThreads); }, rounds},
        {"walk in turn", [&] { walk(root, 0); }, slowRounds},
        {"click, filled and painted",
         [&] {
             window.lblImageCaption1_Click();
             window.List1->viewport()->repaint();
         },
         rounds},
    };
    if (mode == "warm") {
        measure(contenders, rounds, true, [] {});
        printTable("warm caches", contenders);
    } else if (mode == "cold") {
        measure(contenders, rounds, false, [] { dropCaches(); });
        printTable("cold: page cache dropped before each round of each contender", contenders);
    } else {
        measure(contenders, rounds, true, [] {});
        printTable("every folder listing waits 2 ms (caches warm)", contenders);
        printListingCounts(contenders);
    }

    if (mode == "warm") {
        // The list alone: 100,000 entries filled and first painted. The view
        // paints only the rows in sight, so this is small; the paints are
        // counted, so that a figure with no paint behind it is never printed.
        PaintCount paints;
        window.List1->viewport()->installEventFilter(&paints);
        std::vector<double> fill;
        for (int round = 0; round < rounds; ++round) {
            std::vector<QByteArray> paths;
            for (int i = 0; i < kFiles; ++i)
                paths.push_back("/photos/Folder " + QByteArray::number(i / 20) + "/IMG_" + QByteArray::number(i) +
                                ".jpg");
            window.List1->Clear();
            fill.push_back(timeMs([&] {
                window.List1->AddItems(std::move(paths));
                window.List1->viewport()->repaint();
            }));
        }
        if (paints.count < rounds) {
            std::fprintf(stderr, "the list was painted %d times in %d rounds\n", paints.count, rounds);
            return 1;
        }
        const Spread s = spreadOf(fill);
        std::printf("  100,000 entries filled and first painted: %.1f ms (%.1f-%.1f), %d rows in sight\n", s.median,
                    s.min, s.max, window.List1->viewport()->height() / std::max(1, window.List1->sizeHintForRow(0)));
    }
    return 0;
}
