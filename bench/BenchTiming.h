// Timing shared by the benchmarks: routines timed in turn within each of
// many rounds, so a slower or busier stretch of the machine hits all of them
// alike and their ratios hold even when absolute times drift.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace benchtiming {

constexpr double kBatchSeconds = 0.002;  // each timed batch runs about this long

using Clock = std::chrono::steady_clock;

// Keeps the compiler from dropping work whose result is never read.
inline void keep(const void* p) { asm volatile("" : : "r"(p) : "memory"); }

struct Subject {
    Subject(std::string n, std::function<void()> r) : name(std::move(n)), run(std::move(r)) {}
    std::string name;
    std::function<void()> run;
    int batch = 1;
    std::vector<double> us;  // per call, one entry per round
};

inline double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

inline void calibrate(Subject& s) {
    for (int i = 0; i < 3; ++i) s.run();  // warm caches and the dispatch
    for (;;) {
        auto t0 = Clock::now();
        for (int i = 0; i < s.batch; ++i) s.run();
        if (seconds(Clock::now() - t0) >= kBatchSeconds / 4 || s.batch >= (1 << 20)) break;
        s.batch *= 2;
    }
}

// Calibrates every subject, then times each in turn for `rounds` rounds.
inline void timeInTurn(std::vector<Subject>& subjects, int rounds) {
    for (Subject& s : subjects) calibrate(s);
    for (int round = 0; round < rounds; ++round) {
        for (Subject& s : subjects) {
            auto t0 = Clock::now();
            for (int i = 0; i < s.batch; ++i) s.run();
            s.us.push_back(seconds(Clock::now() - t0) * 1e6 / s.batch);
        }
    }
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

inline void print(const char* name, double value, const char* unit) { std::printf("%s %.6g %s\n", name, value, unit); }

}  // namespace benchtiming
