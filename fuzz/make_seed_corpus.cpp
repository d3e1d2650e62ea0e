// Writes the seed corpus of every fuzz target: small valid images of the kinds each target
// reads, made by the image builder. Usage: varnel_fuzz_seeds OUTDIR
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/image_builder.h"

namespace {

using varnel::ImageFormat;
using varnel::ImageSpec;

struct Seed {
    const char* target;
    const char* name;
    ImageSpec spec;
};

ImageSpec Spec(ImageFormat format) {
    ImageSpec spec;
    spec.format = format;
    spec.rawSize = 256;
    spec.pda.dataSize = 300;
    spec.pda.langpackSize = 200;
    spec.telvik.firstSize = 300;
    spec.telvik.secondSize = 200;
    spec.csc.files[0].bodySize = 64;
    return spec;
}

varnel::CscImageSpec MultiCsc() {
    varnel::CscImageSpec csc;
    csc.multi = true;
    csc.files.resize(2);
    csc.files[0].name = "EUR";
    csc.files[0].bodySize = 64;
    csc.files[1].name = "ASIA";
    csc.files[1].bodySize = 64;
    csc.files[1].supportLanguages = {};
    return csc;
}

std::vector<Seed> Seeds() {
    std::vector<Seed> seeds;
    ImageSpec csc = Spec(ImageFormat::kCsc);
    seeds.push_back({"fuzz_csc_parser", "single.csc", csc});
    csc.csc.files[0].supportLanguages = {};
    seeds.push_back({"fuzz_csc_parser", "single-optional.csc", csc});
    csc.csc = MultiCsc();
    seeds.push_back({"fuzz_csc_parser", "multi.csc", csc});

    ImageSpec pda = Spec(ImageFormat::kPda);
    seeds.push_back({"fuzz_pda_header", "plain.nb0", pda});
    pda.pda.langpack = true;
    seeds.push_back({"fuzz_pda_header", "langpack.nb0", pda});

    ImageSpec telvik = Spec(ImageFormat::kTelvik);
    seeds.push_back({"fuzz_telvik_header", "two-parts.mst", telvik});
    telvik.telvik.hasFirst = false;
    seeds.push_back({"fuzz_telvik_header", "second-only.msd", telvik});
    seeds.push_back({"fuzz_telvik_header", "contents.mct", Spec(ImageFormat::kContents)});

    ImageSpec img = Spec(ImageFormat::kIntegrated);
    auto& c = img.integrated;
    c.eboot = 100;
    c.pda = pda.pda;
    c.csc = Spec(ImageFormat::kCsc).csc;
    c.phone = 100;
    c.telvik = Spec(ImageFormat::kTelvik).telvik;
    c.singleTelvik = 100;
    c.contents = Spec(ImageFormat::kContents).telvik;
    seeds.push_back({"fuzz_integrated_image", "everything.img", img});
    img.integrated = {};
    img.integrated.csc = MultiCsc();
    img.integrated.phone = 100;
    seeds.push_back({"fuzz_integrated_image", "multi-csc.img", img});
    return seeds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: varnel_fuzz_seeds OUTDIR\n");
        return 2;
    }
    const std::filesystem::path root = argv[1];
    for (const Seed& seed : Seeds()) {
        const auto dir = root / seed.target;
        std::filesystem::create_directories(dir);
        varnel::ImageManifest manifest;
        std::string error;
        if (!varnel::BuildImage((dir / seed.name).string(), seed.spec, manifest, error)) {
            std::fprintf(stderr, "varnel_fuzz_seeds: %s: %s\n", seed.name, error.c_str());
            return 1;
        }
    }
    return 0;
}
