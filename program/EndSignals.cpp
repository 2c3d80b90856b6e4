#include "program/EndSignals.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::array<int, 3> kSignals = {SIGTERM, SIGINT, SIGHUP};
int writeEnd = -1;  // for the handler, which may touch nothing else

void onSignal(int signal)
{
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    // A full pipe already holds a signal to act on.
    [[maybe_unused]] const ssize_t written = ::write(writeEnd, &number, 1);
    errno = saved;
}

}  // namespace

EndSignals::EndSignals(std::function<void(int)> ended) : ended_(std::move(ended))
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "marbleglen: cannot watch for SIGTERM, SIGINT and SIGHUP: %s\n", std::strerror(errno));
        return;
    }
    read_.reset(fds[0]);
    write_.reset(fds[1]);
    writeEnd = write_.get();
    notifier_ = new QSocketNotifier(read_.get(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { drain(); });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : kSignals)
        sigaction(signal, &action, nullptr);
}

EndSignals::~EndSignals()
{
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int signal : kSignals)
        sigaction(signal, &action, nullptr);
    writeEnd = -1;
}

void EndSignals::drain()
{
    unsigned char number = 0;
    int last = 0;
    while (::read(read_.get(), &number, 1) == 1)
        last = number;
    if (last)
        ended_(last);
}
