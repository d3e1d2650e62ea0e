#include "sim/image_builder.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>

#include "engine/protocol.h"
#include "images/bytesum.h"
#include "images/format_entry.h"
#include "images/image_layouts.h"
#include "sim/virtual_handset.h"

namespace varnel {

namespace {

constexpr uint64_t kMax32 = std::numeric_limits<uint32_t>::max();
constexpr size_t kChunkSize = 1 << 20;

unsigned long long Wide(uint64_t value) {
    return static_cast<unsigned long long>(value);
}

// Pseudo-random bytes (splitmix64), one independent stream per region of an image.
class ContentStream {
  public:
    ContentStream(uint32_t seed, uint32_t stream)
        : state_(uint64_t{seed} << 32 ^ stream ^ 0x5DEECE66DULL) {}

    void Fill(uint8_t* out, size_t size) {
        while (size > 0) {
            const uint64_t word = Next();
            const size_t take = std::min<size_t>(size, sizeof word);
            for (size_t i = 0; i < take; ++i) {
                out[i] = static_cast<uint8_t>(word >> (8 * i));
            }
            out += take;
            size -= take;
        }
    }

  private:
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    uint64_t state_;
};

// Appends to the image file, keeping its position and byte sum. Headers are reserved as zeros
// and patched once the sums of what follows them are known.
class ImageWriter {
  public:
    bool Open(const std::string& path) {
        out_.open(path, std::ios::binary | std::ios::trunc);
        chunk_ = std::make_unique<uint8_t[]>(kChunkSize);
        return out_.is_open();
    }
    uint64_t Position() const { return position_; }
    uint32_t Sum() const { return sum_; }
    bool Good() const { return out_.good(); }

    void Write(const void* data, size_t size) {
        out_.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
        position_ += size;
        sum_ = ByteSum32(data, size, sum_);
    }

    void Zeros(uint64_t size) {
        std::memset(chunk_.get(), 0, kChunkSize);
        WriteChunks(size, [](uint8_t*, size_t) {});
    }

    // Appends `size` bytes of `stream` and returns their ByteSum32.
    uint32_t Content(uint64_t size, ContentStream stream) {
        uint32_t sum = 0;
        WriteChunks(size, [&](uint8_t* chunk, size_t length) {
            stream.Fill(chunk, length);
            sum = ByteSum32(chunk, length, sum);
        });
        return sum;
    }

    // Overwrites bytes that were reserved with Zeros().
    void Patch(uint64_t offset, const void* data, size_t size) {
        out_.seekp(static_cast<std::streamoff>(offset));
        out_.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
        out_.seekp(static_cast<std::streamoff>(position_));
        sum_ = ByteSum32(data, size, sum_);
    }

    bool Close() {
        out_.close();
        return !out_.fail();
    }

  private:
    template <typename FillChunk>
    void WriteChunks(uint64_t size, FillChunk fill) {
        while (size > 0 && out_.good()) {
            const size_t length = static_cast<size_t>(std::min<uint64_t>(size, kChunkSize));
            fill(chunk_.get(), length);
            Write(chunk_.get(), length);
            size -= length;
        }
    }

    std::ofstream out_;
    std::unique_ptr<uint8_t[]> chunk_;
    uint64_t position_ = 0;
    uint32_t sum_ = 0;
};

template <size_t N>
bool SetText(char (&field)[N], const std::string& text, const char* what, std::string& error) {
    if (text.size() >= N) {
        error = FormatEntry("%s \"%s\" is longer than the %zu characters its field holds", what,
                            text.c_str(), N - 1);
        return false;
    }
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), text.size());
    return true;
}

bool SetLanguageList(uint8_t (&list)[kLanguageListSize], const std::vector<uint8_t>& rows,
                     std::string& error) {
    if (rows.size() >= kLanguageListSize) {
        error = FormatEntry("a language list holds at most %zu rows before its 0xFF end",
                            kLanguageListSize - 1);
        return false;
    }
    std::fill(std::begin(list), std::end(list), kLanguageListEnd);
    std::copy(rows.begin(), rows.end(), list);
    return true;
}

bool Fits32(uint64_t value, const char* what, std::string& error) {
    if (value > kMax32) {
        error = FormatEntry("%s (0x%llx) does not fit its 32-bit field", what, Wide(value));
        return false;
    }
    return true;
}

class Builder {
  public:
    Builder(ImageWriter& writer, uint32_t seed, ImageManifest& manifest, std::string& error)
        : writer_(writer), seed_(seed), manifest_(manifest), error_(error) {}

