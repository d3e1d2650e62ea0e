// The languages a CSC image can name, by row number, and the 32-bit LANG_ID sent to the handset.
#pragma once

#include <cstdint>

namespace varnel {

struct LanguageRow {
    char szCode[5];   // four hexadecimal characters, e.g. "0409"
    char szName[32];  // shown in "Language Select"
};

inline constexpr int kLanguageCount = 23;
extern const LanguageRow LanguageTable[kLanguageCount];

inline bool IsLanguageRow(int row) {
    return row >= 0 && row < kLanguageCount;
}

// The four code characters of a row read as a little-endian number (first character in the low
// byte): row 7 "040C" gives 0x43303430. The caller passes a valid row.
uint32_t LangIdOf(int row);

}  // namespace varnel
