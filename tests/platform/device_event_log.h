// The device events a monitor reported, as "+PATH" (arrival) and "-PATH" (removal), for tests
// that wait for them.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "transport/device_events.h"

namespace varnel::test {

class DeviceEventLog final : public DeviceEventListener {
  public:
    static std::string Arrival(const std::string& path) { return "+" + path; }
    static std::string Removal(const std::string& path) { return "-" + path; }

    void OnDeviceArrival(const std::string& path) override { Add(Arrival(path)); }
    void OnDeviceRemoval(const std::string& path) override { Add(Removal(path)); }
    void OnForeignDevice(const std::string& description) override { Add("?" + description); }

    // The events once there are at least `count` (or when `limit` has passed).
    std::vector<std::string> WaitFor(size_t count,
                                     std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return events_.size() >= count; });
        return events_;
    }
    // True once `event` has been reported, waiting up to `limit`.
    bool WaitForEvent(const std::string& event,
                      std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            return std::find(events_.begin(), events_.end(), event) != events_.end();
        });
    }
    std::vector<std::string> Take() {
        std::lock_guard lock(mutex_);
        return std::exchange(events_, {});
    }

  private:
    void Add(std::string event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
};

}  // namespace varnel::test
