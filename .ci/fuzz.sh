#!/usr/bin/env bash
# Builds the libFuzzer targets (clang), replays the saved findings of
# fuzz/regressions, writes the seed corpora (examples, golden base scripts,
# saved findings and their compiled forms) and fuzzes every target for a
# bounded time. Any crash, leak, sanitizer finding or failed check fails the
# script, and so do libFuzzer's own limits: an input that runs longer than
# 10 s, a single allocation of 8 MiB or more (512 times the largest input,
# 16 KiB) or a process beyond 2560 MiB. The input that caused a finding is
# left in $build_dir/fuzz-work/artifacts.
#
#   CORVEL_FUZZ_SECONDS  fuzzing time per target (default 50)
#   CORVEL_FUZZ_BUILD_DIR  build directory (default build-fuzz)
set -euo pipefail

cd "$(dirname "$0")/.."
repo=$(pwd)
jobs=2
seconds=${CORVEL_FUZZ_SECONDS:-50}
build_dir=${CORVEL_FUZZ_BUILD_DIR:-build-fuzz}
limits=(-timeout=10 -malloc_limit_mb=8 -rss_limit_mb=2560)

packages=(clang libclang-rt-14-dev)
. .ci/install-missing.sh
install_missing "${packages[@]}"

CXX=clang++ cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCORVEL_BUILD_FUZZ=ON -DCORVEL_BUILD_TESTS=OFF
cmake --build "$build_dir" -j "$jobs" --target fuzz_assembly_reader fuzz_compiled_reader \
    fuzz_compiled_roundtrip fuzz_assembly_roundtrip fuzz_stripped_copy corvel_fuzz_seeds

work="$build_dir/fuzz-work"
rm -rf "$work"
mkdir -p "$work/artifacts"
"$build_dir/fuzz/corvel_fuzz_seeds" "$repo" "$work/seeds"
echo "Seeds: $(ls "$work/seeds/assembly" | wc -l) assembly, $(ls "$work/seeds/compiled" | wc -l) compiled"
# The dictionary of the assembly targets: every word of their seeds.
cat "$work/seeds/assembly"/* | tr -s ' \t\r' '\n' | LC_ALL=C grep -xE '[[:graph:]]{1,64}' | grep -v '["\\]' |
    LC_ALL=C sort -u | sed 's/.*/"&"/' >"$work/assembly.dict"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# target:seed-kind:dictionary options
targets=(
    "fuzz_assembly_reader:assembly:-dict=$work/assembly.dict"
    "fuzz_assembly_roundtrip:assembly:-dict=$work/assembly.dict"
    fuzz_compiled_reader:compiled:
    fuzz_compiled_roundtrip:compiled:
    fuzz_stripped_copy:compiled:
)

# One target: the saved findings first, then a fresh corpus from the seeds.
run_target() {
    local target=$1 kind=$2 dict=$3
    local binary="$build_dir/fuzz/$target" log="$work/$target.log"
    local regressions=("$repo/fuzz/regressions/$target"/*)
    if [[ -e ${regressions[0]} ]]; then
        if ! "$binary" -runs=1 "${limits[@]}" "${regressions[@]}" >"$log.regressions" 2>&1; then
            echo "== $target: a saved finding fails again"
            tail -n 60 "$log.regressions"
            return 1
        fi
    fi
    mkdir -p "$work/corpus/$target"
    cp "$work/seeds/$kind"/* "$work/corpus/$target/"
    if ! "$binary" "$work/corpus/$target" ${dict:+"$dict"} -max_total_time="$seconds" "${limits[@]}" \
        -max_len=16384 -use_value_profile=1 -print_final_stats=1 -artifact_prefix="$work/artifacts/$target-" \
        >"$log" 2>&1; then
        echo "== $target: finding"
        tail -n 80 "$log"
        return 1
    fi
    echo "== $target: clean, $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') runs in ${seconds}s"
}

# Two targets at a time, one per core.
failed=0
for ((i = 0; i < ${#targets[@]}; i += jobs)); do
    pids=()
    for ((j = i; j < i + jobs && j < ${#targets[@]}; ++j)); do
        IFS=: read -r target kind dict <<<"${targets[j]}"
        run_target "$target" "$kind" "$dict" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do
        wait "$pid" || failed=$((failed + 1))
    done
done

echo "Fuzzing: $((${#targets[@]} - failed)) of ${#targets[@]} targets clean"
exit $((failed > 0))
