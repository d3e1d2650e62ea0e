#include "tests/usb/fake_usb_bus.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

#include "platform/linux/fd_util.h"
#include "sim/host_stream.h"
#include "sim/reply_queue.h"

namespace varnel::test {

namespace {

constexpr uint8_t kSerialIndex = 3;
constexpr uint16_t kMaxPacket = 512;
constexpr uint8_t kEndpointIn = 0x81;
constexpr uint8_t kEndpointOut = 0x02;
constexpr size_t kSetupSize = 8;

void Put16(std::vector<uint8_t>& bytes, uint16_t value) {
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

// The device descriptor and the whole configuration, as usbfs shows them in "descriptors".
std::vector<uint8_t> Descriptors(const FakeUsbDeviceConfig& config) {
    std::vector<uint8_t> bytes = {18, 1};
    Put16(bytes, 0x0200);
    bytes.insert(bytes.end(), {0xFF, 0, 0, 64});
    Put16(bytes, config.vendorId);
    Put16(bytes, config.productId);
    Put16(bytes, 0x0100);
    bytes.insert(bytes.end(),
                 {0, 0, static_cast<uint8_t>(config.serial.empty() ? 0 : kSerialIndex), 1});
    const auto total = static_cast<uint16_t>(9 + 9 + 7 * config.endpoints);
    bytes.insert(bytes.end(), {9, 2});
    Put16(bytes, total);
    bytes.insert(bytes.end(), {1, 1, 0, 0x80, 50});
    bytes.insert(bytes.end(), {9, 4, 0, 0, static_cast<uint8_t>(config.endpoints), 0xFF, 0, 0, 0});
    const uint8_t addresses[2] = {kEndpointIn, kEndpointOut};
    const uint8_t types[2] = {config.pipeInType, config.pipeOutType};
    for (int index = 0; index < config.endpoints && index < 2; ++index) {
        bytes.insert(bytes.end(), {7, 5, addresses[index], types[index]});
        Put16(bytes, kMaxPacket);
        bytes.push_back(0);
    }
    return bytes;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (const uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

template <typename T>
T Field(const UMockdevIoctlData* data, size_t offset) {
    T value{};
    if (data != nullptr && data->data_len >= 0 && offset + sizeof value <= size_t(data->data_len)) {
        std::memcpy(&value, data->data + offset, sizeof value);
    }
    return value;
}

// umockdev hands over an ioctl's argument as the raw word the client passed; a pointer argument
// is resolved into the client's memory here.
UMockdevIoctlData* Resolve(UMockdevIoctlData* arg, size_t size) {
    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, size, &error);
    if (error != nullptr) {
        g_error_free(error);
    }
    return data;
}

template <typename T>
void SetField(UMockdevIoctlData* data, size_t offset, T value) {
    umockdev_ioctl_data_update(data, offset, reinterpret_cast<guint8*>(&value), sizeof value);
}

// Where a tty of AddTty lies: under an interface of the USB device in port 9.
std::string TtySysfsPath(const std::string& name) {
    return "/devices/pci0000:00/0000:00:14.0/usb1/1-9/1-9:1.0/tty/" + name;
}

}  // namespace

struct FakeUsbDevice::State {
    struct Urb {
        UMockdevIoctlClient* client;
        UMockdevIoctlData* urb;     // referenced
        UMockdevIoctlData* buffer;  // referenced
        unsigned long address;      // of the urb in the client
        uint8_t type;
        uint8_t endpoint;
        int length;
        int status = 0;
        int actual = 0;
    };

    std::mutex mutex;
    FakeUsbDeviceConfig config;
    VirtualHandset* handset = nullptr;
    HostStream stream;
    ReplyQueue replies;
    std::deque<Urb> waitingIn;
    std::deque<Urb> done;
    UMockdevIoctlClient* claimOwner = nullptr;
    int refusedClaims = 0;
    bool gone = false;
    UMockdevIoctlBase* handler = nullptr;
    // The node libusb polls for finished URBs: a pipe kept full (not writable) while nothing can
    // be reaped, so that libusb's event thread sleeps instead of spinning on a plain file.
    UniqueFd fifo;
    bool fifoWritable = false;

    static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    static void OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    void Ioctl(UMockdevIoctlClient* client);
    void Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void Discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void Control(Urb& urb);
    void DeliverReplies();
    void Finish(Urb urb) {
        done.push_back(urb);
        UpdateFifo();
    }
    void Release(Urb& urb) {
        g_object_unref(urb.buffer);
        g_object_unref(urb.urb);
    }
    void Vanish();
    void UpdateFifo();
};

gboolean FakeUsbDevice::State::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client,
                                       gpointer self) {
    static_cast<State*>(self)->Ioctl(client);
    return TRUE;
}

void FakeUsbDevice::State::OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client,
                                      gpointer self) {
    auto* state = static_cast<State*>(self);
    std::lock_guard lock(state->mutex);
    if (state->claimOwner == client) {
        state->claimOwner = nullptr;
    }
}

void FakeUsbDevice::State::Ioctl(UMockdevIoctlClient* client) {
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard lock(mutex);
    if (gone && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_DISCARDURB) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* caps = Resolve(arg, sizeof(uint32_t));
            if (caps != nullptr) {
                SetField<uint32_t>(caps, 0, 0);
                g_object_unref(caps);
            }
            umockdev_ioctl_client_complete(client, caps != nullptr ? 0 : -1, EFAULT);
            return;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_DISCONNECT_CLAIM:
            if (claimOwner != nullptr && claimOwner != client) {
                ++refusedClaims;
                umockdev_ioctl_client_complete(client, -1, EBUSY);
                return;
            }
            claimOwner = client;
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        case USBDEVFS_RELEASEINTERFACE:
            if (claimOwner == client) {
                claimOwner = nullptr;
            }
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL:
            // No kernel driver is bound.
            umockdev_ioctl_client_complete(client, -1, ENODATA);
            return;
        case USBDEVFS_CLEAR_HALT:
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        case USBDEVFS_SUBMITURB:
            Submit(client, arg);
            return;
        case USBDEVFS_REAPURBNDELAY:
            Reap(client, arg);
            return;
        case USBDEVFS_DISCARDURB:
            Discard(client, arg);
            return;
        default:
            ADD_FAILURE() << "unexpected usbfs request " << std::hex << request;
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return;
    }
}

