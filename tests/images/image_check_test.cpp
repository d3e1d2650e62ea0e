// What a chosen image must pass before a handset is written: empty images, lengths beyond the
// 32-bit command fields, multi-CSC files the worker would refuse.
#include "images/image_check.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "images/built_image.h"
#include "images/csc_image.h"
#include "images/fake_csc_view.h"
#include "images/image_file.h"
#include "images/image_globals.h"

namespace varnel {
namespace {

using testing::BuildBytes;
using testing::CscFile;
using testing::CscSpec;
using ::testing::HasSubstr;
using testing::PutLe32;

TEST(ImageCheckTest, WholeAndSmdImagesNeedSomethingToWriteAndA32BitLength) {
    std::string error;
    EXPECT_FALSE(CheckWholeImage(0, error));
    EXPECT_EQ(error, "the file is empty");
    EXPECT_TRUE(CheckWholeImage(kMaxFieldLength, error));
    EXPECT_FALSE(CheckWholeImage(kMaxFieldLength + 1, error));
    EXPECT_THAT(error, HasSubstr("0x100000000 bytes"));

    EXPECT_FALSE(CheckSmdImage(kSmdHeaderSize, error));
    EXPECT_EQ(error, "the file holds no NAND block after its header");
    EXPECT_TRUE(CheckSmdImage(kSmdHeaderSize + kSmdBlockSize, error));
}

class CscCheckTest : public ::testing::Test {
  protected:
    bool Check(const std::vector<uint8_t>& bytes) {
        scratch_ = std::make_unique<TempFile>(bytes);
        ImageFile file;
        EXPECT_TRUE(file.Open(scratch_->Path()));
        ParseCscFile(file, view_);
        return CheckCscData(file, 0, file.Length(), error_);
    }
    static CscImageSpec Multi(std::vector<CscFileSpec> files) {
        CscImageSpec csc;
        csc.multi = true;
        csc.files = std::move(files);
        return csc;
    }

    testing::FakeCscView view_;
    std::unique_ptr<TempFile> scratch_;
    std::string error_;
};

TEST_F(CscCheckTest, MultiCscWithoutFilesOrWithABadFileHeaderIsRefused) {
    EXPECT_TRUE(Check(BuildBytes(CscSpec(Multi({CscFile("A", "V0", 1), CscFile("B", "V1")})))));

    EXPECT_FALSE(Check(BuildBytes(CscSpec(Multi({})))));
    EXPECT_EQ(error_, "the multi-CSC image lists no CSC file");

    // File 1, not the one selected first, lost its end mark.
    auto bytes = BuildBytes(CscSpec(Multi({CscFile("A", "V0", 1), CscFile("B", "V1")})));
    PutLe32(bytes, kCscFilesOffset + kCscBlockSize + CscHeader::kEndMarkOffset, 0);
    EXPECT_FALSE(Check(bytes));
    EXPECT_THAT(error_, HasSubstr("the header of CSC file 1 at 0x40000 has wrong marks"));

    EXPECT_FALSE(Check(std::vector<uint8_t>(kCscHeaderSize, 0x11)));
    EXPECT_EQ(error_, "its CSC layout is not recognised");
}

}  // namespace
}  // namespace varnel
