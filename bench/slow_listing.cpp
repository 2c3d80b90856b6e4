// Preloaded into a benchmark and the programs it starts, this makes every
// folder listing wait a fixed time, as on a network share where each listing
// is a round trip. The wait comes once per listing, at its first read, for
// the ways programs list folders: readdir on a directory stream, raw
// getdents64, and scandir (whose reads inside the C library the others do
// not see). MARBLEGLEN_SLOW_LISTING_US sets the wait in microseconds at
// start (a process that preloads this can change it with
// marbleglen_slow_listing_set); with MARBLEGLEN_SLOW_LISTING_COUNT set to a
// file, each process appends "PID LISTINGS" to it when it ends, so that one
// can check that every contender waited once per folder.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {
std::atomic<long> waitUs{[] {
    const char* text = std::getenv("MARBLEGLEN_SLOW_LISTING_US");
    return text ? std::atol(text) : 0L;
}()};
std::atomic<long> listings{0};

void waitOnce()
{
    const long us = waitUs.load(std::memory_order_relaxed);
    if (us <= 0)
        return;
    listings.fetch_add(1, std::memory_order_relaxed);
    timespec t{us / 1000000, (us % 1000000) * 1000};
    while (nanosleep(&t, &t) != 0) {
    }
}

template <typename F>
F next(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

struct Report {
    ~Report()
    {
        const char* file = std::getenv("MARBLEGLEN_SLOW_LISTING_COUNT");
        if (!file || listings.load() == 0)
            return;
        if (std::FILE* out = std::fopen(file, "a")) {
            std::fprintf(out, "%d %ld\n", static_cast<int>(getpid()), listings.load());
            std::fclose(out);
        }
    }
} report;
}  // namespace

extern "C" {
void marbleglen_slow_listing_set(long microseconds) { waitUs.store(microseconds); }
long marbleglen_slow_listing_count() { return listings.load(); }

// A stream at its start has not been read yet.
dirent* readdir(DIR* dir)
{
    static auto real = next<dirent* (*)(DIR*)>("readdir");
    if (telldir(dir) == 0)
        waitOnce();
    return real(dir);
}

dirent64* readdir64(DIR* dir)
{
    static auto real = next<dirent64* (*)(DIR*)>("readdir64");
    if (telldir(dir) == 0)
        waitOnce();
    return real(dir);
}

ssize_t getdents64(int fd, void* buffer, size_t size)
{
    static auto real = next<ssize_t (*)(int, void*, size_t)>("getdents64");
    if (lseek(fd, 0, SEEK_CUR) == 0)
        waitOnce();
    return real(fd, buffer, size);
}

using Select = int (*)(const dirent*);
using Compare = int (*)(const dirent**, const dirent**);
int scandir(const char* dir, dirent*** list, Select select, Compare compare)
{
    static auto real = next<int (*)(const char*, dirent***, Select, Compare)>("scandir");
    waitOnce();
    return real(dir, list, select, compare);
}

using Select64 = int (*)(const dirent64*);
using Compare64 = int (*)(const dirent64**, const dirent64**);
int scandir64(const char* dir, dirent64*** list, Select64 select, Compare64 compare)
{
    static auto real = next<int (*)(const char*, dirent64***, Select64, Compare64)>("scandir64");
    waitOnce();
    return real(dir, list, select, compare);
}
}