void FakeUsbDevice::State::Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* urbData = Resolve(arg, sizeof(usbdevfs_urb));
    if (urbData == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    const auto type = Field<uint8_t>(urbData, offsetof(usbdevfs_urb, type));
    const auto endpoint = Field<uint8_t>(urbData, offsetof(usbdevfs_urb, endpoint));
    const int length = Field<int>(urbData, offsetof(usbdevfs_urb, buffer_length));
    GError* error = nullptr;
    UMockdevIoctlData* buffer =
        length > 0 ? umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                                 static_cast<gsize>(length), &error)
                   : nullptr;
    if (buffer == nullptr) {
        if (error != nullptr) {
            g_error_free(error);
        }
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    Urb urb{client, urbData, buffer, urbData->client_addr, type, endpoint, length};
    umockdev_ioctl_client_complete(client, 0, 0);
    if (type == USBDEVFS_URB_TYPE_CONTROL) {
        Control(urb);
    } else if ((endpoint & 0x80) == 0) {
        const HostWriteResult result =
            stream.Feed(buffer->data, static_cast<size_t>(length), *handset, replies);
        if (result.exit == HandsetExit::kUnplug) {
            // The write that crosses a disconnect fault never arrives.
            urb.status = -ESHUTDOWN;
            Finish(urb);
            Vanish();
            return;
        }
        urb.actual = length;
        Finish(urb);
    } else {
        waitingIn.push_back(urb);
    }
    DeliverReplies();
}

