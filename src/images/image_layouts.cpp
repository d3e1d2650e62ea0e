#include "images/image_layouts.h"

#include <cstring>

namespace varnel {

uint32_t LoadLe32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
           uint32_t{bytes[3]} << 24;
}

void StoreLe32(uint8_t* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

std::string FieldText(const char* field, size_t width) {
    const void* nul = std::memchr(field, '\0', width);
    const size_t length =
        nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - field) : width;
    return std::string(field, length);
}

namespace {

// Copies a fixed-width array field (text or row list) byte for byte.
template <typename Field>
void LoadField(Field& field, const uint8_t* data, size_t offset) {
    std::memcpy(field, data + offset, sizeof field);
}

template <typename Field>
void StoreField(const Field& field, uint8_t* out, size_t offset) {
    std::memcpy(out + offset, field, sizeof field);
}

// Where each component's offset word stands in sImageHeader; its size word follows.
constexpr ComponentInfo kComponents[kComponentCount] = {
    {kEbootId, 8, "EBoot"},        {kPdaId, 20, "PDA"},
    {kCscId, 32, "CSC"},           {kPhoneId, 52, "Phone"},
    {kTelvikId, 64, "Telvik"},     {kSingleTelvikId, 76, "Single Telvik"},
    {kContentsId, 88, "Contents"},
};

}  // namespace

const ComponentInfo& ComponentInfoOf(ComponentKind kind) {
    return kComponents[kind];
}

bool PdaHeader::Parse(const uint8_t* data, size_t size, PdaHeader& header) {
    if (size < kPdaHeaderSize) {
        return false;
    }
    header.dwStartMark = LoadLe32(data);
    header.Size = LoadLe32(data + kSizeOffset);
    header.dwStartParam = LoadLe32(data + kStartParamOffset);
    header.dwCheckWord = LoadLe32(data + kCheckWordOffset);
    LoadField(header.BSP_OSVER, data, kOsVersionOffset);
    LoadField(header.BSP_HW_ID, data, kHardwareIdOffset);
    LoadField(header.Name, data, kNameOffset);
    header.dwEndMark = LoadLe32(data + kEndMarkOffset);
    return true;
}

void PdaHeader::Store(uint8_t (&out)[kPdaHeaderSize]) const {
    std::memset(out, 0, sizeof out);
    StoreLe32(out, dwStartMark);
    StoreLe32(out + kSizeOffset, Size);
    StoreLe32(out + kStartParamOffset, dwStartParam);
    StoreLe32(out + kCheckWordOffset, dwCheckWord);
    StoreField(BSP_OSVER, out, kOsVersionOffset);
    StoreField(BSP_HW_ID, out, kHardwareIdOffset);
    StoreField(Name, out, kNameOffset);
    StoreLe32(out + kEndMarkOffset, dwEndMark);
}

bool TelvikHeader::Parse(const uint8_t* data, size_t size, TelvikHeader& header) {
    if (size < kTelvikHeaderSize) {
        return false;
    }
    header.dwFirstLen = LoadLe32(data + kFirstLenOffset);
    header.dwFirstCheck = LoadLe32(data + kFirstCheckOffset);
    header.dwSecondLen = LoadLe32(data + kSecondLenOffset);
    header.dwSecondCheck = LoadLe32(data + kSecondCheckOffset);
    return true;
}

void TelvikHeader::Store(uint8_t (&out)[kTelvikHeaderSize]) const {
    std::memset(out, 0, sizeof out);
    StoreLe32(out + kFirstLenOffset, dwFirstLen);
    StoreLe32(out + kFirstCheckOffset, dwFirstCheck);
    StoreLe32(out + kSecondLenOffset, dwSecondLen);
    StoreLe32(out + kSecondCheckOffset, dwSecondCheck);
}

