// A picture frame started from the command line, as a user meets it, on the
// X server this runs under (1920x1080 in bench/run).
//
//   bench_frame start [ROUNDS] [--before MARBLEGLEN] [--trees cold,slow,warm] [--no-peers]
//       the first picture of a show: from the start
//       of the program (fork) to the first screen that shows the picture,
//       both orders, against feh, nsxiv and pqiv, on three trees of real
//       JPEGs: the search benchmark's 100,000 files (69,911 pictures) cold,
//       the same with every folder listing slowed by 2 ms, and a warm tree
//       of 40,000 small pictures in 2,000 folders; beside it our start-up
//       floor, a show of an empty folder (alone: bench_frame floor [ROUNDS]).
//       --before adds another build of our program (say, main's) as a column.
//   bench_frame hour [MINUTES]   a random show at 0.5 s on the 100,000 files:
//       resident memory every 10 s and the gaps between ticks.
//
// The screen is watched with the X DAMAGE extension on the root window. The
// root is painted grey first; after each change reported, a middle row and a
// middle column are read back, and the time is that of the first change after
// which both show the picture (neither black nor the grey background) over
// most of their length: a black window or a line of text does not count.
#include <X11/keysym.h>

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/PageCache.h"
#include "bench/ScreenWatch.h"
#include "bench/SearchTree.h"
#include "bench/Spread.h"

