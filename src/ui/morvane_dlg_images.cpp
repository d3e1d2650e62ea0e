// Image selection: the image buttons with their file dialog, dropped files, loading what the
// download of a chosen image needs, and the CSC combo boxes.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "engine/status.h"
#include "images/bytesum.h"
#include "images/csc_image.h"
#include "images/format_entry.h"
#include "images/image_check.h"
#include "images/image_file.h"
#include "images/image_globals.h"
#include "images/image_reader.h"
#include "images/integrated_image.h"
#include "images/utf8_path.h"
#include "ui/control_ids.h"
#include "ui/morvane_dlg.h"

namespace varnel {

namespace {

// SelectImageFile's results.
enum ChoiceResult : int {
    kChosen = 0,
    kWrongExtension = 1,
    kEmptyPath = 2,
    kCancelled = 3,
    kRejected = 4,
};

struct ImageChoice {
    const char* name;         // subject tag of the kind's own log lines
    const char* filter;       // of the Open dialog
    const char* failure;      // a failed button choice; %d = SelectImageFile's result
    const char* dropFailure;  // a rejected dropped file; %d = 0
};

// Index = selection kind; the gap at 4 has no entry.
constexpr ImageChoice kImageChoices[] = {
    {"EBoot", "EBoot Image (*.eb0)|*.eb0|", "Select Eboot file is incorrected. %d\r\n",
     "Select Eboot file is incorrected. %d\r\n"},
    {"PDA", "PDA(Savrel) Image (*.nb0)|*.nb0|", "Select PDA file is incorrected. %d\r\n",
     "Select PDA file is incorrected. %d\r\n"},
    {"CSC", "CSC Image (*.csc)|*.csc|", "Select CSC file is incorrected. %d\r\n",
     "Select CSC file is incorrected. %d\r\n"},
    {"Telvik",
     "PDA(Telvik) Image (*.mst)|*.mst|Multi Partition Telvik SMD Image (*.msd)|*.msd|Single "
     "Partition Telvik SMD Image (*.sst)|*.sst|",
     "Select Telvik file is incorrected. %d\r\n", "Select Telvik file is incorrected. %d\r\n"},
    {nullptr, nullptr, nullptr, nullptr},
    {"Phone", "Phone Image (*.bin)|*.bin|", "Select Phone file is incorrected. %d\r\n",
     "Select Phone file is incorrected. %d\r\n"},
    {"SMD", "Savrel SMD Image (*.smd)|*.smd|", "Select SMD file is incorrected. %d\r\n",
     "Select SMD file is incorrected. %d\r\n"},
    {"Integrated", "Integrated Image (*.img)|*.img|",
     "Select integrated IMG file is incorrected. %d\r\n", "Select IMG file is incorrected. %d\r\n"},
    {"Contents", "Contents Image (*.mct)|*.mct|", "Select Contents file is incorrected. %d\r\n",
     "Select Conents file is incorrected. %d\r\n"},
};

// The subject tag of an image kind's lines.
const char* ImageName(int imageKind) {
    for (int selectionKind = 0; selectionKind < static_cast<int>(std::size(kImageChoices));
         ++selectionKind) {
        if (ImageKindOfSelection(selectionKind) == imageKind) {
            return kImageChoices[selectionKind].name;
        }
    }
    return "image";
}

// The file name endings of each kind: after a dot in a dialog's path (any letter case), or the
// last three characters of a dropped name (all lower or all upper case, no dot needed).
struct Extension {
    const char* text;  // lower case, without the dot
    int selectionKind;
    int telvikType;  // what it makes g_nTelvikType (Telvik only)
};
constexpr Extension kExtensions[] = {
    {"eb0", kSelectEboot, kTelvikNone},      {"nb0", kSelectPda, kTelvikNone},
    {"csc", kSelectCsc, kTelvikNone},        {"mst", kSelectTelvik, kTelvikMulti},
    {"msd", kSelectTelvik, kTelvikMulti},    {"sst", kSelectTelvik, kTelvikSingle},
    {"img", kSelectIntegrated, kTelvikNone}, {"bin", kSelectPhone, kTelvikNone},
    {"smd", kSelectSmd, kTelvikNone},        {"mct", kSelectContents, kTelvikNone},
};
constexpr size_t kExtensionLength = 3;

constexpr const char* kFileLoading = "File Loading...";
// Status 218 raised by the selection: port 0, argument 1 (the file).
constexpr uint32_t kImageHeaderStatusParam = StatusParam(0, 1);

// Changes the letters A-Z and a-z only, whatever the locale: other bytes of a name (a multi-byte
// character) stay as they are.
std::string AsciiCase(std::string_view text, bool upper) {
    std::string result(text);
    const char from = upper ? 'a' : 'A';
    for (char& c : result) {
        if (c >= from && c <= from + ('z' - 'a')) {
            c = static_cast<char>(c + (upper ? 'A' - 'a' : 'a' - 'A'));
        }
    }
    return result;
}

std::string_view LastCharacters(std::string_view text, size_t count) {
    return text.size() < count ? std::string_view() : text.substr(text.size() - count);
}

// The extension of `selectionKind` that a dialog's path ends in, dot included, in any letter
// case.
const Extension* DialogExtension(int selectionKind, std::string_view path) {
    const std::string ending = AsciiCase(LastCharacters(path, kExtensionLength + 1), false);
    for (const Extension& extension : kExtensions) {
        if (extension.selectionKind == selectionKind &&
            ending == std::string(".") + extension.text) {
            return &extension;
        }
    }
    return nullptr;
}

const Extension* DroppedExtension(std::string_view name) {
    const std::string_view ending = LastCharacters(name, kExtensionLength);
    for (const Extension& extension : kExtensions) {
        if (ending == extension.text || ending == AsciiCase(extension.text, true)) {
            return &extension;
        }
    }
    return nullptr;
}

// A dialog's path is kept in lower case. Where the file system tells letter cases apart, the
// lower-case path could name another file or none, so the path is then kept as chosen.
std::string StoredDialogPath(const std::string& chosen) {
    std::string lower = AsciiCase(chosen, false);
    std::error_code error;
    if (lower == chosen || std::filesystem::equivalent(Utf8Path(chosen), Utf8Path(lower), error)) {
        return lower;
    }
    return chosen;
}

bool IsRegularFile(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(Utf8Path(path), error);
}

bool SumSingleTelvik(CMorvaneDlg& dlg, ImageFile& file, const std::string& path) {
    dlg.AppendMainLogText(
        "Calculating Single Telvik image's checksum now wait for a while please.......\r\n");
    bool complete = false;
    const uint32_t sum = FileByteSum(file, &complete);
    if (!complete) {
        dlg.AppendMainLog("[Telvik] [%s] could not be read to its end; it has no checksum \r\n",
                          path.c_str());
        return false;
    }
    dlg.m_dwSingleTelvikSum = sum;
    dlg.AppendMainLogText("Calculating Telvik image's checksum is done.\r\n");
    return true;
}

// The image kind an Integrated image's component is written in place of: the worker takes the
// component and no longer writes a separately chosen image of that kind. Both Telvik components
// stand for the one Telvik kind.
int CarriedImageKind(ComponentKind component) {
    switch (component) {
        case kComponentEboot:
            return kKindEboot;
        case kComponentPda:
            return kKindPda;
        case kComponentCsc:
            return kKindCsc;
        case kComponentPhone:
            return kKindPhone;
        case kComponentTelvik:
        case kComponentSingleTelvik:
            return kKindTelvik;
        case kComponentContents:
            return kKindContents;
        default:
            return -1;
    }
}

// The kind whose button and path edit a component hides; Contents keeps its own.
int ReplacedImageKind(ComponentKind component) {
    return component == kComponentContents ? -1 : CarriedImageKind(component);
}

// The first of `imageKinds`-selected kinds (by `selected`) that the Integrated image at `path`
// carries, or -1 (also when its header cannot be read: its own check reports that).
template <typename Selected>
int CarriedSelectedKind(const std::string& path, Selected selected) {
    ImageFile file;
    sImageHeader header;
    if (!file.Open(path) || ReadImageHeader(file, header) != ImageHeaderRead::kOk) {
        return -1;
    }
    for (int component = 0; component < kComponentCount; ++component) {
        const int kind = CarriedImageKind(static_cast<ComponentKind>(component));
        if (kind >= 0 && header.Component[component].Present() && selected(kind)) {
            return kind;
        }
    }
    return -1;
}

void ShowIntegratedComponentControls(DialogView& view) {
    for (int id : kIntegratedComponentControls) {
        view.ShowControl(id, true);
    }
}

// Hides the controls of exactly the components of the new image: a drop may replace an
// Integrated image that carried others.
bool CheckIntegratedImage(DialogView& view, CscView& csc, const std::string& path) {
    const IntegratedImageCheck check = ParseIntegratedImage(path, csc);
    ShowIntegratedComponentControls(view);
    if (!check.ok) {
        return false;
    }
    for (ComponentKind component : check.components) {
        const int kind = ReplacedImageKind(component);
        if (kind >= 0) {
            view.ShowControl(kImageButtonIds[kind], false);
            view.ShowControl(kImagePathIds[kind], false);
        }
    }
    return true;
}

// A choice that did not load leaves its kind as a deselection does, so that nothing downloads
// or reports the layout of an image that is not selected.
void RejectChoice(CMorvaneDlg& dlg, int imageKind) {
    dlg.ClearSelection(imageKind);
    if (imageKind == kKindTelvik) {
        g_nTelvikType = kTelvikNone;
    }
    if (imageKind == kKindIntegrated) {
        ShowIntegratedComponentControls(dlg.View());
    }
}

// The CSC handling's view of the window: the CSC information box, the main log, the two CSC
// combo boxes and the job's selected CSC file.
class DialogCscView final : public CscView {
  public:
    explicit DialogCscView(CMorvaneDlg& dlg) : m_dlg(dlg) {}

