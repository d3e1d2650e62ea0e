#include "images/image_globals.h"

namespace varnel {

std::atomic<int> g_nCscType{kCscUnknown};
std::atomic<int> g_nTelvikType{kTelvikNone};

uint64_t g_dwCscFileSpan[kMaxCscFiles] = {};
uint32_t g_dwCscFileSize[kMaxCscFiles] = {};
int g_nCscFileCount = 0;

int g_nLangIndex[kMaxLanguageIndex] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                       -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
int g_nLangCount = 0;

}  // namespace varnel
