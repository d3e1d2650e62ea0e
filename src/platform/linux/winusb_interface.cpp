#include "platform/linux/winusb_interface.h"

#include <libusb.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>

#include "transport/device_path.h"

namespace varnel {

namespace {

constexpr int kInterfaceNumber = 0;

// One transfer's end, signalled from libusb's event thread.
struct Completion {
    std::mutex* mutex;
    std::condition_variable* done;
    bool completed = false;
};

void LIBUSB_CALL TransferDone(libusb_transfer* transfer) {
    auto* completion = static_cast<Completion*>(transfer->user_data);
    std::lock_guard lock(*completion->mutex);
    completion->completed = true;
    completion->done->notify_all();
}

UsbPipeInformation PipeOf(const libusb_endpoint_descriptor& endpoint) {
    UsbPipeInformation pipe;
    pipe.PipeType = endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK;
    pipe.PipeId = endpoint.bEndpointAddress;
    pipe.MaximumPacketSize = endpoint.wMaxPacketSize;
    pipe.Interval = endpoint.bInterval;
    pipe.bValid = true;
    return pipe;
}

}  // namespace

struct CWinUsbInterface::Device {
    libusb_device_handle* handle = nullptr;
    bool claimed = false;
    UsbPipeInformation pipeIn;
    UsbPipeInformation pipeOut;

    std::mutex mutex;
    std::condition_variable done;
    libusb_transfer* inFlight = nullptr;  // under `mutex`
    bool closed = false;                  // under `mutex`

    // What a bulk IN transfer brought beyond the read that asked for it (reading thread only).
    std::vector<uint8_t> spare;
    size_t spareHead = 0;

    ~Device() {
        if (claimed) {
            libusb_release_interface(handle, kInterfaceNumber);
        }
        if (handle != nullptr) {
            libusb_close(handle);
        }
    }

    // One bulk transfer; the bytes it moved (also when it timed out, failed or was cancelled).
    int Transfer(uint8_t endpoint, uint8_t* buffer, int length, uint32_t timeoutMs);
};

int CWinUsbInterface::Device::Transfer(uint8_t endpoint, uint8_t* buffer, int length,
                                       uint32_t timeoutMs) {
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (transfer == nullptr) {
        return 0;
    }
    Completion completion{&mutex, &done};
    // libusb reads a time-out of 0 as "forever".
    libusb_fill_bulk_transfer(transfer, handle, endpoint, buffer, length, TransferDone, &completion,
                              std::max<uint32_t>(timeoutMs, 1));
    {
        std::lock_guard lock(mutex);
        if (closed || libusb_submit_transfer(transfer) != LIBUSB_SUCCESS) {
            libusb_free_transfer(transfer);
            return 0;
        }
        inFlight = transfer;
    }
    {
        // libusb ends every submitted transfer (done, timed out, cancelled or the device gone),
        // so this wait is bounded by the transfer's own time-out.
        std::unique_lock lock(mutex);
        done.wait(lock, [&] { return completion.completed; });
        inFlight = nullptr;
    }
    const int status = transfer->status;
    const int moved = transfer->actual_length;
    libusb_free_transfer(transfer);
    if (status == LIBUSB_TRANSFER_STALL) {
        // The comm-error clearing of the file-handle original: the next transfer starts clean.
        libusb_clear_halt(handle, endpoint);
    }
    return std::clamp(moved, 0, length);
}

CWinUsbInterface::CWinUsbInterface(std::shared_ptr<UsbContext> context,
                                   std::vector<UsbId> matchList, MessageCallback showMessage)
    : m_pContext(std::move(context)),
      m_MatchList(std::move(matchList)),
      m_ShowMessage(std::move(showMessage)) {}

CWinUsbInterface::~CWinUsbInterface() {
    Close();
}

int CWinUsbInterface::Open(const Guid& interfaceClass, const char* devicePath) {
    Close();
    RecordOpenDenied(false);
    if (interfaceClass != GUID_BOOTLOADER_INTERFACE || !m_pContext) {
        return 0;
    }
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(m_pContext->Get(), &list);
    std::shared_ptr<Device> taken;
    for (ssize_t index = 0; index < count && !taken; ++index) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[index], &descriptor) != LIBUSB_SUCCESS ||
            !MatchesUsbId(m_MatchList, descriptor.idVendor, descriptor.idProduct)) {
            continue;
        }
        libusb_device_handle* handle = nullptr;
        const int openResult = libusb_open(list[index], &handle);
        const bool opened = openResult == LIBUSB_SUCCESS;
        const DeviceIdentity identity = UsbDeviceIdentityOf(list[index], handle);
        const std::string path =
            UsbDevicePath(descriptor.idVendor, descriptor.idProduct, UsbInstance(identity));
        if (devicePath != nullptr && path != devicePath) {
            if (opened) {
                libusb_close(handle);
            }
            continue;
        }
        if (devicePath == nullptr) {
            RecordDevicePath(path);
        }
        if (!opened) {
            if (openResult == LIBUSB_ERROR_ACCESS) {
                RecordOpenDenied(true);
            }
            std::printf("FAILED to open %s\n", path.c_str());
            std::fflush(stdout);
            continue;
        }
        taken = TryDevice(handle, path);
        if (taken) {
            RecordDevicePath(path);
            RecordIdentity(identity);
        }
    }
    if (count > 0) {
        libusb_free_device_list(list, 1);
    }
    if (!taken) {
        return 0;
    }
    std::lock_guard lock(m_DeviceMutex);
    m_pDevice = std::move(taken);
    m_bOpened = 1;
    return 1;
}