namespace {

using screen_watch::Clock;
using screen_watch::msBetween;
namespace fs = std::filesystem;

constexpr long kBackground = 0x404040;
constexpr int kSlowListingUs = 2000;

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Starts a program with `env` ("NAME=value") added; its standard output to
// `outFd` when given, else thrown away.
pid_t start(const std::vector<std::string>& argv, const std::vector<std::string>& env, int outFd = -1)
{
    const pid_t pid = fork();
    if (pid == 0) {
        for (const std::string& e : env) {
            const std::size_t eq = e.find('=');
            setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
        }
        const int out = outFd >= 0 ? outFd : open("/dev/null", O_WRONLY);
        dup2(out, 1);
        const int err = open("/dev/null", O_WRONLY);
        dup2(err, 2);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

bool exited(pid_t pid, int ms)
{
    for (int waited = 0; waited <= ms; waited += 20) {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return true;
        sleepMs(20);
    }
    return false;
}

// Ends a viewer as a user would (its quit key), so that the slowed-listing
// library reports its count; a signal when that does not work.
void stop(ScreenWatch& screen, pid_t pid, KeySym quit)
{
    screen.press(quit);
    if (exited(pid, 3000))
        return;
    kill(pid, SIGTERM);
    if (exited(pid, 3000))
        return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

std::string selfFolder()
{
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    const std::string exe = n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    return exe.substr(0, exe.rfind('/'));
}

// Makes a picture by a shell command in `folder`, unless it is there.
bool makePicture(const std::string& folder, const std::string& file, const std::string& make)
{
    if (fs::exists(folder + "/" + file))
        return true;
    std::printf("making %s (once) ...\n", file.c_str());
    std::fflush(stdout);
    fs::create_directories(folder);
    return std::system(("cd '" + folder + "' && " + make).c_str()) == 0;
}

// The 100,000-file tree with its pictures hard links of a 12 MP photo.
std::string photoTree(const std::string& build)
{
    const std::string root = build + "/bench-photo-tree";
    if (fs::exists(root + ".complete"))
        return root;
    if (!makePicture(build + "/bench-frame", "photo12.jpg",
                     "convert -size 4000x3000 plasma: -sampling-factor 4:2:0 -quality 90 photo12.jpg"))
        return {};
    fs::remove_all(root);
    fs::create_directories(root);
    std::printf("building %s ...\n", root.c_str());
    std::fflush(stdout);
    const int pictures = search_tree::build(root, build + "/bench-frame/photo12.jpg");
    std::printf("%d files, %d of them pictures (12 MP JPEGs)\n", search_tree::kFiles, pictures);
    // Marked whole beside the tree, where no viewer looks.
    std::ofstream(root + ".complete") << pictures << "\n";
    return root;
}

// 40,000 small pictures in 2,000 folders: 40 years of 50 albums of 20.
std::string smallTree(const std::string& build)
{
    const std::string root = build + "/bench-small-tree";
    if (fs::exists(root + ".complete"))
        return root;
    const std::string folder = build + "/bench-frame";
    if (!makePicture(folder, "small.jpg", "convert photo12.jpg -resize 1600x1200! -quality 85 small.jpg"))
        return {};
    fs::remove_all(root);
    std::printf("building %s ...\n", root.c_str());
    std::fflush(stdout);
    std::string source;
    for (int year = 0; year < 40; ++year)
        for (int album = 0; album < 50; ++album) {
            const std::string dir = root + "/Year " + std::to_string(2000 + year) + "/Album " + std::to_string(album);
            fs::create_directories(dir);
            for (int i = 0; i < 20; ++i) {
                const std::string path = dir + "/IMG_" + std::to_string(i) + ".jpg";
                if (source.empty()) {
                    fs::copy_file(folder + "/small.jpg", path);
                    source = path;
                } else if (link(source.c_str(), path.c_str()) != 0) {
                    std::perror(path.c_str());
                }
            }
        }
    std::ofstream(root + ".complete") << 40000 << "\n";
    return root;
}

struct Contender {
    std::string name;
    std::vector<std::string> argv;
    KeySym quit;
    bool ours;
};

struct Case {
    std::string title;
    std::string tree;
    bool cold = false, slow = false;
};

// One start: milliseconds to the first picture on screen, or -1.
double firstPicture(ScreenWatch& screen, const Contender& c, const Case& k, const std::string& scratch,
                    const std::string& countFile, bool floor)
{
    std::vector<std::string> env;
    if (c.ours) {
        fs::remove_all(scratch);
        fs::create_directories(scratch + "/config");
        fs::create_directories(scratch + "/state");
        env = {"XDG_CONFIG_HOME=" + scratch + "/config", "XDG_STATE_HOME=" + scratch + "/state"};
    }
    if (k.slow)
        env.insert(env.end(), {"LD_PRELOAD=" + selfFolder() + "/libslow_listing.so",
                               "MARBLEGLEN_SLOW_LISTING_US=" + std::to_string(kSlowListingUs),
                               "MARBLEGLEN_SLOW_LISTING_COUNT=" + countFile});
    screen.parkPointer();
    sleepMs(200);
    if (k.cold)
        dropCaches();
    screen.clearDamage();
    const Clock::time_point began = Clock::now();
    const pid_t pid = start(c.argv, env);
    double ms = -1;
    const Clock::time_point until = began + std::chrono::seconds(floor ? 30 : 180);
    while (screen.waitDamage(static_cast<int>(std::max(1.0, msBetween(Clock::now(), until))))) {
        const double at = msBetween(began, Clock::now());
        const ScreenWatch::Cover cover = screen.cover();
        if (floor ? cover.black >= 0.6 : cover.picture >= 0.7) {
            ms = at;
            break;
        }
    }
    if (floor)
        sleepMs(300);  // the notice too
    stop(screen, pid, c.quit);
    sleepMs(300);
    return ms;
}

std::string cell(const std::vector<double>& v)
{
    const Spread s = spreadOf(v);
    char text[64];
    std::snprintf(text, sizeof text, "%7.0f [%5.0f-%5.0f]", s.median, s.min, s.max);
    return text;
}

// Our floor: the black full-screen window of a show with nothing to load (a
// line of text on it, across the middle).
void runFloor(ScreenWatch& screen, int rounds, const std::string& ours, const std::string& scratch)
{
    const std::string empty = fs::path(scratch).parent_path().string() + "/empty";
    fs::create_directories(empty);
    std::vector<double> floorMs;
    const Contender ourFloor{"marbleglen", {ours, "--show", empty, "--order", "random", "--delay", "5"}, XK_Escape,
                             true};
    for (int r = -1; r < rounds; ++r) {
        const double t = firstPicture(screen, ourFloor, Case{"", empty}, scratch, scratch + ".floor", true);
        if (r >= 0 && t >= 0)
            floorMs.push_back(t);
    }
    std::printf("\nour start-up floor, an empty folder: the black full-screen window on screen, ms: %s (%zu of %d "
                "rounds)\n",
                cell(floorMs).c_str(), floorMs.size(), rounds);
}

struct StartOptions {
    int rounds = 5;
    std::string before;              // another build of our program, measured beside
    std::string trees = "cold,slow,warm";
    bool peers = true;
};

int runStart(const StartOptions& options, const std::string& ours)
{
    const int rounds = options.rounds;
    const std::string build = fs::canonical(selfFolder() + "/..").string();
    const std::string photos = photoTree(build);
    const std::string small = smallTree(build);
    if (photos.empty() || small.empty())
        return 1;
    const bool root = geteuid() == 0 && access("/proc/sys/vm/drop_caches", W_OK) == 0;
    ScreenWatch screen(kBackground);
    if (!screen.ok()) {
        std::fprintf(stderr, "bench_frame: needs an X server with XTEST and DAMAGE\n");
        return 1;
    }
    const std::string scratch = build + "/bench-frame/scratch";
    const auto wanted = [&](const char* tree) { return options.trees.find(tree) != std::string::npos; };
    std::vector<Case> cases;
    if (root && wanted("cold"))
        cases.push_back({"100,000 files, cold (page cache dropped)", photos, true, false});
    else if (wanted("cold"))
        std::printf("not root: the cold tree is left out (dropping the page cache needs root)\n");
    if (wanted("slow"))
        cases.push_back({"100,000 files, each folder listing slowed by 2 ms", photos, false, true});
    if (wanted("warm"))
        cases.push_back({"40,000 small pictures in 2,000 folders, warm", small, false, false});

    std::printf("first picture of a show on a %dx%d screen, from the start (fork) to the picture on screen, ms: "
                "median [min-max], %d rounds\n",
                screen.width(), screen.height(), rounds);
    if (root)
        std::printf("(cold: sync and echo 3 > /proc/sys/vm/drop_caches before each start: every viewer starts "
                    "with its binary and libraries, the X server's too, out of the cache)\n");
    // Warm the trees and the programs before counting.
    std::system(("find '" + small + "' '" + photos + "' >/dev/null").c_str());

    for (const char* order : {"progressive", "random"}) {
        const bool random = std::strcmp(order, "random") == 0;
        std::vector<Contender> contenders = {
            {"marbleglen", {ours, "--show", "", "--order", order, "--delay", "5"}, XK_Escape, true},
            {random ? "feh -F -r -z" : "feh -F -r", {"feh", "-F", "-r"}, XK_q, false},
            {"nsxiv -f -r", {"nsxiv", "-f", "-r"}, XK_q, false},
            {random ? "pqiv -f --lazy-load --shuffle" : "pqiv -f --lazy-load", {"pqiv", "-f", "--lazy-load"}, XK_q,
             false},
        };
        if (random) {
            contenders[1].argv.push_back("-z");
            contenders[3].argv.push_back("--shuffle");
        }
        if (!options.peers)
            contenders.resize(1);
        const std::size_t firstPeer = options.before.empty() ? 1 : 2;
        if (!options.before.empty())
            contenders.insert(contenders.begin() + 1, Contender{"marbleglen before", contenders[0].argv, XK_Escape, true});
        if (!options.before.empty())
            contenders[1].argv[0] = options.before;
        std::printf("\n%s order\n", order);
        std::printf("  %-52s", "tree");
        for (const Contender& c : contenders)
            std::printf(" %22s", c.name.c_str());
        std::printf("\n");
        for (const Case& k : cases) {
            std::vector<std::vector<double>> ms(contenders.size());
            std::vector<int> missed(contenders.size());
            const std::string countBase = scratch + ".count-" + order;
            for (std::size_t i = 0; i < contenders.size(); ++i)
                fs::remove(countBase + std::to_string(i));
            for (int r = k.cold ? 0 : -1; r < rounds; ++r)
                for (std::size_t i = 0; i < contenders.size(); ++i) {
                    Contender c = contenders[i];
                    if (c.ours)
                        c.argv[2] = k.tree;
                    else
                        c.argv.push_back(k.tree);
                    const double t = firstPicture(screen, c, k, scratch, countBase + std::to_string(i), false);
                    if (r < 0)
                        continue;  // a first round to warm the cache
                    if (t < 0)
                        ++missed[i];
                    else
                        ms[i].push_back(t);
                }
            std::printf("  %-52s", k.title.c_str());
            for (std::size_t i = 0; i < contenders.size(); ++i)
                std::printf(" %22s", cell(ms[i]).c_str());
            std::printf("\n  %-52s", "  ours / each of the others (medians)");
            double fastest = 0;
            for (std::size_t i = 1; i < contenders.size(); ++i) {
                const double m = median(ms[i]);
                if (i >= firstPeer)
                    fastest = fastest == 0 || (m > 0 && m < fastest) ? m : fastest;
                std::printf(" %22.3f", median(ms[0]) / m);
            }
            std::printf("\n");
            if (fastest > 0)
                std::printf("  %-52s %22.3f\n", "  ours / the fastest peer", median(ms[0]) / fastest);
            for (std::size_t i = 0; i < contenders.size(); ++i)
                if (missed[i])
                    std::printf("  %s: no picture within 180 s in %d round(s)\n", contenders[i].name.c_str(),
                                missed[i]);
            if (k.slow) {
                // What each process reported when it ended: listings slowed.
                std::printf("  listings slowed per start (of 5,001 folders):");
                for (std::size_t i = 0; i < contenders.size(); ++i) {
                    std::ifstream in(countBase + std::to_string(i));
                    long pid = 0, n = 0, least = -1, most = -1;
                    while (in >> pid >> n) {
                        least = least < 0 ? n : std::min(least, n);
                        most = std::max(most, n);
                    }
                    if (least < 0)
                        std::printf(" %s none reported;", contenders[i].name.c_str());
                    else
                        std::printf(" %s %ld-%ld;", contenders[i].name.c_str(), least, most);
                }
                std::printf("\n");
            }
            std::fflush(stdout);
        }
    }

    runFloor(screen, rounds, ours, scratch);
    fs::remove_all(scratch);
    return 0;
}

long residentKb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

int runHour(double minutes, const std::string& ours)
{
    const std::string build = fs::canonical(selfFolder() + "/..").string();
    const std::string photos = photoTree(build);
    if (photos.empty())
        return 1;
    const std::string scratch = build + "/bench-frame/hour";
    fs::remove_all(scratch);
    fs::create_directories(scratch + "/config");
    fs::create_directories(scratch + "/state");
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return 1;
    const Clock::time_point began = Clock::now();
    const pid_t pid = start({ours, "--show", photos, "--order", "random", "--delay", "0.5", "--verbose"},
                            {"XDG_CONFIG_HOME=" + scratch + "/config", "XDG_STATE_HOME=" + scratch + "/state"},
                            pipeFds[1]);
    close(pipeFds[1]);
    std::printf("a random show at 0.5 s on %s for %.0f minutes; resident memory every 10 s\n", photos.c_str(),
                minutes);
    std::fflush(stdout);

    std::vector<Clock::time_point> ticks;
    std::vector<std::pair<double, long>> rss;  // seconds since the start, kB
    std::map<std::string, int> seen;
    int repeats = 0;
    std::string partial;
    Clock::time_point nextSample = began + std::chrono::seconds(10);
    const Clock::time_point until = began + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(minutes * 60));
    bool ended = false;
    while (!ended && Clock::now() < until) {
        const int wait = static_cast<int>(std::max(0.0, msBetween(Clock::now(), std::min(nextSample, until)))) + 1;
        pollfd fd{pipeFds[0], POLLIN, 0};
        if (poll(&fd, 1, wait) > 0) {
            char buffer[65536];
            const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
            const Clock::time_point now = Clock::now();
            if (n <= 0) {
                ended = true;
                break;
            }
            partial.append(buffer, static_cast<std::size_t>(n));
            for (std::size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
                ticks.push_back(now);
                repeats += seen[partial.substr(0, nl)]++ > 0;
                partial.erase(0, nl + 1);
            }
        }
        if (Clock::now() >= nextSample) {
            const double at = msBetween(began, Clock::now()) / 1000;
            rss.emplace_back(at, residentKb(pid));
            nextSample += std::chrono::seconds(10);
            if (rss.size() % 60 == 0) {
                std::printf("  %5.1f min: %zu ticks, resident %.1f MB\n", at / 60, ticks.size(),
                            static_cast<double>(rss.back().second) / 1024);
                std::fflush(stdout);
            }
        }
    }
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);

    std::vector<double> gaps;
    for (std::size_t i = 1; i < ticks.size(); ++i)
        gaps.push_back(msBetween(ticks[i - 1], ticks[i]));
    std::sort(gaps.begin(), gaps.end());
    auto pct = [&](double p) {
        return gaps.empty() ? 0.0 : gaps[std::min(gaps.size() - 1, static_cast<std::size_t>(p * static_cast<double>(gaps.size())))];
    };
    // Resident memory over each ten minutes, and its slope by least squares
    // after the first minute (the walk's list is whole by then).
    std::printf("\n%zu ticks in %.1f min; %d pictures shown twice; ended by SIGTERM with status %d%s\n", ticks.size(),
                msBetween(began, Clock::now()) / 60000, repeats, WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                ended ? " (the program ended early)" : "");
    std::printf("resident memory, MB (mean [min-max]) per ten minutes:\n");
    long most = 0;
    for (double from = 0; from < minutes * 60; from += 600) {
        double sum = 0;
        long lo = -1, hi = 0;
        int n = 0;
        for (const auto& [t, kb] : rss)
            if (t >= from && t < from + 600 && kb > 0) {
                sum += static_cast<double>(kb);
                lo = lo < 0 ? kb : std::min(lo, kb);
                hi = std::max(hi, kb);
                ++n;
            }
        most = std::max(most, hi);
        if (n)
            std::printf("  %3.0f-%3.0f min: %7.1f [%6.1f-%6.1f]\n", from / 60, std::min(minutes, from / 60 + 10),
                        sum / n / 1024, static_cast<double>(lo) / 1024, static_cast<double>(hi) / 1024);
    }
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    int n = 0;
    for (const auto& [t, kb] : rss)
        if (t >= 60 && kb > 0) {
            const double h = t / 3600, y = static_cast<double>(kb) / 1024;
            sx += h, sy += y, sxx += h * h, sxy += h * y;
            ++n;
        }
    const double slope = n > 1 ? (n * sxy - sx * sy) / (n * sxx - sx * sx) : 0;
    std::printf("  max %.1f MB; slope after the first minute %.2f MB per hour (%d samples)\n",
                static_cast<double>(most) / 1024, slope, n);
    std::printf("gap between two ticks (lines of --verbose as they arrive), ms: p50 %.1f, p99 %.1f, p99.9 %.1f, max %.1f\n",
                pct(0.5), pct(0.99), pct(0.999), gaps.empty() ? 0.0 : gaps.back());
    std::printf("  gaps over 600 ms: %zu, over 1 s: %zu\n",
                static_cast<std::size_t>(std::count_if(gaps.begin(), gaps.end(), [](double g) { return g > 600; })),
                static_cast<std::size_t>(std::count_if(gaps.begin(), gaps.end(), [](double g) { return g > 1000; })));
    std::ofstream raw(scratch + "/samples.txt");
    for (const auto& [t, kb] : rss)
        raw << t << " " << kb << "\n";
    std::printf("samples in %s/samples.txt\n", scratch.c_str());
    return ended ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    const std::string ours = selfFolder() + "/marbleglen";
    signal(SIGPIPE, SIG_IGN);
    if (mode == "start") {
        StartOptions options;
        for (int i = 2; i < argc; ++i) {
            const std::string a = argv[i];
            if (a == "--before" && i + 1 < argc)
                options.before = fs::absolute(argv[++i]).string();
            else if (a == "--trees" && i + 1 < argc)
                options.trees = argv[++i];
            else if (a == "--no-peers")
                options.peers = false;
            else
                options.rounds = std::max(1, std::atoi(argv[i]));
        }
        return runStart(options, ours);
    }
    if (mode == "floor") {
        ScreenWatch screen(kBackground);
        if (!screen.ok())
            return 1;
        runFloor(screen, argc > 2 ? std::max(1, std::atoi(argv[2])) : 5, ours,
                 fs::canonical(selfFolder() + "/..").string() + "/bench-frame/scratch");
        return 0;
    }
    if (mode == "hour")
        return runHour(argc > 2 ? std::max(0.5, std::atof(argv[2])) : 60, ours);
    std::fprintf(stderr, "usage: bench_frame start [ROUNDS] [--before MARBLEGLEN] [--trees cold,slow,warm] [--no-peers]\n"
                         "       bench_frame floor [ROUNDS] | hour [MINUTES]\n");
    return 2;
}
