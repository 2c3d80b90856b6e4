// Side by side with other picture viewers, as a user meets them: each viewer
// a real program on the X server this runs under, full screen, on the same
// pictures in the same order. For each it steps through them one key press at
// a time (an XTEST key press, as xdotool sends it), a paused step: before each
// press it waits until the viewer has been idle a while (its processor time
// still, the screen unchanged), so that whatever a viewer prepares ahead is
// ready. It times the press to the new picture on screen: the screen is
// watched with the X DAMAGE extension, after each change reported it reads a
// middle row and column of the screen back, and the step ends at the first
// read that shows what the screen settles on. Before ending a viewer it reads
// its peak resident size (VmHWM).
//
// Usage: bench_peers [--rounds N] [--verbose] [--before MARBLEGLEN] FOLDER MARBLEGLEN
//   FOLDER holds the pictures (*.jpg, in name order); MARBLEGLEN is our
//   program, with marbleglen-reg beside it; --before adds another build of it
//   (say, main's) as one more row. Every viewer runs once per round, in turn.
#include <X11/keysym.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/ScreenWatch.h"
#include "bench/Spread.h"

namespace {

using screen_watch::Clock;
using screen_watch::msBetween;
namespace fs = std::filesystem;

bool verbose = false;  // each step's time on stderr

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

struct Viewer {
    std::string name;
    KeySym next;                    // the key that shows the next picture
    std::vector<std::string> argv;  // the program and its arguments
    std::string marbleglen;         // our program: opened on the list through its main window
};

struct Result {
    std::vector<double> steps;  // key press to the new picture on screen, ms
    long peakKb = 0;
    int missed = 0;  // presses after which the screen did not change
};

// Processor time used so far by the process and all its threads, in ticks.
long cpuTicks(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
}

long peakKb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

bool alive(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == 0; }

// Until the screen has not changed for 500 ms and the process has used no
// processor time for 300 ms (at most `ms`): whatever it prepares ahead is done.
bool settle(ScreenWatch& screen, pid_t pid, int ms)
{
    const Clock::time_point start = Clock::now();
    std::string shown = screen.sample();
    long cpu = cpuTicks(pid);
    Clock::time_point shownSince = Clock::now(), cpuSince = Clock::now();
    while (msBetween(start, Clock::now()) < ms) {
        sleepMs(50);
        if (!alive(pid))
            return false;
        const std::string now = screen.sample();
        if (now != shown) {
            shown = now;
            shownSince = Clock::now();
        }
        const long c = cpuTicks(pid);
        if (c != cpu) {
            cpu = c;
            cpuSince = Clock::now();
        }
        if (msBetween(shownSince, Clock::now()) >= 500 && msBetween(cpuSince, Clock::now()) >= 300)
            return true;
    }
    return false;
}

// Runs a command, its output dropped.
int run(const std::vector<std::string>& argv)
{
    std::string line;
    // Appended: GCC 12 at -O3 warns falsely (-Wrestrict) about "'" + a.
    for (const std::string& a : argv)
        line.append(line.empty() ? "" : " ").append("'").append(a).append("'");
    return std::system((line + " >/dev/null").c_str());
}

std::string output(const std::string& command)
{
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe))
            text += buffer;
        pclose(pipe);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

pid_t start(const std::vector<std::string>& argv, const std::string& configHome)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (!configHome.empty())
            setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        std::perror(args[0]);
        _exit(127);
    }
    return pid;
}

// Our program shows a list built by its main window: the folder goes into
// the first search folder, the main window searches it (its first caption)
// and "View Image" opens the viewer on the first picture.
bool openMarbleglen(pid_t pid)
{
    const std::string window = output("timeout 30 xdotool search --sync --onlyvisible --pid " + std::to_string(pid) +
                                      " --name '^Marbleglen$' 2>/dev/null | head -n 1");
    if (window.empty())
        return false;
    run({"xdotool", "windowactivate", "--sync", window});
    sleepMs(500);
    run({"xdotool", "mousemove", "--window", window, "80", "152", "click", "1"});
    sleepMs(1500);
    run({"xdotool", "mousemove", "--window", window, "90", "83", "click", "1"});
    return true;
}

