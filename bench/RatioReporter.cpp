#include "bench/RatioReporter.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string_view>

namespace bench {
namespace {

constexpr std::string_view oursSuffix = "/ours";
constexpr std::string_view simpleSuffix = "/simple";
constexpr std::string_view realTimeSuffix = "/real_time";

}  // namespace

std::string formattedDuration(double seconds) {
    struct Unit {
        double scale;
        const char* name;
    } units[] = {{1e-9, "ns"}, {1e-6, "us"}, {1e-3, "ms"}, {1.0, "s"}};
    const Unit* chosen = &units[0];
    for (const auto& unit : units) {
        if (seconds >= unit.scale) {
            chosen = &unit;
        }
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.3g %s", seconds / chosen->scale, chosen->name);
    return text;
}

RatioReporter::RatioReporter(std::vector<Target> targets) : targets(std::move(targets)) {}

void RatioReporter::ReportRuns(const std::vector<Run>& reports) {
    ConsoleReporter::ReportRuns(reports);
    for (const auto& run : reports) {
        if (run.error_occurred || run.iterations == 0) {
            continue;
        }
        // Benchmarks that measure wall-clock time carry "/real_time" after their own name.
        std::string name = run.run_name.str();
        if (name.ends_with(realTimeSuffix)) {
            name.resize(name.size() - realTimeSuffix.size());
        }
        const double perIteration =
            run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        if (std::find(order.begin(), order.end(), name) == order.end()) {
            order.push_back(name);
        }
        if (run.run_type == Run::RT_Aggregate) {
            if (run.aggregate_name == "median") {
                medians[name] = perIteration;
            }
        } else {
            singleRuns[name] = perIteration;
        }
    }
}

std::optional<double> RatioReporter::seconds(const std::string& name) const {
    if (auto found = medians.find(name); found != medians.end()) {
        return found->second;
    }
    if (auto found = singleRuns.find(name); found != singleRuns.end()) {
        return found->second;
    }
    return std::nullopt;
}

void RatioReporter::Finalize() {
    ConsoleReporter::Finalize();
    printRatios();
    printTargets();
    std::cout.flush();
}

void RatioReporter::printRatios() const {
    std::printf("\n%-64s %12s %12s %10s\n", "Ours against the simple approach", "ours", "simple",
                "simple/ours");
    for (const auto& name : order) {
        if (!name.ends_with(oursSuffix)) {
            continue;
        }
        const std::string base = name.substr(0, name.size() - oursSuffix.size());
        const auto ours = seconds(name);
        const auto simple = seconds(base + std::string(simpleSuffix));
        if (!ours) {
            continue;
        }
        if (simple) {
            std::printf("%-64s %12s %12s %9.2fx\n", base.c_str(), formattedDuration(*ours).c_str(),
                        formattedDuration(*simple).c_str(), *simple / *ours);
        } else {
            std::printf("%-64s %12s %12s %10s\n", base.c_str(), formattedDuration(*ours).c_str(),
                        "-", "-");
        }
    }
    std::fflush(stdout);
}

void RatioReporter::printTargets() const {
    std::printf("\n%-72s %14s %10s  %s\n", "Target", "measured", "bound", "");
    for (const auto& target : targets) {
        const auto measured = seconds(target.benchmark);
        const auto baseline =
            target.baseline ? seconds(*target.baseline) : std::optional<double>(1);
        if (!measured || !baseline) {
            std::printf("%-72s %14s\n", target.description.c_str(), "not run");
            continue;
        }
        std::string figure;
        std::string bound;
        double value;
        if (target.baseline) {
            value = *measured / *baseline;
            char text[32];
            std::snprintf(text, sizeof text, "%.2fx", value);
            figure = text;
            std::snprintf(text, sizeof text, "%.2gx", target.bound);
            bound = text;
        } else {
            value = *measured;
            figure = formattedDuration(value);
            bound = formattedDuration(target.bound);
        }
        std::printf("%-72s %14s %10s  %s\n", target.description.c_str(), figure.c_str(),
                    bound.c_str(), value < target.bound ? "met" : "MISSED");
    }
    std::fflush(stdout);
}

}  // namespace bench
