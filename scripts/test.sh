#!/usr/bin/env bash
# Installs the dependencies, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)"
ctest --test-dir build --output-on-failure -j "$(nproc)"
# The Python package from the build tree, with Debian's interpreter (not the first python3 on PATH).
PYTHONPATH="$PWD/build/python" /usr/bin/python3 -m pytest -q tests/python
if [ -d tests/addon ]; then
  node --test tests/addon/
fi
