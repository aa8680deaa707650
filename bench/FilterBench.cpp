// Cost per frame of each depth filter and of each preset, as a ratio to the
// HQVGA decode timed in the same run; one figure per line as "name value unit".
//
// Presets come on standard input, one a line: "<name> <key>=<value> ...",
// with the keys of setFilterParameter (bench/run writes them from the
// package's presets, their one home). The plane is a 240 x 180 scene of
// slanted surfaces with depth edges, noise and holes, filtered afresh from
// the same decoded plane in every call. Each preset is timed with every
// kernel variant this CPU has (`preset_<name>_<variant>_us`: what a board
// without the vector paths would pay).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bench/BenchTiming.h"
#include "device/HqvgaKernel.h"
#include "filter/DepthFilters.h"
#include "filter/FilterChain.h"
#include "filter/FilterSettings.h"

using namespace Norvane;

namespace {

constexpr int kRounds = 51;
constexpr int kWidth = hqvga::kWidth, kHeight = hqvga::kHeight;
constexpr size_t kPixels = size_t(hqvga::kPixels);

using benchtiming::keep;
using benchtiming::median;
using benchtiming::Subject;

// A floor, a wall and a box in front, 2 % holes, a few millimetres of noise.
void scene(std::vector<float>& depth, std::vector<float>& amplitude) {
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0.0f, 8.0f);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            float d = y > kHeight * 2 / 3 ? 1500.0f + 20.0f * float(kHeight - y) : 3000.0f + 2.0f * float(x);
            if (x > 80 && x < 150 && y > 50 && y < 120) d = 1200.0f;
            const size_t i = size_t(y) * kWidth + size_t(x);
            depth[i] = unit(rng) < 0.02f ? 0.0f : d + noise(rng);
            amplitude[i] = 4.0e6f / (d * 0.1f * d * 0.1f) + 10.0f * unit(rng);
        }
    }
}

FilterSettings single(const char* key) {
    FilterSettings s;
    setFilterParameter(s, (std::string(key) + ".enabled").c_str(), 1.0);
    return s;
}

}  // namespace

int main() {
    std::mt19937 rng(42);
    std::vector<uint8_t> capture(hqvga::kCaptureBytes);
    for (auto& b : capture) b = uint8_t(rng());
    std::vector<float> dDepth(kPixels), dAmplitude(kPixels), dConfidence(kPixels);
    const hqvga::DecodeParams params{hqvga::kLongRangeHz, false, 0};

    std::vector<float> source(kPixels), amplitude(kPixels), depth(kPixels);
    std::vector<uint8_t> invalid(kPixels);
    scene(source, amplitude);

    std::vector<std::pair<std::string, FilterSettings>> chains;
    for (const char* key : {"range", "amplitude", "flying_pixel", "speckle", "median", "spatial", "temporal"})
        chains.emplace_back(std::string("filter_") + key, single(key));
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string name, pair;
        if (!(words >> name)) continue;
        FilterSettings s;
        while (words >> pair) {
            const size_t eq = pair.find('=');
            if (eq == std::string::npos ||
                !setFilterParameter(s, pair.substr(0, eq).c_str(), std::atof(pair.c_str() + eq + 1))) {
                std::fprintf(stderr, "filter bench: preset %s: bad setting %s\n", name.c_str(), pair.c_str());
                return 1;
            }
        }
        if (const char* problem = validateFilterSettings(s)) {
            std::fprintf(stderr, "filter bench: preset %s: %s\n", name.c_str(), problem);
            return 1;
        }
        chains.emplace_back("preset_" + name, s);
    }

    size_t variantCount = 0;
    const filter::FilterVariant* variants = filter::filterVariants(&variantCount);
    const filter::FilterVariant& active = filter::activeFilterVariant();

    std::vector<std::unique_ptr<FilterChain>> runners;
    std::vector<Subject> subjects;
    subjects.emplace_back("decode", [&] {
        hqvga::decodeDepth(capture.data(), params, dDepth.data(), dAmplitude.data(), dConfidence.data());
        keep(dDepth.data());
    });
    // What every filtered frame costs besides the filters: the plane copied in.
    subjects.emplace_back("copy", [&] {
        std::memcpy(depth.data(), source.data(), kPixels * sizeof(float));
        keep(depth.data());
    });
    auto addChain = [&](const std::string& name, const FilterSettings& settings, const filter::FilterVariant& v) {
        runners.push_back(std::make_unique<FilterChain>());
        FilterChain* chain = runners.back().get();
        chain->prepare(kWidth, kHeight);
        chain->configure(settings);
        chain->useKernels(v);
        subjects.emplace_back(name, [&, chain] {
            std::memcpy(depth.data(), source.data(), kPixels * sizeof(float));
            chain->run(depth.data(), amplitude.data(), invalid.data(), kWidth, kHeight);
            keep(depth.data());
        });
    };
    for (const auto& chain : chains) addChain(chain.first, chain.second, active);
    const size_t firstVariant = subjects.size();
    for (const auto& chain : chains) {
        if (chain.first.rfind("preset_", 0) != 0) continue;
        for (size_t v = 0; v < variantCount; ++v) addChain(chain.first + "_" + variants[v].name, chain.second, variants[v]);
    }
    SpatialSettings spatial;
    spatial.enabled = true;
    std::vector<float> transposed(kPixels);
    for (size_t v = 0; v < variantCount; ++v) {
        const filter::SpatialRowFn fn = variants[v].spatialRow;
        for (float* scratch : {static_cast<float*>(nullptr), transposed.data()}) {
            subjects.emplace_back(std::string("filter_spatial_") + variants[v].name + (scratch ? "_transposed" : "_rows"),
                                  [&, fn, scratch] {
                std::memcpy(depth.data(), source.data(), kPixels * sizeof(float));
                filter::spatialFilterWith({depth.data(), amplitude.data(), invalid.data(), kWidth, kHeight}, spatial,
                                          fn, scratch);
                keep(depth.data());
            });
        }
    }

    benchtiming::timeInTurn(subjects, kRounds);
    const double decodeUs = median(subjects[0].us), copyUs = median(subjects[1].us);
    benchtiming::print("filters_decode_us", decodeUs, "us");
    for (size_t i = 2; i < subjects.size(); ++i) {
        const double us = std::max(0.0, median(subjects[i].us) - copyUs);
        benchtiming::print((subjects[i].name + "_us").c_str(), us, "us");
        if (i < firstVariant) benchtiming::print((subjects[i].name + "_over_decode").c_str(), us / decodeUs, "x");
    }
    return 0;
}
