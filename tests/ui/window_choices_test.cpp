// The window's remembered choices: through a store and back, stale entries left out, and applied
// to the window as the operator would make them.
#include "ui/window_choices.h"

#include <gtest/gtest.h>

#include <map>

#include "support/image_dir.h"
#include "tests/ui/window_fixture.h"

namespace varnel::test {
namespace {

class MemoryStore final : public ChoiceStore {
  public:
    std::optional<std::string> Text(const std::string& key) override {
        const auto found = text.find(key);
        return found == text.end() ? std::nullopt : std::optional(found->second);
    }
    std::optional<std::vector<std::string>> Lines(const std::string& key) override {
        const auto found = lines.find(key);
        return found == lines.end() ? std::nullopt : std::optional(found->second);
    }
    void SetText(const std::string& key, const std::string& value) override { text[key] = value; }
    void SetLines(const std::string& key, const std::vector<std::string>& value) override {
        lines[key] = value;
    }

    std::map<std::string, std::string> text;
    std::map<std::string, std::vector<std::string>> lines;
};

ImageSpec Spec(ImageFormat format) {
    ImageSpec spec;
    spec.format = format;
    return spec;
}

class FakeChoiceWindow final : public ChoiceWindow {
  public:
    explicit FakeChoiceWindow(FakeDialogView& view) : m_view(view) {}
    DialogView& View() override { return m_view; }
    bool IsControlShown(int id) override { return m_view.IsShown(id); }
    void SetNextChosenFile(std::optional<std::string> path) override {
        m_view.chosenFile = std::move(path);
    }

  private:
    FakeDialogView& m_view;
};

TEST(WindowChoicesStoreTest, WhatIsWrittenReadsBack) {
    RememberedChoices written;
    written.images[kKindPda] = "/images/\xEC\x9D\xB4.nb0";
    written.checkedOptions = {IDC_ERASE_CSC, IDC_SMD_CHECK};
    written.mode = 1;
    written.startOver = true;
    written.slotMap = std::vector<std::string>{"1=1-1.2", "2=1-1.3"};
    MemoryStore store;
    WriteChoices(store, written);

    const RememberedChoices read = ReadChoices(store);
    EXPECT_EQ(read.images, written.images);
    EXPECT_EQ(read.checkedOptions, written.checkedOptions);
    EXPECT_EQ(read.mode, 1);
    EXPECT_EQ(read.startOver, true);
    EXPECT_EQ(read.slotMap, written.slotMap);
}

TEST(WindowChoicesStoreTest, StaleOrForeignEntriesAreLeftOut) {
    MemoryStore store;
    for (const char* mode : {"2", "-1", "1x", ""}) {
        store.text["mode"] = mode;
        EXPECT_FALSE(ReadChoices(store).mode) << mode;
    }
    store.text["options/erase-csc"] = "yes";
    store.text["options/no-such-box"] = "true";
    const RememberedChoices read = ReadChoices(store);
    EXPECT_TRUE(read.checkedOptions.empty());
    EXPECT_FALSE(read.startOver);
    EXPECT_FALSE(read.slotMap);
}

class ApplyChoicesTest : public WindowTest {
  protected:
    ImageDir images;
    FakeChoiceWindow window{view};
};

TEST_F(ApplyChoicesTest, ModeBoxesAndImagesComeBackAsChosenAndReadBack) {
    DialogChoices choices;
    choices.mode = 1;
    choices.checkedOptions = {IDC_SMD_CHECK};
    choices.images[kKindEboot] = images.Build("a.eb0", Spec(ImageFormat::kEboot));
    choices.images[kKindCsc] = images.Path() + "/gone.csc";
    ApplyChoices(choices, *dlg, window);

    EXPECT_EQ(view.comboSelection[IDC_MODE_SELECT], 1);
    EXPECT_TRUE(view.checks[IDC_SMD_CHECK]);
    EXPECT_TRUE(dlg->IsSelected(kKindEboot));
    EXPECT_FALSE(dlg->IsSelected(kKindCsc));
    EXPECT_FALSE(view.chosenFile) << "an answer left for the operator's next dialog";

    const DialogChoices current = CurrentChoices(window);
    EXPECT_EQ(current.mode, 1);
    EXPECT_EQ(current.checkedOptions, std::vector<int>{IDC_SMD_CHECK});
    EXPECT_EQ(current.images[kKindEboot], choices.images[kKindEboot]);
    EXPECT_TRUE(current.images[kKindCsc].empty());
}

TEST_F(ApplyChoicesTest, AnImageTheModeDoesNotOfferIsNotChosen) {
    DialogChoices choices;
    choices.mode = 0;
    choices.images[kKindSmd] = images.Build("a.smd", Spec(ImageFormat::kSmd));
    ApplyChoices(choices, *dlg, window);
    EXPECT_FALSE(dlg->IsSelected(kKindSmd));
}

TEST_F(ApplyChoicesTest, AWrongSlotMapChangesNothing) {
    std::string error;
    ASSERT_TRUE(ApplySlotMap({"1=1-1.2"}, *dlg, error)) << error;
    EXPECT_EQ(dlg->m_DeviceChoice.MappedPort("1-1.2"), 1);
    EXPECT_FALSE(ApplySlotMap({"2=1-1.3", "9=1-1.4"}, *dlg, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(dlg->m_DeviceChoice.MappedPort("1-1.2"), 1);
    EXPECT_EQ(dlg->m_DeviceChoice.MappedPort("1-1.3"), -1);
}

}  // namespace
}  // namespace varnel::test
