#!/usr/bin/env bash
# Makes the Windows zip from the cross build in build-windows/ (which
# .ci/windows.sh builds and tests) and checks what it holds: the very
# CorvelAssembler.exe of that build, the two format documents, the examples
# and the copyright notice.
set -euo pipefail

cd "$(dirname "$0")/.."
build=${1:-build-windows}

rm -f "$build"/CorvelAssembler-*-win64.zip
cmake --build "$build" -j 2 --target package
zips=("$build"/CorvelAssembler-*-win64.zip)
((${#zips[@]} == 1)) || { echo "windows zip: expected one zip, found ${zips[*]}" >&2; exit 1; }
zip=$(cd "$(dirname "${zips[0]}")" && pwd)/$(basename "${zips[0]}")

scratch=$(mktemp -d /tmp/corvel-zip.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
(cd "$scratch" && cmake -E tar xf "$zip")
top=$scratch/$(basename "$zip" .zip)
cmp "$build/CorvelAssembler.exe" "$top/CorvelAssembler.exe"
cmp cmake/debian/copyright "$top/COPYRIGHT.txt"
for file in docs/AssemblyFormat.md docs/CompiledFormat.md examples/README.md examples/Hello.cas; do
    [[ -f $top/$file ]] || { echo "windows zip: $file is missing" >&2; exit 1; }
done
# Every document and example is its source file unchanged.
(cd "$top" && find docs examples -type f) | while read -r file; do cmp "$file" "$top/$file"; done
echo "windows zip: $(basename "$zip") holds $(find "$top" -type f | wc -l) files, the tested executable among them"
