// The main window's control identifiers, and the fixed groups of them that handlers walk in a
// set order. Every view (Qt, terminal, the tests' recording fake) is keyed by these numbers.
#pragma once

#include <array>

#include "engine/download_job.h"

namespace varnel {

// Progress bars of ports 0-7 are 1000-1007.
inline constexpr int IDC_PROGRESS_PORT0 = 1000;

inline constexpr int IDC_MAIN_LOG = 1017;
inline constexpr int IDC_DEVICE_COUNT = 1025;
inline constexpr int IDC_CSC_INFO = 1044;
inline constexpr int IDC_PICTURE = 1087;

inline constexpr int IDC_DETECT = 1021;
inline constexpr int IDC_START_DOWNLOADING = 1022;
inline constexpr int IDC_RESET_ALL = 1069;

// Image buttons and the path edit on the same row.
inline constexpr int IDC_EBOOT_BUTTON = 1019;
inline constexpr int IDC_PDA_BUTTON = 1035;
inline constexpr int IDC_CSC_BUTTON = 1037;
inline constexpr int IDC_TELVIK_BUTTON = 1041;
inline constexpr int IDC_PHONE_BUTTON = 1036;
inline constexpr int IDC_CONTENTS_BUTTON = 1050;
inline constexpr int IDC_SMD_BUTTON = 1043;
inline constexpr int IDC_INTEGRATED_BUTTON = 1046;
inline constexpr int IDC_EBOOT_PATH = 1020;
inline constexpr int IDC_PDA_PATH = 1023;
inline constexpr int IDC_CSC_PATH = 1040;
inline constexpr int IDC_TELVIK_PATH = 1042;
inline constexpr int IDC_PHONE_PATH = 1026;
inline constexpr int IDC_CONTENTS_PATH = 1052;
inline constexpr int IDC_SMD_PATH = 1045;
inline constexpr int IDC_INTEGRATED_PATH = 1048;

inline constexpr int IDC_LANGUAGE_SELECT = 1094;
inline constexpr int IDC_CSC_FILE_SELECT = 1097;
inline constexpr int IDC_MODE_SELECT = 1101;
inline constexpr int IDC_SMD_GROUP = 1102;

// Option check boxes.
inline constexpr int IDC_ERASE_CSC = 1085;
inline constexpr int IDC_KEEP_EBOOT_CFG = 1093;
inline constexpr int IDC_ERASE_NV_PDA = 1092;
inline constexpr int IDC_SET_PRIORITY_BIT = 1089;
inline constexpr int IDC_SKIP_OS_UPDATE = 1098;
inline constexpr int IDC_PRESERVE_CONTENTS = 1100;
inline constexpr int IDC_SKIP_BOOT_WAIT = 1099;
inline constexpr int IDC_START_IMMEDIATELY = 1047;
inline constexpr int IDC_SMD_CHECK = 1103;
inline constexpr int IDC_ERASE_NV_DATA = 1088;
inline constexpr int IDC_ERASE_NV_BACKUP = 1086;
inline constexpr int IDC_EFS_CLEAR = 1053;
inline constexpr int IDC_WRITE_MODEM_NV = 1095;
inline constexpr int IDC_UPDATE_PHONE_BOOT = 1096;

// The log window's own controls.
inline constexpr int IDC_LOG_WINDOW_TEXT = 1013;
inline constexpr int IDC_LOG_WINDOW_TITLE = 1014;

// Per port, index = port 0-7.
inline constexpr std::array<int, kPortCount> kPortCaptionIds = {1029, 1027, 1028, 1030,
                                                                1031, 1032, 1033, 1034};
inline constexpr std::array<int, kPortCount> kPortResetIds = {1049, 1062, 1063, 1064,
                                                              1065, 1066, 1067, 1068};
inline constexpr std::array<int, kPortCount> kSeeLogIds = {1012, 1013, 1014, 1015,
                                                           1016, 1018, 1038, 1039};
inline constexpr int ProgressId(int port) {
    return IDC_PROGRESS_PORT0 + port;
}

// What a running job locks: disabled in this order when a job starts (and by Detect), enabled
// in the same order when every port is done.
inline constexpr std::array<int, 25> kJobControls = {
    IDC_EBOOT_BUTTON,     IDC_PDA_BUTTON,        IDC_CSC_BUTTON,        IDC_TELVIK_BUTTON,
    IDC_PHONE_BUTTON,     IDC_SMD_BUTTON,        IDC_INTEGRATED_BUTTON, IDC_CONTENTS_BUTTON,
    IDC_DETECT,           IDC_START_DOWNLOADING, IDC_RESET_ALL,         IDC_ERASE_CSC,
    IDC_ERASE_NV_DATA,    IDC_ERASE_NV_BACKUP,   IDC_ERASE_NV_PDA,      IDC_WRITE_MODEM_NV,
    IDC_EFS_CLEAR,        IDC_START_IMMEDIATELY, IDC_KEEP_EBOOT_CFG,    IDC_UPDATE_PHONE_BOOT,
    IDC_SET_PRIORITY_BIT, IDC_SKIP_OS_UPDATE,    IDC_PRESERVE_CONTENTS, IDC_SKIP_BOOT_WAIT,
    IDC_SMD_CHECK};

// Hidden at start-up and whenever Mode Select goes back to "NORMAL".
inline constexpr std::array<int, 9> kNormalModeHidden = {
    IDC_SMD_GROUP,      IDC_SMD_BUTTON,        IDC_SMD_PATH,
    IDC_ERASE_NV_DATA,  IDC_ERASE_NV_BACKUP,   IDC_EFS_CLEAR,
    IDC_WRITE_MODEM_NV, IDC_UPDATE_PHONE_BOOT, IDC_SMD_CHECK};
// Shown by Mode Select "SMD".
inline constexpr std::array<int, 4> kSmdModeShown = {IDC_SMD_GROUP, IDC_SMD_BUTTON, IDC_SMD_PATH,
                                                     IDC_SMD_CHECK};

// The buttons and path edits an Integrated image may hide (the components it can carry).
inline constexpr std::array<int, 10> kIntegratedComponentControls = {
    IDC_EBOOT_BUTTON, IDC_EBOOT_PATH,   IDC_PDA_BUTTON, IDC_PDA_PATH,      IDC_CSC_BUTTON,
    IDC_CSC_PATH,     IDC_PHONE_BUTTON, IDC_PHONE_PATH, IDC_TELVIK_BUTTON, IDC_TELVIK_PATH};

// Button and path edit of each image kind, index = image kind 0-7.
inline constexpr std::array<int, kImageKindCount> kImageButtonIds = {
    IDC_EBOOT_BUTTON, IDC_PDA_BUTTON, IDC_CSC_BUTTON,        IDC_TELVIK_BUTTON,
    IDC_PHONE_BUTTON, IDC_SMD_BUTTON, IDC_INTEGRATED_BUTTON, IDC_CONTENTS_BUTTON};
inline constexpr std::array<int, kImageKindCount> kImagePathIds = {
    IDC_EBOOT_PATH, IDC_PDA_PATH, IDC_CSC_PATH,        IDC_TELVIK_PATH,
    IDC_PHONE_PATH, IDC_SMD_PATH, IDC_INTEGRATED_PATH, IDC_CONTENTS_PATH};

}  // namespace varnel
