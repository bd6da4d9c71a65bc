#!/usr/bin/env bash
# Runs the benchmarks of the `bench` preset (build it first: `make bench` does both) and the peak
# memory measurement of the filter. Arguments are handed to Google Benchmark, for instance
#   scripts/run-benchmarks.sh --benchmark_filter='NewFlow/.*' --benchmark_repetitions=3
# Without arguments every benchmark runs five times and the medians are reported. The machine
# should be otherwise quiet: the figures are wall-clock times.
set -euo pipefail

cd "$(dirname "$0")/.."
build=build-bench
if [ ! -x "$build/bin/tovrin-benchmarks" ]; then
    echo "no benchmarks in $build; run 'make bench' or 'cmake --preset bench && cmake --build --preset bench'" >&2
    exit 1
fi

echo "load average before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ $# -eq 0 ]; then
    set -- --benchmark_repetitions=5 --benchmark_report_aggregates_only=true --benchmark_color=false
fi
"$build/bin/tovrin-benchmarks" "$@"

echo
echo "Peak memory of the filter (100,000 domains, 10,000 flows under inspection):"
for source in vendor blob; do
    /usr/bin/time -v "$build/bin/filter-memory" --domains 100000 --flows 10000 --source "$source" \
        2> "$build/filter-memory-$source.time"
    grep "Maximum resident set size" "$build/filter-memory-$source.time"
done
echo "For comparison, the same program with an empty policy and no flows:"
/usr/bin/time -v "$build/bin/filter-memory" --domains 0 --flows 0 2> "$build/filter-memory-empty.time"
grep "Maximum resident set size" "$build/filter-memory-empty.time"
