#!/usr/bin/env bash
# Builds the project with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the whole test suite (unit tests and golden cases) under them. Any
# finding stops the test that made it, and the script fails.
set -euo pipefail

cd "$(dirname "$0")/.."
jobs=2
build_dir=${CORVEL_SANITIZE_BUILD_DIR:-build-sanitize}

# clang needs its runtime package for the sanitizers; g++ brings its own.
compiler=g++
if command -v clang++ >/dev/null 2>&1; then
    compiler=clang++
    . .ci/install-missing.sh
    install_missing libclang-rt-14-dev
fi

CXX=$compiler cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCORVEL_SANITIZE=address,undefined
cmake --build "$build_dir" -j "$jobs"

# Every finding is fatal; leaks count as findings.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs"