    bool Raw(const std::string& name, uint64_t size) {
        const uint64_t at = writer_.Position();
        AddRegion(name, at, size, writer_.Content(size, NextStream()));
        return true;
    }

    bool Pda(const PdaImageSpec& spec) {
        return PdaPart(spec.dataSize, spec.startParam, spec.osVersion, spec.hardwareId, spec.name,
                       "pda.data") &&
               (!spec.langpack ||
                PdaPart(spec.langpackSize, spec.langpackStartParam, spec.osVersion, spec.hardwareId,
                        spec.langpackName, "langpack.data"));
    }

    bool Csc(const CscImageSpec& spec) {
        if (spec.files.empty() && !spec.multi) {
            error_ = "a single CSC needs one file";
            return false;
        }
        return spec.multi ? MultiCsc(spec) : CscFile(spec.files[0], "csc");
    }

    bool Telvik(const TelvikImageSpec& spec, bool twoParts, const std::string& prefix) {
        const uint64_t headerAt = writer_.Position();
        writer_.Zeros(kTelvikHeaderSize);
        TelvikHeader header;
        if (spec.hasFirst) {
            if (!Fits32(kTelvikFirstPreamble + spec.firstSize, "the first part", error_)) {
                return false;
            }
            header.dwFirstLen = static_cast<uint32_t>(kTelvikFirstPreamble + spec.firstSize);
            writer_.Content(kTelvikFirstPreamble, NextStream());
            header.dwFirstCheck = Part(prefix + ".first", spec.firstSize);
        }
        if (twoParts) {
            if (!Fits32(kTelvikSecondPreamble + spec.secondSize, "the second part", error_)) {
                return false;
            }
            header.dwSecondLen = static_cast<uint32_t>(kTelvikSecondPreamble + spec.secondSize);
            writer_.Content(kTelvikSecondPreamble, NextStream());
            header.dwSecondCheck = Part(prefix + ".second", spec.secondSize);
        }
        uint8_t bytes[kTelvikHeaderSize];
        header.Store(bytes);
        writer_.Patch(headerAt, bytes, sizeof bytes);
        return true;
    }

    // The header announces the block count to the simulated handset, which asks for those blocks.
    bool Smd(uint32_t blocks) {
        const uint64_t at = writer_.Position();
        uint8_t announce[8];
        std::memcpy(announce, kSmdHeaderMagic, sizeof kSmdHeaderMagic);
        PutLE32(announce + 4, blocks);
        writer_.Write(announce, sizeof announce);
        const uint32_t rest = writer_.Content(kSmdHeaderSize - sizeof announce, NextStream());
        AddRegion("smd.header", at, kSmdHeaderSize, ByteSum32(announce, sizeof announce, rest));
        return Raw("smd.blocks", uint64_t{blocks} * kSmdBlockSize);
    }

    bool Integrated(const IntegratedImageSpec& spec) {
        sImageHeader header;
        header.dwId = kImageHeaderId;
        const auto& s = spec;
        const bool built =
            (!s.eboot ||
             Component(header, kComponentEboot, "eboot", [&] { return Raw("eboot", *s.eboot); })) &&
            (!s.pda || Component(header, kComponentPda, "pda", [&] { return Pda(*s.pda); })) &&
            (!s.csc || Component(header, kComponentCsc, "csc", [&] { return Csc(*s.csc); })) &&
            (!s.phone ||
             Component(header, kComponentPhone, "phone", [&] { return Raw("phone", *s.phone); })) &&
            (!s.telvik || Component(header, kComponentTelvik, "telvik",
                                    [&] { return Telvik(*s.telvik, true, "telvik"); })) &&
            (!s.singleTelvik || Component(header, kComponentSingleTelvik, "sst",
                                          [&] { return Raw("sst", *s.singleTelvik); })) &&
            (!s.contents || Component(header, kComponentContents, "contents",
                                      [&] { return Telvik(*s.contents, false, "contents"); }));
        if (!built) {
            return false;
        }
        uint8_t bytes[kImageHeaderSize];
        header.Store(bytes);
        writer_.Write(bytes, sizeof bytes);
        return true;
    }

  private:
    ContentStream NextStream() { return ContentStream(seed_, streams_++); }

    void AddRegion(const std::string& name, uint64_t offset, uint64_t length, uint32_t sum) {
        manifest_.regions.push_back({name, offset, length, sum});
    }

