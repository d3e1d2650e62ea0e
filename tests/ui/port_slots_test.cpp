// Clearing port slots, and the per-port and all-port resets.
#include "tests/ui/silent_transport.h"
#include "tests/ui/window_fixture.h"

namespace varnel::test {
namespace {

std::vector<int> DrainStack(CStackInt& stack) {
    std::vector<int> ports;
    while (!stack.IsEmpty()) {
        ports.push_back(stack.Pop());
    }
    return ports;
}

using PortSlotsTest = WindowTest;

TEST_F(PortSlotsTest, ClearAllPortsHandsPortsOutFromZeroAndDrawsEveryPortCleared) {
    dlg->m_nDetected = 3;
    dlg->m_nFinished = 1;
    dlg->m_nFailed = 1;
    dlg->m_nIdlePorts = 2;
    dlg->m_dwOptionFlags = 0x80000402;
    dlg->m_bWaitingForDevice = 1;
    dlg->m_FreePortStack.Pop();
    dlg->m_FreePortStack.Pop();  // 2 on top, as after two attaches
    const size_t firstEnable = view.enableCalls.size();

    dlg->ClearAllPorts();
    EXPECT_EQ(dlg->m_nDetected, 0);
    EXPECT_EQ(dlg->m_nFinished, 0);
    EXPECT_EQ(dlg->m_nFailed, 0);
    EXPECT_EQ(dlg->m_nIdlePorts, 8);
    EXPECT_EQ(dlg->m_dwOptionFlags, 0u);
    EXPECT_EQ(dlg->m_bWaitingForDevice, 0);
    EXPECT_EQ(view.text[IDC_DEVICE_COUNT], "Currently 0 device(s) detected.");
    for (int port = 0; port < kPortCount; ++port) {
        const int caption = kPortCaptionIds[port];
        EXPECT_EQ(view.text[caption], "PDA " + std::to_string(port));
        EXPECT_EQ(view.textColor[caption], kSystemColor);
        EXPECT_EQ(view.bkColor[caption], Rgb(255, 255, 0));
        EXPECT_EQ(view.text[1000 + port], "Waiting for device..");
        EXPECT_TRUE(view.showText[1000 + port]);
        EXPECT_EQ(view.range[1000 + port], std::make_pair(0, 100));
        EXPECT_EQ(view.pos[1000 + port], 0);
    }
    auto expected = JobControlCalls(true);
    for (int id : {1021, 1022, 1069, 1049, 1062, 1063, 1064, 1065, 1066, 1067, 1068}) {
        expected.emplace_back(id, false);
    }
    EXPECT_EQ(view.EnableCallsFrom(firstEnable), expected);
    EXPECT_EQ(DrainStack(dlg->m_FreePortStack), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(PortSlotsTest, ClearingAPortTwiceKeepsItOnceOnTheStack) {
    dlg->ClearPortSlot(4);
    dlg->ClearPortSlot(4);
    EXPECT_EQ(dlg->m_FreePortStack.Size(), 8);
    EXPECT_EQ(dlg->m_FreePortStack.Top(), 0);

    dlg->m_FreePortStack.Pop();  // port 0 attached
    dlg->ClearPortSlot(0);
    dlg->ClearPortSlot(0);
    EXPECT_EQ(DrainStack(dlg->m_FreePortStack), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(PortSlotsTest, ClearPortSlotReleasesTheDeviceAndForgetsThePort) {
    dlg->m_pTransport[6] = std::make_unique<SilentTransport>();
    dlg->m_pTransport[6]->Open(GUID_BOOTLOADER_INTERFACE, nullptr);
    dlg->m_strDeviceName[6] = "5&1a2b";
    dlg->AppendPortLog(6, "[Setup:6] PDA Device detected. TimeOut:2\r\n");
    dlg->m_PortSlot[6].nState = kPortFinished;
    dlg->m_PortSlot[6].nKind = kKindDone;
    dlg->ClearPortSlot(6);
    EXPECT_FALSE(dlg->m_pTransport[6]->IsOpen());
    EXPECT_EQ(dlg->m_strDeviceName[6], "");
    EXPECT_EQ(dlg->PortLog(6), "");
    EXPECT_EQ(dlg->m_PortSlot[6].nState, 0);
    EXPECT_EQ(dlg->m_PortSlot[6].nKind, 0);
}

TEST_F(PortSlotsTest, ResettingOneOfSeveralPortsFreesOnlyThatPort) {
    dlg->OnDetect();
    dlg->m_FreePortStack.Pop();
    dlg->m_FreePortStack.Pop();
    Attach(0);
    Attach(1);
    dlg->OnResetPortButton(1);
    EXPECT_EQ(dlg->m_nDetected, 1);
    EXPECT_EQ(view.text[IDC_DEVICE_COUNT], "Currently 1 device(s) detected.");
    EXPECT_EQ(view.text[ProgressId(1)], "Waiting for the device...");
    EXPECT_EQ(dlg->m_PortSlot[0].nState, kPortAttached);
    EXPECT_EQ(dlg->m_bWaitingForDevice, 1);
    EXPECT_EQ(dlg->m_FreePortStack.Top(), 1);  // the next device takes the freed port
    EXPECT_FALSE(view.IsEnabled(kPortResetIds[1]));
}

TEST_F(PortSlotsTest, ResettingTheLastUnfinishedPortResetsAll) {
    dlg->OnDetect();
    for (int port : {0, 1, 2}) {
        dlg->m_FreePortStack.Pop();
        AttachRunning(port);
    }
    dlg->m_nIdlePorts = 5;
    Report(0, kStatusJobDone, 0);
    Report(1, kStatusChecksumError);
    dlg->m_PortSlot[2].nState = kPortAttached;  // never started

    dlg->OnResetPortButton(2);
    EXPECT_EQ(dlg->m_nDetected, 0);
    EXPECT_EQ(dlg->m_nFinished, 0);
    EXPECT_EQ(dlg->m_nFailed, 0);
    EXPECT_EQ(dlg->m_nIdlePorts, 8);
    EXPECT_EQ(dlg->m_bWaitingForDevice, 0);
    EXPECT_EQ(dlg->m_PortSlot[0].nState, kPortIdle);
    EXPECT_EQ(dlg->m_PortSlot[1].nState, kPortIdle);
    EXPECT_TRUE(view.IsEnabled(IDC_DETECT));
    EXPECT_TRUE(view.IsEnabled(IDC_LANGUAGE_SELECT));
    EXPECT_TRUE(view.IsEnabled(IDC_CSC_FILE_SELECT));
    EXPECT_TRUE(view.IsEnabled(IDC_MODE_SELECT));
    EXPECT_EQ(DrainStack(dlg->m_FreePortStack), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(PortSlotsTest, ResetPortOfAFinishedPortKeepsTheOthersRunning) {
    for (int port : {0, 1}) {
        dlg->m_FreePortStack.Pop();
        AttachRunning(port);
    }
    dlg->m_nIdlePorts = 6;
    Report(0, kStatusJobDone, 0);
    dlg->OnResetPortButton(0);
    EXPECT_EQ(dlg->m_nDetected, 2);
    EXPECT_EQ(dlg->m_nFinished, 1);
    EXPECT_EQ(dlg->m_nIdlePorts, 7);
    EXPECT_EQ(dlg->m_PortSlot[1].nState, kPortDownloading);
    EXPECT_EQ(view.text[ProgressId(0)], "Waiting for device..");  // not detecting
    EXPECT_EQ(dlg->m_FreePortStack.Top(), 0);
}

}  // namespace
}  // namespace varnel::test
