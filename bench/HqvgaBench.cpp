// Figures of the HQVGA decode, one per line as "name value unit".
//
// Every timing is the median over many rounds (bench/BenchTiming.h).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchTiming.h"
#include "device/HqvgaKernel.h"
#include "device/HqvgaKernelCheck.h"

using namespace Norvane::hqvga;
using namespace benchtiming;

namespace {

constexpr int kRounds = 101;
constexpr size_t kPlaneBytes = size_t(kPixels) * sizeof(float);
constexpr size_t kOutputBytes = 3 * kPlaneBytes;  // depth, amplitude, confidence

}  // namespace

int main() {
    std::mt19937 rng(42);
    std::vector<uint8_t> capture(kCaptureBytes);
    for (auto& b : capture) b = uint8_t(rng());
    std::vector<float> depth(kPixels), amplitude(kPixels), confidence(kPixels);
    std::vector<int16_t> raw(size_t(kPixels) * kPhases);
    std::vector<uint8_t> copyOut(kOutputBytes);
    const DecodeParams params{kLongRangeHz, false, 0};
    const KernelVariant& active = activeKernel();
    std::fprintf(stderr, "decode variant: %s\n", active.name);

    std::vector<Subject> subjects;
    subjects.emplace_back("scalar", [&] {
        decodeDepthScalar(capture.data(), params, depth.data(), amplitude.data(), confidence.data());
        keep(depth.data());
    });
    subjects.emplace_back("decode", [&] {
        decodeDepth(capture.data(), params, depth.data(), amplitude.data(), confidence.data());
        keep(depth.data());
    });
    // The bytes one decode touches: the capture read, three planes written.
    subjects.emplace_back("copy", [&] {
        std::memcpy(copyOut.data(), capture.data(), kCaptureBytes);
        std::memcpy(copyOut.data() + kCaptureBytes, capture.data(), kOutputBytes - kCaptureBytes);
        keep(copyOut.data());
    });
    subjects.emplace_back("raw_scalar", [&] {
        interleaveRawScalar(capture.data(), params.shift, raw.data());
        keep(raw.data());
    });
    subjects.emplace_back("raw", [&] {
        interleaveRaw(capture.data(), params.shift, raw.data());
        keep(raw.data());
    });

    // Every variant this CPU runs, for comparison across boards.
    const size_t firstVariant = subjects.size();
    for (const KernelVariant& k : availableKernels()) {
        if (k.decode == decodeDepthScalar) continue;
        const DecodeFn fn = k.decode;
        subjects.emplace_back(std::string("hqvga_decode_") + k.name + "_us", [&, fn] {
            fn(capture.data(), params, depth.data(), amplitude.data(), confidence.data());
            keep(depth.data());
        });
    }

    timeInTurn(subjects, kRounds);
    const double scalarUs = median(subjects[0].us), decodeUs = median(subjects[1].us);
    const double copyUs = median(subjects[2].us);
    const double rawScalarUs = median(subjects[3].us), rawUs = median(subjects[4].us);

    KernelAgreement a = compareWithReference(active.decode, 1);

    print("hqvga_decode_scalar_us", scalarUs, "us");
    print("hqvga_decode_us", decodeUs, "us");
    print("speedup_vs_scalar", scalarUs / decodeUs, "x");
    print("copy_floor_us", copyUs, "us");
    print("decode_over_copy_floor", decodeUs / copyUs, "x");
    print("hqvga_raw_scalar_us", rawScalarUs, "us");
    print("hqvga_raw_us", rawUs, "us");
    print("hqvga_raw_speedup_vs_scalar", rawScalarUs / rawUs, "x");
    for (size_t i = firstVariant; i < subjects.size(); ++i)
        print(subjects[i].name.c_str(), median(subjects[i].us), "us");
    print("hqvga_decode_max_ulp", double(std::max(a.maxUlpDepth, a.maxUlpAmplitude)), "ulp");
    print("hqvga_decode_mismatch_pairs", double(a.mismatchPairs), "pairs");
    return 0;
}
