// The window's choices on Qt: remembered in QSettings, and given on the command line as
// varnel-cli takes them.
#pragma once

#include <QStringList>
#include <memory>
#include <string>

#include "ui/window_choices.h"

class QCommandLineParser;
class QSettings;

namespace varnel {

class CMorvaneDlg;
class QtMainWindow;

using WindowChoices = BasicWindowChoices<QStringList>;

// The store the window remembers its choices in (the user's configuration directory).
std::unique_ptr<QSettings> OpenWindowSettings();
WindowChoices ReadWindowChoices(QSettings& settings);
void WriteWindowChoices(QSettings& settings, const WindowChoices& choices);

// The options of the command line that choose; ChoicesOfCommandLine reads them back after parsing.
void AddChoiceOptions(QCommandLineParser& parser);
// False with `error` set for a bad value.
bool ChoicesOfCommandLine(const QCommandLineParser& parser, WindowChoices& choices,
                          std::string& error);

// What the window shows now; the slot map is not the window's and stays unset.
WindowChoices CurrentChoices(QtMainWindow& window);
void ApplyChoices(const DialogChoices& choices, CMorvaneDlg& dlg, QtMainWindow& window);

// The window's view and its "Start over after each job" box, as choices are applied to them.
class QtChoiceWindow final : public ChoiceWindow {
  public:
    explicit QtChoiceWindow(QtMainWindow& window) : m_window(window) {}
    DialogView& View() override;
    bool IsControlShown(int id) override;
    void SetNextChosenFile(std::optional<std::string> path) override;
    std::optional<bool> StartOverAfterEachJob() override;
    void SetStartOverAfterEachJob(bool startOver) override;

  private:
    QtMainWindow& m_window;
};

}  // namespace varnel