void FakeUsbDevice::State::Control(Urb& urb) {
    const uint8_t* setup = urb.buffer->data;
    const uint8_t request = setup[1];
    const uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
    const uint16_t wanted = static_cast<uint16_t>(setup[6] | setup[7] << 8);
    std::vector<uint8_t> answer;
    if (request == 6 && (value >> 8) == 3) {  // GET_DESCRIPTOR, string
        if ((value & 0xFF) == 0) {
            answer = {4, 3, 0x09, 0x04};
        } else if ((value & 0xFF) == kSerialIndex && !config.serial.empty()) {
            answer = {static_cast<uint8_t>(2 + 2 * config.serial.size()), 3};
            for (const char c : config.serial) {
                answer.push_back(static_cast<uint8_t>(c));
                answer.push_back(0);
            }
        }
    }
    if (answer.empty()) {
        urb.status = -EPIPE;
    } else {
        answer.resize(std::min<size_t>({answer.size(), wanted, size_t(urb.length) - kSetupSize}));
        umockdev_ioctl_data_update(urb.buffer, kSetupSize, answer.data(),
                                   static_cast<gint>(answer.size()));
        urb.actual = static_cast<int>(answer.size());
    }
    Finish(urb);
}

void FakeUsbDevice::State::DeliverReplies() {
    const auto now = std::chrono::steady_clock::time_point::max();
    while (!waitingIn.empty() && replies.ReadyBytes(now) > 0) {
        Urb urb = waitingIn.front();
        waitingIn.pop_front();
        std::vector<uint8_t> bytes(static_cast<size_t>(urb.length));
        const size_t taken = replies.Take(bytes.data(), bytes.size(), now);
        umockdev_ioctl_data_update(urb.buffer, 0, bytes.data(), static_cast<gint>(taken));
        urb.actual = static_cast<int>(taken);
        Finish(urb);
    }
}

void FakeUsbDevice::State::Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    for (auto at = done.begin(); at != done.end(); ++at) {
        if (at->client != client) {
            continue;
        }
        Urb urb = *at;
        done.erase(at);
        SetField<int>(urb.urb, offsetof(usbdevfs_urb, status), urb.status);
        SetField<int>(urb.urb, offsetof(usbdevfs_urb, actual_length), urb.actual);
        // The argument points at where the client wants the urb's address.
        UMockdevIoctlData* slot = Resolve(arg, sizeof(void*));
        if (slot != nullptr) {
            umockdev_ioctl_data_set_ptr(slot, 0, urb.urb);
        }
        umockdev_ioctl_client_complete(client, slot != nullptr ? 0 : -1, EFAULT);
        if (slot != nullptr) {
            g_object_unref(slot);
        }
        Release(urb);
        UpdateFifo();
        return;
    }
    umockdev_ioctl_client_complete(client, -1, gone ? ENODEV : EAGAIN);
}

void FakeUsbDevice::State::Discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    // The argument is the urb's address itself.
    const auto address = Field<unsigned long>(arg, 0);
    for (auto at = waitingIn.begin(); at != waitingIn.end(); ++at) {
        if (at->client == client && at->address == address) {
            Urb urb = *at;
            waitingIn.erase(at);
            urb.status = -ENOENT;
            Finish(urb);
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        }
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

void FakeUsbDevice::State::Vanish() {
    gone = true;
    while (!waitingIn.empty()) {
        Urb urb = waitingIn.front();
        waitingIn.pop_front();
        urb.status = -ESHUTDOWN;
        Finish(urb);
    }
    UpdateFifo();
}

void FakeUsbDevice::State::UpdateFifo() {
    const bool writable = gone || !done.empty();
    if (!fifo.Valid() || writable == fifoWritable) {
        return;
    }
    uint8_t bytes[4096] = {};
    if (writable) {
        while (::read(fifo.Get(), bytes, sizeof bytes) > 0) {
        }
    } else {
        while (::write(fifo.Get(), bytes, sizeof bytes) > 0) {
        }
    }
    fifoWritable = writable;
}

FakeUsbDevice::FakeUsbDevice() : state_(std::make_unique<State>()) {}

FakeUsbDevice::~FakeUsbDevice() {
    std::lock_guard lock(state_->mutex);
    for (auto* list : {&state_->waitingIn, &state_->done}) {
        for (auto& urb : *list) {
            state_->Release(urb);
        }
        list->clear();
    }
    if (state_->handler != nullptr) {
        g_object_unref(state_->handler);
    }
}

int FakeUsbDevice::RefusedClaims() const {
    std::lock_guard lock(state_->mutex);
    return state_->refusedClaims;
}

bool FakeUsbBus::Available() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "umockdev-preload") != nullptr;
}

