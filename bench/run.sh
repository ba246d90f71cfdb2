#!/usr/bin/env bash
# Builds CorvelAssembler in Release mode and measures it, with wabt's
# wat2wasm and wasm2wat as the peer in the same run: wall time, MB/s and peak
# memory of assembly, -A on .cas, disassembly, -A on .cex and strip on a
# large generated script, the start-up cost against /bin/true, a batch of
# small scripts assembled and disassembled one process a file with
# xargs -P 2, and every target with its verdict (bench.py says how).
#
#   bench/run.sh            the whole-tool figures
#   bench/run.sh --micro    the micro-benchmarks as well
#
# Environment: CORVEL_BENCH_BUILD (build directory, default build-bench in the
# repository), CORVEL_BENCH_DIR (work files, default /tmp/corvel-bench),
# CORVEL_BENCH_SIZE (script size, default 24M), CORVEL_BENCH_RUNS (timed runs
# per mode, default 5), CORVEL_BENCH_BATCH (small scripts in the batch,
# default 5000), CORVEL_BENCH_BATCH_RUNS (timed runs of each batch, default 3).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=${CORVEL_BENCH_BUILD:-$repo/build-bench}
work=${CORVEL_BENCH_DIR:-/tmp/corvel-bench}
size=${CORVEL_BENCH_SIZE:-24M}
runs=${CORVEL_BENCH_RUNS:-5}
batch=${CORVEL_BENCH_BATCH:-5000}
batch_runs=${CORVEL_BENCH_BATCH_RUNS:-3}

# wabt is only a yardstick: installed here when missing, never in CI.
if ! command -v wat2wasm >/dev/null 2>&1 && [[ -z "${CI:-}" ]]; then
    sudo_cmd=()
    if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo -n); fi
    echo "Installing wabt for the comparison..."
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q wabt >/dev/null 2>&1 ||
        { "${sudo_cmd[@]}" apt-get update -q >/dev/null 2>&1 &&
          "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q wabt >/dev/null 2>&1; } ||
        echo "wabt could not be installed; the comparison is left out"
fi

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVEL_BUILD_TESTS=OFF \
    -DCORVEL_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j 2 >/dev/null

python3 "$here/bench.py" --tool "$build/CorvelAssembler" --peak "$build/bench/corvel_peak_memory" \
    --work "$work" --size "$size" --runs "$runs" --batch "$batch" --batch-runs "$batch_runs"

if [[ "${1:-}" == "--micro" ]]; then
    echo
    "$build/bench/corvel_micro_bench" --benchmark_min_time=0.2
fi
