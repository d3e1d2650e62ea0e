#include "ui/qt/window_choices.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QSettings>
#include <filesystem>

#include "ui/control_ids.h"
#include "ui/morvane_dlg.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_text.h"

namespace varnel {

namespace {

struct ImageChoice {
    const char* name;  // option and settings key
    int selectionKind;
    const char* help;
};
// Indexed by image kind.
constexpr ImageChoice kImageChoices[kImageKindCount] = {
    {"eboot", kSelectEboot, "EBoot image (.eb0)."},
    {"pda", kSelectPda, "PDA image (.nb0)."},
    {"csc", kSelectCsc, "CSC image (.csc), single or multi."},
    {"telvik", kSelectTelvik, "Telvik image (.mst, .msd or .sst)."},
    {"phone", kSelectPhone, "Phone image (.bin)."},
    {"smd", kSelectSmd, "SMD image (.smd); needs --mode smd."},
    {"integrated", kSelectIntegrated, "Integrated image (.img)."},
    {"contents", kSelectContents, "Contents image (.mct)."},
};

struct OptionChoice {
    const char* name;
    int id;
    const char* caption;
};
// The boxes the operator can tick.
constexpr OptionChoice kOptionChoices[] = {
    {"keep-eboot-cfg", IDC_KEEP_EBOOT_CFG, "Keep Eboot CFG"},
    {"erase-csc", IDC_ERASE_CSC, "Erase CSC"},
    {"erase-nv-pda", IDC_ERASE_NV_PDA, "Erase NV PDA"},
    {"set-priority-bit", IDC_SET_PRIORITY_BIT, "Set Priority Bit"},
    {"skip-os-update", IDC_SKIP_OS_UPDATE, "Skip OS updating by Telvik image"},
    {"preserve-contents", IDC_PRESERVE_CONTENTS, "Preserve device's contents"},
    {"skip-boot-wait", IDC_SKIP_BOOT_WAIT, "Skip over waiting for booting completely"},
    {"start-immediately", IDC_START_IMMEDIATELY, "Start downloading immediately"},
    {"smd-check", IDC_SMD_CHECK, "SMD Check"},
};

constexpr const char* kModeNames[] = {"normal", "smd"};
constexpr char kStartOverOption[] = "start-over";

QString ImageKey(const ImageChoice& image) {
    return QStringLiteral("images/") + QLatin1String(image.name);
}
QString OptionKey(const OptionChoice& option) {
    return QStringLiteral("options/") + QLatin1String(option.name);
}

}  // namespace

void WindowChoices::Overlay(const WindowChoices& other) {
    for (int kind = 0; kind < kImageKindCount; ++kind) {
        if (!other.images[kind].empty()) {
            images[kind] = other.images[kind];
        }
    }
    for (int id : other.checkedOptions) {
        if (std::find(checkedOptions.begin(), checkedOptions.end(), id) == checkedOptions.end()) {
            checkedOptions.push_back(id);
        }
    }
    mode = other.mode ? other.mode : mode;
    startOver = other.startOver ? other.startOver : startOver;
    slotMap = other.slotMap ? other.slotMap : slotMap;
}

std::unique_ptr<QSettings> OpenWindowSettings() {
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                       QStringLiteral("varnel"),
                                       QStringLiteral("varnel-downloader"));
}

WindowChoices ReadWindowChoices(QSettings& settings) {
    WindowChoices choices;
    for (int kind = 0; kind < kImageKindCount; ++kind) {
        choices.images[kind] =
            QFile::encodeName(settings.value(ImageKey(kImageChoices[kind])).toString())
                .toStdString();
    }
    for (const OptionChoice& option : kOptionChoices) {
        if (settings.value(OptionKey(option)).toBool()) {
            choices.checkedOptions.push_back(option.id);
        }
    }
    bool valid = false;
    const int mode = settings.value(QStringLiteral("mode")).toInt(&valid);
    if (valid && mode >= 0 && mode < static_cast<int>(std::size(kModeNames))) {
        choices.mode = mode;
    }
    if (settings.contains(QStringLiteral("startOver"))) {
        choices.startOver = settings.value(QStringLiteral("startOver")).toBool();
    }
    if (settings.contains(QStringLiteral("slots/map"))) {
        choices.slotMap = settings.value(QStringLiteral("slots/map")).toStringList();
    }
    return choices;
}

