// Reading the image layouts from a file: every offset and length is checked against the end of
// the region it belongs to (the file, or a component of an integrated image) before it is used,
// in 64-bit arithmetic. Failures come with a sentence for the log (no tag, no line end).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "images/image_layouts.h"

namespace varnel {

class ImageFile;

// Reads `size` bytes at `offset` when they lie wholly before `end` and inside the file. The file
// is left after the bytes read.
bool ReadAt(ImageFile& file, uint64_t offset, void* data, size_t size, uint64_t end);

// ---- Integrated image.

enum class ImageHeaderRead { kOk, kTooShort, kBadId };
// Reads sImageHeader from the last 128 bytes of the file.
ImageHeaderRead ReadImageHeader(ImageFile& file, sImageHeader& header);

// Every present component (identifier and data) must lie inside the file; otherwise `error`
// names the first one that does not.
bool CheckComponentExtents(const sImageHeader& header, uint64_t fileLength, std::string& error);

enum class ComponentCheck { kAbsent, kOk, kBeyondEnd, kBadId };
// Checks a component's extent and identifier; on kOk the file is positioned at its data (the
// byte after the identifier).
ComponentCheck LocateComponent(ImageFile& file, const sImageHeader& header, ComponentKind kind);

// ---- PDA image and LANGPACK, at `base` (0 for a file, the component's data for a component),
// bounded by `end`.

struct PdaLayout {
    PdaHeader header;
    uint64_t dataOffset = 0;  // header.Size bytes
    bool hasLangpack = false;
    PdaHeader langpack;
    uint64_t langpackDataOffset = 0;  // langpack.Size bytes
};
// Fails when the header cannot be read, its marks are wrong, its data runs past `end`, or a
// LANGPACK is present whose data runs past `end`. A LANGPACK is present when its 256-byte header
// lies before `end` and carries both marks.
bool ReadPdaLayout(ImageFile& file, uint64_t base, uint64_t end, PdaLayout& layout,
                   std::string& error);

// ---- Telvik (two parts) and Contents (first part only) images, at `base`, bounded by `end`.

struct TelvikLayout {
    TelvikHeader header;
    bool hasFirst = false;  // dwFirstLen != 0
    uint64_t firstDataOffset = 0;
    uint64_t firstDataLength = 0;  // dwFirstLen - 0x600
    uint64_t secondDataOffset = 0;
    uint64_t secondDataLength = 0;  // dwSecondLen - 0x400
};
enum class TelvikParts { kTwo, kFirstOnly };
// Fails when the header cannot be read, a part is shorter than its preamble (a first part of
// length 0 is allowed: it is not sent), or a part runs past `end`.
bool ReadTelvikLayout(ImageFile& file, uint64_t base, uint64_t end, TelvikParts parts,
                      TelvikLayout& layout, std::string& error);

// ---- SMD image: the header and whole NAND blocks.

// Number of whole blocks after the header; fails when the file is shorter than the header or
// ends inside a block.
bool SmdBlockCount(uint64_t fileLength, uint64_t& blocks, std::string& error);

}  // namespace varnel
