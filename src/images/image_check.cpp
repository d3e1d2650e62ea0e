#include "images/image_check.h"

#include "images/csc_image.h"
#include "images/format_entry.h"
#include "images/image_file.h"
#include "images/image_globals.h"
#include "images/image_reader.h"

namespace varnel {

namespace {

bool CheckFieldLength(uint64_t length, std::string& error) {
    if (length > kMaxFieldLength) {
        error = FormatEntry(
            "its length (0x%llx bytes) does not fit the 32-bit length of the download commands",
            Wide(length));
        return false;
    }
    return true;
}

bool CheckMultiCscFile(ImageFile& file, uint64_t start, uint64_t end, int index,
                       std::string& error) {
    uint64_t offset = 0;
    MultiCscFileOffset(index, offset);
    const uint64_t fileStart = start + offset;
    uint8_t bytes[kCscHeaderSize];
    CscHeader header;
    if (!ReadAt(file, fileStart, bytes, sizeof bytes, end) ||
        !CscHeader::Parse(bytes, sizeof bytes, header)) {
        error = FormatEntry("the image ends before the header of CSC file %d at 0x%llx", index,
                            Wide(fileStart));
        return false;
    }
    if (!header.MarksValid()) {
        error = FormatEntry("the header of CSC file %d at 0x%llx has wrong marks (0x%08X, 0x%08X)",
                            index, Wide(fileStart), header.dwStartMark, header.dwEndMark);
        return false;
    }
    const uint32_t size = g_dwCscFileSize[index];
    if (fileStart + size > end) {
        error = FormatEntry("CSC file %d (0x%x bytes at 0x%llx) runs past the end of the image",
                            index, size, Wide(fileStart));
        return false;
    }
    return true;
}

}  // namespace

bool CheckWholeImage(uint64_t length, std::string& error) {
    if (length == 0) {
        error = "the file is empty";
        return false;
    }
    return CheckFieldLength(length, error);
}

bool CheckPdaImage(ImageFile& file, uint64_t base, uint64_t end, std::string& error) {
    PdaLayout layout;
    return ReadPdaLayout(file, base, end, layout, error);
}

bool CheckTelvikImage(ImageFile& file, uint64_t base, uint64_t end, TelvikParts parts,
                      std::string& error) {
    TelvikLayout layout;
    return ReadTelvikLayout(file, base, end, parts, layout, error);
}

bool CheckSmdImage(uint64_t length, std::string& error) {
    uint64_t blocks = 0;
    if (!SmdBlockCount(length, blocks, error)) {
        return false;
    }
    if (blocks == 0) {
        error = "the file holds no NAND block after its header";
        return false;
    }
    return true;
}

bool CheckCscData(ImageFile& file, uint64_t start, uint64_t end, std::string& error) {
    switch (g_nCscType.load()) {
        case kCscMulti:
            if (g_nCscFileCount == 0) {
                error = "the multi-CSC image lists no CSC file";
                return false;
            }
            for (int index = 0; index < g_nCscFileCount; ++index) {
                if (!CheckMultiCscFile(file, start, end, index, error)) {
                    return false;
                }
            }
            return true;
        case kCscSingle:
            return CheckFieldLength(end - start, error);
        default:
            error = "its CSC layout is not recognised";
            return false;
    }
}

bool CheckIntegratedComponents(ImageFile& file, const sImageHeader& header, std::string& error) {
    if (!CheckComponentExtents(header, file.Length(), error)) {
        return false;
    }
    bool any = false;
    for (int index = 0; index < kComponentCount; ++index) {
        const auto kind = static_cast<ComponentKind>(index);
        const ImageComponent& component = header.Of(kind);
        const char* name = ComponentInfoOf(kind).name;
        switch (LocateComponent(file, header, kind)) {
            case ComponentCheck::kAbsent:
                continue;
            case ComponentCheck::kBeyondEnd:
            case ComponentCheck::kBadId:
                error = FormatEntry("the %s component at 0x%x does not start with its identifier",
                                    name, component.dwOffset);
                return false;
            case ComponentCheck::kOk:
                break;
        }
        any = true;
        bool ok = true;
        if (kind == kComponentPda) {
            ok = CheckPdaImage(file, component.DataOffset(), component.End(), error);
        } else if (kind == kComponentTelvik) {
            ok = CheckTelvikImage(file, component.DataOffset(), component.End(), TelvikParts::kTwo,
                                  error);
        } else if (kind == kComponentContents) {
            ok = CheckTelvikImage(file, component.DataOffset(), component.End(),
                                  TelvikParts::kFirstOnly, error);
        } else if (kind == kComponentSingleTelvik) {
            // Its download announces the length of the whole integrated file.
            ok = CheckFieldLength(file.Length(), error);
        }
        if (!ok) {
            error = FormatEntry("%s component: %s", name, error.c_str());
            return false;
        }
    }
    if (!any) {
        error = "its header lists no component";
        return false;
    }
    return true;
}

}  // namespace varnel
