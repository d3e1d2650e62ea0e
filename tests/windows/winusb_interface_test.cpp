#include "platform/windows/winusb_interface.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "transport/device_path.h"

namespace varnel {
namespace {

constexpr UCHAR kInPipe = 0x81;
constexpr UCHAR kOutPipe = 0x02;

// A WinUSB device behind a fake table: bytes written are kept, bytes to read are handed out
// at once or complete a pending read when they come.
struct FakeDevice {
    std::vector<std::string> paths{UsbDevicePath(0x04E8, 0x1234, "SER1")};
    bool initializeFails = false;
    bool pipeQueryFails[2] = {false, false};

    std::mutex mutex;
    std::vector<uint8_t> written;
    std::vector<uint8_t> toRead;
    OVERLAPPED* pendingRead = nullptr;
    PUCHAR pendingBuffer = nullptr;
    ULONG pendingSize = 0;
    int aborts = 0;
    std::vector<ULONG> timeouts;
    std::atomic<bool> freed{false};

    static void Complete(OVERLAPPED* overlapped, ULONG count, bool ok) {
        overlapped->InternalHigh = count;
        overlapped->Internal = ok ? 0 : 1;
        ::SetEvent(overlapped->hEvent);
    }

    void Deliver(const std::string& bytes) {
        std::lock_guard lock(mutex);
        if (pendingRead == nullptr) {
            toRead.insert(toRead.end(), bytes.begin(), bytes.end());
            return;
        }
        const ULONG count = std::min<ULONG>(pendingSize, bytes.size());
        std::memcpy(pendingBuffer, bytes.data(), count);
        Complete(std::exchange(pendingRead, nullptr), count, true);
    }

