#include "sim/sim_bus.h"

#include <algorithm>
#include <chrono>

#include "engine/clock.h"
#include "transport/device_path.h"

namespace varnel {

struct SimConnection::Device {
    std::string path;
    DeviceIdentity identity;  // the instance as serial, the hub port
    std::shared_ptr<VirtualHandset> handset;
    // The rest only under the bus's lock.
    bool present = true;
    bool returns = false;  // due back from a reattach at `returnAt`
    uint64_t returnAt = 0;
    std::weak_ptr<SimConnection> holder;
};

std::string SimDevicePath(const std::string& instance) {
    return UsbDevicePath(kSimVendorId, kSimProductId, instance);
}

SimConnection::SimConnection(SimBus& bus, std::shared_ptr<Device> device)
    : bus_(bus), device_(std::move(device)) {
    const HandsetConfig config = device_->handset->Config();
    timed_ = config.timing.roundTripMicros != 0 || config.timing.flashBytesPerSecond != 0 ||
             config.faults.slowReply.has_value();
}

uint32_t SimConnection::Write(const void* data, uint32_t size) {
    HostWriteResult result;
    {
        std::lock_guard lock(mutex_);
        if (closed_ || gone_) {
            return 0;
        }
        if (timed_) {
            replies_.SetOrigin(std::chrono::steady_clock::now());
        }
        result =
            device_->handset->HandleHostWrite(static_cast<const uint8_t*>(data), size, replies_);
        if (result.exit != HandsetExit::kStay) {
            gone_ = true;
            if (result.exit == HandsetExit::kUnplug) {
                replies_.Clear();
            }
        }
        if (waitingReaders_ > 0) {
            readable_.notify_all();
        }
    }
    if (result.exit != HandsetExit::kStay) {
        bus_.Depart(device_, this, result);
    }
    return result.exit == HandsetExit::kUnplug ? 0 : size;
}

uint32_t SimConnection::Read(void* buffer, uint32_t size, uint32_t timeoutMs) {
    using std::chrono::steady_clock;
    if (size == 0) {
        return 0;
    }
    std::unique_lock lock(mutex_);
    std::optional<steady_clock::time_point> deadline;
    for (;;) {
        if (closed_) {
            return 0;
        }
        if (replies_.Empty() && gone_) {
            return 0;
        }
        // Without timing every queued byte is readable, and the clock is only needed to wait.
        const auto readyAt = timed_ ? steady_clock::now() : steady_clock::time_point::max();
        if (const size_t taken = replies_.Take(buffer, size, readyAt)) {
            return static_cast<uint32_t>(taken);
        }
        const auto now = timed_ ? readyAt : steady_clock::now();
        if (!deadline) {
            deadline = now + std::chrono::milliseconds(timeoutMs);
        }
        if (now >= *deadline) {
            return 0;
        }
        auto wakeAt = *deadline;
        if (!replies_.Empty()) {
            wakeAt = std::min(wakeAt, replies_.NextReadyAt());
        }
        ++waitingReaders_;
        readable_.wait_until(lock, wakeAt);
        --waitingReaders_;
    }
}

void SimConnection::Close() {
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            return;
        }
        closed_ = true;
        readable_.notify_all();
    }
    bus_.Release(device_, this);
}

void SimConnection::MarkGone(bool keepReplies) {
    std::lock_guard lock(mutex_);
    gone_ = true;
    if (!keepReplies) {
        replies_.Clear();
    }
    readable_.notify_all();
}

SimBus::SimBus(Clock& clock) : clock_(clock) {}

SimBus::~SimBus() = default;

std::string SimBus::Plug(std::shared_ptr<VirtualHandset> handset) {
    const std::string instance = handset->Config().instance;
    const std::string path = SimDevicePath(instance);
    {
        std::lock_guard lock(mutex_);
        if (FindLocked(path)) {
            return {};
        }
        auto device = std::make_shared<SimConnection::Device>();
        device->path = path;
        device->identity = {instance, "sim-1." + std::to_string(++plugs_)};
        device->handset = std::move(handset);
        devices_.push_back(std::move(device));
    }
    Report({{true, path}});
    return path;
}

