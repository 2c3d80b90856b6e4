#pragma once

#include <chrono>
#include <functional>

// Runs `work` to its end on a worker thread while the calling thread waits
// without handling any event: nothing else of the program runs meanwhile, just
// as if the work ran on the calling thread. Once the work has taken
// `firstTick`, `tick` runs on the calling thread every `period` until the work
// ends (to show progress). An exception thrown by `work` is thrown again here.
void RunBlocking(const std::function<void()>& work, const std::function<void()>& tick,
                 std::chrono::milliseconds firstTick, std::chrono::milliseconds period);
