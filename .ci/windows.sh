#!/usr/bin/env bash
# The Windows stage of CI: cross-builds CorvelAssembler.exe and the unit tests
# with mingw-w64, runs them under wine (unit tests, and every golden case
# through the golden runner, tests/golden/run.py), then checks that the
# Windows and the native executables write the same bytes for every example,
# and last makes the Windows zip (.ci/windows-zip.sh).
# Installs the cross compiler and wine first when they are missing.
#
# Expects the native build in build/ (from .ci/run); builds the pieces it
# needs there when they are missing.
set -euo pipefail

cd "$(dirname "$0")/.."
stage_start=$SECONDS
jobs=2

packages=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64 googletest cmake ninja-build g++ python3)
. .ci/install-missing.sh
install_missing "${packages[@]}"

wine=$(command -v wine || command -v wine64 || true)
if [[ -z "$wine" && -x /usr/lib/wine/wine64 ]]; then wine=/usr/lib/wine/wine64; fi
if [[ -z "$wine" ]]; then
    echo "windows: no wine loader found" >&2
    exit 1
fi
wineserver=$(command -v wineserver || true)
if [[ -z "$wineserver" && -x /usr/lib/wine/wineserver ]]; then wineserver=/usr/lib/wine/wineserver; fi

# A fresh wine prefix of our own; console programs need no display. One
# persistent wine server serves every run of the stage.
WINEPREFIX=$(mktemp -d /tmp/corvel-wine.XXXXXX)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
scratch=$(mktemp -d /tmp/corvel-windows.XXXXXX)
cleanup() {
    if [[ -n "$wineserver" ]]; then "$wineserver" -k 2>/dev/null || true; fi
    rm -rf "$WINEPREFIX" "$scratch"
}
trap cleanup EXIT
"$wine" wineboot --init >/dev/null 2>&1 || true
if [[ -n "$wineserver" ]]; then "$wineserver" -p 2>/dev/null || true; fi

# The native executable.
native=build
if [[ ! -x $native/CorvelAssembler ]]; then
    cmake -S . -B $native -G Ninja -DCMAKE_BUILD_TYPE=Release
    cmake --build $native -j "$jobs" --target CorvelAssembler
fi
native_exe=$(cd $native && pwd)/CorvelAssembler

# Cross build; CTest runs the unit tests and the golden cases through wine.
cmake -S . -B build-windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCORVEL_WINDOWS_GOLDEN=ON
cmake --build build-windows -j "$jobs"
windows_exe=$(cd build-windows && pwd)/CorvelAssembler.exe

# Same input, same bytes: assemble, strip and disassemble every example with
# both executables, and let each one disassemble what the other wrote.
export TZ=UTC
run_native() { (cd "$1" && shift && "$native_exe" "$@" -Q); }
run_windows() { (cd "$1" && shift && "$wine" "$windows_exe" "$@" -Q); }
compared=0
mismatched=0
same() {
    compared=$((compared + 1))
    if ! cmp -s "$1" "$2"; then
        echo "windows: $1 and $2 differ"
        mismatched=$((mismatched + 1))
    fi
}
# The examples by name: the folder may also hold outputs of a user's own runs.
for name in Hello GameRules Inventory Lantern; do
    example=examples/$name.cas
    n=$scratch/native/$name
    w=$scratch/windows/$name
    c=$scratch/crossed/$name
    mkdir -p "$n" "$w" "$c"
    cp "$example" "$n/"
    cp "$example" "$w/"
    run_native "$n" "$name"
    run_windows "$w" "$name"
    same "$n/$name.cex" "$w/$name.cex"
    run_native "$n" "$name" -D
    cp "$n/$name.cex" "$c/$name.cex"
    run_windows "$c" "$name" -D
    same "$n/$name.disassemble.cas" "$c/$name.disassemble.cas"
    cp "$w/$name.cex" "$c/$name.cex"
    run_native "$c" "$name" -D
    same "$n/$name.disassemble.cas" "$c/$name.disassemble.cas"
    # Stripping replaces the file in place.
    run_native "$n" "$name" -S
    run_windows "$w" "$name" -S
    same "$n/$name.cex" "$w/$name.cex"
done
echo "windows: $((compared - mismatched)) of $compared outputs of the two executables are byte-identical" \
    "(after $((SECONDS - stage_start)) s of this stage)"
((mismatched == 0))
unset TZ

# Then the unit tests and the golden cases of the Windows build, under wine.
# Now and then wine loses its own server and a run ends before the test
# starts; a test that fails is run again, up to three times in all (the tests
# are deterministic, so a real failure fails every time).
ctest --test-dir build-windows --output-on-failure -j "$jobs" --repeat until-pass:3

# The Windows zip of that executable, the documents and the examples.
bash .ci/windows-zip.sh build-windows
