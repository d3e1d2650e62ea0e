// What the operator chose in the window (images, option boxes, Mode Select, starting over after
// each job, the slot map), as it is remembered between runs and as the command line gives it.
#pragma once

#include <QStringList>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/download_job.h"

class QCommandLineParser;
class QSettings;

namespace varnel {

class CMorvaneDlg;
class DialogView;
class QtDialogView;
class QtMainWindow;

using ImagePaths = std::array<std::string, kImageKindCount>;

struct WindowChoices {
    ImagePaths images;                // by image kind; empty: none
    std::vector<int> checkedOptions;  // ids of the ticked option boxes
    std::optional<int> mode;          // Mode Select index
    std::optional<bool> startOver;
    std::optional<QStringList> slotMap;  // "N=PORTPATH"

    // `other`'s choices over these: its images, its mode and start-over when given, and its
    // ticked boxes besides these.
    void Overlay(const WindowChoices& other);
};

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
// The images the path edits show, by image kind.
ImagePaths ShownImages(DialogView& view);
// Loads each named image (by image kind) as its button loads it, in place of one already chosen;
// an image the window does not offer or whose file is gone is left out.
void SelectImages(const ImagePaths& images, CMorvaneDlg& dlg, QtDialogView& view);

// Mode first (it decides which images the window offers), then the boxes (with their warnings)
// and the images.
void ApplyChoices(const WindowChoices& choices, CMorvaneDlg& dlg, QtMainWindow& window);

}  // namespace varnel