    uint32_t Part(const std::string& name, uint64_t size) {
        const uint64_t at = writer_.Position();
        const uint32_t sum = writer_.Content(size, NextStream());
        AddRegion(name, at, size, sum);
        return sum;
    }

    bool PdaPart(uint64_t dataSize, uint32_t startParam, const std::string& osVersion,
                 const std::string& hardwareId, const std::string& name,
                 const std::string& region) {
        PdaHeader header;
        if (!Fits32(dataSize, "the PDA data size", error_) ||
            !SetText(header.BSP_OSVER, osVersion, "BSP_OSVER", error_) ||
            !SetText(header.BSP_HW_ID, hardwareId, "BSP_HW_ID", error_) ||
            !SetText(header.Name, name, "the PDA name", error_)) {
            return false;
        }
        const uint64_t headerAt = writer_.Position();
        writer_.Zeros(kPdaHeaderSize);
        header.dwStartMark = kPdaStartMark;
        header.dwEndMark = kPdaEndMark;
        header.Size = static_cast<uint32_t>(dataSize);
        header.dwStartParam = startParam;
        header.dwCheckWord = Part(region, dataSize);
        uint8_t bytes[kPdaHeaderSize];
        header.Store(bytes);
        writer_.Patch(headerAt, bytes, sizeof bytes);
        return true;
    }

    bool MakeCscHeader(const CscFileSpec& spec, CscHeader& header) {
        header.dwStartMark = kCscStartMark;
        header.dwEndMark = kCscEndMark;
        header.Priority = spec.priority;
        header.FileCnt = spec.fileCnt;
        return SetText(header.Version, spec.version, "the CSC version", error_) &&
               SetText(header.DefaultLang, spec.defaultLanguage, "the default language", error_) &&
               SetText(header.SalesCode, spec.salesCode, "the sales code", error_) &&
               SetLanguageList(header.SupportLanguage, spec.supportLanguages, error_) &&
               SetLanguageList(header.ImageOptionalLanglist, spec.optionalLanguages, error_);
    }

    // A CscHeader and its body; the region covers both.
    bool CscFile(const CscFileSpec& spec, const std::string& region) {
        CscHeader header;
        if (!MakeCscHeader(spec, header)) {
            return false;
        }
        uint8_t bytes[kCscHeaderSize];
        header.Store(bytes);
        const uint64_t at = writer_.Position();
        writer_.Write(bytes, sizeof bytes);
        const uint32_t sum =
            ByteSum32(bytes, sizeof bytes, writer_.Content(spec.bodySize, NextStream()));
        AddRegion(region, at, kCscHeaderSize + spec.bodySize, sum);
        return true;
    }

    bool MultiCsc(const CscImageSpec& spec) {
        constexpr size_t kMaxEntries = (kCscFilesOffset - kCscHeaderSize) / kCscFileEntrySize;
        if (spec.files.size() > kMaxEntries) {
            error_ = FormatEntry("a multi-CSC holds at most %zu file entries", kMaxEntries);
            return false;
        }
        const uint64_t start = writer_.Position();
        MultiCscHeader header;
        header.dwStartMark = kMultiCscStartMark;
        header.dwEndMark = kMultiCscEndMark;
        header.FileCnt = spec.fileCntOverride.value_or(static_cast<uint32_t>(spec.files.size()));
        uint8_t bytes[kCscHeaderSize];
        header.Store(bytes);
        writer_.Write(bytes, sizeof bytes);

        std::vector<uint64_t> spans;
        for (const CscFileSpec& file : spec.files) {
            const uint64_t fileSize = kCscHeaderSize + file.bodySize;
            const uint64_t needed = (fileSize + kCscBlockSize - 1) / kCscBlockSize;
            const uint64_t blocks = file.blockCount != 0 ? file.blockCount : needed;
            if (!Fits32(fileSize, "a CSC file's size", error_) ||
                !Fits32(blocks, "a CSC file's block count", error_)) {
                return false;
            }
            if (blocks < needed) {
                error_ = FormatEntry("CSC file \"%s\" needs %llu blocks, not %llu",
                                     file.name.c_str(), Wide(needed), Wide(blocks));
                return false;
            }
            CscFileEntry entry;
            entry.dwMark = file.entryMark ? HDR_CSCFILE_START : 0;
            entry.FileSize = static_cast<uint32_t>(fileSize);
            entry.TotalBlockCnt = static_cast<uint32_t>(blocks);
            if (!SetText(entry.FileName, file.name, "a CSC file name", error_)) {
                return false;
            }
            uint8_t entryBytes[kCscFileEntrySize];
            entry.Store(entryBytes);
            writer_.Write(entryBytes, sizeof entryBytes);
            spans.push_back(entry.Span());
        }
        writer_.Zeros(start + kCscFilesOffset - writer_.Position());
        for (size_t i = 0; i < spec.files.size(); ++i) {
            const uint64_t fileStart = writer_.Position();
            if (!CscFile(spec.files[i], "csc.file" + std::to_string(i))) {
                return false;
            }
            writer_.Zeros(fileStart + spans[i] - writer_.Position());
        }
        return true;
    }

