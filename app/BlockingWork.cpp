#include "app/BlockingWork.h"

#include <future>

void RunBlocking(const std::function<void()>& work, const std::function<void()>& tick,
                 std::chrono::milliseconds firstTick, std::chrono::milliseconds period)
{
    using Clock = std::chrono::steady_clock;
    std::future<void> done = std::async(std::launch::async, work);
    Clock::time_point next = Clock::now() + firstTick;
    if (firstTick <= std::chrono::milliseconds::zero()) {
        tick();  // no delay asked: show progress at once
        next = Clock::now() + period;
    }
    while (done.wait_until(next) != std::future_status::ready) {
        tick();
        next = Clock::now() + period;
    }
    done.get();
}
