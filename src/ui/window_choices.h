// What the operator chose in the window (images, option boxes, Mode Select, starting over after
// each job, the slot map), as it is remembered between runs in a key/value store of the
// toolkit's, read from the window and applied to it.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/download_job.h"

namespace varnel {

class CMorvaneDlg;
class DialogView;

using ImagePaths = std::array<std::string, kImageKindCount>;

// The choices the dialog itself shows.
struct DialogChoices {
    ImagePaths images;                // by image kind; empty: none
    std::vector<int> checkedOptions;  // ids of the ticked option boxes
    std::optional<int> mode;          // Mode Select index
    std::optional<bool> startOver;

    // `other`'s choices over these: its images, its mode and start-over when given, and its
    // ticked boxes besides these.
    void Overlay(const DialogChoices& other);
};

// With the slot map ("N=PORTPATH" lines) in the toolkit's list of lines.
template <typename Lines>
struct BasicWindowChoices : DialogChoices {
    std::optional<Lines> slotMap;

    BasicWindowChoices() = default;
    explicit BasicWindowChoices(DialogChoices dialog, std::optional<Lines> slotLines = std::nullopt)
        : DialogChoices(std::move(dialog)), slotMap(std::move(slotLines)) {}

    void Overlay(const BasicWindowChoices& other) {
        DialogChoices::Overlay(other);
        slotMap = other.slotMap ? other.slotMap : slotMap;
    }
};
using RememberedChoices = BasicWindowChoices<std::vector<std::string>>;

// Where the choices are kept between runs: text values and lists of text by key ("images/pda").
class ChoiceStore {
  public:
    virtual ~ChoiceStore() = default;
    // nullopt when the key has no value (or not one of its kind).
    virtual std::optional<std::string> Text(const std::string& key) = 0;
    virtual std::optional<std::vector<std::string>> Lines(const std::string& key) = 0;
    virtual void SetText(const std::string& key, const std::string& value) = 0;
    virtual void SetLines(const std::string& key, const std::vector<std::string>& lines) = 0;
    // Writes what was set through to where it is kept.
    virtual void Flush() {}
};

// Values that are no longer valid (an unknown mode, a box that is not there) are left out.
RememberedChoices ReadChoices(ChoiceStore& store);
void WriteChoices(ChoiceStore& store, const RememberedChoices& choices);

// The remembered parts of the window.
struct ImageChoice {
    const char* name;  // command-line option and store key
    int selectionKind;
    const char* help;
};
extern const std::array<ImageChoice, kImageKindCount> kImageChoiceKeys;  // by image kind
struct OptionChoice {
    const char* name;
    int id;
    const char* caption;
};
extern const std::array<OptionChoice, 9> kOptionChoiceKeys;  // the boxes the operator can tick
extern const std::array<const char*, 2> kModeChoiceNames;    // by Mode Select index

// What applying and reading choices needs of a window besides its controls.
class ChoiceWindow {
  public:
    virtual ~ChoiceWindow() = default;
    virtual DialogView& View() = 0;
    // Whether a control is shown (Mode Select hides the images it does not offer).
    virtual bool IsControlShown(int id) = 0;
    // The answer of the next file dialog in place of the operator's; nullopt withdraws it.
    virtual void SetNextChosenFile(std::optional<std::string> path) = 0;
    // "Start over after each job", for a window that offers it.
    virtual std::optional<bool> StartOverAfterEachJob() { return std::nullopt; }
    virtual void SetStartOverAfterEachJob(bool /*startOver*/) {}
};

// What the window shows now.
DialogChoices CurrentChoices(ChoiceWindow& window);
// The images the path edits show, by image kind.
ImagePaths ShownImages(DialogView& view);
// Loads each named image (by image kind) as its button loads it, in place of one already chosen;
// an image the window does not offer or whose file is gone is left out.
void SelectImages(const ImagePaths& images, CMorvaneDlg& dlg, ChoiceWindow& window);
// Mode first (it decides which images the window offers), then the boxes (with their warnings)
// and the images.
void ApplyChoices(const DialogChoices& choices, CMorvaneDlg& dlg, ChoiceWindow& window);
// Pins handsets to ports by the slot map; a wrong map changes nothing (false, `error` set).
bool ApplySlotMap(const std::vector<std::string>& lines, CMorvaneDlg& dlg, std::string& error);

}  // namespace varnel