FakeUsbBus::FakeUsbBus() : testbed_(umockdev_testbed_new()) {}

FakeUsbBus::~FakeUsbBus() {
    // The testbed first: no ioctl reaches a device after it has gone.
    g_object_unref(testbed_);
    devices_.clear();
}

bool FakeUsbBus::AddTty(const std::string& name, const std::vector<std::string>& properties) {
    std::string record = "P: " + TtySysfsPath(name) + "\nN: " + name +
                         "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + name + "\n";
    for (const std::string& property : properties) {
        record += "E: " + property + "\n";
    }
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
        ADD_FAILURE() << error->message;
        g_error_free(error);
        return false;
    }
    return true;
}

void FakeUsbBus::RemoveTty(const std::string& name) {
    const std::string syspath = "/sys" + TtySysfsPath(name);
    umockdev_testbed_uevent(testbed_, syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, syspath.c_str());
}

FakeUsbDevice* FakeUsbBus::Plug(const FakeUsbDeviceConfig& config) {
    auto device = std::unique_ptr<FakeUsbDevice>(new FakeUsbDevice());
    const int devnum = nextDevnum_++;
    char node[32];
    std::snprintf(node, sizeof node, "bus/usb/001/%03d", devnum);
    device->sysfsPath_ = "/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(config.port);
    device->devnode_ = std::string("/dev/") + node;
    device->handset_ = std::make_shared<VirtualHandset>(config.handset);
    FakeUsbDevice::State& state = *device->state_;
    state.config = config;
    state.handset = device->handset_.get();
    state.handler = umockdev_ioctl_base_new();
    g_signal_connect(state.handler, "handle-ioctl", G_CALLBACK(FakeUsbDevice::State::OnIoctl),
                     &state);
    g_signal_connect(state.handler, "client-vanished", G_CALLBACK(FakeUsbDevice::State::OnVanished),
                     &state);
    // The handler is there before the device is announced, so an open made on its arrival is
    // answered.
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, device->devnode_.c_str(), state.handler, &error)) {
        ADD_FAILURE() << error->message;
        g_error_free(error);
        return nullptr;
    }
    const std::string record =
        "P: " + device->sysfsPath_ + "\nN: " + node +
        "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=" + device->devnode_ +
        "\nA: busnum=1\nA: devnum=" + std::to_string(devnum) +
        "\nA: speed=480\nA: bConfigurationValue=1\nH: descriptors=" + Hex(Descriptors(config)) +
        "\n";
    if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
        ADD_FAILURE() << error->message;
        g_error_free(error);
        return nullptr;
    }
    // Swap the plain node for the pipe, under the same name in one step.
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    const std::string nodePath = std::string(root) + device->devnode_;
    g_free(root);
    const std::string staging = nodePath + ".fifo";
    if (::mkfifo(staging.c_str(), 0666) == 0) {
        // The device is announced: its ioctls may already be answered on umockdev's thread.
        std::lock_guard lock(state.mutex);
        state.fifo.Reset(::open(staging.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        ::fcntl(state.fifo.Get(), F_SETPIPE_SZ, 4096);
        state.fifoWritable = true;
        state.UpdateFifo();
        ::rename(staging.c_str(), nodePath.c_str());
    }
    devices_.push_back(std::move(device));
    return devices_.back().get();
}

void FakeUsbBus::Unplug(FakeUsbDevice* device) {
    {
        std::lock_guard lock(device->state_->mutex);
        device->state_->Vanish();
    }
    // umockdev does not announce a removal by itself.
    const std::string syspath = "/sys" + device->sysfsPath_;
    umockdev_testbed_uevent(testbed_, syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, syspath.c_str());
}

}  // namespace varnel::test
