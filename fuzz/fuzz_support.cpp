#include "fuzz_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "images/image_globals.h"
#include "images/language_table.h"

namespace varnel::fuzz {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

const std::string& WriteInput(const uint8_t* data, size_t size) {
    static const std::string path =
        (std::filesystem::temp_directory_path() /
         ("varnel-fuzz-" + std::to_string(std::random_device{}()) + ".bin"))
            .string();
    static const bool removeAtExit = [] {
        return std::atexit([] {
                   std::error_code ignored;
                   std::filesystem::remove(path, ignored);
               }) == 0;
    }();
    Require(removeAtExit);
    // A new file each time: truncating one with fresh data makes the file system flush it.
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    Require(!out.fail());
    return path;
}

void CheckingCscView::CheckEntry(const std::string& entry) {
    // One formatted entry of at most 259 characters, ending its line.
    Require(entry.size() >= 2 && entry.size() <= 259);
    Require(entry.compare(entry.size() - 2, 2, "\r\n") == 0);
}

void CheckingCscView::AddLanguage(const std::string& name) {
    Require(name.size() < sizeof(LanguageRow::szName));
    Require(++languages_ <= kMaxLanguageIndex);
    Require(g_nLangCount <= kMaxLanguageIndex);
}

void CheckingCscView::AddCscFile(const std::string& name) {
    // A name may fill its whole field, with no terminator.
    Require(name.size() <= sizeof(CscFileEntry::FileName));
    Require(++files_ <= kMaxCscFiles);
}

void CheckingCscView::SetSelectedCscFileIndex(int index) {
    Require(index == 0 || (index > 0 && index < files_));
}

void SelectEveryCscFile(CheckingCscView& view, const CscSelectionSource& source) {
    const int files = view.Files();
    for (int index = -1; index <= files; ++index) {
        view.SelectCscFile(index);
        OnSelectCscFile(source, view);
        for (int k = 0; k < g_nLangCount; ++k) {
            int row = -1;
            Require(SelectedLanguageRow(k, row) && IsLanguageRow(row));
        }
    }
}

}  // namespace varnel::fuzz
