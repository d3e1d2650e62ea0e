// Resource identifiers of the Windows window's templates and strings, shared by the resource
// script and the code.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MORVANE_DIALOG 102
#define IDD_LOG_DIALOG 129
#define IDS_APP_TITLE 57344
#define IDS_RAM_MEGABYTES 57345
#define IDS_FLASH_UNIT 57346
#define IDS_FLASH_UNIT_COUNT 57347
#define IDM_ABOUTBOX 0x0010

#define IDC_ABOUT_TEXT 1083
