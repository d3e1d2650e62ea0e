// Every pause and tick count of the system goes through a Clock, so that tests can run the
// eight-minute boot wait or the sixty-poll launch barrier in no real time.
#pragma once

#include <atomic>
#include <cstdint>

namespace varnel {

class Clock {
  public:
    virtual ~Clock() = default;
    virtual void Sleep(uint32_t milliseconds) = 0;
    // Milliseconds since an arbitrary start, never going backwards.
    virtual uint64_t TickCount() = 0;
};

class SystemClock final : public Clock {
  public:
    void Sleep(uint32_t milliseconds) override;
    uint64_t TickCount() override;
};

// Virtual time: Sleep advances the tick count at once (and yields, so other threads run).
// Safe to share between threads; every sleeper advances the one shared time.
class FakeClock final : public Clock {
  public:
    void Sleep(uint32_t milliseconds) override;
    uint64_t TickCount() override { return now_.load(); }
    void Advance(uint64_t milliseconds) { now_ += milliseconds; }
    // Total of all pauses taken so far.
    uint64_t TotalSlept() const { return slept_.load(); }

  private:
    std::atomic<uint64_t> now_{0};
    std::atomic<uint64_t> slept_{0};
};

}  // namespace varnel