    template <typename BuildData>
    bool Component(sImageHeader& header, ComponentKind kind, const char* name, BuildData build) {
        const uint64_t idAt = writer_.Position();
        uint8_t id[kComponentIdSize];
        StoreLe32(id, ComponentInfoOf(kind).dwId);
        writer_.Write(id, sizeof id);
        const uint64_t dataAt = writer_.Position();
        const uint32_t sumBefore = writer_.Sum();
        if (!build()) {
            return false;
        }
        const uint64_t size = writer_.Position() - dataAt;
        if (!Fits32(idAt, "a component's offset", error_) ||
            !Fits32(size, "a component's size", error_)) {
            return false;
        }
        header.Component[kind] = {static_cast<uint32_t>(idAt), static_cast<uint32_t>(size)};
        AddRegion(std::string("component.") + name, dataAt, size, writer_.Sum() - sumBefore);
        return true;
    }

    ImageWriter& writer_;
    uint32_t seed_;
    uint32_t streams_ = 0;
    ImageManifest& manifest_;
    std::string& error_;
};

}  // namespace

std::optional<ImageFormat> ImageFormatOfPath(const std::string& path) {
    static const struct {
        const char* extension;
        ImageFormat format;
    } kExtensions[] = {
        {".eb0", ImageFormat::kEboot},      {".nb0", ImageFormat::kPda},
        {".csc", ImageFormat::kCsc},        {".mst", ImageFormat::kTelvik},
        {".msd", ImageFormat::kTelvik},     {".sst", ImageFormat::kSingleTelvik},
        {".bin", ImageFormat::kPhone},      {".smd", ImageFormat::kSmd},
        {".img", ImageFormat::kIntegrated}, {".mct", ImageFormat::kContents},
    };
    if (path.size() < 4) {
        return std::nullopt;
    }
    std::string extension = path.substr(path.size() - 4);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const auto& entry : kExtensions) {
        if (extension == entry.extension) {
            return entry.format;
        }
    }
    return std::nullopt;
}

const ImageRegion* ImageManifest::Find(const std::string& name) const {
    for (const ImageRegion& region : regions) {
        if (region.name == name) {
            return &region;
        }
    }
    return nullptr;
}

bool BuildImage(const std::string& path, const ImageSpec& spec, ImageManifest& manifest,
                std::string& error) {
    manifest = ImageManifest{};
    ImageWriter writer;
    if (!writer.Open(path)) {
        error = "cannot create " + path;
        return false;
    }
    Builder builder(writer, spec.seed, manifest, error);
    bool built = false;
    switch (spec.format) {
        case ImageFormat::kEboot:
            built = builder.Raw("eboot", spec.rawSize);
            break;
        case ImageFormat::kPhone:
            built = builder.Raw("phone", spec.rawSize);
            break;
        case ImageFormat::kSingleTelvik:
            built = builder.Raw("sst", spec.rawSize);
            break;
        case ImageFormat::kPda:
            built = builder.Pda(spec.pda);
            break;
        case ImageFormat::kCsc:
            built = builder.Csc(spec.csc);
            break;
        case ImageFormat::kTelvik:
            built = builder.Telvik(spec.telvik, true, "telvik");
            break;
        case ImageFormat::kContents:
            built = builder.Telvik(spec.telvik, false, "contents");
            break;
        case ImageFormat::kSmd:
            built = builder.Smd(spec.smdBlocks);
            break;
        case ImageFormat::kIntegrated:
            built = builder.Integrated(spec.integrated);
            break;
    }
    manifest.fileSize = writer.Position();
    manifest.fileSum = writer.Sum();
    if (!writer.Good() || !writer.Close()) {
        error = "cannot write " + path;
        return false;
    }
    return built;
}

}  // namespace varnel
