// Builds a valid image file of any kind for tests, benchmarks and demonstrations; see --help.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "app/program_arguments.h"
#include "app/version.h"
#include "sim/image_builder.h"

namespace {

constexpr char kDescription[] =
    "Builds a valid image file with pseudo-random contents and the check words a handset "
    "answers. The kind comes from OUTPUT's extension:\n"
    "  .eb0 EBoot  .nb0 PDA  .csc CSC  .mst/.msd Telvik  .sst single-partition Telvik\n"
    "  .bin Phone  .smd SMD  .img Integrated  .mct Contents\n"
    "Numbers may be hex (0x...) and sizes may end in K, M or G (x1024).";

bool ParseNumber(const char* text, uint64_t& value) {
    errno = 0;
    char* end = nullptr;
    value = std::strtoull(text, &end, 0);
    if (errno != 0 || end == text || *text == '-') {
        return false;
    }
    uint64_t scale = 1;
    switch (*end) {
        case 'K':
        case 'k':
            scale = 1ULL << 10;
            ++end;
            break;
        case 'M':
        case 'm':
            scale = 1ULL << 20;
            ++end;
            break;
        case 'G':
        case 'g':
            scale = 1ULL << 30;
            ++end;
            break;
        default:
            break;
    }
    if (*end != '\0' || value > UINT64_MAX / scale) {
        return false;
    }
    value *= scale;
    return true;
}

bool ParseRows(const std::string& text, std::vector<uint8_t>& rows) {
    rows.clear();
    size_t at = 0;
    while (at < text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        uint64_t row = 0;
        if (!ParseNumber(text.substr(at, comma - at).c_str(), row) || row > 0xFF) {
            return false;
        }
        rows.push_back(static_cast<uint8_t>(row));
        at = comma + 1;
    }
    return true;
}

// NAME[:SIZE[:BLOCKS]]
bool ParseCscFile(const std::string& text, varnel::CscFileSpec& file) {
    const size_t first = text.find(':');
    file.name = text.substr(0, first);
    if (first == std::string::npos) {
        return true;
    }
    const size_t second = text.find(':', first + 1);
    if (!ParseNumber(text.substr(first + 1, second - first - 1).c_str(), file.bodySize)) {
        return false;
    }
    if (second == std::string::npos) {
        return true;
    }
    uint64_t blocks = 0;
    if (!ParseNumber(text.c_str() + second + 1, blocks) || blocks > UINT32_MAX) {
        return false;
    }
    file.blockCount = static_cast<uint32_t>(blocks);
    return true;
}

struct Options {
    std::string output;
    bool manifest = false;
    varnel::ImageSpec spec;
    varnel::CscFileSpec csc;  // the single CSC, and the template of every multi-CSC file
    std::vector<std::string> cscFiles;
    bool multi = false;
    std::vector<std::string> components;
};

int Fail(const std::string& message) {
    std::fprintf(stderr, "varnel-mkimage: %s\n", message.c_str());
    return 2;
}

bool AddComponent(const std::string& text, Options& options, std::string& error) {
    auto& integrated = options.spec.integrated;
    const size_t equals = text.find('=');
    const std::string kind = text.substr(0, equals);
    uint64_t size = 4096;
    if (equals != std::string::npos && !ParseNumber(text.c_str() + equals + 1, size)) {
        error = "bad component size in '" + text + "'";
        return false;
    }
    if (kind == "eboot") {
        integrated.eboot = size;
    } else if (kind == "phone") {
        integrated.phone = size;
    } else if (kind == "sst") {
        integrated.singleTelvik = size;
    } else if (kind == "pda") {
        integrated.pda = options.spec.pda;
    } else if (kind == "csc") {
        integrated.csc = options.spec.csc;
    } else if (kind == "telvik") {
        integrated.telvik = options.spec.telvik;
    } else if (kind == "contents") {
        integrated.contents = options.spec.telvik;
    } else {
        error = "unknown component '" + kind + "'";
        return false;
    }
    return true;
}

struct NumericOption {
    const char* name;
    uint64_t limit;
    const char* help;
    void (*apply)(Options&, uint64_t);
};

const NumericOption kNumericOptions[] = {
    {"--seed", UINT32_MAX, "seed of the contents (1)",
     [](Options& o, uint64_t n) { o.spec.seed = static_cast<uint32_t>(n); }},
    {"--size", UINT64_MAX, "EBoot, Phone and single-Telvik size; PDA data size (4096)",
     [](Options& o, uint64_t n) { o.spec.rawSize = o.spec.pda.dataSize = n; }},
    {"--langpack", UINT64_MAX, "PDA: add a LANGPACK of N data bytes",
     [](Options& o, uint64_t n) {
         o.spec.pda.langpack = true;
         o.spec.pda.langpackSize = n;
     }},
    {"--start-param", UINT32_MAX, "PDA: the header's dwStartParam",
     [](Options& o, uint64_t n) { o.spec.pda.startParam = static_cast<uint32_t>(n); }},
    {"--first", UINT64_MAX, "Telvik, Contents: bytes sent of the first part (8192); 0 = none",
     [](Options& o, uint64_t n) {
         o.spec.telvik.hasFirst = n != 0;
         o.spec.telvik.firstSize = n;
     }},
    {"--second", UINT64_MAX, "Telvik, Contents: bytes sent of the second part (4096)",
     [](Options& o, uint64_t n) { o.spec.telvik.secondSize = n; }},
    {"--blocks", UINT32_MAX, "SMD: NAND blocks of 0x21000 bytes (4)",
     [](Options& o, uint64_t n) { o.spec.smdBlocks = static_cast<uint32_t>(n); }},
    {"--priority", 0xFF, "CSC: priority (1)",
     [](Options& o, uint64_t n) { o.csc.priority = static_cast<uint8_t>(n); }},
    {"--csc-size", UINT64_MAX, "CSC: bytes after the header of a single CSC (1024)",
     [](Options& o, uint64_t n) { o.csc.bodySize = n; }},
};

struct TextOption {
    const char* name;
    const char* type;
    const char* help;
    bool (*apply)(Options&, const char*);
};

const TextOption kTextOptions[] = {
    {"--languages", "ROWS", "CSC: SupportLanguage rows, comma-separated (5,7,8; '' = none)",
     [](Options& o, const char* v) { return ParseRows(v, o.csc.supportLanguages); }},
    {"--optional", "ROWS", "CSC: ImageOptionalLanglist rows (5,7,8,10)",
     [](Options& o, const char* v) { return ParseRows(v, o.csc.optionalLanguages); }},
    {"--default-lang", "CODE", "CSC: default language code (0409)",
     [](Options& o, const char* v) {
         o.csc.defaultLanguage = v;
         return true;
     }},
    {"--sales-code", "TEXT", "CSC: sales code (XEU)",
     [](Options& o, const char* v) {
         o.csc.salesCode = v;
         return true;
     }},
    {"--csc-version", "TEXT", "CSC: version text (CSC-V1)",
     [](Options& o, const char* v) {
         o.csc.version = v;
         return true;
     }},
    {"--csc-file", "NAME[:SIZE[:BLOCKS]]",
     "a file of a multi-CSC (repeatable); SIZE = bytes after its header (1024), BLOCKS = "
     "TotalBlockCnt (as few as fit)",
     [](Options& o, const char* v) {
         o.cscFiles.push_back(v);
         return true;
     }},
    {"--component", "KIND[=SIZE]",
     "Integrated: add a component (repeatable): eboot, phone or sst with SIZE (4096); pda, csc, "
     "telvik or contents built from the options above",
     [](Options& o, const char* v) {
         o.components.push_back(v);
         return true;
     }},
};

// Applies one option taking a value; false with `error` when the option or value is bad.
bool ApplyOption(const std::string& name, const char* value, Options& options, std::string& error) {
    for (const NumericOption& option : kNumericOptions) {
        if (name == option.name) {
            uint64_t number = 0;
            if (!ParseNumber(value, number) || number > option.limit) {
                error = "bad value '" + std::string(value) + "' for " + name;
                return false;
            }
            option.apply(options, number);
            return true;
        }
    }
    for (const TextOption& option : kTextOptions) {
        if (name == option.name) {
            if (!option.apply(options, value)) {
                error = "bad value '" + std::string(value) + "' for " + name;
                return false;
            }
            return true;
        }
    }
    error = "unknown option " + name;
    return false;
}

// Builds the CSC spec from the collected options; components are added after it so that they
// take the final PDA, CSC and Telvik settings.
bool Finish(Options& options, std::string& error) {
    varnel::CscImageSpec& csc = options.spec.csc;
    csc.multi = options.multi || options.cscFiles.size() > 1;
    csc.files.clear();
    if (options.cscFiles.empty()) {
        csc.files.push_back(options.csc);
    }
    for (const std::string& text : options.cscFiles) {
        varnel::CscFileSpec file = options.csc;
        if (!ParseCscFile(text, file)) {
            error = "bad --csc-file '" + text + "'";
            return false;
        }
        csc.files.push_back(file);
    }
    for (const std::string& component : options.components) {
        if (!AddComponent(component, options, error)) {
            return false;
        }
    }
    const auto format = varnel::ImageFormatOfPath(options.output);
    if (!format) {
        error = "cannot tell the image kind from '" + options.output + "' (see --help)";
        return false;
    }
    options.spec.format = *format;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app(kDescription, "varnel-mkimage");
    app.get_formatter()->column_width(30);
    app.add_option("OUTPUT", options.output, "the image file to write")->required();
    app.add_flag("--manifest", options.manifest,
                 "print each flashed region: name, offset, length, ByteSum32");
    app.add_flag("--multi", options.multi, "CSC: multi-CSC layout even with one file");
    // The values as given, applied in the tables' order once the whole line is read.
    std::vector<std::pair<std::string, std::vector<std::string>>> given;
    given.reserve(std::size(kNumericOptions) + std::size(kTextOptions));
    for (const NumericOption& option : kNumericOptions) {
        given.emplace_back(option.name, std::vector<std::string>{});
        app.add_option(option.name, given.back().second, option.help)
            ->type_name("N")
            ->allow_extra_args(false);
    }
    for (const TextOption& option : kTextOptions) {
        given.emplace_back(option.name, std::vector<std::string>{});
        app.add_option(option.name, given.back().second, option.help)
            ->type_name(option.type)
            ->allow_extra_args(false);
    }
    app.footer(
        "Exit status: 0 the image was written; 2 bad arguments or the image could not be "
        "written.");
    app.set_version_flag("--version", std::string("varnel-mkimage ") + varnel::kVersionText);
    if (const std::optional<int> status =
            varnel::ParseProgramArguments(app, argc, argv, "varnel-mkimage")) {
        return *status;
    }
    std::string error;
    for (const auto& [name, values] : given) {
        for (const std::string& value : values) {
            if (!ApplyOption(name, value.c_str(), options, error)) {
                return Fail(error);
            }
        }
    }
    varnel::ImageManifest manifest;
    if (!Finish(options, error) ||
        !varnel::BuildImage(options.output, options.spec, manifest, error)) {
        return Fail(error);
    }
    if (options.manifest) {
        std::printf("file 0x0 %llu 0x%08X\n", static_cast<unsigned long long>(manifest.fileSize),
                    manifest.fileSum);
        for (const varnel::ImageRegion& region : manifest.regions) {
            std::printf("%s 0x%llx %llu 0x%08X\n", region.name.c_str(),
                        static_cast<unsigned long long>(region.offset),
                        static_cast<unsigned long long>(region.length), region.byteSum);
        }
    }
    return 0;
}
