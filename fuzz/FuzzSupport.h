// Shared pieces of the fuzz targets: a check that turns a broken promise
// into a crash libFuzzer records, and texts drawn from the input.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

// Aborts (a crash for libFuzzer) when `cond` is false.
#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace fuzz {

// One of `words`, or (about one time in four) a random text of at most
// `maxLength` bytes.
inline std::string wordOrRandom(FuzzedDataProvider& in, std::initializer_list<const char*> words, size_t maxLength) {
    if (words.size() == 0 || in.ConsumeIntegralInRange<int>(0, 3) == 0) return in.ConsumeRandomLengthString(maxLength);
    size_t i = in.ConsumeIntegralInRange<size_t>(0, words.size() - 1);
    return words.begin()[i];
}

// A text of at most `maxLength` bytes without NUL bytes (what C strings
// from the kernel or a file can carry).
inline std::string cText(FuzzedDataProvider& in, size_t maxLength) {
    std::string s = in.ConsumeRandomLengthString(maxLength);
    return s.substr(0, s.find('\0'));
}

}  // namespace fuzz
