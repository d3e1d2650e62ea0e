#include "images/image_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "support/temp_file.h"

namespace varnel {
namespace {

constexpr size_t kBuffer = ImageFile::kBufferSize;

class ImageFileTest : public ::testing::Test {
  protected:
    void OpenWith(size_t size) {
        bytes_ = PatternBytes(size, static_cast<uint32_t>(size));
        scratch_ = std::make_unique<TempFile>(bytes_);
        ASSERT_TRUE(file_.Open(scratch_->Path()));
        ASSERT_EQ(file_.Length(), size);
    }
    // Reads `size` bytes and checks them against the file's contents at the position before.
    void ExpectRead(size_t size, size_t expectedCount) {
        const uint64_t from = file_.Position();
        std::vector<uint8_t> got(size + 1, 0xA5);
        ASSERT_EQ(file_.Read(got.data(), size), expectedCount) << "from " << from;
        EXPECT_TRUE(std::equal(got.begin(), got.begin() + static_cast<ptrdiff_t>(expectedCount),
                               bytes_.begin() + static_cast<ptrdiff_t>(from)))
            << "from " << from;
        EXPECT_EQ(got[size], 0xA5) << "wrote past the caller's buffer";
        EXPECT_EQ(file_.Position(), from + expectedCount);
    }

    std::vector<uint8_t> bytes_;
    std::unique_ptr<TempFile> scratch_;
    ImageFile file_;
};

TEST_F(ImageFileTest, MissingFileDoesNotOpen) {
    const auto missing = std::filesystem::temp_directory_path() / "varnel-no-such-file.bin";
    EXPECT_FALSE(file_.Open(missing.string()));
    EXPECT_FALSE(file_.IsOpen());
    uint64_t length = 99;
    EXPECT_FALSE(FileLength(missing.string(), length));
    uint8_t byte = 0;
    EXPECT_EQ(file_.Read(&byte, 1), 0u);
    EXPECT_FALSE(file_.Seek(0));
}

TEST_F(ImageFileTest, LengthAndReopenStartAfresh) {
    OpenWith(kBuffer + 3);
    uint64_t length = 0;
    ASSERT_TRUE(FileLength(scratch_->Path(), length));
    EXPECT_EQ(length, kBuffer + 3);
    ExpectRead(100, 100);

    TempFile other(PatternBytes(10, 99));
    ASSERT_TRUE(file_.Open(other.Path()));
    EXPECT_EQ(file_.Length(), 10u);
    EXPECT_EQ(file_.Position(), 0u);
    std::vector<uint8_t> got(20);
    ASSERT_EQ(file_.Read(got.data(), got.size()), 10u);
    EXPECT_EQ(std::memcmp(got.data(), PatternBytes(10, 99).data(), 10), 0);

    file_.Close();
    EXPECT_FALSE(file_.IsOpen());
    EXPECT_EQ(file_.Read(got.data(), 1), 0u);
}

TEST_F(ImageFileTest, SeekBeyondTheEndIsRefusedAndKeepsThePosition) {
    OpenWith(5000);
    ExpectRead(10, 10);
    EXPECT_FALSE(file_.Seek(5001));
    EXPECT_FALSE(file_.Seek(UINT64_MAX));
    EXPECT_EQ(file_.Position(), 10u);
    ExpectRead(10, 10);

    ASSERT_TRUE(file_.Seek(5000));
    ExpectRead(1, 0);
    uint8_t byte = 0;
    EXPECT_FALSE(file_.ReadExact(&byte, 1));
}

TEST_F(ImageFileTest, SeeksInsideTheBufferBackwardAndForward) {
    OpenWith(3 * kBuffer);
    ExpectRead(100, 100);
    ASSERT_TRUE(file_.Seek(3));
    ExpectRead(50, 50);
    ASSERT_TRUE(file_.Seek(kBuffer - 10));  // last bytes of the buffered block
    ExpectRead(30, 30);                     // runs into the next block
    ASSERT_TRUE(file_.Seek(0));             // no longer buffered
    ExpectRead(20, 20);
    ASSERT_TRUE(file_.Seek(kBuffer + 1));  // one past the buffered block
    ExpectRead(20, 20);
    ASSERT_TRUE(file_.Seek(2 * kBuffer + 1));
    ExpectRead(kBuffer, kBuffer - 1);
}

TEST_F(ImageFileTest, SmallReadsAcrossBufferBoundariesReachEveryByte) {
    const size_t size = 2 * kBuffer + kBuffer / 2 + 7;
    OpenWith(size);
    size_t total = 0;
    for (;;) {
        const size_t left = size - total;
        const size_t expected = left < 2032 ? left : 2032;
        ExpectRead(2032, expected);
        total += expected;
        if (expected < 2032) {
            break;
        }
    }
    EXPECT_EQ(total, size);
}

TEST_F(ImageFileTest, LargeReadsMixWithBufferedReads) {
    const size_t size = 4 * kBuffer + 11;
    OpenWith(size);
    ExpectRead(7, 7);                              // leaves most of a block buffered
    ExpectRead(2 * kBuffer + 5, 2 * kBuffer + 5);  // drains the buffer, then reads directly
    ExpectRead(9, 9);
    ASSERT_TRUE(file_.Seek(kBuffer / 2));
    ExpectRead(kBuffer / 2, kBuffer / 2);
    ExpectRead(4 * kBuffer, size - kBuffer);  // to the end, short
    uint8_t byte = 0;
    EXPECT_TRUE(file_.ReadExact(&byte, 0));
    ASSERT_TRUE(file_.Seek(size - 3));
    ExpectRead(3, 3);
}

}  // namespace
}  // namespace varnel
