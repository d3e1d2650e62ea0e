// The Linux system calls of the programs.
#include "platform/system.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/image_dir.h"

namespace varnel {
namespace {

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// A reader that holds the old report (here a second name of it) never sees a half-written one:
// the new text goes to a file of its own that then takes the name.
TEST(LinuxSystemTest, WritingAFileAtomicallyReplacesItByNameAndLeavesNoTemporary) {
    ImageDir folder;
    const std::filesystem::path path = std::filesystem::path(folder.Path()) / "report.json";
    const std::filesystem::path held = std::filesystem::path(folder.Path()) / "held.json";
    std::string error;
    ASSERT_TRUE(WriteFileAtomically(path.string(), "old", error)) << error;
    std::filesystem::create_hard_link(path, held);
    ASSERT_TRUE(WriteFileAtomically(path.string(), "new text", error)) << error;
    EXPECT_EQ(ReadText(path), "new text");
    EXPECT_EQ(ReadText(held), "old");
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 2u);
    EXPECT_FALSE(WriteFileAtomically(folder.Path() + "/no-such-dir/x", "x", error));
    EXPECT_NE(error.find("no-such-dir"), std::string::npos);
}

}  // namespace
}  // namespace varnel
