#include "images/bytesum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "images/image_file.h"
#include "support/temp_file.h"

namespace varnel {
namespace {

constexpr size_t kBlock = ImageFile::kBufferSize;

uint32_t ReferenceSum(const uint8_t* data, size_t size) {
    uint32_t sum = 0;
    for (size_t i = 0; i < size; ++i) {
        sum += data[i];
    }
    return sum;
}

TEST(ByteSum32, KnownValues) {
    EXPECT_EQ(ByteSum32("abc", 3), 0x126u);
    EXPECT_EQ(ByteSum32(nullptr, 0), 0u);
    EXPECT_EQ(ByteSum32(nullptr, 0, 0x1234u), 0x1234u);
    const uint8_t high[] = {0xFF, 0x80, 0x81};
    EXPECT_EQ(ByteSum32(high, sizeof high), 0x200u);
}

TEST(ByteSum32, StartingSumWrapsModulo32Bits) {
    const uint8_t bytes[] = {0x10, 0xF0, 0x01};
    EXPECT_EQ(ByteSum32(bytes, sizeof bytes, 0xFFFFFF00u), 0x00000001u);
    EXPECT_EQ(ByteSum32(bytes, sizeof bytes, 0xFFFFFFFFu), 0x00000100u);
}

TEST(ByteSum32, LongRunOfHighBytesWrapsModulo32Bits) {
    // 2^32 / 255 bytes of 0xFF reach the top of the accumulator; 20 MiB goes past it.
    const std::vector<uint8_t> ones(20u << 20, 0xFF);
    const uint64_t exact = uint64_t{0xFF} * ones.size();
    EXPECT_EQ(ByteSum32(ones.data(), ones.size()), static_cast<uint32_t>(exact));
    EXPECT_NE(static_cast<uint32_t>(exact), exact);
}

TEST(ByteSum32, EveryAlignmentAndShortLengthMatchesPlainLoop) {
    const auto bytes = PatternBytes(16 + 200);
    for (size_t offset = 0; offset < 16; ++offset) {
        for (size_t length = 0; length <= 200; ++length) {
            const uint8_t* start = bytes.data() + offset;
            ASSERT_EQ(ByteSum32(start, length), ReferenceSum(start, length))
                << "offset " << offset << " length " << length;
        }
    }
}

TEST(ByteSum32, LargeBufferAndPiecewiseSumsMatchPlainLoop) {
    const auto bytes = PatternBytes(9 * 1000 * 1000 + 13, 7);
    const uint32_t expected = ReferenceSum(bytes.data(), bytes.size());
    EXPECT_EQ(ByteSum32(bytes.data(), bytes.size()), expected);

    // Uneven pieces exercise the carried sum at every alignment of the vector loop.
    uint32_t sum = 0;
    size_t done = 0;
    for (size_t piece = 1; done < bytes.size(); piece = piece * 3 + 1) {
        const size_t take = std::min(piece % 100003, bytes.size() - done);
        sum = ByteSum32(bytes.data() + done, take, sum);
        done += take;
    }
    EXPECT_EQ(sum, expected);
}

// A scratch file of pattern bytes, opened, with the plain-loop sums of its regions.
struct PatternImage {
    PatternImage(size_t size, uint32_t seed) : bytes(PatternBytes(size, seed)), temp(bytes) {
        EXPECT_TRUE(file.Open(temp.Path()));
    }
    uint32_t SumOf(uint64_t offset, uint64_t length) const {
        return ReferenceSum(bytes.data() + offset, static_cast<size_t>(length));
    }
    // Reads up to `count` bytes from the file's position and compares them with the contents
    // there, so a test sees that a sum left the file where the caller expects to continue.
    void ExpectNextBytes(size_t count) {
        const uint64_t from = file.Position();
        count = std::min<size_t>(count, bytes.size() - from);
        std::vector<uint8_t> got(count);
        ASSERT_EQ(file.Read(got.data(), count), count);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin() + from)) << "from " << from;
    }

