#include "ui/window_choices.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <system_error>

#include "engine/device_choice.h"
#include "images/utf8_path.h"
#include "ui/control_ids.h"
#include "ui/dialog_view.h"
#include "ui/morvane_dlg.h"

namespace varnel {

const std::array<ImageChoice, kImageKindCount> kImageChoiceKeys = {{
    {"eboot", kSelectEboot, "EBoot image (.eb0)."},
    {"pda", kSelectPda, "PDA image (.nb0)."},
    {"csc", kSelectCsc, "CSC image (.csc), single or multi."},
    {"telvik", kSelectTelvik, "Telvik image (.mst, .msd or .sst)."},
    {"phone", kSelectPhone, "Phone image (.bin)."},
    {"smd", kSelectSmd, "SMD image (.smd); needs --mode smd."},
    {"integrated", kSelectIntegrated, "Integrated image (.img)."},
    {"contents", kSelectContents, "Contents image (.mct)."},
}};

const std::array<OptionChoice, 9> kOptionChoiceKeys = {{
    {"keep-eboot-cfg", IDC_KEEP_EBOOT_CFG, "Keep Eboot CFG"},
    {"erase-csc", IDC_ERASE_CSC, "Erase CSC"},
    {"erase-nv-pda", IDC_ERASE_NV_PDA, "Erase NV PDA"},
    {"set-priority-bit", IDC_SET_PRIORITY_BIT, "Set Priority Bit"},
    {"skip-os-update", IDC_SKIP_OS_UPDATE, "Skip OS updating by Telvik image"},
    {"preserve-contents", IDC_PRESERVE_CONTENTS, "Preserve device's contents"},
    {"skip-boot-wait", IDC_SKIP_BOOT_WAIT, "Skip over waiting for booting completely"},
    {"start-immediately", IDC_START_IMMEDIATELY, "Start downloading immediately"},
    {"smd-check", IDC_SMD_CHECK, "SMD Check"},
}};

const std::array<const char*, 2> kModeChoiceNames = {"normal", "smd"};

namespace {

constexpr char kModeKey[] = "mode";
constexpr char kStartOverKey[] = "startOver";
constexpr char kSlotMapKey[] = "slots/map";

std::string ImageKey(const ImageChoice& image) {
    return std::string("images/") + image.name;
}
std::string OptionKey(const OptionChoice& option) {
    return std::string("options/") + option.name;
}

// Written as "true"/"false"; a stored 1 counts as true too.
std::optional<bool> Flag(const std::optional<std::string>& value) {
    if (!value) {
        return std::nullopt;
    }
    return *value == "true" || *value == "1";
}
const char* FlagText(bool flag) {
    return flag ? "true" : "false";
}

bool Contains(const std::vector<int>& ids, int id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace

void DialogChoices::Overlay(const DialogChoices& other) {
    for (int kind = 0; kind < kImageKindCount; ++kind) {
        if (!other.images[kind].empty()) {
            images[kind] = other.images[kind];
        }
    }
    for (int id : other.checkedOptions) {
        if (!Contains(checkedOptions, id)) {
            checkedOptions.push_back(id);
        }
    }
    mode = other.mode ? other.mode : mode;
    startOver = other.startOver ? other.startOver : startOver;
}

RememberedChoices ReadChoices(ChoiceStore& store) {
    RememberedChoices choices;
    for (int kind = 0; kind < kImageKindCount; ++kind) {
        choices.images[kind] = store.Text(ImageKey(kImageChoiceKeys[kind])).value_or("");
    }
    for (const OptionChoice& option : kOptionChoiceKeys) {
        if (Flag(store.Text(OptionKey(option))).value_or(false)) {
            choices.checkedOptions.push_back(option.id);
        }
    }
    if (const std::optional<std::string> text = store.Text(kModeKey)) {
        int mode = -1;
        const char* end = text->data() + text->size();
        const auto [stop, error] = std::from_chars(text->data(), end, mode);
        if (error == std::errc() && stop == end && mode >= 0 &&
            mode < static_cast<int>(kModeChoiceNames.size())) {
            choices.mode = mode;
        }
    }
    choices.startOver = Flag(store.Text(kStartOverKey));
    choices.slotMap = store.Lines(kSlotMapKey);
    return choices;
}

void WriteChoices(ChoiceStore& store, const RememberedChoices& choices) {
    for (int kind = 0; kind < kImageKindCount; ++kind) {
        store.SetText(ImageKey(kImageChoiceKeys[kind]), choices.images[kind]);
    }
    for (const OptionChoice& option : kOptionChoiceKeys) {
        store.SetText(OptionKey(option), FlagText(Contains(choices.checkedOptions, option.id)));
    }
    if (choices.mode) {
        store.SetText(kModeKey, std::to_string(*choices.mode));
    }
    if (choices.startOver) {
        store.SetText(kStartOverKey, FlagText(*choices.startOver));
    }
    if (choices.slotMap) {
        store.SetLines(kSlotMapKey, *choices.slotMap);
    }
    store.Flush();
}

DialogChoices CurrentChoices(ChoiceWindow& window) {
    DialogView& view = window.View();
    DialogChoices choices;
    choices.images = ShownImages(view);
    for (const OptionChoice& option : kOptionChoiceKeys) {
        if (view.GetCheck(option.id)) {
            choices.checkedOptions.push_back(option.id);
        }
    }
    choices.mode = view.GetComboSelection(IDC_MODE_SELECT);
    choices.startOver = window.StartOverAfterEachJob();
    return choices;
}

ImagePaths ShownImages(DialogView& view) {
    ImagePaths images;
    for (int kind = 0; kind < kImageKindCount; ++kind) {
        images[kind] = view.GetText(kImagePathIds[kind]);
    }
    return images;
}

void SelectImages(const ImagePaths& images, CMorvaneDlg& dlg, ChoiceWindow& window) {
    for (int kind = 0; kind < kImageKindCount; ++kind) {
        const std::string& path = images[kind];
        std::error_code error;
        if (path.empty() || !std::filesystem::exists(Utf8Path(path), error) ||
            !window.IsControlShown(kImageButtonIds[kind])) {
            continue;
        }
        const int selection = kImageChoiceKeys[kind].selectionKind;
        if (dlg.IsSelected(kind)) {
            dlg.OnImageButton(selection);  // a chosen image's button clears it first
        }
        window.SetNextChosenFile(path);
        dlg.OnImageButton(selection);
        window.SetNextChosenFile(std::nullopt);
    }
}

void ApplyChoices(const DialogChoices& choices, CMorvaneDlg& dlg, ChoiceWindow& window) {
    DialogView& view = window.View();
    if (choices.mode && *choices.mode != view.GetComboSelection(IDC_MODE_SELECT)) {
        view.SetComboSelection(IDC_MODE_SELECT, *choices.mode);
        dlg.OnModeSelect();
    }
    for (int id : choices.checkedOptions) {
        if (!view.GetCheck(id) && view.IsControlEnabled(id)) {
            view.SetCheck(id, true);
            dlg.OnOptionCheck(id);
        }
    }
    SelectImages(choices.images, dlg, window);
    if (choices.startOver) {
        window.SetStartOverAfterEachJob(*choices.startOver);
    }
}

bool ApplySlotMap(const std::vector<std::string>& lines, CMorvaneDlg& dlg, std::string& error) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + '\n';
    }
    DeviceChoice choice;
    if (!choice.AddSlotLines(text, kPortCount, error)) {
        return false;
    }
    dlg.m_DeviceChoice = std::move(choice);
    return true;
}

}  // namespace varnel
