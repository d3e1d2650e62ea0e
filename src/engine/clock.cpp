#include "engine/clock.h"

#include <chrono>
#include <thread>

namespace varnel {

void SystemClock::Sleep(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

uint64_t SystemClock::TickCount() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void FakeClock::Sleep(uint32_t milliseconds) {
    now_ += milliseconds;
    slept_ += milliseconds;
    std::this_thread::yield();
}

}  // namespace varnel
