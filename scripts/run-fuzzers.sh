#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each on its seed corpus.
#   run-fuzzers.sh short   about a minute in all (part of `make test`)
#   run-fuzzers.sh long    FUZZ_SECONDS per target (default 600)
# New inputs go to build-fuzz/corpus/<name>; crashes to fuzz/artifacts/ (commit reproducers to the
# target's corpus once fixed).
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-short}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${JOBS:-2}" --target fuzzers

targets=()
for binary in build-fuzz/bin/*_fuzzer; do
    [ -x "$binary" ] && targets+=("$binary")
done
if [ ${#targets[@]} -eq 0 ]; then
    echo "no fuzz targets built"
    exit 0
fi

if [ "$mode" = long ]; then
    seconds=${FUZZ_SECONDS:-600}
else
    seconds=$(( 60 / ${#targets[@]} ))
    [ "$seconds" -lt 5 ] && seconds=5
fi

corpus_of() {
    grep -o "\"$1|[^|]*|[^|]*" fuzz/targets.cmake | cut -d'|' -f3
}
# Further seeds kept elsewhere in the tree, if the target names any.
seeds_of() {
    grep -o "\"$1|[^\"]*" fuzz/targets.cmake | cut -d'|' -f5
}

mkdir -p fuzz/artifacts
status=0
# Allocation stacks halve the provider target's speed under ASan; a failure found
# here is replayed with the artifact (`build-fuzz/bin/NAME ARTIFACT`), which prints full stacks.
fuzz_asan_options=detect_leaks=1:malloc_context_size=0
for binary in "${targets[@]}"; do
    name=$(basename "$binary")
    seeds="fuzz/corpus/$(corpus_of "$name") $(seeds_of "$name")"
    work="build-fuzz/corpus/$name"
    mkdir -p "$work"
    echo "fuzzing $name for ${seconds}s"
    if ! ASAN_OPTIONS=$fuzz_asan_options "$binary" -max_total_time="$seconds" -max_len=8192 \
            -artifact_prefix=fuzz/artifacts/"$name"- -print_final_stats=1 "$work" $seeds \
            2>"build-fuzz/$name.log"; then
        echo "$name found a failure; see build-fuzz/$name.log and fuzz/artifacts/" >&2
        tail -40 "build-fuzz/$name.log" >&2
        status=1
    fi
    grep -E 'stat::number_of_executed_units' "build-fuzz/$name.log" | sed "s/^/  $name /" || true
done
exit $status
