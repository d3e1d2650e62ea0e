// The checks a chosen image passes before any handset is written. Everything a port worker would
// find wrong with the file (headers, identifiers, end marks, part lengths) is found here first, and
// so are images with nothing to write and lengths that the commands' 32-bit fields cannot carry.
// The worker keeps its own checks: the file may change between the choice and the job. Failures
// come with a sentence for the log (no tag, no line end).
#pragma once

#include <cstdint>
#include <string>

#include "images/image_layouts.h"
#include "images/image_reader.h"

namespace varnel {

class ImageFile;

// The largest length one 32-bit command field carries.
inline constexpr uint64_t kMaxFieldLength = 0xFFFFFFFF;

// An image sent whole (EBoot, Phone, a single-partition Telvik file): not empty, and short
// enough for the command that announces its length.
bool CheckWholeImage(uint64_t length, std::string& error);

// A PDA image (and its LANGPACK) at `base`, bounded by `end`: marks, data within the image.
bool CheckPdaImage(ImageFile& file, uint64_t base, uint64_t end, std::string& error);

// A Telvik or Contents image at `base`, bounded by `end`: its header and parts.
bool CheckTelvikImage(ImageFile& file, uint64_t base, uint64_t end, TelvikParts parts,
                      std::string& error);

// An SMD image: its header and at least one whole NAND block, nothing cut short.
bool CheckSmdImage(uint64_t length, std::string& error);

// The CSC data from `start` to `end`, as the last parse (csc_image.h) recognised it: a known
// layout; a multi-CSC lists at least one file and every listed file's header carries its marks
// and its bytes lie inside the data; a single CSC holds its header and fits a 32-bit length.
bool CheckCscData(ImageFile& file, uint64_t start, uint64_t end, std::string& error);

// Every component of an integrated image whose sImageHeader has been read: at least one is
// present; each lies inside the file and starts with its identifier; the PDA, Telvik and
// Contents components pass the checks above. The CSC component's data is checked by
// CheckCscData after it has been parsed.
bool CheckIntegratedComponents(ImageFile& file, const sImageHeader& header, std::string& error);

}  // namespace varnel
