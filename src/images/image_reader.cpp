#include "images/image_reader.h"

#include "images/format_entry.h"
#include "images/image_file.h"

namespace varnel {

namespace {

// Reads a 256-byte PDA header at `offset` inside [.., end).
bool ReadPdaHeaderAt(ImageFile& file, uint64_t offset, uint64_t end, PdaHeader& header) {
    uint8_t bytes[kPdaHeaderSize];
    return ReadAt(file, offset, bytes, sizeof bytes, end) &&
           PdaHeader::Parse(bytes, sizeof bytes, header);
}

}  // namespace

bool ReadAt(ImageFile& file, uint64_t offset, void* data, size_t size, uint64_t end) {
    if (end > file.Length()) {
        end = file.Length();
    }
    if (offset > end || size > end - offset) {
        return false;
    }
    return file.Seek(offset) && file.ReadExact(data, size);
}

ImageHeaderRead ReadImageHeader(ImageFile& file, sImageHeader& header) {
    const uint64_t length = file.Length();
    uint8_t bytes[kImageHeaderSize];
    if (length < kImageHeaderSize ||
        !ReadAt(file, length - kImageHeaderSize, bytes, sizeof bytes, length)) {
        return ImageHeaderRead::kTooShort;
    }
    sImageHeader::Parse(bytes, sizeof bytes, header);
    return header.IdValid() ? ImageHeaderRead::kOk : ImageHeaderRead::kBadId;
}

bool CheckComponentExtents(const sImageHeader& header, uint64_t fileLength, std::string& error) {
    for (int kind = 0; kind < kComponentCount; ++kind) {
        const ImageComponent& component = header.Component[kind];
        if (component.Present() && component.End() > fileLength) {
            error = FormatEntry(
                "the %s component (0x%x bytes at 0x%x) ends beyond the end of the file (0x%llx "
                "bytes)",
                ComponentInfoOf(static_cast<ComponentKind>(kind)).name, component.dwSize,
                component.dwOffset, Wide(fileLength));
            return false;
        }
    }
    return true;
}

ComponentCheck LocateComponent(ImageFile& file, const sImageHeader& header, ComponentKind kind) {
    const ImageComponent& component = header.Of(kind);
    if (!component.Present()) {
        return ComponentCheck::kAbsent;
    }
    if (component.End() > file.Length()) {
        return ComponentCheck::kBeyondEnd;
    }
    uint8_t id[kComponentIdSize];
    if (!ReadAt(file, component.dwOffset, id, sizeof id, component.End()) ||
        LoadLe32(id) != ComponentInfoOf(kind).dwId) {
        return ComponentCheck::kBadId;
    }
    return ComponentCheck::kOk;
}

bool ReadPdaLayout(ImageFile& file, uint64_t base, uint64_t end, PdaLayout& layout,
                   std::string& error) {
    layout = PdaLayout{};
    if (end > file.Length()) {
        end = file.Length();
    }
    if (!ReadPdaHeaderAt(file, base, end, layout.header)) {
        error = FormatEntry("the PDA header at 0x%llx is cut short by the end of the image",
                            Wide(base));
        return false;
    }
    if (!layout.header.MarksValid()) {
        error = FormatEntry("the PDA header at 0x%llx has wrong marks (0x%08X, 0x%08X)", Wide(base),
                            layout.header.dwStartMark, layout.header.dwEndMark);
        return false;
    }
    layout.dataOffset = base + kPdaHeaderSize;
    const uint64_t langpackOffset = layout.dataOffset + layout.header.Size;
    if (langpackOffset > end) {
        error = FormatEntry("the PDA data (0x%x bytes at 0x%llx) runs past the end of the image",
                            layout.header.Size, Wide(layout.dataOffset));
        return false;
    }
    PdaHeader langpack;
    if (!ReadPdaHeaderAt(file, langpackOffset, end, langpack) || !langpack.MarksValid()) {
        return true;
    }
    layout.hasLangpack = true;
    layout.langpack = langpack;
    layout.langpackDataOffset = langpackOffset + kPdaHeaderSize;
    if (layout.langpackDataOffset + langpack.Size > end) {
        error =
            FormatEntry("the LANGPACK data (0x%x bytes at 0x%llx) runs past the end of the image",
                        langpack.Size, Wide(layout.langpackDataOffset));
        return false;
    }
    return true;
}

bool ReadTelvikLayout(ImageFile& file, uint64_t base, uint64_t end, TelvikParts parts,
                      TelvikLayout& layout, std::string& error) {
    layout = TelvikLayout{};
    uint8_t bytes[kTelvikHeaderSize];
    if (!ReadAt(file, base, bytes, sizeof bytes, end)) {
        error = FormatEntry("the Telvik header at 0x%llx is cut short by the end of the image",
                            Wide(base));
        return false;
    }
    TelvikHeader::Parse(bytes, sizeof bytes, layout.header);
    const TelvikHeader& header = layout.header;
    if (end > file.Length()) {
        end = file.Length();
    }
    const uint64_t firstStart = base + kTelvikHeaderSize;
    layout.hasFirst = header.dwFirstLen != 0;
    if (layout.hasFirst && header.dwFirstLen < kTelvikFirstPreamble) {
        error = FormatEntry("the first part (0x%x bytes) is shorter than its 0x%x-byte preamble",
                            header.dwFirstLen, kTelvikFirstPreamble);
        return false;
    }
    if (firstStart + header.dwFirstLen > end) {
        error = FormatEntry("the first part (0x%x bytes at 0x%llx) runs past the end of the image",
                            header.dwFirstLen, Wide(firstStart));
        return false;
    }
    if (layout.hasFirst) {
        layout.firstDataOffset = firstStart + kTelvikFirstPreamble;
        layout.firstDataLength = header.dwFirstLen - kTelvikFirstPreamble;
    }
    if (parts == TelvikParts::kFirstOnly) {
        return true;
    }
    const uint64_t secondStart = firstStart + header.dwFirstLen;
    if (header.dwSecondLen < kTelvikSecondPreamble) {
        error = FormatEntry("the second part (0x%x bytes) is shorter than its 0x%x-byte preamble",
                            header.dwSecondLen, kTelvikSecondPreamble);
        return false;
    }
    if (secondStart + header.dwSecondLen > end) {
        error = FormatEntry("the second part (0x%x bytes at 0x%llx) runs past the end of the image",
                            header.dwSecondLen, Wide(secondStart));
        return false;
    }
    layout.secondDataOffset = secondStart + kTelvikSecondPreamble;
    layout.secondDataLength = header.dwSecondLen - kTelvikSecondPreamble;
    return true;
}

bool SmdBlockCount(uint64_t fileLength, uint64_t& blocks, std::string& error) {
    if (fileLength < kSmdHeaderSize) {
        error = FormatEntry("the file (0x%llx bytes) is shorter than the 0x%zx-byte SMD header",
                            Wide(fileLength), kSmdHeaderSize);
        return false;
    }
    const uint64_t body = fileLength - kSmdHeaderSize;
    blocks = body / kSmdBlockSize;
    if (body % kSmdBlockSize != 0) {
        error = FormatEntry("the file ends 0x%llx bytes into NAND block %llu",
                            Wide(body % kSmdBlockSize), Wide(blocks));
        return false;
    }
    return true;
}

}  // namespace varnel
