#!/usr/bin/env bash
# The Debian package stage of CI: makes the package from the release build in
# build/ (configuring and building it when it is missing), checks it with
# lintian, unpacks it into a scratch folder (nothing is installed on the
# machine) and has the unpacked tool assemble and disassemble an example,
# with the same bytes as the build's own executable writes.
set -euo pipefail

cd "$(dirname "$0")/.."
stage_start=$SECONDS

packages=(cmake ninja-build g++ dpkg-dev file lintian)
. .ci/install-missing.sh
install_missing "${packages[@]}"

build=build
if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S . -B $build -G Ninja -DCMAKE_BUILD_TYPE=Release
fi
rm -f $build/corvelassembler_*.deb
cmake --build $build -j 2 --target package
debs=($build/corvelassembler_*.deb)
((${#debs[@]} == 1)) || { echo "packages: expected one .deb, found ${debs[*]}" >&2; exit 1; }
deb=${debs[0]}
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

scratch=$(mktemp -d /tmp/corvel-packages.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

# The version is written in one place: the package's and the banner's agree.
version=$(dpkg-deb --field "$deb" Version)
depends=$(dpkg-deb --field "$deb" Depends)
echo "packages: version $version, depends on: $depends"
if [[ $depends != libc6* || $depends == *,* ]]; then
    echo "packages: the tool should need the C library alone" >&2
    exit 1
fi

dpkg-deb -x "$deb" "$scratch/root"
tool=$scratch/root/usr/bin/CorvelAssembler
banner=$("$tool" -? || true)  # the usage text ends in a failed run
grep -qF "Corvel Assembler Version $version for Vantrel" <<<"$banner"
gzip -t "$scratch/root/usr/share/man/man1/CorvelAssembler.1.gz"

# The unpacked tool and the build's own executable, on the packaged example.
export TZ=UTC
run_in() {
    mkdir -p "$1"
    cp "$scratch/root/usr/share/doc/corvelassembler/examples/Lantern.cas" "$1/"
    (cd "$1" && "$2" Lantern -Q && "$2" Lantern -D -Q)
}
run_in "$scratch/packaged" "$tool"
run_in "$scratch/built" "$(cd $build && pwd)/CorvelAssembler"
cmp "$scratch/packaged/Lantern.cex" "$scratch/built/Lantern.cex"
cmp "$scratch/packaged/Lantern.disassemble.cas" "$scratch/built/Lantern.disassemble.cas"
unset TZ

# Errors fail the stage; warnings and notes are shown.
lintian --fail-on error --display-info "$deb"
echo "packages: $(basename "$deb") passes lintian and its tool assembles and disassembles" \
    "(after $((SECONDS - stage_start)) s of this stage)"
