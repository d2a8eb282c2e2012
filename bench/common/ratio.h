// Benchmarks compare a measurement with a baseline measured in the same run.
//
// A benchmark program registers its benchmarks as usual and ends its main() with
//
//     return varnak::bench::RunAndReport(argc, argv, {
//         {"round trip through the transport", "BM_Transport", "BM_BareSocket"},
//     }, {
//         {"requests per key of a prefetch", "BM_Prefetch", "requests_per_key", "requests"},
//     });
//
// After the usual console output it prints one tab-separated line per comparison and figure:
//
//     RESULT<TAB>label<TAB>measured<TAB>baseline<TAB>ratio<TAB>unit
//
// Times are real time per iteration in nanoseconds; a figure has "-" for baseline and ratio.
// bench/run gathers these lines from every benchmark program into one table.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace varnak::bench {

struct Comparison {
    std::string label;
    std::string measured;  // benchmark name as reported (with its arguments, e.g. "BM_X/64")
    std::string baseline;
};

struct Figure {
    std::string label;
    std::string benchmark;
    std::string counter;
    std::string unit;
};

namespace detail {

struct Recorded {
    double nanoseconds = 0;
    std::map<std::string, double> counters;
};

class RecordingReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0) {
                continue;
            }
            Recorded& r = results[run.benchmark_name()];
            const double perIteration = run.GetAdjustedRealTime();
            r.nanoseconds = perIteration * ToNanoseconds(run.time_unit);
            for (const auto& [name, counter] : run.counters) {
                r.counters[name] = counter.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    std::map<std::string, Recorded> results;

  private:
    static double ToNanoseconds(benchmark::TimeUnit unit) {
        switch (unit) {
            case benchmark::kNanosecond:
                return 1;
            case benchmark::kMicrosecond:
                return 1e3;
            case benchmark::kMillisecond:
                return 1e6;
            case benchmark::kSecond:
                return 1e9;
        }
        return 1;
    }
};

}  // namespace detail

inline int RunAndReport(int argc, char** argv, const std::vector<Comparison>& comparisons,
                        const std::vector<Figure>& figures = {}) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    detail::RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    int missing = 0;
    std::printf("\n");
    for (const Comparison& c : comparisons) {
        auto m = reporter.results.find(c.measured);
        auto b = reporter.results.find(c.baseline);
        if (m == reporter.results.end() || b == reporter.results.end()) {
            std::printf("MISSING\t%s\t%s or %s did not run\n", c.label.c_str(), c.measured.c_str(),
                        c.baseline.c_str());
            ++missing;
            continue;
        }
        const double ratio =
            b->second.nanoseconds > 0 ? m->second.nanoseconds / b->second.nanoseconds : 0;
        std::printf("RESULT\t%s\t%.1f\t%.1f\t%.2f\tns\n", c.label.c_str(), m->second.nanoseconds,
                    b->second.nanoseconds, ratio);
    }
    for (const Figure& f : figures) {
        auto r = reporter.results.find(f.benchmark);
        if (r == reporter.results.end() || !r->second.counters.count(f.counter)) {
            std::printf("MISSING\t%s\t%s:%s did not run\n", f.label.c_str(), f.benchmark.c_str(),
                        f.counter.c_str());
            ++missing;
            continue;
        }
        std::printf("RESULT\t%s\t%.2f\t-\t-\t%s\n", f.label.c_str(), r->second.counters[f.counter],
                    f.unit.c_str());
    }
    std::fflush(stdout);
    return missing == 0 ? 0 : 1;
}

}  // namespace varnak::bench