    void ClearCscLog() override { m_dlg.ClearCscLog(); }
    void AppendCscLog(const std::string& entry) override {
        m_dlg.AppendCscLog("%s", entry.c_str());
    }
    void AppendMainLog(const std::string& entry) override { m_dlg.AppendMainLogText(entry); }

    void ResetLanguageList() override { m_dlg.View().ResetComboBox(IDC_LANGUAGE_SELECT); }
    void AddLanguage(const std::string& name) override {
        m_dlg.View().AddComboString(IDC_LANGUAGE_SELECT, name);
    }
    int LanguageCount() override { return m_dlg.View().GetComboCount(IDC_LANGUAGE_SELECT); }
    void SelectLanguage(int index) override {
        m_dlg.View().SetComboSelection(IDC_LANGUAGE_SELECT, index);
    }

    void ResetCscFileList() override { m_dlg.View().ResetComboBox(IDC_CSC_FILE_SELECT); }
    void AddCscFile(const std::string& name) override {
        m_dlg.View().AddComboString(IDC_CSC_FILE_SELECT, name);
    }
    void SelectCscFile(int index) override {
        m_dlg.View().SetComboSelection(IDC_CSC_FILE_SELECT, index);
    }
    int CscFileSelection() override { return m_dlg.View().GetComboSelection(IDC_CSC_FILE_SELECT); }

