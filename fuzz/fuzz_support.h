// Shared pieces of the fuzz targets: the input as a file for the parsers that read an ImageFile,
// a CscView that checks what it is shown, and a check that stops the run when it fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "images/csc_image.h"

namespace varnel::fuzz {

// Aborts (a crash for libFuzzer) when `condition` is false.
void Require(bool condition);

// Writes the input to this process's scratch file and returns its path.
const std::string& WriteInput(const uint8_t* data, size_t size);

// Accepts everything a CscView is sent, checking that each log entry is one whole entry and
// that the combo boxes never grow past the tables behind them.
class CheckingCscView : public CscView {
  public:
    void ClearCscLog() override {}
    void AppendCscLog(const std::string& entry) override { CheckEntry(entry); }
    void AppendMainLog(const std::string& entry) override { CheckEntry(entry); }
    void ResetLanguageList() override { languages_ = 0; }
    void AddLanguage(const std::string& name) override;
    int LanguageCount() override { return languages_; }
    void SelectLanguage(int index) override { Require(index >= 0 && index < languages_); }
    void ResetCscFileList() override { files_ = 0; }
    void AddCscFile(const std::string& name) override;
    void SelectCscFile(int index) override { selection_ = index; }
    int CscFileSelection() override { return selection_; }
    void SetSelectedCscFileIndex(int index) override;
    void ReportImageHeaderInvalid() override {}

    int Files() const { return files_; }

  private:
    static void CheckEntry(const std::string& entry);

    int languages_ = 0;
    int files_ = 0;
    int selection_ = -1;
};

// Shows every listed CSC file in turn, as the operator would by choosing each one.
void SelectEveryCscFile(CheckingCscView& view, const CscSelectionSource& source);

}  // namespace varnel::fuzz
