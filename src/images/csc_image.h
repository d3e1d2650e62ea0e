// CSC images: recognising the single and multi layouts, listing what they hold in the CSC
// information box and the main log, filling "Language Select" and "CSC File Select", and keeping
// the program-wide tables (image_globals.h) that the port worker uses to find the chosen file and
// language. Malformed data (too many files or rows, a list without its end, a file that ends too
// early) is reported with one main-log line and nothing more of it is
// used.
#pragma once

#include <cstdint>
#include <string>

#include "images/image_layouts.h"

namespace varnel {

class ImageFile;

// What the CSC handling needs from the window. Every text entry carries its own "\r\n".
class CscView {
  public:
    virtual ~CscView() = default;

    // CSC information box (1044).
    virtual void ClearCscLog() = 0;
    virtual void AppendCscLog(const std::string& entry) = 0;
    // Main log (1017).
    virtual void AppendMainLog(const std::string& entry) = 0;

    // "Language Select" (1094).
    virtual void ResetLanguageList() = 0;
    virtual void AddLanguage(const std::string& name) = 0;
    // Number of entries; negative when the combo box reports an error.
    virtual int LanguageCount() = 0;
    virtual void SelectLanguage(int index) = 0;

    // "CSC File Select" (1097).
    virtual void ResetCscFileList() = 0;
    virtual void AddCscFile(const std::string& name) = 0;
    virtual void SelectCscFile(int index) = 0;
    // The entry selected now; negative when none is.
    virtual int CscFileSelection() = 0;

    // The job record's selected CSC file index.
    virtual void SetSelectedCscFileIndex(int index) = 0;
    // Status 218 with lParam 0x10000 (port 0, argument 1): the integrated image's sImageHeader
    // identifier is wrong.
    virtual void ReportImageHeaderInvalid() = 0;
};

// Sets g_nCscType from the 128 bytes at `start` (the data must end by `end`) and returns it.
int RecognizeCscLayout(ImageFile& file, uint64_t start, uint64_t end);

// Parses an open ".csc" file and shows what it holds. Never fails: an unrecognised or malformed
// file is reported and leaves the combo boxes empty.
void ParseCscFile(ImageFile& file, CscView& view);

// Parses the CSC part of an integrated image (the component must be present and lie inside the
// file). False, with "[CSC] CSC_ID is invalid " in the CSC box, when its identifier is wrong.
bool ParseIntegratedCsc(ImageFile& file, const ImageComponent& csc, CscView& view);

// What a selection change in "CSC File Select" needs from the job record.
struct CscSelectionSource {
    bool bIntegrated = false;
    std::string strIntegratedPath;
    bool bCsc = false;
    std::string strCscPath;
};
// Shows the header of the CSC file now selected in "CSC File Select" and refills
// "Language Select" from it.
void OnSelectCscFile(const CscSelectionSource& source, CscView& view);

// Offset of multi-CSC file `index` from the start of the CSC data (0x20000 plus the spans of
// the files before it); false when the index is not in the tables of the last parse (file 0 is
// always there, even when the image lists no files).
bool MultiCscFileOffset(int index, uint64_t& offset);

// The language-table row of "Language Select" entry `selectLangId`; false when there is none.
bool SelectedLanguageRow(int selectLangId, int& row);

// 0-based place of `row` in the header's ImageOptionalLanglist (up to its 0xFF end), 0 when it
// is not there.
int LanguagePosition(const CscHeader& header, int row);

}  // namespace varnel
