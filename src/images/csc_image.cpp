#include "images/csc_image.h"

#include <algorithm>
#include <vector>

#include "images/format_entry.h"
#include "images/image_file.h"
#include "images/image_globals.h"
#include "images/image_reader.h"
#include "images/language_table.h"

namespace varnel {

namespace {

constexpr const char* kMultiTitle =
    "[CSC] ----------------- Information of Multi CSC Image ------------------\r\n";
constexpr const char* kParseTitle =
    "[CSC] ----------------- Information of Selected CSC ------------------\r\n";
constexpr const char* kParseError =
    "[CSC] ----------Error Occured during Setting Language ----------\r\n";
constexpr const char* kSelectTitle =
    "[CSC] ----------------- Information of selected CSC ------------------\r\n";
constexpr const char* kSelectError =
    "[CSC] ----------Error Occured during Setiing Language ----------\r\n";
constexpr const char* kUnknownType = "[CSC] Unknown type CSC Image \r\n";

// The CSC data: from `start` (0 in a ".csc" file, after the identifier in an integrated image)
// up to `end`.
struct CscRegion {
    uint64_t start = 0;
    uint64_t end = 0;
};

// How a CscHeader is shown: a multi-CSC file, a single ".csc" file, or the single CSC of an
// integrated image. They differ when SupportLanguage is empty and in the FileCnt line.
enum class HeaderForm { kMulti, kSingleFile, kSingleIntegrated };

void ClearLanguages(CscView& view) {
    view.ResetLanguageList();
    std::fill(std::begin(g_nLangIndex), std::end(g_nLangIndex), -1);
    g_nLangCount = 0;
}

void ClearCscFiles(CscView& view) {
    view.ResetCscFileList();
    g_nCscFileCount = 0;
}

// The rows of a language list up to its 0xFF end; false, with `error`, when the end is missing,
// there are more rows than g_nLangIndex holds, or a row is not in the language table.
bool LanguageRows(const uint8_t (&list)[kLanguageListSize], const char* listName,
                  std::vector<int>& rows, std::string& error) {
    const uint8_t* end = std::find(std::begin(list), std::end(list), kLanguageListEnd);
    if (end == std::end(list)) {
        error = FormatEntry("[CSC] %s has no 0xFF end within its %zu bytes \r\n", listName,
                            kLanguageListSize);
        return false;
    }
    if (end - list > kMaxLanguageIndex) {
        error = FormatEntry("[CSC] %s lists more than the %d languages this tool holds \r\n",
                            listName, kMaxLanguageIndex);
        return false;
    }
    rows.assign(list, end);
    for (int row : rows) {
        if (!IsLanguageRow(row)) {
            error = FormatEntry(
                "[CSC] %s names language row %d; the language table has rows 0 to %d \r\n",
                listName, row, kLanguageCount - 1);
            return false;
        }
    }
    return true;
}

void ShowCscHeader(const CscHeader& header, HeaderForm form, const char* title,
                   const char* errorText, CscView& view) {
    const bool supportEmpty = header.SupportLanguage[0] == kLanguageListEnd;
    const char* listName = supportEmpty ? "ImageOptionalLanglist" : "SupportLanguage";
    std::vector<int> rows;
    std::string error;
    if (!LanguageRows(supportEmpty ? header.ImageOptionalLanglist : header.SupportLanguage,
                      listName, rows, error)) {
        view.AppendMainLog(error);
        return;
    }

    view.AppendCscLog(title);
    view.AppendCscLog(FormatEntry("[CSC] Verision:[%s]\r\n", FieldText(header.Version).c_str()));
    if (supportEmpty && form == HeaderForm::kMulti) {
        view.AppendCscLog("[CSC] SupportLanguage : N/A \r\n");
    }
    const char* rowFormat = supportEmpty && form == HeaderForm::kMulti
                                ? "[CSC] ImageOptionalLanglist 0x%x:[%s]\r\n"
                                : "[CSC] SupportLanguage 0x%x:[%s]\r\n";
    const bool logRows = !(supportEmpty && form == HeaderForm::kSingleIntegrated);
    for (size_t k = 0; k < rows.size(); ++k) {
        const LanguageRow& language = LanguageTable[rows[k]];
        if (logRows) {
            view.AppendCscLog(FormatEntry(rowFormat, static_cast<unsigned>(k), language.szCode));
        }
        g_nLangIndex[k] = rows[k];
        view.AddLanguage(language.szName);
    }
    g_nLangCount = static_cast<int>(rows.size());
    view.AppendCscLog(FormatEntry("[CSC] SalesCode:[%s]\r\n", FieldText(header.SalesCode).c_str()));
    view.AppendCscLog(FormatEntry("[CSC] Priority:[0x%x]\r\n", header.Priority));
    if (form != HeaderForm::kMulti) {
        view.AppendCscLog(FormatEntry("[CSC] FileCnt:[%d]\r\n", static_cast<int>(header.FileCnt)));
    }

    const int count = view.LanguageCount();
    if (count < 0) {
        view.AppendCscLog(errorText);
        return;
    }
    const std::string defaultCode = FieldText(header.DefaultLang);
    const int shown = std::min(count, g_nLangCount);
    for (int k = 0; k < shown; ++k) {
        if (defaultCode == LanguageTable[g_nLangIndex[k]].szCode) {
            view.SelectLanguage(k);
            return;
        }
    }
}

// Reads the first 128 bytes of a region whose layout has been recognised, so they are there.
template <typename Header>
void ReadLayoutBlock(ImageFile& file, const CscRegion& region, Header& header) {
    uint8_t bytes[kCscHeaderSize] = {};
    ReadAt(file, region.start, bytes, sizeof bytes, region.end);
    Header::Parse(bytes, sizeof bytes, header);
}

// Reads and shows the header of multi-CSC file `index`.
void ShowMultiCscFile(ImageFile& file, const CscRegion& region, int index, const char* title,
                      const char* errorText, CscView& view) {
    uint64_t offset = 0;
    if (!MultiCscFileOffset(index, offset)) {
        view.AppendMainLog(FormatEntry("[CSC] CSC file %d is not one of the %d files listed \r\n",
                                       index, g_nCscFileCount));
        return;
    }
    uint8_t bytes[kCscHeaderSize];
    CscHeader header;
    if (!ReadAt(file, region.start + offset, bytes, sizeof bytes, region.end)) {
        view.AppendMainLog(
            FormatEntry("[CSC] The image ends before the header of CSC file %d at 0x%llx \r\n",
                        index, Wide(region.start + offset)));
        return;
    }
    CscHeader::Parse(bytes, sizeof bytes, header);
    ShowCscHeader(header, HeaderForm::kMulti, title, errorText, view);
}

// Reads every file entry before anything is listed, so that a malformed table lists nothing.
bool ReadCscFileEntries(ImageFile& file, const CscRegion& region, uint32_t fileCnt,
                        std::vector<CscFileEntry>& entries, std::string& error) {
    if (fileCnt > kMaxCscFiles) {
        error = FormatEntry("[CSC] FileCnt:[%u] is more than the %d CSC files this tool holds \r\n",
                            fileCnt, kMaxCscFiles);
        return false;
    }
    entries.resize(fileCnt);
    for (uint32_t i = 0; i < fileCnt; ++i) {
        const uint64_t offset = region.start + kCscHeaderSize + uint64_t{i} * kCscFileEntrySize;
        uint8_t bytes[kCscFileEntrySize];
        if (!ReadAt(file, offset, bytes, sizeof bytes, region.end)) {
            error = FormatEntry("[CSC] The image ends before CSC file entry %u at 0x%llx \r\n", i,
                                Wide(offset));
            return false;
        }
        CscFileEntry::Parse(bytes, sizeof bytes, entries[i]);
    }
    return true;
}

void ParseMultiCsc(ImageFile& file, const CscRegion& region, CscView& view) {
    view.AppendMainLog(kMultiTitle);
    MultiCscHeader header;
    ReadLayoutBlock(file, region, header);
    std::vector<CscFileEntry> entries;
    std::string error;
    if (!ReadCscFileEntries(file, region, header.FileCnt, entries, error)) {
        // A file table this tool cannot hold whole must not be downloaded from in part.
        g_nCscType = kCscUnknown;
        view.AppendMainLog(error);
        return;
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        const CscFileEntry& entry = entries[i];
        const std::string name = FieldText(entry.FileName);
        if (entry.dwMark == HDR_CSCFILE_START) {
            view.AppendMainLog(FormatEntry("[CSC] File Name:[%s]\r\n", name.c_str()));
            view.AppendMainLog(FormatEntry("[CSC] FileSize:[0x%x]\r\n", entry.FileSize));
            view.AppendMainLog(FormatEntry("[CSC] TotalBlockCnt:[0x%x]\r\n", entry.TotalBlockCnt));
        } else {
            view.AppendMainLog(
                FormatEntry("[CSC] ERROR checking HDR_CSCFILE_START:[0x%x]\r\n", entry.dwMark));
        }
        view.AddCscFile(name);
        g_dwCscFileSpan[i] = entry.Span();
        g_dwCscFileSize[i] = entry.FileSize;
    }
    g_nCscFileCount = static_cast<int>(entries.size());
    if (!entries.empty()) {
        view.SelectCscFile(0);
    }
    view.SetSelectedCscFileIndex(0);
    ShowMultiCscFile(file, region, 0, kParseTitle, kParseError, view);
}

void ShowSingleCsc(ImageFile& file, const CscRegion& region, HeaderForm form, CscView& view) {
    CscHeader header;
    ReadLayoutBlock(file, region, header);
    ShowCscHeader(header, form, kParseTitle, kParseError, view);
}

enum class CscContainer { kFile, kIntegrated };

// The parse shared by a ".csc" file and the CSC part of an integrated image; they differ in how
// a single CSC with an empty SupportLanguage list is shown and where an unrecognised layout is
// reported.
void ParseCscData(ImageFile& file, const CscRegion& region, CscContainer container, CscView& view) {
    ClearLanguages(view);
    const int type = RecognizeCscLayout(file, region.start, region.end);
    ClearCscFiles(view);
    if (type == kCscMulti) {
        ParseMultiCsc(file, region, view);
    } else if (type == kCscSingle) {
        ShowSingleCsc(file, region,
                      container == CscContainer::kFile ? HeaderForm::kSingleFile
                                                       : HeaderForm::kSingleIntegrated,
                      view);
    } else if (container == CscContainer::kFile) {
        view.AppendCscLog(kUnknownType);
    } else {
        view.AppendMainLog(kUnknownType);
    }
}

}  // namespace

int RecognizeCscLayout(ImageFile& file, uint64_t start, uint64_t end) {
    g_nCscType = kCscUnknown;
    uint8_t bytes[kCscHeaderSize];
    if (!ReadAt(file, start, bytes, sizeof bytes, end)) {
        return kCscUnknown;
    }
    MultiCscHeader multi;
    CscHeader single;
    MultiCscHeader::Parse(bytes, sizeof bytes, multi);
    CscHeader::Parse(bytes, sizeof bytes, single);
    if (multi.MarksValid()) {
        g_nCscType = kCscMulti;
    } else if (single.MarksValid()) {
        g_nCscType = kCscSingle;
    }
    return g_nCscType;
}

void ParseCscFile(ImageFile& file, CscView& view) {
    view.ClearCscLog();
    ParseCscData(file, CscRegion{0, file.Length()}, CscContainer::kFile, view);
}

bool ParseIntegratedCsc(ImageFile& file, const ImageComponent& csc, CscView& view) {
    view.ClearCscLog();
    g_nCscType = kCscUnknown;
    uint8_t id[kComponentIdSize];
    if (!ReadAt(file, csc.dwOffset, id, sizeof id, csc.End()) || LoadLe32(id) != kCscId) {
        view.AppendCscLog("[CSC] CSC_ID is invalid \r\n");
        return false;
    }
    ParseCscData(file, CscRegion{csc.DataOffset(), csc.End()}, CscContainer::kIntegrated, view);
    return true;
}

void OnSelectCscFile(const CscSelectionSource& source, CscView& view) {
    ImageFile image;
    sImageHeader imageHeader;
    if (source.bIntegrated) {
        if (!image.Open(source.strIntegratedPath)) {
            view.AppendMainLog("cIMGFile.Open Failed\r\n");
            return;
        }
        if (ReadImageHeader(image, imageHeader) != ImageHeaderRead::kOk) {
            view.ReportImageHeaderInvalid();
            view.AppendMainLog("sImageHeader ID is invalid\r\n");
            return;
        }
    }
    ClearLanguages(view);
    if (g_nCscType != kCscMulti) {
        return;
    }
    const int index = view.CscFileSelection();
    uint64_t offset = 0;
    const bool listed = MultiCscFileOffset(index, offset);
    const ImageComponent& csc = imageHeader.Of(kComponentCsc);
    if (source.bIntegrated && csc.Present()) {
        if (listed) {
            view.SetSelectedCscFileIndex(index);
        }
        ShowMultiCscFile(image, CscRegion{csc.DataOffset(), csc.End()}, index, kSelectTitle,
                         kSelectError, view);
    } else if (source.bCsc) {
        ImageFile cscFile;
        if (!cscFile.Open(source.strCscPath)) {
            view.AppendMainLog(
                FormatEntry("[CSC] Cannot open the CSC file [%s] \r\n", source.strCscPath.c_str()));
            return;
        }
        if (listed) {
            view.SetSelectedCscFileIndex(index);
        }
        ShowMultiCscFile(cscFile, CscRegion{0, cscFile.Length()}, index, kSelectTitle, kSelectError,
                         view);
    } else {
        view.AppendCscLog("Multi CSC image is not selected\r\n");
    }
}

bool MultiCscFileOffset(int index, uint64_t& offset) {
    if (index < 0 || (index > 0 && index >= g_nCscFileCount)) {
        return false;
    }
    offset = kCscFilesOffset;
    for (int i = 0; i < index; ++i) {
        offset += g_dwCscFileSpan[i];
    }
    return true;
}

bool SelectedLanguageRow(int selectLangId, int& row) {
    if (selectLangId < 0 || selectLangId >= g_nLangCount) {
        return false;
    }
    row = g_nLangIndex[selectLangId];
    return IsLanguageRow(row);
}

int LanguagePosition(const CscHeader& header, int row) {
    for (size_t k = 0; k < kLanguageListSize; ++k) {
        const uint8_t entry = header.ImageOptionalLanglist[k];
        if (entry == kLanguageListEnd) {
            break;
        }
        if (entry == row) {
            return static_cast<int>(k);
        }
    }
    return 0;
}

}  // namespace varnel
