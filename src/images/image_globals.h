// Program-wide facts about the chosen images: set on the window's thread when an image is chosen
// and read by the attach and the port workers.
#pragma once

#include <atomic>
#include <cstdint>

namespace varnel {

inline constexpr int kMaxCscFiles = 50;       // entries of the multi-CSC tables
inline constexpr int kMaxLanguageIndex = 24;  // entries of g_nLangIndex

enum CscType : int { kCscUnknown = 0, kCscMulti = 1, kCscSingle = 2 };
enum TelvikType : int { kTelvikNone = 0, kTelvikMulti = 1, kTelvikSingle = 2 };

extern std::atomic<int> g_nCscType;     // CscType
extern std::atomic<int> g_nTelvikType;  // TelvikType

// Multi-CSC file i: its span in the image (TotalBlockCnt x 0x20000, 64-bit so that a large block
// count cannot wrap) and the number of its bytes that are downloaded. g_nCscFileCount says how
// many entries the last parse filled.
extern uint64_t g_dwCscFileSpan[kMaxCscFiles];
extern uint32_t g_dwCscFileSize[kMaxCscFiles];
extern int g_nCscFileCount;

// Entry k: the language-table row shown as entry k of "Language Select"; g_nLangCount entries are
// valid, the others hold -1.
extern int g_nLangIndex[kMaxLanguageIndex];
extern int g_nLangCount;

}  // namespace varnel