std::shared_ptr<CWinUsbInterface::Device> CWinUsbInterface::TryDevice(libusb_device_handle* handle,
                                                                      const std::string& path) {
    auto device = std::make_shared<Device>();
    device->handle = handle;
    // A kernel driver bound to the interface (a serial driver) gives way while we hold it.
    libusb_set_auto_detach_kernel_driver(handle, 1);
    if (libusb_claim_interface(handle, kInterfaceNumber) != LIBUSB_SUCCESS) {
        // Held by another port's transport, or not ours to take.
        std::printf("FAILED to open %s\n", path.c_str());
        std::fflush(stdout);
        return nullptr;
    }
    device->claimed = true;
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(libusb_get_device(handle), &config) != LIBUSB_SUCCESS) {
        Message("WinUSB_Initialize");
        return nullptr;
    }
    const libusb_interface_descriptor* setting = nullptr;
    if (config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0) {
        setting = &config->interface[0].altsetting[0];
    } else {
        Message("WinUsb_QueryInterfaceSetting Error 1");
    }
    UsbPipeInformation* pipes[2] = {&device->pipeIn, &device->pipeOut};
    for (uint8_t index = 0; index < 2; ++index) {
        if (setting != nullptr && index < setting->bNumEndpoints) {
            *pipes[index] = PipeOf(setting->endpoint[index]);
        } else {
            Message("WinUsb_QueryPipe Error 1");
        }
    }
    libusb_free_config_descriptor(config);
    if (device->pipeIn.PipeType != kUsbPipeTypeBulk ||
        device->pipeOut.PipeType != kUsbPipeTypeBulk) {
        Message("SetPipePolicy Error 1");
    }
    return device;
}

void CWinUsbInterface::Message(const std::string& text) {
    if (m_ShowMessage) {
        m_ShowMessage(text);
    } else {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
}

void CWinUsbInterface::Close() {
    std::shared_ptr<Device> device;
    {
        std::lock_guard lock(m_DeviceMutex);
        device = std::move(m_pDevice);
        m_bOpened = 0;
    }
    if (device) {
        std::lock_guard lock(device->mutex);
        device->closed = true;
        if (device->inFlight != nullptr) {
            libusb_cancel_transfer(device->inFlight);
        }
    }
}

std::shared_ptr<CWinUsbInterface::Device> CWinUsbInterface::Current() const {
    std::lock_guard lock(m_DeviceMutex);
    return m_pDevice;
}

UsbPipeInformation CWinUsbInterface::PipeIn() const {
    const auto device = Current();
    return device ? device->pipeIn : UsbPipeInformation{};
}

UsbPipeInformation CWinUsbInterface::PipeOut() const {
    const auto device = Current();
    return device ? device->pipeOut : UsbPipeInformation{};
}

uint32_t CWinUsbInterface::Write(const void* data, uint32_t size) {
    const std::shared_ptr<Device> device = Current();
    if (!device || !device->pipeOut.bValid || data == nullptr || size == 0 ||
        size > static_cast<uint32_t>(INT32_MAX)) {
        return 0;
    }
    // libusb takes a non-const buffer for either direction; an OUT transfer only reads it.
    auto* bytes = const_cast<uint8_t*>(static_cast<const uint8_t*>(data));
    const int written =
        device->Transfer(device->pipeOut.PipeId, bytes, static_cast<int>(size), IoTimeout());
    return static_cast<uint32_t>(written) == size ? size : 0;
}

uint32_t CWinUsbInterface::Read(void* buffer, uint32_t size, bool) {
    const std::shared_ptr<Device> device = Current();
    if (!device || !device->pipeIn.bValid || buffer == nullptr || size == 0 ||
        size > static_cast<uint32_t>(INT32_MAX) / 2) {
        return 0;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    if (device->spareHead < device->spare.size()) {
        const size_t count = std::min<size_t>(size, device->spare.size() - device->spareHead);
        std::memcpy(out, device->spare.data() + device->spareHead, count);
        device->spareHead += count;
        return static_cast<uint32_t>(count);
    }
    // A bulk IN transfer must take whole packets, or a longer packet overflows it: ask for the
    // packets that cover `size` and keep what comes beyond it for the next read.
    const uint32_t packet = std::max<uint32_t>(device->pipeIn.MaximumPacketSize, 1);
    const uint32_t length = (size + packet - 1) / packet * packet;
    device->spare.resize(length);
    device->spareHead = 0;
    const int got = device->Transfer(device->pipeIn.PipeId, device->spare.data(),
                                     static_cast<int>(length), IoTimeout());
    device->spare.resize(static_cast<size_t>(got));
    const size_t count = std::min<size_t>(size, device->spare.size());
    std::memcpy(out, device->spare.data(), count);
    device->spareHead = count;
    return static_cast<uint32_t>(count);
}

}  // namespace varnel
