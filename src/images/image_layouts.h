// The fixed layouts of the image files: headers, marks and identifiers, each parsed from a byte
// buffer whose size is checked first. Numbers are little-endian in the files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace varnel {

// Little-endian 32-bit words in a byte buffer; the caller guarantees 4 bytes.
uint32_t LoadLe32(const uint8_t* bytes);
void StoreLe32(uint8_t* bytes, uint32_t value);

// A text field of `width` bytes: its text up to the first NUL, or all `width` bytes when the
// field has no NUL (never more).
std::string FieldText(const char* field, size_t width);
template <size_t N>
std::string FieldText(const char (&field)[N]) {
    return FieldText(field, N);
}

// ---- PDA image (".nb0") and its optional LANGPACK: the same 256-byte header for both.

inline constexpr size_t kPdaHeaderSize = 256;
inline constexpr uint32_t kPdaStartMark = 0x55555555;
inline constexpr uint32_t kPdaEndMark = 0xEEEEEEEE;

struct PdaHeader {
    static constexpr size_t kSizeOffset = 4;
    static constexpr size_t kStartParamOffset = 8;
    static constexpr size_t kCheckWordOffset = 12;
    static constexpr size_t kOsVersionOffset = 44;
    static constexpr size_t kHardwareIdOffset = 60;
    static constexpr size_t kNameOffset = 68;
    static constexpr size_t kEndMarkOffset = 252;

    uint32_t dwStartMark = 0;
    uint32_t Size = 0;  // data bytes after the header
    uint32_t dwStartParam = 0;
    uint32_t dwCheckWord = 0;  // ByteSum32 of the data
    char BSP_OSVER[16] = {};
    char BSP_HW_ID[8] = {};
    char Name[184] = {};
    uint32_t dwEndMark = 0;

    bool MarksValid() const { return dwStartMark == kPdaStartMark && dwEndMark == kPdaEndMark; }
    // False when `size` is below kPdaHeaderSize.
    static bool Parse(const uint8_t* data, size_t size, PdaHeader& header);
    void Store(uint8_t (&out)[kPdaHeaderSize]) const;
};

// ---- Telvik (".mst", ".msd") and Contents (".mct") images.

inline constexpr size_t kTelvikHeaderSize = 512;
inline constexpr uint32_t kTelvikFirstPreamble = 0x600;   // first part: not sent
inline constexpr uint32_t kTelvikSecondPreamble = 0x400;  // second part: not sent

struct TelvikHeader {
    static constexpr size_t kFirstLenOffset = 16;
    static constexpr size_t kFirstCheckOffset = 20;
    static constexpr size_t kSecondLenOffset = 28;
    static constexpr size_t kSecondCheckOffset = 32;

    uint32_t dwFirstLen = 0;  // from the end of the header, preamble included
    uint32_t dwFirstCheck = 0;
    uint32_t dwSecondLen = 0;  // from the second part's start, preamble included
    uint32_t dwSecondCheck = 0;

    static bool Parse(const uint8_t* data, size_t size, TelvikHeader& header);
    void Store(uint8_t (&out)[kTelvikHeaderSize]) const;
};

// ---- SMD image (".smd"): a header passed on unread, then NAND blocks.

inline constexpr size_t kSmdHeaderSize = 2048;
inline constexpr uint32_t kSmdBlockSize = 0x21000;
inline constexpr uint32_t kSmdBlocksPerLoad = 800;

// ---- Integrated image (".img"): components, then sImageHeader in the last 128 bytes.

inline constexpr size_t kImageHeaderSize = 128;
inline constexpr uint32_t kImageHeaderId = 0x424A4449;  // "IDJB" in the file
inline constexpr size_t kComponentIdSize = 4;

enum ComponentKind : int {
    kComponentEboot,
    kComponentPda,
    kComponentCsc,
    kComponentPhone,
    kComponentTelvik,
    kComponentSingleTelvik,
    kComponentContents,
    kComponentCount,
};

inline constexpr uint32_t kEbootId = 0x424F4F54;         // "TOOB"
inline constexpr uint32_t kPdaId = 0x50444149;           // "IADP"
inline constexpr uint32_t kCscId = 0x43534349;           // "ICSC"
inline constexpr uint32_t kPhoneId = 0x50484E45;         // "ENHP"
inline constexpr uint32_t kTelvikId = 0x544C564B;        // "KVLT"
inline constexpr uint32_t kSingleTelvikId = 0x5354564B;  // "KVTS"
inline constexpr uint32_t kContentsId = 0x434E5453;      // "STNC"

