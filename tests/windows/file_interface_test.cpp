#include "platform/windows/file_interface.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "transport/device_path.h"

namespace varnel {
namespace {

TEST(ComPortNameTest, AcceptsPortNamesOnly) {
    EXPECT_EQ(ComPortName("com5"), "COM5");
    EXPECT_EQ(ComPortName("\\\\.\\COM12"), "COM12");
    EXPECT_EQ(ComPortName("COM255"), "COM255");
    for (const char* bad : {"COM", "COM0", "COM05", "COM256", "COMX", "LPT1", "COM1:", ""}) {
        EXPECT_EQ(ComPortName(bad), "") << bad;
    }
}

TEST(WinFileInterfaceTest, MissingPortLeavesTransportClosed) {
    CWinFileInterface transport({"COM231"});
    EXPECT_EQ(transport.Open(GUID_BOOTLOADER_INTERFACE), 0);
    EXPECT_EQ(transport.IsOpen(), 0);
    char buffer[4];
    EXPECT_EQ(transport.Write("ATUD", 4), 0u);
    EXPECT_EQ(transport.Read(buffer, sizeof buffer, true), 0u);
    transport.Close();
    transport.Close();
}

// On a COM port that echoes every byte (tests/windows/pty_echo_peer.py).
class ComPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* port = std::getenv("VARNEL_TEST_COM");
        if (port == nullptr) {
            GTEST_SKIP() << "VARNEL_TEST_COM not set: no echoing COM port";
        }
        m_port = port;
        m_transport = std::make_unique<CWinFileInterface>(std::vector<std::string>{m_port});
        ASSERT_EQ(m_transport->Open(GUID_BOOTLOADER_INTERFACE), 1);
    }
    void TearDown() override {
        if (m_transport) {
            m_transport->Close();
        }
    }

    // A read that has to wait; on a port whose comm-event wait fails (Wine's), the transport
    // moves to its plain handle then.
    void ReadNothing() {
        m_transport->SetIoTimeout(50);
        char reply[4];
        ASSERT_EQ(m_transport->Read(reply, sizeof reply, true), 0u);
        m_transport->SetIoTimeout(CUsbInterface::kDefaultIoTimeoutMs);
    }

    // Far longer than the pty holds: the peer pauses before it takes any of it in.
    static std::vector<uint8_t> SinkRequest() {
        constexpr uint32_t kLength = 1u << 20;
        std::vector<uint8_t> request(kLength, 0x5A);
        std::memcpy(request.data(), "SINK", 4);
        for (int i = 0; i < 4; ++i) {
            request[4 + i] = static_cast<uint8_t>(kLength >> (8 * i));
        }
        return request;
    }

    void ExpectTook() {
        char reply[4] = {};
        ASSERT_EQ(m_transport->ReadWait(reply, sizeof reply), 4u);
        EXPECT_EQ(std::memcmp(reply, "TOOK", 4), 0);
    }

    std::string m_port;
    std::unique_ptr<CWinFileInterface> m_transport;
};

TEST_F(ComPortTest, OpensExclusivelyUnderItsTtyPath) {
    const std::string path = TtyDevicePath(m_port);
    EXPECT_STREQ(m_transport->DevicePath(), path.c_str());
    EXPECT_EQ(m_transport->Identity().strPortPath, m_port);
    CWinFileInterface other({m_port});
    EXPECT_EQ(other.Open(GUID_BOOTLOADER_INTERFACE), 0);
    m_transport->Close();
    // A path is matched byte for byte: another letter case names no device.
    std::string lowerCase = path;
    std::transform(lowerCase.begin(), lowerCase.end(), lowerCase.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    EXPECT_EQ(other.Open(GUID_BOOTLOADER_INTERFACE, lowerCase.c_str()), 0);
    EXPECT_EQ(other.Open(GUID_BOOTLOADER_INTERFACE, path.c_str()), 1);
    other.Close();
}

TEST_F(ComPortTest, ReplyComesBackShorterThanAskedFor) {
    ASSERT_EQ(m_transport->Write("ATUD", 4), 4u);
    char reply[8] = {};
    ASSERT_EQ(m_transport->ReadWait(reply, sizeof reply), 4u);
    EXPECT_EQ(std::memcmp(reply, "ATUD", 4), 0);
}

TEST_F(ComPortTest, ReadWaitsForALateReply) {
    ASSERT_EQ(m_transport->Write("SLOW", 4), 4u);
    char reply[4] = {};
    ASSERT_EQ(m_transport->ReadWait(reply, sizeof reply), 4u);
    EXPECT_EQ(std::memcmp(reply, "SLOW", 4), 0);
}

TEST_F(ComPortTest, SilentDeviceEndsReadsAtTheTimeOut) {
    m_transport->SetIoTimeout(100);
    char reply[4];
    EXPECT_EQ(m_transport->Read(reply, sizeof reply, true), 0u);
    EXPECT_EQ(m_transport->Read(reply, sizeof reply, false), 0u);
    // The port still works after the time-outs.
    ASSERT_EQ(m_transport->Write("OKUD", 4), 4u);
    m_transport->SetIoTimeout(CUsbInterface::kDefaultIoTimeoutMs);
    ASSERT_EQ(m_transport->ReadWait(reply, sizeof reply), 4u);
    EXPECT_EQ(std::memcmp(reply, "OKUD", 4), 0);
}

TEST_F(ComPortTest, CloseFromAnotherThreadEndsABlockedRead) {
    constexpr uint32_t kLongTimeoutMs = 60'000;
    m_transport->SetIoTimeout(kLongTimeoutMs);
    std::thread closer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        m_transport->Close();
    });
    const auto start = std::chrono::steady_clock::now();
    char reply[4];
    EXPECT_EQ(m_transport->ReadWait(reply, sizeof reply), 0u);
    closer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(kLongTimeoutMs / 2));
    EXPECT_EQ(m_transport->IsOpen(), 0);
}

TEST_F(ComPortTest, WriteTheDeviceTakesSlowlyIsWrittenWhole) {
    ReadNothing();
    const std::vector<uint8_t> request = SinkRequest();
    const auto size = static_cast<uint32_t>(request.size());
    ASSERT_EQ(m_transport->Write(request.data(), size), size);
    ExpectTook();
}

TEST_F(ComPortTest, CloseFromAnotherThreadEndsABlockedWrite) {
    ReadNothing();
    m_transport->SetIoTimeout(60'000);
    std::thread closer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m_transport->Close();
    });
    const std::vector<uint8_t> request = SinkRequest();
    EXPECT_EQ(m_transport->Write(request.data(), static_cast<uint32_t>(request.size())), 0u);
    closer.join();
    // The peer answers once it has taken in what came; a later test must not read that.
    ASSERT_EQ(m_transport->Open(GUID_BOOTLOADER_INTERFACE), 1);
    ExpectTook();
}

}  // namespace
}  // namespace varnel
