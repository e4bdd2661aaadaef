#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
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

// Named figures for build/bench/results.json. Each bench records its
// figures and writes them at the end as one JSON object of its own into
// the directory that QUORVEX_BENCH_FIGURES names (`make bench` sets it and
// joins the objects with tools/merge_bench_figures.py); without it nothing
// is written. Names are dotted, lower case: area.case.size.metric.
inline std::vector<std::pair<std::string, double>>& figureList()
{
    static std::vector<std::pair<std::string, double>> list;
    return list;
}

inline void figure(const std::string& name, double value)
{
    figureList().emplace_back(name, value);
}

// `text` as a name part: lower case, every run of other characters one '_'.
inline std::string figureKey(const std::string& text)
{
    std::string key;
    for (char c : text) {
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (alnum || (c >= 'A' && c <= 'Z'))
            key += alnum ? c : static_cast<char>(c - 'A' + 'a');
        else if (!key.empty() && key.back() != '_')
            key += '_';
    }
    while (!key.empty() && key.back() == '_')
        key.pop_back();
    return key;
}

// Writes `bench`.json; false (and a line saying so) when it cannot.
inline bool writeFigures(const char* bench)
{
    const char* dir = std::getenv("QUORVEX_BENCH_FIGURES");
    if (!dir || !*dir)
        return true;
    const std::string path = std::string(dir) + "/" + bench + ".json";
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        std::fprintf(stderr, "%s: cannot write %s\n", bench, path.c_str());
        return false;
    }
    std::fputs("{", f);
    bool first = true;
    for (const auto& [name, value] : figureList()) {
        // JSON has no NaN or infinity: a figure that is none is left out
        // (the merge reports the names it expected and did not get).
        if (!std::isfinite(value))
            continue;
        std::fprintf(f, "%s\n  \"%s\": %.9g", first ? "" : ",", name.c_str(), value);
        first = false;
    }
    std::fputs("\n}\n", f);
    return std::fclose(f) == 0;
}

} // namespace Quorvex::bench