void WriteWindowChoices(QSettings& settings, const WindowChoices& choices) {
    for (int kind = 0; kind < kImageKindCount; ++kind) {
        settings.setValue(ImageKey(kImageChoices[kind]),
                          QFile::decodeName(QByteArray::fromStdString(choices.images[kind])));
    }
    for (const OptionChoice& option : kOptionChoices) {
        const bool checked = std::find(choices.checkedOptions.begin(), choices.checkedOptions.end(),
                                       option.id) != choices.checkedOptions.end();
        settings.setValue(OptionKey(option), checked);
    }
    if (choices.mode) {
        settings.setValue(QStringLiteral("mode"), *choices.mode);
    }
    if (choices.startOver) {
        settings.setValue(QStringLiteral("startOver"), *choices.startOver);
    }
    if (choices.slotMap) {
        settings.setValue(QStringLiteral("slots/map"), *choices.slotMap);
    }
    settings.sync();
}

void AddChoiceOptions(QCommandLineParser& parser) {
    for (const ImageChoice& image : kImageChoices) {
        parser.addOption(QCommandLineOption(QLatin1String(image.name),
                                            QString::fromUtf8(image.help), QStringLiteral("FILE")));
    }
    for (const OptionChoice& option : kOptionChoices) {
        parser.addOption(QCommandLineOption(
            QLatin1String(option.name),
            QStringLiteral("Tick \"%1\".").arg(QString::fromUtf8(option.caption))));
    }
    parser.addOption(QCommandLineOption(QStringLiteral("mode"),
                                        QStringLiteral("Mode Select: normal or smd."),
                                        QStringLiteral("MODE")));
    parser.addOption(QCommandLineOption(QLatin1String(kStartOverOption),
                                        QStringLiteral("Tick \"Start over after each job\".")));
}

bool ChoicesOfCommandLine(const QCommandLineParser& parser, WindowChoices& choices,
                          std::string& error) {
    for (int kind = 0; kind < kImageKindCount; ++kind) {
        const QString name = QLatin1String(kImageChoices[kind].name);
        if (parser.isSet(name)) {
            choices.images[kind] =
                std::filesystem::absolute(QFile::encodeName(parser.value(name)).toStdString())
                    .string();
        }
    }
    for (const OptionChoice& option : kOptionChoices) {
        if (parser.isSet(QLatin1String(option.name))) {
            choices.checkedOptions.push_back(option.id);
        }
    }
    if (parser.isSet(QStringLiteral("mode"))) {
        const QString mode = parser.value(QStringLiteral("mode"));
        const auto* found = std::find_if(std::begin(kModeNames), std::end(kModeNames),
                                         [&](const char* name) { return mode == name; });
        if (found == std::end(kModeNames)) {
            error = "--mode takes normal or smd";
            return false;
        }
        choices.mode = static_cast<int>(found - std::begin(kModeNames));
    }
    if (parser.isSet(QLatin1String(kStartOverOption))) {
        choices.startOver = true;
    }
    return true;
}

WindowChoices CurrentChoices(QtMainWindow& window) {
    WindowChoices choices;
    choices.images = ShownImages(window.View());
    for (const OptionChoice& option : kOptionChoices) {
        if (window.View().GetCheck(option.id)) {
            choices.checkedOptions.push_back(option.id);
        }
    }
    choices.mode = window.View().GetComboSelection(IDC_MODE_SELECT);
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

void SelectImages(const ImagePaths& images, CMorvaneDlg& dlg, QtDialogView& view) {
    for (int kind = 0; kind < kImageKindCount; ++kind) {
        const std::string& path = images[kind];
        if (path.empty() ||
            !QFileInfo::exists(QFile::decodeName(QByteArray::fromStdString(path))) ||
            view.Control(kImageButtonIds[kind])->isHidden()) {
            continue;
        }
        const int selection = kImageChoices[kind].selectionKind;
        if (dlg.IsSelected(kind)) {
            dlg.OnImageButton(selection);  // a chosen image's button clears it first
        }
        view.SetNextChosenFile(path);
        dlg.OnImageButton(selection);
        view.SetNextChosenFile(std::nullopt);
    }
}

void ApplyChoices(const WindowChoices& choices, CMorvaneDlg& dlg, QtMainWindow& window) {
    QtDialogView& view = window.View();
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
    SelectImages(choices.images, dlg, view);
    if (choices.startOver) {
        window.SetStartOverAfterEachJob(*choices.startOver);
    }
}

}  // namespace varnel