    void SetSelectedCscFileIndex(int index) override { m_dlg.m_nSelectedCscFile = index; }
    void ReportImageHeaderInvalid() override {
        m_dlg.OnSelectionStatus(kStatusIntegratedError, kImageHeaderStatusParam);
    }

  private:
    CMorvaneDlg& m_dlg;
};

}  // namespace

CscView& CMorvaneDlg::CscPresenter() {
    if (!m_pCscView) {
        m_pCscView = std::make_unique<DialogCscView>(*this);
    }
    return *m_pCscView;
}

void CMorvaneDlg::OnImageButton(int selectionKind) {
    const int imageKind = ImageKindOfSelection(selectionKind);
    if (imageKind < 0) {
        return;
    }
    if (imageKind == kKindCsc) {
        m_view.ResetComboBox(IDC_LANGUAGE_SELECT);
        m_view.ResetComboBox(IDC_CSC_FILE_SELECT);
    }
    if (IsSelected(imageKind)) {
        DeselectImage(imageKind);
        return;
    }
    UpdateData(true);
    const int result = SelectImageFile(selectionKind);
    if (result == kChosen) {
        SelectedFlag(imageKind) = 1;
    } else {
        RejectChoice(*this, imageKind);
        AppendMainLog(kImageChoices[selectionKind].failure, result);
    }
    UpdateData(false);
}

// The gap at 4 has no dialog, so no path can be chosen for it.
int CMorvaneDlg::SelectImageFile(int selectionKind) {
    const int imageKind = ImageKindOfSelection(selectionKind);
    if (imageKind < 0) {
        return kEmptyPath;
    }
    SetPath(imageKind, kFileLoading);
    UpdateData(false);
    const std::optional<std::string> chosen =
        m_view.ChooseFile(kImageChoices[selectionKind].filter);
    if (!chosen) {
        return kCancelled;
    }
    const std::string path = StoredDialogPath(*chosen);
    SetPath(imageKind, path);
    if (path.empty()) {
        return kEmptyPath;
    }
    const Extension* extension = DialogExtension(selectionKind, path);
    if (selectionKind == kSelectTelvik) {
        g_nTelvikType = extension != nullptr ? extension->telvikType : kTelvikNone;
    }
    if (extension == nullptr) {
        return kWrongExtension;
    }
    if (!LoadImageInfo(selectionKind)) {
        return kRejected;
    }
    m_view.EnableControl(IDC_DETECT, true);
    return kChosen;
}

bool CMorvaneDlg::LoadImageInfo(int selectionKind) {
    const int imageKind = ImageKindOfSelection(selectionKind);
    if (imageKind < 0) {
        return selectionKind == kSelectNone;
    }
    const std::string path = Path(imageKind);
    ImageFile file;
    // A folder or a device named like an image is no more readable than a missing file.
    if (!IsRegularFile(path) || !file.Open(path)) {
        if (imageKind == kKindIntegrated) {
            AppendMainLogText(kIntegratedOpenFailedLine);
        } else {
            AppendMainLog("[%s] Cannot open [%s] for reading \r\n",
                          kImageChoices[selectionKind].name, path.c_str());
        }
        return false;
    }
    SetSpan(imageKind, {0, file.Length()});
    const uint64_t length = file.Length();
    std::string error;
    bool ok = true;
    switch (imageKind) {
        case kKindEboot:
        case kKindPhone:
            ok = CheckWholeImage(length, error);
            break;
        case kKindPda:
            ok = CheckPdaImage(file, 0, length, error);
            break;
        case kKindCsc:
            ParseCscFile(file, CscPresenter());
            ok = CheckCscData(file, 0, length, error);
            break;
        case kKindTelvik:
            if (g_nTelvikType == kTelvikSingle) {
                if (!CheckWholeImage(length, error)) {
                    ok = false;
                    break;
                }
                return SumSingleTelvik(*this, file, path);
            }
            ok = CheckTelvikImage(file, 0, length, TelvikParts::kTwo, error);
            break;
        case kKindSmd:
            ok = CheckSmdImage(length, error);
            break;
        case kKindContents:
            ok = CheckTelvikImage(file, 0, length, TelvikParts::kFirstOnly, error);
            break;
        case kKindIntegrated: {
            file.Close();
            const int carried = CarriedSelectedKind(
                path, [this](int kind) { return kind != kKindIntegrated && IsSelected(kind); });
            if (carried >= 0) {
                AppendMainLog(
                    "[Integrated] [%s] carries a %s image, and one is chosen on its own: clear "
                    "that first \r\n",
                    path.c_str(), ImageName(carried));
                return false;
            }
            return CheckIntegratedImage(m_view, CscPresenter(), path);
        }
        default:
            break;
    }
    if (!ok) {
        AppendMainLog("[%s] [%s] cannot be downloaded: %s \r\n", kImageChoices[selectionKind].name,
                      path.c_str(), error.c_str());
    }
    return ok;
}

void CMorvaneDlg::OnDropFiles(const std::vector<std::string>& fileNames) {
    for (auto name = fileNames.rbegin(); name != fileNames.rend(); ++name) {
        const Extension* extension = DroppedExtension(*name);
        if (extension == nullptr) {
            continue;
        }
        const int selectionKind = extension->selectionKind;
        const int imageKind = ImageKindOfSelection(selectionKind);
        // What the button could not change a drop must not change either: after Detect the
        // workers read these paths.
        if (!m_view.IsControlEnabled(kImageButtonIds[imageKind])) {
            AppendMainLog(
                "[%s] [%s] is not taken: images cannot change after Detect until the "
                "job ends or \"reset all\" \r\n",
                kImageChoices[selectionKind].name, name->c_str());
            continue;
        }
        // The worker writes the Integrated image's component in place of this one.
        if (IsSelected(kKindIntegrated) &&
            CarriedSelectedKind(Path(kKindIntegrated),
                                [imageKind](int kind) { return kind == imageKind; }) >= 0) {
            AppendMainLog(
                "[%s] [%s] is not taken: the chosen Integrated image carries this kind \r\n",
                kImageChoices[selectionKind].name, name->c_str());
            continue;
        }
        if (selectionKind == kSelectTelvik) {
            g_nTelvikType = extension->telvikType;
        }
        SetPath(imageKind, *name);
        if (LoadImageInfo(selectionKind)) {
            SelectedFlag(imageKind) = 1;
            m_view.EnableControl(IDC_DETECT, true);
        } else {
            RejectChoice(*this, imageKind);
            AppendMainLog(kImageChoices[selectionKind].dropFailure, 0);
        }
        UpdateData(false);
    }
}

void CMorvaneDlg::OnSelectCscFile() {
    const CscSelectionSource source{IsSelected(kKindIntegrated), Path(kKindIntegrated),
                                    IsSelected(kKindCsc), Path(kKindCsc)};
    varnel::OnSelectCscFile(source, CscPresenter());
}

}  // namespace varnel
