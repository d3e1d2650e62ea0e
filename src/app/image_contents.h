// What a chosen image holds, as a job would use it: the regions inside it (PDA data and LANGPACK,
// Telvik parts, multi-CSC files, the components of an integrated image) with their offsets,
// sizes and ByteSum32, and the lists and option word the choice made. Read with the image
// layer's readers, after the image has been chosen and checked; printed as text or JSON.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace varnel {

class ImageFile;

struct ContentRegion {
    std::string strName;
    uint64_t qwOffset = 0;  // from the start of the file
    uint64_t qwSize = 0;
    uint32_t dwByteSum = 0;
    std::vector<ContentRegion> regions;  // those inside this one
};

// The regions inside an image of `imageKind` (ImageKind) that has passed its checks: none for an
// image sent whole. `cscFiles` names the multi-CSC files ("CSC File Select"). False with `error`
// when a layout cannot be read (the file changed since it was chosen).
bool ReadImageRegions(ImageFile& file, int imageKind, const std::vector<std::string>& cscFiles,
                      std::vector<ContentRegion>& regions, std::string& error);

struct CheckedImage {
    std::string strKind;
    std::string strPath;
    bool bOpened = false;  // false when the file could not be opened again: nothing below is
    std::string strError;  // what could not be read, when something could not
    uint64_t qwFileSize = 0;
    uint32_t dwFileSum = 0;
    bool bReadWhole = true;
    std::string strSha256;
    ContentRegion sent;  // the span a job sends
    std::vector<ContentRegion> regions;
};

struct CheckedEntry {
    std::string strName;
    std::string strCode;  // a language's LANG_ID code; empty for a CSC file
};

struct CheckedList {
    std::string strCaption;  // "CSC File Select", "Language Select"
    int nChosen = -1;
    std::vector<CheckedEntry> entries;
};

struct CheckFindings {
    std::vector<CheckedImage> images;
    std::vector<CheckedList> lists;  // only those the images filled
    uint32_t dwOptionWord = 0;
};

std::string CheckText(const CheckFindings& findings);
nlohmann::json CheckJson(const CheckFindings& findings);

}  // namespace varnel