bool SimBus::Unplug(const std::string& path) {
    std::shared_ptr<SimConnection> holder;
    bool wasPresent = false;
    {
        std::lock_guard lock(mutex_);
        const auto device = FindLocked(path);
        if (!device) {
            return false;
        }
        holder = device->holder.lock();
        wasPresent = device->present;
        device->present = false;
        device->returns = false;
        devices_.erase(std::find(devices_.begin(), devices_.end(), device));
    }
    if (holder) {
        holder->MarkGone(false);
    }
    if (wasPresent) {
        Report({{false, path}});
    }
    return true;
}

std::vector<std::string> SimBus::PresentPaths() {
    std::vector<Event> events;
    std::vector<std::string> paths;
    {
        std::lock_guard lock(mutex_);
        BringBackLocked(events);
        for (const auto& device : devices_) {
            if (device->present) {
                paths.push_back(device->path);
            }
        }
    }
    Report(events);
    return paths;
}

bool SimBus::IsPresent(const std::string& path) {
    const std::vector<std::string> paths = PresentPaths();
    return std::find(paths.begin(), paths.end(), path) != paths.end();
}

std::shared_ptr<VirtualHandset> SimBus::Handset(const std::string& path) {
    std::lock_guard lock(mutex_);
    const auto device = FindLocked(path);
    return device ? device->handset : nullptr;
}

void SimBus::Poll() {
    std::vector<Event> events;
    {
        std::lock_guard lock(mutex_);
        BringBackLocked(events);
    }
    Report(events);
}

void SimBus::AddListener(DeviceEventListener* listener) {
    std::lock_guard lock(mutex_);
    listeners_.push_back(listener);
}

void SimBus::RemoveListener(DeviceEventListener* listener) {
    std::lock_guard lock(mutex_);
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
}

std::shared_ptr<SimConnection> SimBus::Open(const std::optional<std::string>& path,
                                            std::string& openedPath, DeviceIdentity& identity) {
    std::vector<Event> events;
    std::shared_ptr<SimConnection> connection;
    {
        std::lock_guard lock(mutex_);
        BringBackLocked(events);
        for (const auto& device : devices_) {
            if (!device->present || !device->holder.expired() || (path && device->path != *path)) {
                continue;
            }
            connection = std::make_shared<SimConnection>(*this, device);
            device->holder = connection;
            openedPath = device->path;
            identity = device->identity;
            break;
        }
    }
    Report(events);
    return connection;
}

void SimBus::Release(const std::shared_ptr<SimConnection::Device>& device,
                     const SimConnection* holder) {
    std::lock_guard lock(mutex_);
    if (device->holder.lock().get() == holder) {
        device->holder.reset();
    }
}

void SimBus::Depart(const std::shared_ptr<SimConnection::Device>& device,
                    const SimConnection* holder, const HostWriteResult& result) {
    {
        std::lock_guard lock(mutex_);
        if (device->holder.lock().get() == holder) {
            device->holder.reset();
        }
        if (!device->present) {
            return;
        }
        device->present = false;
        device->returns = result.exit == HandsetExit::kReattach;
        device->returnAt = clock_.TickCount() + result.reattachDelayMs;
        if (result.exit == HandsetExit::kUnplug) {
            const auto at = std::find(devices_.begin(), devices_.end(), device);
            if (at != devices_.end()) {
                devices_.erase(at);
            }
        }
    }
    Report({{false, device->path}});
}

void SimBus::BringBackLocked(std::vector<Event>& events) {
    const uint64_t now = clock_.TickCount();
    for (const auto& device : devices_) {
        if (!device->present && device->returns && now >= device->returnAt) {
            device->present = true;
            device->returns = false;
            events.push_back({true, device->path});
        }
    }
}

std::shared_ptr<SimConnection::Device> SimBus::FindLocked(const std::string& path) const {
    for (const auto& device : devices_) {
        if (device->path == path) {
            return device;
        }
    }
    return nullptr;
}

void SimBus::Report(const std::vector<Event>& events) {
    if (events.empty()) {
        return;
    }
    std::vector<DeviceEventListener*> listeners;
    {
        std::lock_guard lock(mutex_);
        listeners = listeners_;
    }
    for (const Event& event : events) {
        for (DeviceEventListener* listener : listeners) {
            if (event.arrival) {
                listener->OnDeviceArrival(event.path);
            } else {
                listener->OnDeviceRemoval(event.path);
            }
        }
    }
}

}  // namespace varnel
