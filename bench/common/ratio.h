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
// Each benchmark named there first runs once uncounted (it pays for cold caches and the first
// touch of the heap and of files). Then, in each repetition (--repetitions=N, default 5), every
// comparison runs its measurement and its baseline right after each other, which one first
// alternating, so that the two share the machine's load of that moment; a benchmark that serves
// two comparisons runs for each. A comparison's ratio is the median of the ratios of the pairs,
// and the spread is the smallest and largest of them. --benchmark_filter keeps its meaning.
// After the usual console output the program prints one tab-separated line per comparison and
// figure:
//
//     RESULT<TAB>label<TAB>measured<TAB>baseline<TAB>ratio<TAB>lowest<TAB>highest<TAB>unit<TAB>N
//
// Times are medians of the real time per iteration in nanoseconds; a figure is the median of a
// counter and has "-" for baseline, ratio and spread. bench/run gathers these lines from every
// benchmark program into one table.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <utility>
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

// One run of one benchmark.
struct Recorded {
    double nanoseconds = 0;
    std::map<std::string, double> counters;
};

class RecordingReporter : public benchmark::ConsoleReporter {
  public:
    // While quiet, runs are neither recorded nor printed (the uncounted first runs).
    bool quiet = false;

    // The console header once, not once per repetition of every benchmark.
    bool ReportContext(const Context& context) override {
        if (mContextShown) {
            return true;
        }
        mContextShown = true;
        return ConsoleReporter::ReportContext(context);
    }

    void ReportRuns(const std::vector<Run>& runs) override {
        if (quiet) {
            return;
        }
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0 || run.error_occurred) {
                continue;
            }
            Recorded r;
            r.nanoseconds = run.GetAdjustedRealTime() * ToNanoseconds(run.time_unit);
            for (const auto& [name, counter] : run.counters) {
                r.counters[name] = counter.value;
            }
            results[run.benchmark_name()].push_back(std::move(r));
        }
        ConsoleReporter::ReportRuns(runs);
    }

    std::map<std::string, std::vector<Recorded>> results;

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

    bool mContextShown = false;
};

inline double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// A filter that selects exactly the benchmark `name`.
inline std::string ExactFilter(const std::string& name) {
    std::string out = "^";
    for (char c : name) {
        if (std::strchr("\\^$.|?*+()[]{}", c) != nullptr) {
            out += '\\';
        }
        out += c;
    }
    return out + "$";
}

// Takes --repetitions=N out of the arguments; `fallback` when absent or not a positive number.
inline int TakeRepetitions(int& argc, char** argv, int fallback) {
    int repetitions = fallback;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--repetitions=", 14) == 0) {
            const int n = std::atoi(argv[i] + 14);
            repetitions = n > 0 ? n : fallback;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    return repetitions;
}

}  // namespace detail

inline int RunAndReport(int argc, char** argv, const std::vector<Comparison>& comparisons,
                        const std::vector<Figure>& figures = {}) {
    const int repetitions = detail::TakeRepetitions(argc, argv, 5);
    // --benchmark_filter still chooses which of the benchmarks run.
    std::string filter;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--benchmark_filter=", 19) == 0) {
            filter = argv[i] + 19;
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    std::vector<std::string> names;
    const std::regex chosen(filter.empty() || filter == "all" ? "." : filter);
    auto add = [&](const std::string& name) {
        if (std::regex_search(name, chosen) &&
            std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(name);
        }
    };
    for (const Comparison& c : comparisons) {
        add(c.measured);
        add(c.baseline);
    }
    for (const Figure& f : figures) {
        add(f.benchmark);
    }

    auto wanted = [&names](const std::string& name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    detail::RecordingReporter reporter;
    // One run of `name`: its time per iteration, or nothing when it did not run (skipped).
    auto runOnce = [&reporter](const std::string& name) -> std::optional<double> {
        const size_t before = reporter.results[name].size();
        benchmark::RunSpecifiedBenchmarks(&reporter, detail::ExactFilter(name));
        const std::vector<detail::Recorded>& runs = reporter.results[name];
        if (runs.size() == before) {
            return std::nullopt;
        }
        return runs.back().nanoseconds;
    };
    reporter.quiet = true;
    for (const std::string& name : names) {
        runOnce(name);
    }
    reporter.quiet = false;

    // Per comparison, the (measured, baseline) times of its pairs.
    std::vector<std::vector<std::pair<double, double>>> pairs(comparisons.size());
    for (int rep = 0; rep < repetitions; ++rep) {
        std::vector<std::string> ran;
        for (size_t i = 0; i < comparisons.size(); ++i) {
            const Comparison& c = comparisons[i];
            if (!wanted(c.measured) || !wanted(c.baseline)) {
                continue;  // left out by the filter
            }
            const bool baselineFirst = (rep + i) % 2 == 1;
            const std::optional<double> first = runOnce(baselineFirst ? c.baseline : c.measured);
            const std::optional<double> second = runOnce(baselineFirst ? c.measured : c.baseline);
            if (first && second) {
                pairs[i].emplace_back(baselineFirst ? *second : *first,
                                      baselineFirst ? *first : *second);
            }
            ran.push_back(c.measured);
            ran.push_back(c.baseline);
        }
        for (const Figure& f : figures) {
            if (wanted(f.benchmark) &&
                std::find(ran.begin(), ran.end(), f.benchmark) == ran.end()) {
                runOnce(f.benchmark);
                ran.push_back(f.benchmark);
            }
        }
    }
    benchmark::Shutdown();

    int missing = 0;
    std::printf("\n");
    for (size_t i = 0; i < comparisons.size(); ++i) {
        const Comparison& c = comparisons[i];
        if (!wanted(c.measured) || !wanted(c.baseline)) {
            continue;  // left out by the filter
        }
        if (pairs[i].empty()) {
            std::printf("MISSING\t%s\t%s or %s did not run\n", c.label.c_str(), c.measured.c_str(),
                        c.baseline.c_str());
            ++missing;
            continue;
        }
        std::vector<double> ratios, measured, baseline;
        for (const auto& [m, b] : pairs[i]) {
            measured.push_back(m);
            baseline.push_back(b);
            ratios.push_back(b > 0 ? m / b : 0);
        }
        std::printf("RESULT\t%s\t%.1f\t%.1f\t%.2f\t%.2f\t%.2f\tns\t%zu\n", c.label.c_str(),
                    detail::Median(measured), detail::Median(baseline), detail::Median(ratios),
                    *std::min_element(ratios.begin(), ratios.end()),
                    *std::max_element(ratios.begin(), ratios.end()), ratios.size());
    }
    for (const Figure& f : figures) {
        if (!wanted(f.benchmark)) {
            continue;
        }
        std::vector<double> values;
        for (const detail::Recorded& r : reporter.results[f.benchmark]) {
            auto it = r.counters.find(f.counter);
            if (it != r.counters.end()) {
                values.push_back(it->second);
            }
        }
        if (values.empty()) {
            std::printf("MISSING\t%s\t%s:%s did not run\n", f.label.c_str(), f.benchmark.c_str(),
                        f.counter.c_str());
            ++missing;
            continue;
        }
        std::printf("RESULT\t%s\t%.2f\t-\t-\t-\t-\t%s\t%zu\n", f.label.c_str(),
                    detail::Median(values), f.unit.c_str(), values.size());
    }
    std::fflush(stdout);
    return missing == 0 ? 0 : 1;
}

}  // namespace varnak::bench
