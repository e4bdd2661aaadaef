#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

// A small timing harness for the benchmarks: medians of many rounds, with
// the stage and its baseline measured in alternating rounds of the same run
// so that clock changes and neighbours on the machine hit both alike.

namespace Quorvex::bench {

struct Timing {
    double stageNs;
    double baselineNs;
};

// Keeps the compiler from dropping work whose result is never read.
inline void keep(const void* p)
{
    asm volatile("" : : "g"(p) : "memory");
}

template <typename Fn>
double timeOnceNs(Fn& fn, int calls)
{
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i)
        fn();
    const auto stop = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::nano>(stop - start).count() / calls;
}

inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Median time per call of `stage` and of `baseline`, `rounds` rounds of
// `calls` calls each, after one warm-up round.
template <typename Stage, typename Baseline>
Timing compare(Stage stage, Baseline baseline, int rounds, int calls)
{
    timeOnceNs(stage, calls);
    timeOnceNs(baseline, calls);
    std::vector<double> s, b;
    for (int r = 0; r < rounds; ++r) {
        s.push_back(timeOnceNs(stage, calls));
        b.push_back(timeOnceNs(baseline, calls));
    }
    return {median(s), median(b)};
}

inline void printHeader()
{
    std::printf("%-44s %12s   %-28s %12s %9s\n", "stage", "median", "baseline", "median", "ratio");
}

inline void printRow(const char* stage, const char* baseline, const Timing& t, const char* note = "")
{
    std::printf("%-44s %9.1f us   %-28s %9.1f us %8.3fx %s\n", stage, t.stageNs / 1000.0, baseline,
                t.baselineNs / 1000.0, t.stageNs / t.baselineNs, note);
    std::fflush(stdout);
}

} // namespace Quorvex::bench
