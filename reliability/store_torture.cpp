// Drives the settings store through the registry class as hard as a user never
// would: writers killed at random moments, two writers at once, a file system
// that fills up. Every check prints its figures and exits non-zero on a fault.
//
//   store-torture kill ROUNDS           writers killed with SIGKILL, store checked after each
//   store-torture contend WRITES SHARED two writers at once
//   store-torture full [--fsize]        fill the store's file system (or a file-size limit)
//   store-torture writer START VALUES   (internal) sets values forever, acknowledging each
//   store-torture pair NAME WRITES SHARED (internal) one of the two contending writers
//
// The store is the one XDG_CONFIG_HOME points at.

#include <sqlite3.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "settings/cRegistry.h"

namespace {

const char* const kSection = "Software\\Marbleglen\\Torture";

// A value's content names its own sequence number, repeated to a length that
// depends on it (up to a few pages), so a torn or mixed value never parses.
std::string content(long seq)
{
    char unit[16];
    std::snprintf(unit, sizeof unit, "%010ld;", seq);
    const std::size_t length = 11 * (1 + static_cast<std::size_t>(seq * 7919 % 420));
    std::string s;
    s.reserve(length);
    while (s.size() < length)
        s += unit;
    return s;
}

std::optional<long> parseContent(const std::string& s)
{
    if (s.size() < 11)
        return std::nullopt;
    char* end = nullptr;
    const long seq = std::strtol(s.c_str(), &end, 10);
    if (end != s.c_str() + 10 || seq < 0 || content(seq) != s)
        return std::nullopt;
    return seq;
}

// Appended rather than "t" + std::to_string(...): GCC 12 at -O3 warns falsely
// (-Wrestrict) about a literal put in front of a temporary string.
std::string valueName(long seq, int values) { return std::string("t").append(std::to_string(seq % values)); }

cRegistry registryFor(const std::string& name)
{
    cRegistry reg;
    reg.setClassKey(HKEY_CURRENT_USER);
    reg.setSectionKey(kSection);
    reg.setValueType(REG_SZ);
    reg.setValueKey(name);
    return reg;
}

void setText(const std::string& name, const std::string& text) { registryFor(name).setValue(text); }

// nullopt when the value is missing (or unreadable, which the caller counts alike).
std::optional<std::string> getText(const std::string& name)
{
    cRegistry reg = registryFor(name);
    Variant v = reg.Value();
    if (auto s = std::get_if<std::string>(&v))
        return *s;
    return std::nullopt;
}

// SQLite's own verdict on the file; "ok" or the first complaints.
std::string integrityCheck()
{
    sqlite3* db = nullptr;
    std::string verdict;
    if (sqlite3_open_v2(RegStorePath().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        verdict = std::string("cannot open: ") + sqlite3_errmsg(db);
    } else {
        sqlite3_busy_timeout(db, 10000);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr);
        while (sqlite3_step(st) == SQLITE_ROW)
            verdict += std::string(verdict.empty() ? "" : "; ") +
                       reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
        if (verdict.empty())
            verdict = sqlite3_errmsg(db);
    }
    sqlite3_close(db);
    return verdict;
}

void removeStore()
{
    const std::string path = RegStorePath();
    ::unlink(path.c_str());
    ::unlink((path + "-journal").c_str());
}

void ack(const char* what, long n)
{
    char line[64];
    int len = std::snprintf(line, sizeof line, "%s %ld\n", what, n);
    if (::write(1, line, static_cast<std::size_t>(len)) != len)
        std::exit(3);
}

// ---- writer: sets t0..t(values-1) in turn, forever, one acknowledgement a set.
int runWriter(long start, int values)
{
    for (long seq = start;; ++seq) {
        try {
            setText(valueName(seq, values), content(seq));
        } catch (const RegistryError& e) {
            std::fprintf(stderr, "writer: set %ld failed: %d %s\n", seq, e.Number(), e.Description().c_str());
            return 1;
        }
        ack("ok", seq);
    }
}

std::string selfPath()
{
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string("store-torture");
}

struct Child {
    pid_t pid = -1;
    int out = -1;  // read end of its stdout
};

Child spawn(const std::vector<std::string>& args)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        std::perror("pipe");
        std::exit(2);
    }
    Child c;
    c.pid = ::fork();
    if (c.pid == 0) {
        ::dup2(fds[1], 1);
        std::vector<char*> argv;
        static std::string self = selfPath();
        argv.push_back(self.data());
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(self.c_str(), argv.data());
        _exit(127);
    }
    ::close(fds[1]);
    c.out = fds[0];
    return c;
}