struct ComponentInfo {
    uint32_t dwId;
    size_t headerOffset;  // of the component's offset word in sImageHeader; its size follows
    const char* name;     // for messages
};
const ComponentInfo& ComponentInfoOf(ComponentKind kind);

struct ImageComponent {
    uint32_t dwOffset = 0;  // of the 4-byte identifier, from the start of the file
    uint32_t dwSize = 0;    // bytes after the identifier; 0 = no such component

    bool Present() const { return dwSize != 0; }
    uint64_t DataOffset() const { return uint64_t{dwOffset} + kComponentIdSize; }
    uint64_t End() const { return DataOffset() + dwSize; }
};

struct sImageHeader {
    uint32_t dwId = 0;
    ImageComponent Component[kComponentCount];

    bool IdValid() const { return dwId == kImageHeaderId; }
    const ImageComponent& Of(ComponentKind kind) const { return Component[kind]; }
    static bool Parse(const uint8_t* data, size_t size, sImageHeader& header);
    void Store(uint8_t (&out)[kImageHeaderSize]) const;
};

// ---- CSC images: a single CscHeader, or a MultiCscHeader with its file entries.

inline constexpr size_t kCscHeaderSize = 128;
inline constexpr uint32_t kCscStartMark = 0xCCCCCCCC;
inline constexpr uint32_t kCscEndMark = 0xEEEEEEEE;
inline constexpr uint32_t kMultiCscStartMark = 0xAAAAAAAA;
inline constexpr uint32_t kMultiCscEndMark = 0xBBBBBBBB;
inline constexpr uint32_t HDR_CSCFILE_START = 0xAAAABBBB;
inline constexpr size_t kCscFileEntrySize = 128;
inline constexpr uint32_t kCscBlockSize = 0x20000;    // unit of TotalBlockCnt
inline constexpr uint32_t kCscFilesOffset = 0x20000;  // file 0 of a multi-CSC, from the data start
inline constexpr size_t kLanguageListSize = 28;
inline constexpr uint8_t kLanguageListEnd = 0xFF;

struct CscHeader {
    static constexpr size_t kVersionOffset = 8;
    static constexpr size_t kDefaultLangOffset = 24;
    static constexpr size_t kSupportLanguageOffset = 36;
    static constexpr size_t kOptionalLanglistOffset = 64;
    static constexpr size_t kSalesCodeOffset = 92;
    static constexpr size_t kPriorityOffset = 104;
    static constexpr size_t kFileCntOffset = 108;
    static constexpr size_t kEndMarkOffset = 124;

    uint32_t dwStartMark = 0;
    char Version[16] = {};
    char DefaultLang[12] = {};
    uint8_t SupportLanguage[kLanguageListSize] = {};
    uint8_t ImageOptionalLanglist[kLanguageListSize] = {};
    char SalesCode[12] = {};
    uint8_t Priority = 0;
    uint32_t FileCnt = 0;
    uint32_t dwEndMark = 0;

    bool MarksValid() const { return dwStartMark == kCscStartMark && dwEndMark == kCscEndMark; }
    static bool Parse(const uint8_t* data, size_t size, CscHeader& header);
    void Store(uint8_t (&out)[kCscHeaderSize]) const;
};

struct MultiCscHeader {
    static constexpr size_t kFileCntOffset = 36;
    static constexpr size_t kEndMarkOffset = 124;

    uint32_t dwStartMark = 0;
    uint32_t FileCnt = 0;
    uint32_t dwEndMark = 0;

    bool MarksValid() const {
        return dwStartMark == kMultiCscStartMark && dwEndMark == kMultiCscEndMark;
    }
    static bool Parse(const uint8_t* data, size_t size, MultiCscHeader& header);
    void Store(uint8_t (&out)[kCscHeaderSize]) const;
};

struct CscFileEntry {
    static constexpr size_t kNameOffset = 4;
    static constexpr size_t kFileSizeOffset = 36;
    static constexpr size_t kTotalBlockCntOffset = 40;

    uint32_t dwMark = 0;  // HDR_CSCFILE_START
    char FileName[32] = {};
    uint32_t FileSize = 0;
    uint32_t TotalBlockCnt = 0;

    uint64_t Span() const { return uint64_t{TotalBlockCnt} * kCscBlockSize; }
    static bool Parse(const uint8_t* data, size_t size, CscFileEntry& entry);
    void Store(uint8_t (&out)[kCscFileEntrySize]) const;
};

}  // namespace varnel
