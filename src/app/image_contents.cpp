#include "app/image_contents.h"

#include "app/job_report.h"
#include "engine/download_job.h"
#include "images/bytesum.h"
#include "images/csc_image.h"
#include "images/format_entry.h"
#include "images/image_file.h"
#include "images/image_globals.h"
#include "images/image_reader.h"

namespace varnel {

namespace {

ContentRegion Region(ImageFile& file, std::string name, uint64_t offset, uint64_t size) {
    return {std::move(name), offset, size, RegionByteSum(file, offset, size), {}};
}

bool PdaRegions(ImageFile& file, uint64_t base, uint64_t end, std::vector<ContentRegion>& regions,
                std::string& error) {
    PdaLayout layout;
    if (!ReadPdaLayout(file, base, end, layout, error)) {
        return false;
    }
    regions.push_back(Region(file, "data", layout.dataOffset, layout.header.Size));
    if (layout.hasLangpack) {
        regions.push_back(
            Region(file, "LANGPACK", layout.langpackDataOffset, layout.langpack.Size));
    }
    return true;
}

bool TelvikRegions(ImageFile& file, uint64_t base, uint64_t end, TelvikParts parts,
                   std::vector<ContentRegion>& regions, std::string& error) {
    TelvikLayout layout;
    if (!ReadTelvikLayout(file, base, end, parts, layout, error)) {
        return false;
    }
    if (layout.hasFirst) {
        regions.push_back(
            Region(file, "first part", layout.firstDataOffset, layout.firstDataLength));
    }
    if (parts == TelvikParts::kTwo) {
        regions.push_back(
            Region(file, "second part", layout.secondDataOffset, layout.secondDataLength));
    }
    return true;
}

// The files of a multi-CSC whose data starts at `base`, as the last parse listed them.
void CscFileRegions(ImageFile& file, uint64_t base, const std::vector<std::string>& names,
                    std::vector<ContentRegion>& regions) {
    if (g_nCscType != kCscMulti) {
        return;
    }
    for (int index = 0; index < g_nCscFileCount; ++index) {
        uint64_t offset = 0;
        if (!MultiCscFileOffset(index, offset)) {
            continue;
        }
        const auto entry = static_cast<size_t>(index);
        regions.push_back(
            Region(file, entry < names.size() ? names[entry] : FormatEntry("file %d", index),
                   base + offset, g_dwCscFileSize[index]));
    }
}

bool ComponentRegions(ImageFile& file, const std::vector<std::string>& cscFiles,
                      std::vector<ContentRegion>& regions, std::string& error) {
    sImageHeader header;
    if (ReadImageHeader(file, header) != ImageHeaderRead::kOk) {
        error = "its image header cannot be read";
        return false;
    }
    for (int index = 0; index < kComponentCount; ++index) {
        const auto kind = static_cast<ComponentKind>(index);
        const ImageComponent& component = header.Of(kind);
        if (!component.Present()) {
            continue;
        }
        ContentRegion region =
            Region(file, ComponentInfoOf(kind).name, component.DataOffset(), component.dwSize);
        bool ok = true;
        if (kind == kComponentPda) {
            ok = PdaRegions(file, component.DataOffset(), component.End(), region.regions, error);
        } else if (kind == kComponentTelvik || kind == kComponentContents) {
            ok = TelvikRegions(
                file, component.DataOffset(), component.End(),
                kind == kComponentTelvik ? TelvikParts::kTwo : TelvikParts::kFirstOnly,
                region.regions, error);
        } else if (kind == kComponentCsc) {
            CscFileRegions(file, component.DataOffset(), cscFiles, region.regions);
        }
        if (!ok) {
            return false;
        }
        regions.push_back(std::move(region));
    }
    return true;
}

void AppendRegionText(const ContentRegion& region, int depth, std::string& text) {
    text += FormatEntry("%*s%s: 0x%llX, %llu bytes, ByteSum32 0x%08X\n", 2 * depth, "",
                        region.strName.c_str(), Wide(region.qwOffset), Wide(region.qwSize),
                        region.dwByteSum);
    for (const ContentRegion& inner : region.regions) {
        AppendRegionText(inner, depth + 1, text);
    }
}

nlohmann::json RegionJson(const ContentRegion& region) {
    nlohmann::json json = {{"name", region.strName},
                           {"offset", region.qwOffset},
                           {"size", region.qwSize},
                           {"byte_sum32", Hex32(region.dwByteSum)}};
    if (!region.regions.empty()) {
        json["regions"] = nlohmann::json::array();
        for (const ContentRegion& inner : region.regions) {
            json["regions"].push_back(RegionJson(inner));
        }
    }
    return json;
}

}  // namespace

bool ReadImageRegions(ImageFile& file, int imageKind, const std::vector<std::string>& cscFiles,
                      std::vector<ContentRegion>& regions, std::string& error) {
    const uint64_t end = file.Length();
    switch (imageKind) {
        case kKindPda:
            return PdaRegions(file, 0, end, regions, error);
        case kKindTelvik:
            return g_nTelvikType == kTelvikSingle ||
                   TelvikRegions(file, 0, end, TelvikParts::kTwo, regions, error);
        case kKindContents:
            return TelvikRegions(file, 0, end, TelvikParts::kFirstOnly, regions, error);
        case kKindCsc:
            CscFileRegions(file, 0, cscFiles, regions);
            return true;
        case kKindIntegrated:
            return ComponentRegions(file, cscFiles, regions, error);
        default:
            return true;
    }
}

std::string CheckText(const CheckFindings& findings) {
    std::string text;
    for (const CheckedImage& image : findings.images) {
        text += FormatEntry("%s %s\n", image.strKind.c_str(), image.strPath.c_str());
        if (!image.bOpened) {
            text += FormatEntry("  cannot be opened any more\n");
            continue;
        }
        text += FormatEntry("  file: %llu bytes, ByteSum32 0x%08X, SHA-256 %s%s\n",
                            Wide(image.qwFileSize), image.dwFileSum, image.strSha256.c_str(),
                            image.bReadWhole ? "" : " (read short)");
        AppendRegionText(image.sent, 1, text);
        for (const ContentRegion& region : image.regions) {
            AppendRegionText(region, 1, text);
        }
        if (!image.strError.empty()) {
            text += FormatEntry("  cannot be read: %s\n", image.strError.c_str());
        }
    }
    for (const CheckedList& list : findings.lists) {
        text += FormatEntry("%s (chosen: %d)\n", list.strCaption.c_str(), list.nChosen);
        for (size_t entry = 0; entry < list.entries.size(); ++entry) {
            const CheckedEntry& checked = list.entries[entry];
            text += FormatEntry("  %zu %s", entry, checked.strName.c_str());
            text += checked.strCode.empty() ? "\n" : " (" + checked.strCode + ")\n";
        }
    }
    text += FormatEntry("option word 0x%08X\n", findings.dwOptionWord);
    return text;
}

nlohmann::json CheckJson(const CheckFindings& findings) {
    nlohmann::json json = {{"images", nlohmann::json::array()},
                           {"lists", nlohmann::json::array()},
                           {"option_word", Hex32(findings.dwOptionWord)}};
    for (const CheckedImage& image : findings.images) {
        nlohmann::json entry = {{"kind", image.strKind}, {"path", image.strPath}};
        if (!image.strError.empty() || !image.bOpened) {
            entry["error"] = image.bOpened ? image.strError : "cannot be opened any more";
        }
        if (image.bOpened) {
            entry["size"] = image.qwFileSize;
            entry["byte_sum32"] = Hex32(image.dwFileSum);
            entry["read_whole"] = image.bReadWhole;
            entry["sha256"] = image.strSha256;
            entry["sent"] = RegionJson(image.sent);
            entry["regions"] = nlohmann::json::array();
            for (const ContentRegion& region : image.regions) {
                entry["regions"].push_back(RegionJson(region));
            }
        }
        json["images"].push_back(std::move(entry));
    }
    for (const CheckedList& list : findings.lists) {
        nlohmann::json entries = nlohmann::json::array();
        for (size_t index = 0; index < list.entries.size(); ++index) {
            nlohmann::json entry = {{"entry", index}, {"name", list.entries[index].strName}};
            if (!list.entries[index].strCode.empty()) {
                entry["code"] = list.entries[index].strCode;
            }
            entries.push_back(std::move(entry));
        }
        json["lists"].push_back(
            {{"caption", list.strCaption}, {"chosen", list.nChosen}, {"entries", entries}});
    }
    return json;
}

}  // namespace varnel