Result measure(ScreenWatch& screen, const Viewer& viewer, const std::string& folder, int pictures)
{
    Result result;
    std::string configHome;
    if (!viewer.marbleglen.empty()) {
        char dir[] = "/tmp/bench-peers.XXXXXX";
        configHome = mkdtemp(dir) ? dir : "";
        const std::string reg = (fs::path(viewer.marbleglen).parent_path() / "marbleglen-reg").string();
        const std::string key = "HKCU\\Software\\Marbleglen";
        setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
        run({reg, "add", key, "/v", "varImagePath1", "/d", folder, "/f"});
        run({reg, "add", key, "/v", "txtImageCaption1", "/d", "Pictures", "/f"});
        unsetenv("XDG_CONFIG_HOME");
    }
    screen.parkPointer();
    const pid_t pid = start(viewer.argv, configHome);
    sleepMs(300);
    if (!viewer.marbleglen.empty() && !openMarbleglen(pid))
        std::fprintf(stderr, "%s: the main window did not show\n", viewer.name.c_str());
    screen.parkPointer();
    if (!settle(screen, pid, 30000))
        std::fprintf(stderr, "%s: did not settle on the first picture\n", viewer.name.c_str());

    for (int step = 1; step < pictures && alive(pid); ++step) {
        settle(screen, pid, 15000);
        const std::string before = screen.sample();
        screen.clearDamage();
        const Clock::time_point pressed = Clock::now();
        screen.press(viewer.next);
        // Each change reported, with what the screen then shows; the step
        // ends once nothing has changed for 400 ms.
        std::vector<std::pair<Clock::time_point, std::string>> seen;
        while (screen.waitDamage(seen.empty() ? 15000 : 400))
            seen.emplace_back(Clock::now(), screen.sample());
        if (seen.empty() || seen.back().second == before) {
            ++result.missed;
            continue;
        }
        for (const auto& [when, shown] : seen)
            if (shown == seen.back().second) {
                result.steps.push_back(msBetween(pressed, when));
                if (verbose)
                    std::fprintf(stderr, "%s, step %d: %.1f ms\n", viewer.name.c_str(), step, result.steps.back());
                break;
            }
    }
    result.peakKb = peakKb(pid);
    kill(pid, SIGTERM);
    for (int i = 0; i < 50 && alive(pid); ++i)
        sleepMs(100);
    if (alive(pid))
        kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    if (!configHome.empty())
        fs::remove_all(configHome);
    return result;
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = 1;
    std::string before;
    std::vector<std::string> rest;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (a == "--verbose")
            verbose = true;
        else if (a == "--before" && i + 1 < argc)
            before = argv[++i];
        else
            rest.push_back(a);
    }
    if (rest.size() != 2) {
        std::fprintf(stderr, "usage: bench_peers [--rounds N] [--verbose] [--before MARBLEGLEN] FOLDER MARBLEGLEN\n");
        return 2;
    }
    const std::string folder = fs::absolute(rest[0]).string();
    const std::string ours = fs::absolute(rest[1]).string();

    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().extension() == ".jpg")
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    if (files.size() < 2) {
        std::fprintf(stderr, "bench_peers: fewer than two pictures in %s\n", folder.c_str());
        return 1;
    }
    // Read once, so that every viewer finds them in the page cache.
    for (const std::string& f : files) {
        std::ifstream in(f, std::ios::binary);
        std::vector<char> buffer(1 << 20);
        while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())))
            ;
    }

    ScreenWatch screen;
    if (!screen.ok()) {
        std::fprintf(stderr, "bench_peers: needs an X server with XTEST and DAMAGE\n");
        return 1;
    }
    std::vector<Viewer> viewers;
    viewers.push_back({"marbleglen", XK_Down, {ours}, ours});
    if (!before.empty())
        viewers.push_back({"marbleglen before", XK_Down, {before}, before});
    std::vector<std::string> feh = {"feh", "--fullscreen", "--hide-pointer"};
    std::vector<std::string> nsxiv = {"nsxiv", "-f", "-b", "-s", "d"};
    feh.insert(feh.end(), files.begin(), files.end());
    nsxiv.insert(nsxiv.end(), files.begin(), files.end());
    viewers.push_back({"feh", XK_Right, feh, ""});
    viewers.push_back({"nsxiv", XK_n, nsxiv, ""});

    std::vector<Result> results(viewers.size());
    for (int r = 0; r < rounds; ++r)
        for (std::size_t v = 0; v < viewers.size(); ++v) {
            const Result one = measure(screen, viewers[v], folder, static_cast<int>(files.size()));
            Result& all = results[v];
            all.steps.insert(all.steps.end(), one.steps.begin(), one.steps.end());
            all.peakKb = std::max(all.peakKb, one.peakKb);
            all.missed += one.missed;
        }

    std::printf("%zu pictures from %s on a %dx%d screen; %d paused steps per viewer and round, %d round(s)\n",
                files.size(), folder.c_str(), screen.width(), screen.height(), static_cast<int>(files.size()) - 1,
                rounds);
    std::printf("%-18s %34s %10s %8s\n", "viewer", "key to screen, ms: median [min-max]", "peak MB", "missed");
    for (std::size_t v = 0; v < viewers.size(); ++v) {
        const Spread s = spreadOf(results[v].steps);
        std::printf("%-18s %14.1f [%6.1f-%6.1f] %10.1f %8d\n", viewers[v].name.c_str(), s.median, s.min, s.max,
                    results[v].peakKb / 1024.0, results[v].missed);
    }
    // Ratios of our program to its peers, from this run.
    const std::size_t peers = viewers.size() - 2;
    double bestPeer = 0;
    for (std::size_t v = peers; v < viewers.size(); ++v) {
        const double m = spreadOf(results[v].steps).median;
        if (bestPeer == 0 || (m > 0 && m < bestPeer))
            bestPeer = m;
    }
    const double fehPeak = static_cast<double>(results[peers].peakKb);
    for (std::size_t v = 0; v < peers; ++v)
        std::printf("%s: step %.2f x the best peer's (median), worst step %.2f x; peak memory %.2f x feh's\n",
                    viewers[v].name.c_str(), spreadOf(results[v].steps).median / bestPeer,
                    spreadOf(results[v].steps).max / bestPeer, static_cast<double>(results[v].peakKb) / fehPeak);
    return 0;
}
