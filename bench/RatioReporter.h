#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bench {

// The console report, followed by two tables once every benchmark has run:
// - each benchmark named ".../ours" beside its twin ".../simple", and how many times longer the
//   simple approach takes (simple / ours);
// - the targets, each with the figure measured and whether it was met.
// With repetitions, the figures are medians.
class RatioReporter final : public benchmark::ConsoleReporter {
  public:
    // A bound on one benchmark's time, or on the ratio of two benchmarks' times.
    struct Target {
        std::string description;
        std::string benchmark;
        // With a baseline, the bound is on benchmark / baseline; otherwise on seconds.
        std::optional<std::string> baseline;
        double bound;
    };

    explicit RatioReporter(std::vector<Target> targets);

    void ReportRuns(const std::vector<Run>& reports) override;
    void Finalize() override;

  private:
    std::optional<double> seconds(const std::string& name) const;
    void printRatios() const;
    void printTargets() const;

    std::vector<Target> targets;
    // Real time per iteration, in seconds, by benchmark name, in the order first reported.
    std::map<std::string, double> medians;
    std::map<std::string, double> singleRuns;
    std::vector<std::string> order;
};

// "1.23 µs", "45.6 ms" and the like.
std::string formattedDuration(double seconds);

}  // namespace bench