bool sImageHeader::Parse(const uint8_t* data, size_t size, sImageHeader& header) {
    if (size < kImageHeaderSize) {
        return false;
    }
    header.dwId = LoadLe32(data);
    for (int kind = 0; kind < kComponentCount; ++kind) {
        const size_t at = kComponents[kind].headerOffset;
        header.Component[kind].dwOffset = LoadLe32(data + at);
        header.Component[kind].dwSize = LoadLe32(data + at + 4);
    }
    return true;
}

void sImageHeader::Store(uint8_t (&out)[kImageHeaderSize]) const {
    std::memset(out, 0, sizeof out);
    StoreLe32(out, dwId);
    for (int kind = 0; kind < kComponentCount; ++kind) {
        const size_t at = kComponents[kind].headerOffset;
        StoreLe32(out + at, Component[kind].dwOffset);
        StoreLe32(out + at + 4, Component[kind].dwSize);
    }
}

bool CscHeader::Parse(const uint8_t* data, size_t size, CscHeader& header) {
    if (size < kCscHeaderSize) {
        return false;
    }
    header.dwStartMark = LoadLe32(data);
    LoadField(header.Version, data, kVersionOffset);
    LoadField(header.DefaultLang, data, kDefaultLangOffset);
    LoadField(header.SupportLanguage, data, kSupportLanguageOffset);
    LoadField(header.ImageOptionalLanglist, data, kOptionalLanglistOffset);
    LoadField(header.SalesCode, data, kSalesCodeOffset);
    header.Priority = data[kPriorityOffset];
    header.FileCnt = LoadLe32(data + kFileCntOffset);
    header.dwEndMark = LoadLe32(data + kEndMarkOffset);
    return true;
}

void CscHeader::Store(uint8_t (&out)[kCscHeaderSize]) const {
    std::memset(out, 0, sizeof out);
    StoreLe32(out, dwStartMark);
    StoreField(Version, out, kVersionOffset);
    StoreField(DefaultLang, out, kDefaultLangOffset);
    StoreField(SupportLanguage, out, kSupportLanguageOffset);
    StoreField(ImageOptionalLanglist, out, kOptionalLanglistOffset);
    StoreField(SalesCode, out, kSalesCodeOffset);
    out[kPriorityOffset] = Priority;
    StoreLe32(out + kFileCntOffset, FileCnt);
    StoreLe32(out + kEndMarkOffset, dwEndMark);
}

bool MultiCscHeader::Parse(const uint8_t* data, size_t size, MultiCscHeader& header) {
    if (size < kCscHeaderSize) {
        return false;
    }
    header.dwStartMark = LoadLe32(data);
    header.FileCnt = LoadLe32(data + kFileCntOffset);
    header.dwEndMark = LoadLe32(data + kEndMarkOffset);
    return true;
}

void MultiCscHeader::Store(uint8_t (&out)[kCscHeaderSize]) const {
    std::memset(out, 0, sizeof out);
    StoreLe32(out, dwStartMark);
    StoreLe32(out + kFileCntOffset, FileCnt);
    StoreLe32(out + kEndMarkOffset, dwEndMark);
}

bool CscFileEntry::Parse(const uint8_t* data, size_t size, CscFileEntry& entry) {
    if (size < kCscFileEntrySize) {
        return false;
    }
    entry.dwMark = LoadLe32(data);
    LoadField(entry.FileName, data, kNameOffset);
    entry.FileSize = LoadLe32(data + kFileSizeOffset);
    entry.TotalBlockCnt = LoadLe32(data + kTotalBlockCntOffset);
    return true;
}

void CscFileEntry::Store(uint8_t (&out)[kCscFileEntrySize]) const {
    std::memset(out, 0, sizeof out);
    StoreLe32(out, dwMark);
    StoreField(FileName, out, kNameOffset);
    StoreLe32(out + kFileSizeOffset, FileSize);
    StoreLe32(out + kTotalBlockCntOffset, TotalBlockCnt);
}

}  // namespace varnel