    std::vector<uint8_t> bytes;
    TempFile temp;
    ImageFile file;
};

TEST(FileByteSum, WholeFileOfAwkwardSizesAndPositionZeroAfterwards) {
    for (const size_t size :
         {size_t{0}, size_t{1}, kBlock - 1, kBlock, kBlock + 1, 3 * kBlock + 12345}) {
        SCOPED_TRACE(size);
        PatternImage image(size, static_cast<uint32_t>(size));
        bool complete = false;
        EXPECT_EQ(FileByteSum(image.file, &complete), image.SumOf(0, size));
        EXPECT_TRUE(complete);
        EXPECT_EQ(image.file.Position(), 0u);
        image.ExpectNextBytes(100);
    }
}

TEST(FileByteSum, StartsAtZeroWhateverThePosition) {
    PatternImage image(2 * kBlock + 5, 2);
    std::vector<uint8_t> skip(kBlock + 3);
    ASSERT_EQ(image.file.Read(skip.data(), skip.size()), skip.size());
    EXPECT_EQ(FileByteSum(image.file), image.SumOf(0, image.bytes.size()));
    EXPECT_EQ(image.file.Position(), 0u);
}

TEST(RegionByteSum, RegionsInsideAcrossBlocksAndAtTheEnd) {
    const size_t size = 3 * kBlock + 777;
    PatternImage image(size, 3);
    struct Region {
        uint64_t offset, length;
    };
    for (const Region region :
         {Region{0, 4}, Region{4, 1000}, Region{kBlock - 7, kBlock + 20}, Region{size - 100, 100},
          Region{size - 1, 1}, Region{size, 0}, Region{17, 0}}) {
        SCOPED_TRACE(::testing::Message() << region.offset << "+" << region.length);
        bool complete = false;
        EXPECT_EQ(RegionByteSum(image.file, region.offset, region.length, &complete),
                  image.SumOf(region.offset, region.length));
        EXPECT_TRUE(complete);
        EXPECT_EQ(image.file.Position(), region.offset);
        image.ExpectNextBytes(64);
    }
}

TEST(RegionByteSum, RegionPastTheEndIsIncomplete) {
    const size_t size = kBlock + 50;
    PatternImage image(size, 4);

    bool complete = true;
    EXPECT_EQ(RegionByteSum(image.file, size - 10, 20, &complete), image.SumOf(size - 10, 10));
    EXPECT_FALSE(complete);
    EXPECT_EQ(image.file.Position(), size - 10);

    complete = true;
    EXPECT_EQ(RegionByteSum(image.file, size + 1, 1, &complete), 0u);
    EXPECT_FALSE(complete);

    // A caller that does not ask about completeness still gets the partial sum.
    EXPECT_EQ(RegionByteSum(image.file, 0, size + 4096), image.SumOf(0, size));
}

TEST(ByteSumFromHere, SumsFromTheCurrentPositionAndRestoresIt) {
    const size_t size = 2 * kBlock + 999;
    PatternImage image(size, 5);

    // Small reads leave part of the read buffer unconsumed; the sum must not lose or repeat it.
    std::vector<uint8_t> head(2032);
    ASSERT_EQ(image.file.Read(head.data(), head.size()), head.size());
    const uint64_t here = image.file.Position();
    bool complete = false;
    EXPECT_EQ(ByteSumFromHere(image.file, kBlock + 300, &complete),
              image.SumOf(here, kBlock + 300));
    EXPECT_TRUE(complete);
    EXPECT_EQ(image.file.Position(), here);
    image.ExpectNextBytes(3 * 2032);

    ASSERT_TRUE(image.file.Seek(size - 30));
    complete = true;
    EXPECT_EQ(ByteSumFromHere(image.file, 31, &complete), image.SumOf(size - 30, 30));
    EXPECT_FALSE(complete);
    EXPECT_EQ(image.file.Position(), size - 30);
}

}  // namespace
}  // namespace varnel
