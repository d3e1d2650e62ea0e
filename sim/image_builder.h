// Builds valid image files of every kind from a few parameters, with pseudo-random contents and
// the header check words the simulated handset answers (the ByteSum32 of the bytes it flashed).
// Images are streamed to the file, so their size is not bounded by memory. The manifest says
// where each region that gets flashed lies and what it sums to, so tests can compare it with what
// the handset recorded.
#pragma once

#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace varnel {

enum class ImageFormat {
    kEboot,         // ".eb0"
    kPda,           // ".nb0"
    kCsc,           // ".csc"
    kTelvik,        // ".mst", ".msd"
    kSingleTelvik,  // ".sst"
    kPhone,         // ".bin"
    kSmd,           // ".smd"
    kIntegrated,    // ".img"
    kContents,      // ".mct"
};

// The format a file name's extension stands for (any letter case).
std::optional<ImageFormat> ImageFormatOfPath(const std::string& path);

struct PdaImageSpec {
    uint64_t dataSize = 4096;
    uint32_t startParam = 0x8C000000;
    std::string osVersion = "OS-1.0";
    std::string hardwareId = "HW-01";
    std::string name = "PDA";
    bool langpack = false;
    uint64_t langpackSize = 2048;
    uint32_t langpackStartParam = 0x8D000000;
    std::string langpackName = "LANGPACK";
};

// One CSC: the single layout, or one file of a multi-CSC.
struct CscFileSpec {
    std::string name = "CSC0";  // its entry's name in a multi-CSC
    std::string version = "CSC-V1";
    std::string defaultLanguage = "0409";
    // Language-table rows. (Built from arrays: GCC 12 warns wrongly about an initializer list
    // here at -O2.)
    static constexpr uint8_t kSupportRows[] = {5, 7, 8};
    static constexpr uint8_t kOptionalRows[] = {5, 7, 8, 10};
    std::vector<uint8_t> supportLanguages{std::begin(kSupportRows), std::end(kSupportRows)};
    std::vector<uint8_t> optionalLanguages{std::begin(kOptionalRows), std::end(kOptionalRows)};
    std::string salesCode = "XEU";
    uint8_t priority = 1;
    uint32_t fileCnt = 1;      // the header's FileCnt field
    uint64_t bodySize = 1024;  // bytes after the 128-byte header
    uint32_t blockCount = 0;   // multi: TotalBlockCnt; 0 = the fewest that hold the file
    bool entryMark = true;     // multi: the entry begins with HDR_CSCFILE_START
};

struct CscImageSpec {
    bool multi = false;
    std::vector<CscFileSpec> files = {CscFileSpec{}};  // single: only files[0]
    std::optional<uint32_t> fileCntOverride;           // multi: FileCnt other than files.size()
};

// Sizes are of the bytes sent to the handset, preambles not counted.
struct TelvikImageSpec {
    bool hasFirst = true;  // false: dwFirstLen 0
    uint64_t firstSize = 8192;
    uint64_t secondSize = 4096;  // Telvik only; Contents has one part
};

struct IntegratedImageSpec {
    std::optional<uint64_t> eboot;  // raw sizes
    std::optional<PdaImageSpec> pda;
    std::optional<CscImageSpec> csc;
    std::optional<uint64_t> phone;
    std::optional<TelvikImageSpec> telvik;
    std::optional<uint64_t> singleTelvik;
    std::optional<TelvikImageSpec> contents;
};

struct ImageSpec {
    ImageFormat format = ImageFormat::kEboot;
    uint32_t seed = 1;
    uint64_t rawSize = 4096;  // EBoot, Phone, single-partition Telvik
    PdaImageSpec pda;
    CscImageSpec csc;
    TelvikImageSpec telvik;  // Telvik and Contents
    uint32_t smdBlocks = 4;
    IntegratedImageSpec integrated;
};

// A region of the built file. Names: "eboot", "phone", "sst", "pda.data", "langpack.data",
// "csc" (a single CSC's data), "csc.file<N>" (FileSize bytes of multi-CSC file N),
// "telvik.first", "telvik.second", "contents.first" (the bytes sent, preambles excluded),
// "smd.header", "smd.blocks"; in an integrated image also "component.<kind>" for each
// component's data after its identifier (kinds: eboot pda csc phone telvik sst contents).
struct ImageRegion {
    std::string name;
    uint64_t offset = 0;
    uint64_t length = 0;
    uint32_t byteSum = 0;
};

struct ImageManifest {
    uint64_t fileSize = 0;
    uint32_t fileSum = 0;  // ByteSum32 of the whole file
    std::vector<ImageRegion> regions;

    const ImageRegion* Find(const std::string& name) const;
};

// Writes the image to `path`; false with a reason when the image cannot be laid out (a field too
// long, a size beyond its 32-bit field) or the file cannot be written.
bool BuildImage(const std::string& path, const ImageSpec& spec, ImageManifest& manifest,
                std::string& error);

}  // namespace varnel
