#include "ui/qt/window_choices.h"

#include <QCommandLineParser>
#include <QFile>
#include <QSettings>
#include <filesystem>

#include "ui/qt/main_window.h"
#include "ui/qt/qt_text.h"

namespace varnel {

namespace {

constexpr char kStartOverOption[] = "start-over";

class QtSettingsStore final : public ChoiceStore {
  public:
    explicit QtSettingsStore(QSettings& settings) : m_settings(settings) {}

    std::optional<std::string> Text(const std::string& key) override {
        const QString name = QString::fromStdString(key);
        if (!m_settings.contains(name)) {
            return std::nullopt;
        }
        return m_settings.value(name).toString().toStdString();
    }
    std::optional<std::vector<std::string>> Lines(const std::string& key) override {
        const QString name = QString::fromStdString(key);
        if (!m_settings.contains(name)) {
            return std::nullopt;
        }
        std::vector<std::string> lines;
        for (const QString& line : m_settings.value(name).toStringList()) {
            lines.push_back(line.toStdString());
        }
        return lines;
    }
    void SetText(const std::string& key, const std::string& value) override {
        m_settings.setValue(QString::fromStdString(key), QString::fromStdString(value));
    }
    void SetLines(const std::string& key, const std::vector<std::string>& lines) override {
        QStringList list;
        for (const std::string& line : lines) {
            list.append(QString::fromStdString(line));
        }
        m_settings.setValue(QString::fromStdString(key), list);
    }
    void Flush() override { m_settings.sync(); }

  private:
    QSettings& m_settings;
};

}  // namespace

std::unique_ptr<QSettings> OpenWindowSettings() {
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                       QStringLiteral("varnel"),
                                       QStringLiteral("varnel-downloader"));
}

WindowChoices ReadWindowChoices(QSettings& settings) {
    QtSettingsStore store(settings);
    RememberedChoices remembered = ReadChoices(store);
    WindowChoices choices(remembered);
    if (remembered.slotMap) {
        choices.slotMap.emplace();
        for (const std::string& line : *remembered.slotMap) {
            choices.slotMap->append(QString::fromStdString(line));
        }
    }
    return choices;
}

void WriteWindowChoices(QSettings& settings, const WindowChoices& choices) {
    RememberedChoices remembered(choices);
    if (choices.slotMap) {
        remembered.slotMap.emplace();
        for (const QString& line : *choices.slotMap) {
            remembered.slotMap->push_back(line.toStdString());
        }
    }
    QtSettingsStore store(settings);
    WriteChoices(store, remembered);
}

void AddChoiceOptions(QCommandLineParser& parser) {
    for (const ImageChoice& image : kImageChoiceKeys) {
        parser.addOption(QCommandLineOption(QLatin1String(image.name),
                                            QString::fromUtf8(image.help), QStringLiteral("FILE")));
    }
    for (const OptionChoice& option : kOptionChoiceKeys) {
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
        const QString name = QLatin1String(kImageChoiceKeys[kind].name);
        if (parser.isSet(name)) {
            choices.images[kind] =
                std::filesystem::absolute(QFile::encodeName(parser.value(name)).toStdString())
                    .string();
        }
    }
    for (const OptionChoice& option : kOptionChoiceKeys) {
        if (parser.isSet(QLatin1String(option.name))) {
            choices.checkedOptions.push_back(option.id);
        }
    }
    if (parser.isSet(QStringLiteral("mode"))) {
        const QString mode = parser.value(QStringLiteral("mode"));
        const auto* found = std::find_if(kModeChoiceNames.begin(), kModeChoiceNames.end(),
                                         [&](const char* name) { return mode == name; });
        if (found == kModeChoiceNames.end()) {
            error = "--mode takes normal or smd";
            return false;
        }
        choices.mode = static_cast<int>(found - kModeChoiceNames.begin());
    }
    if (parser.isSet(QLatin1String(kStartOverOption))) {
        choices.startOver = true;
    }
    return true;
}

WindowChoices CurrentChoices(QtMainWindow& window) {
    QtChoiceWindow choiceWindow(window);
    return WindowChoices(CurrentChoices(choiceWindow));
}

void ApplyChoices(const DialogChoices& choices, CMorvaneDlg& dlg, QtMainWindow& window) {
    QtChoiceWindow choiceWindow(window);
    ApplyChoices(choices, dlg, choiceWindow);
}

DialogView& QtChoiceWindow::View() {
    return m_window.View();
}

bool QtChoiceWindow::IsControlShown(int id) {
    return !m_window.View().Control(id)->isHidden();
}

void QtChoiceWindow::SetNextChosenFile(std::optional<std::string> path) {
    m_window.View().SetNextChosenFile(std::move(path));
}

std::optional<bool> QtChoiceWindow::StartOverAfterEachJob() {
    return m_window.StartOverAfterEachJob();
}

void QtChoiceWindow::SetStartOverAfterEachJob(bool startOver) {
    m_window.SetStartOverAfterEachJob(startOver);
}

}  // namespace varnel
