// A CscView that records what the CSC handling shows, as the window's controls would hold it.
#pragma once

#include <string>
#include <vector>

#include "images/csc_image.h"
#include "images/image_globals.h"

namespace varnel::testing {

class FakeCscView : public CscView {
  public:
    void ClearCscLog() override { cscLog.clear(); }
    void AppendCscLog(const std::string& entry) override { cscLog.push_back(entry); }
    void AppendMainLog(const std::string& entry) override { mainLog.push_back(entry); }

    void ResetLanguageList() override {
        languages.clear();
        languageSelection = -1;
    }
    void AddLanguage(const std::string& name) override { languages.push_back(name); }
    int LanguageCount() override {
        return languageCountError ? -1 : static_cast<int>(languages.size());
    }
    void SelectLanguage(int index) override { languageSelection = index; }

    void ResetCscFileList() override {
        cscFiles.clear();
        cscFileSelection = -1;
    }
    void AddCscFile(const std::string& name) override { cscFiles.push_back(name); }
    void SelectCscFile(int index) override { cscFileSelection = index; }
    int CscFileSelection() override { return cscFileSelection; }

    void SetSelectedCscFileIndex(int index) override { selectedCscFileIndex = index; }
    void ReportImageHeaderInvalid() override { ++imageHeaderReports; }

    std::vector<std::string> cscLog;
    std::vector<std::string> mainLog;
    std::vector<std::string> languages;
    int languageSelection = -1;
    bool languageCountError = false;
    std::vector<std::string> cscFiles;
    int cscFileSelection = -1;
    int selectedCscFileIndex = -1;
    int imageHeaderReports = 0;
};

// The first g_nLangCount entries of g_nLangIndex.
inline std::vector<int> LanguageIndex() {
    return std::vector<int>(g_nLangIndex, g_nLangIndex + g_nLangCount);
}

}  // namespace varnel::testing