// Everything the child wrote, up to its end.
std::string drain(int fd)
{
    std::string all;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            all.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return all;
}

// Both children's output, read as it comes so that neither blocks on a full pipe.
std::pair<std::string, std::string> drainBoth(int a, int b)
{
    std::string out[2];
    pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    int open = 2;
    char buf[4096];
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents)
                continue;
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                out[i].append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    return {out[0], out[1]};
}

// ---- kill: a writer killed at a random moment, then the store is checked.
int runKill(int rounds)
{
    constexpr int kValues = 8;
    constexpr int kFreshEvery = 25;  // also kill while the store file is being created
    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> delayUs(0, 150000);

    std::map<std::string, long> known;  // the content each value holds now
    long next = 0;
    long acked = 0, torn = 0, lost = 0, inFlightLanded = 0, inFlightNot = 0, badStore = 0, noStoreYet = 0;
    const auto begin = std::chrono::steady_clock::now();

    for (int round = 0; round < rounds; ++round) {
        if (round % kFreshEvery == 0) {
            removeStore();
            known.clear();
        }
        Child c = spawn({"writer", std::to_string(next), std::to_string(kValues)});
        ::usleep(static_cast<useconds_t>(delayUs(rng)));
        ::kill(c.pid, SIGKILL);
        const std::string out = drain(c.out);
        int status = 0;
        ::waitpid(c.pid, &status, 0);
        if (!WIFSIGNALED(status)) {
            std::fprintf(stderr, "round %d: the writer ended by itself (status %d)\n", round, status);
            ++badStore;
        }

        long lastAck = next - 1;
        for (const char* p = out.c_str(); *p;) {
            long seq = 0;
            if (std::sscanf(p, "ok %ld", &seq) == 1) {
                lastAck = seq;
                known[valueName(seq, kValues)] = seq;
                ++acked;
            }
            const char* nl = std::strchr(p, '\n');
            if (!nl)
                break;
            p = nl + 1;
        }
        const long inFlight = lastAck + 1;

        // Reading through the registry class first rolls a hot journal back, as
        // the next start of the program would.
        for (int v = 0; v < kValues; ++v) {
            const std::string name = valueName(v, kValues);
            auto text = getText(name);
            auto was = known.find(name);
            if (!text) {
                if (was != known.end()) {
                    std::fprintf(stderr, "round %d: %s lost (held %ld)\n", round, name.c_str(), was->second);
                    ++lost;
                }
                continue;
            }
            auto seq = parseContent(*text);
            const bool isOld = seq && was != known.end() && *seq == was->second;
            const bool isNew = seq && *seq == inFlight && valueName(inFlight, kValues) == name;
            if (!isOld && !isNew) {
                std::fprintf(stderr, "round %d: %s torn or stale (%zu bytes, starts %.12s)\n", round, name.c_str(),
                             text->size(), text->c_str());
                ++torn;
                continue;
            }
            if (isNew && !isOld)
                ++inFlightLanded;
            known[name] = *seq;
        }
        if (auto f = known.find(valueName(inFlight, kValues)); f == known.end() || f->second != inFlight)
            ++inFlightNot;
        // Killed before the file was made: nothing to check.
        const bool noFile = ::access(RegStorePath().c_str(), F_OK) != 0 && errno == ENOENT;
        const std::string verdict = noFile ? "ok" : integrityCheck();
        noStoreYet += noFile;
        if (verdict != "ok") {
            std::fprintf(stderr, "round %d: integrity check: %s\n", round, verdict.c_str());
            ++badStore;
        }
        next = inFlight + 1;
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::printf("kill: %d writers killed in %.1f s; %ld sets acknowledged before the kills; "
                "the interrupted set had landed %ld times and not landed %ld times; "
                "%ld kills came before the store file existed\n",
                rounds, secs, acked, inFlightLanded, inFlightNot, noStoreYet);
    std::printf("kill: torn or stale values %ld, acknowledged values lost %ld, failed integrity checks %ld\n", torn,
                lost, badStore);
    return torn || lost || badStore ? 1 : 0;
}

// ---- contend: two writers at once.
// Settings-sized values keep the store small, as the program's own is; with
// STORE_TORTURE_LARGE set each value is a few kilobytes (a store of tens of MB).
std::string pairContent(const std::string& who, int i)
{
    static const bool large = std::getenv("STORE_TORTURE_LARGE") != nullptr;
    return who + ":" + std::to_string(i) + ":" + (large ? content(i) : "/home/user/Pictures");
}

int runPair(const std::string& who, int writes, int shared)
{
    const int every = shared > 0 ? writes / shared : 0;
    int sharedDone = 0, failed = 0;
    for (int i = 0; i < writes; ++i) {
        try {
            setText(who + std::to_string(i), pairContent(who, i));
            ack("done", i);
        } catch (const RegistryError& e) {
            std::fprintf(stderr, "%s: write %d failed: %d %s\n", who.c_str(), i, e.Number(), e.Description().c_str());
            ++failed;
        }
        if (every && i % every == every - 1 && sharedDone < shared) {
            try {
                setText("shared", who + ":" + std::to_string(sharedDone));
            } catch (const RegistryError& e) {
                std::fprintf(stderr, "%s: shared write %d failed: %d\n", who.c_str(), sharedDone, e.Number());
                ++failed;
            }
            ++sharedDone;
        }
    }
    return failed ? 1 : 0;
}

int runContend(int writes, int shared)
{
    removeStore();
    const auto begin = std::chrono::steady_clock::now();
    Child a = spawn({"pair", "A", std::to_string(writes), std::to_string(shared)});
    Child b = spawn({"pair", "B", std::to_string(writes), std::to_string(shared)});
    // Only acknowledged writes count: a refused one is reported by the writer.
    std::map<std::string, std::vector<int>> done;
    const auto outs = drainBoth(a.out, b.out);
    for (const auto& [who, out] : {std::pair{"A", outs.first}, std::pair{"B", outs.second}}) {
        for (const char* p = out.c_str(); *p;) {
            int i = 0;
            if (std::sscanf(p, "done %d", &i) == 1)
                done[who].push_back(i);
            const char* nl = std::strchr(p, '\n');
            if (!nl)
                break;
            p = nl + 1;
        }
    }
    int sa = 0, sb = 0;
    ::waitpid(a.pid, &sa, 0);
    ::waitpid(b.pid, &sb, 0);
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const bool writersOk = WIFEXITED(sa) && WEXITSTATUS(sa) == 0 && WIFEXITED(sb) && WEXITSTATUS(sb) == 0;

    long lost = 0, refused = 2L * writes;
    for (const auto& [who, list] : done) {
        refused -= static_cast<long>(list.size());
        for (int i : list)
            lost += getText(who + std::to_string(i)) != pairContent(who, i);
    }
    // Each writer's writes are in order, so the shared value holds the last
    // write of whichever writer wrote last.
    const auto last = getText("shared");
    const std::string lastA = "A:" + std::to_string(shared - 1), lastB = "B:" + std::to_string(shared - 1);
    const bool sharedOk = shared == 0 || (last && (*last == lastA || *last == lastB));
    const std::string verdict = integrityCheck();
    std::printf("contend: 2 writers, %d own values and %d shared writes each, %.1f s (%.0f sets/s); "
                "writes refused %ld; acknowledged writes lost %ld; shared value holds \"%s\" (%s); integrity %s\n",
                writes, shared, secs, 2.0 * (writes + shared) / secs, refused, lost,
                last ? last->c_str() : "(missing)", sharedOk ? "a last write" : "WRONG", verdict.c_str());
    return writersOk && lost == 0 && sharedOk && verdict == "ok" ? 0 : 1;
}

// ---- full: write until the file system (or the file-size limit) refuses.
int runFull(bool fsizeLimit)
{
    removeStore();
    constexpr int kKeep = 10;
    for (int i = 0; i < kKeep; ++i)
        setText("keep" + std::to_string(i), content(i));

    // Space to give back afterwards: a ballast file on the same file system,
    // or (with a file-size limit) the limit itself.
    const std::string dir = RegStorePath().substr(0, RegStorePath().rfind('/'));
    const std::string ballast = dir + "/../ballast";
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    if (fsizeLimit) {
        struct stat st {};
        ::stat(RegStorePath().c_str(), &st);
        ::signal(SIGXFSZ, SIG_IGN);  // a refused write must fail, not end the process
        rlimit lim = old;
        lim.rlim_cur = static_cast<rlim_t>(st.st_size + 256 * 1024);
        ::setrlimit(RLIMIT_FSIZE, &lim);
    } else {
        int fd = ::open(ballast.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char> block(64 * 1024, 'b');
        if (fd < 0 || ::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
            std::fprintf(stderr, "full: no room for the ballast file\n");
            return 2;
        }
        ::close(fd);
    }

    long filled = 0;
    std::optional<RegistryError> refusal;
    for (long i = 1000; i < 1000000 && !refusal; ++i) {
        try {
            setText("fill" + std::to_string(i), content(i));
            ++filled;
        } catch (const RegistryError& e) {
            refusal = e;
        }
    }
    if (!refusal) {
        std::printf("full: the store never filled up\n");
        return 1;
    }
    const bool reported = (refusal->Number() == kErrSetValue || refusal->Number() == kErrRegistry) &&
                          refusal->Description().rfind("Failed to set registry value", 0) == 0;

    long damaged = 0;
    for (int i = 0; i < kKeep; ++i)
        damaged += getText("keep" + std::to_string(i)) != content(i);
    for (long i = 1000; i < 1000 + filled; ++i)
        damaged += getText("fill" + std::to_string(i)) != content(i);
    const bool refusedAbsent = !getText("fill" + std::to_string(1000 + filled));
    const std::string verdictFull = integrityCheck();

    // While full: refused or fitted into a free page, either is sound; no crash.
    bool refusesAgain = false;
    try {
        setText("after", "x");
    } catch (const RegistryError&) {
        refusesAgain = true;
    }
    // Room again: the next write succeeds.
    if (fsizeLimit)
        ::setrlimit(RLIMIT_FSIZE, &old);
    else
        ::unlink(ballast.c_str());
    bool recovered = true;
    try {
        setText("after", "room again");
        recovered = getText("after") == std::string("room again");
    } catch (const RegistryError& e) {
        std::fprintf(stderr, "full: write after freeing space failed: %s\n", e.Description().c_str());
        recovered = false;
    }
    const std::string verdict = integrityCheck();

    std::printf("full (%s): %ld values of up to 4.6 KB written, then the store refused: error %d \"%.60s...\" (%s)\n",
                fsizeLimit ? "file-size limit" : "size-limited tmpfs", filled, refusal->Number(),
                refusal->Description().c_str(), reported ? "the set-value error" : "WRONG ERROR");
    std::printf("full: earlier values damaged %ld; refused value absent %s; integrity while full %s; "
                "a one-line write while full %s; write after freeing space %s; integrity %s\n",
                damaged, refusedAbsent ? "yes" : "NO", verdictFull.c_str(), refusesAgain ? "refused" : "accepted (it fits a free page)",
                recovered ? "ok" : "FAILED", verdict.c_str());
    return reported && damaged == 0 && refusedAbsent && verdictFull == "ok" && recovered && verdict == "ok" ? 0 : 1;
}

int usage()
{
    std::fprintf(stderr, "usage: store-torture kill ROUNDS | contend WRITES SHARED | full [--fsize]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return usage();
    const std::string cmd = argv[1];
    if (cmd == "writer" && argc == 4)
        return runWriter(std::atol(argv[2]), std::atoi(argv[3]));
    if (cmd == "pair" && argc == 5)
        return runPair(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    if (cmd == "kill" && argc == 3)
        return runKill(std::atoi(argv[2]));
    if (cmd == "contend" && argc == 4)
        return runContend(std::atoi(argv[2]), std::atoi(argv[3]));
    if (cmd == "full")
        return runFull(argc == 3 && std::string(argv[2]) == "--fsize");
    return usage();
}