    bool ReadPending() {
        std::lock_guard lock(mutex);
        return pendingRead != nullptr;
    }
};

CWinUsbInterface::ApiLoader FakeLoader(const std::shared_ptr<FakeDevice>& fake) {
    auto api = std::make_shared<WinUsbApi>();
    api->ListDevices = [fake](const Guid&) { return fake->paths; };
    api->OpenDevice = [](const std::string&, DWORD&) {
        return ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    };
    api->Initialize = [fake](HANDLE, PWINUSB_INTERFACE_HANDLE handle) {
        *handle = fake.get();
        return fake->initializeFails ? FALSE : TRUE;
    };
    api->Free = [fake](WINUSB_INTERFACE_HANDLE) {
        fake->freed = true;
        return TRUE;
    };
    api->QueryInterfaceSettings = [](WINUSB_INTERFACE_HANDLE, UCHAR, PUSB_INTERFACE_DESCRIPTOR) {
        return TRUE;
    };
    api->QueryPipe = [fake](WINUSB_INTERFACE_HANDLE, UCHAR, UCHAR index,
                            PWINUSB_PIPE_INFORMATION pipe) {
        if (fake->pipeQueryFails[index]) {
            return FALSE;
        }
        *pipe = {UsbdPipeTypeBulk, index == 0 ? kInPipe : kOutPipe, 512, 0};
        return TRUE;
    };
    api->SetPipePolicy = [fake](WINUSB_INTERFACE_HANDLE, UCHAR, ULONG policy, ULONG, PVOID value) {
        std::lock_guard lock(fake->mutex);
        if (policy == PIPE_TRANSFER_TIMEOUT) {
            fake->timeouts.push_back(*static_cast<ULONG*>(value));
        }
        return TRUE;
    };
    api->WritePipe = [fake](WINUSB_INTERFACE_HANDLE, UCHAR pipe, PUCHAR buffer, ULONG size,
                            PULONG moved, LPOVERLAPPED) {
        std::lock_guard lock(fake->mutex);
        EXPECT_EQ(pipe, kOutPipe);
        fake->written.insert(fake->written.end(), buffer, buffer + size);
        *moved = size;
        return TRUE;
    };
    api->ReadPipe = [fake](WINUSB_INTERFACE_HANDLE, UCHAR pipe, PUCHAR buffer, ULONG size,
                           PULONG moved, LPOVERLAPPED overlapped) {
        std::lock_guard lock(fake->mutex);
        EXPECT_EQ(pipe, kInPipe);
        if (!fake->toRead.empty()) {
            *moved = std::min<ULONG>(size, fake->toRead.size());
            std::memcpy(buffer, fake->toRead.data(), *moved);
            fake->toRead.erase(fake->toRead.begin(), fake->toRead.begin() + *moved);
            return TRUE;
        }
        fake->pendingRead = overlapped;
        fake->pendingBuffer = buffer;
        fake->pendingSize = size;
        ::SetLastError(ERROR_IO_PENDING);
        return FALSE;
    };
    api->AbortPipe = [fake](WINUSB_INTERFACE_HANDLE, UCHAR) {
        std::lock_guard lock(fake->mutex);
        ++fake->aborts;
        if (fake->pendingRead != nullptr) {
            FakeDevice::Complete(std::exchange(fake->pendingRead, nullptr), 0, false);
        }
        return TRUE;
    };
    api->GetOverlappedResult = [](WINUSB_INTERFACE_HANDLE, LPOVERLAPPED overlapped, LPDWORD count,
                                  BOOL wait) {
        if (wait) {
            ::WaitForSingleObject(overlapped->hEvent, INFINITE);
        }
        *count = static_cast<DWORD>(overlapped->InternalHigh);
        return overlapped->Internal == 0 ? TRUE : FALSE;
    };
    return [api](std::string&) { return api; };
}

class WinUsbInterfaceTest : public ::testing::Test {
  protected:
    std::shared_ptr<FakeDevice> m_fake = std::make_shared<FakeDevice>();
    std::vector<std::string> m_messages;
    CWinUsbInterface m_transport{[this](const std::string& text) { m_messages.push_back(text); },
                                 FakeLoader(m_fake)};
};

TEST_F(WinUsbInterfaceTest, MovesBytesOnThePipesOfItsIndexes) {
    ASSERT_EQ(m_transport.Open(GUID_BOOTLOADER_INTERFACE), 1);
    EXPECT_STREQ(m_transport.DevicePath(), m_fake->paths[0].c_str());
    EXPECT_EQ(m_transport.PipeIn().PipeId, kInPipe);
    EXPECT_EQ(m_transport.PipeOut().PipeId, kOutPipe);
    EXPECT_TRUE(m_messages.empty());

    m_transport.SetIoTimeout(4000);
    ASSERT_EQ(m_transport.Write("AT", 2), 2u);
    ASSERT_EQ(m_transport.Write("UD", 2), 2u);
    EXPECT_EQ(std::string(m_fake->written.begin(), m_fake->written.end()), "ATUD");
    // A reply that comes after the read started completes it, the wait flag clear or not.
    std::thread device([this] {
        while (!m_fake->ReadPending()) {
            std::this_thread::yield();
        }
        m_fake->Deliver("OKUD");
    });
    char reply[64] = {};
    EXPECT_EQ(m_transport.Read(reply, sizeof reply, false), 4u);
    device.join();
    EXPECT_STREQ(reply, "OKUD");
    // Each pipe's driver limit follows the core's time-out, set once while it holds.
    EXPECT_EQ(m_fake->timeouts, (std::vector<ULONG>{4000, 4000}));
}

TEST_F(WinUsbInterfaceTest, SilentDeviceEndsTheReadAtTheTimeOut) {
    ASSERT_EQ(m_transport.Open(GUID_BOOTLOADER_INTERFACE), 1);
    m_transport.SetIoTimeout(20);
    char reply[8];
    EXPECT_EQ(m_transport.Read(reply, sizeof reply, true), 0u);
    EXPECT_EQ(m_fake->aborts, 1);
    EXPECT_FALSE(m_fake->ReadPending());
}

TEST_F(WinUsbInterfaceTest, CloseFromAnotherThreadEndsABlockedRead) {
    ASSERT_EQ(m_transport.Open(GUID_BOOTLOADER_INTERFACE), 1);
    m_transport.SetIoTimeout(600000);
    std::atomic<uint32_t> got{99};
    std::thread reader([this, &got] {
        char reply[8];
        got = m_transport.ReadWait(reply, sizeof reply);
    });
    while (!m_fake->ReadPending()) {
        std::this_thread::yield();
    }
    m_transport.Close();
    reader.join();
    EXPECT_EQ(got, 0u);
    // The last holder of the device let WinUSB go.
    EXPECT_TRUE(m_fake->freed);
}

TEST_F(WinUsbInterfaceTest, MissingPipeIsShownAndNeverUsed) {
    m_fake->pipeQueryFails[1] = true;
    ASSERT_EQ(m_transport.Open(GUID_BOOTLOADER_INTERFACE), 1);
    EXPECT_EQ(m_messages,
              (std::vector<std::string>{"WinUsb_QueryPipe Error 1", "SetPipePolicy Error 1"}));
    EXPECT_EQ(m_transport.Write("ATUD", 4), 0u);
    EXPECT_TRUE(m_fake->written.empty());
}

TEST_F(WinUsbInterfaceTest, DeviceWinUsbRefusesIsSkipped) {
    m_fake->initializeFails = true;
    EXPECT_EQ(m_transport.Open(GUID_BOOTLOADER_INTERFACE), 0);
    EXPECT_EQ(m_messages, std::vector<std::string>{"WinUSB_Initialize"});
    // Another path names no device: nothing is tried, nothing shown.
    m_fake->initializeFails = false;
    const std::string other = UsbDevicePath(0x04E8, 0x1234, "SER2");
    EXPECT_EQ(m_transport.Open(GUID_BOOTLOADER_INTERFACE, other.c_str()), 0);
    EXPECT_EQ(m_messages.size(), 1u);
    EXPECT_EQ(m_transport.Open(GUID_BOOTLOADER_INTERFACE, m_fake->paths[0].c_str()), 1);
}

TEST(WinUsbLibraryTest, MissingLibraryOrExportIsAClearErrorShownOnce) {
    std::string error;
    EXPECT_EQ(LoadWinUsbApi("varnel-no-such-library.dll", error), nullptr);
    EXPECT_NE(error.find("varnel-no-such-library.dll"), std::string::npos) << error;
    EXPECT_EQ(LoadWinUsbApi("kernel32.dll", error), nullptr);
    EXPECT_NE(error.find("WinUsb_Initialize"), std::string::npos) << error;

    std::vector<std::string> messages;
    CWinUsbInterface transport(
        [&](const std::string& text) { messages.push_back(text); },
        [](std::string& loadError) { return LoadWinUsbApi("kernel32.dll", loadError); });
    EXPECT_EQ(transport.Open(GUID_BOOTLOADER_INTERFACE), 0);
    EXPECT_EQ(transport.Open(GUID_BOOTLOADER_INTERFACE), 0);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("WinUsb_Initialize"), std::string::npos);
}

}  // namespace
}  // namespace varnel
