#!/usr/bin/env bash
# The main job on the bundled sample: install dependencies, build the `tarn` command,
# compress samples/sample-16bit.tif, restore it and check that the bytes are identical.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target tarn_tool

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp samples/sample-16bit.tif "$work/"
build/bin/tarn compress "$work/sample-16bit.tif"
build/bin/tarn info "$work/sample-16bit.tif.nivra"
build/bin/tarn decompress "$work/sample-16bit.tif.nivra" -o "$work/restored.tif"
cmp samples/sample-16bit.tif "$work/restored.tif"
echo "demo: restored file is identical to samples/sample-16bit.tif"
