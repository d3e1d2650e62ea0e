#include "images/sha256.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "images/bytesum.h"
#include "images/image_file.h"

namespace varnel {
namespace {

std::string HexOf(const std::string& text) {
    Sha256 hash;
    hash.Update(text.data(), text.size());
    return Sha256Hex(hash.Finish());
}

TEST(Sha256Test, MatchesTheStandardTestVectors) {
    EXPECT_EQ(HexOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(HexOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(HexOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(HexOf(std::string(1'000'000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Pieces that straddle block boundaries give the digest of the whole.
TEST(Sha256Test, PiecewiseUpdatesAndAFileGiveTheDigestOfTheWhole) {
    std::string data;
    for (int i = 0; i < 200'000; ++i) {
        data += static_cast<char>(i * 7 + i / 255);
    }
    Sha256 pieces;
    for (size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 % 1000 + 1) {
        pieces.Update(data.data() + at, std::min(step, data.size() - at));
    }
    const std::string whole = HexOf(data);
    EXPECT_EQ(Sha256Hex(pieces.Finish()), whole);

    const auto path = std::filesystem::path(testing::TempDir()) / "sha256_file.bin";
    std::ofstream(path, std::ios::binary)
        .write(data.data(), static_cast<std::streamsize>(data.size()));
    {
        // Closed before the removal: Windows keeps an open file.
        ImageFile file;
        ASSERT_TRUE(file.Open(path.string()));
        bool complete = false;
        const FileDigests digests = FileByteSumAndSha256(file, &complete);
        EXPECT_EQ(Sha256Hex(digests.sha256), whole);
        EXPECT_EQ(digests.dwByteSum, ByteSum32(data.data(), data.size()));
        EXPECT_TRUE(complete);
    }
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace varnel
