#!/usr/bin/env bash
# Installs the dependencies, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)"
# The S3 tests' server, when its packages are there (install-deps.sh installs them under
# CI); stopped on every exit, also after a failed test. Without it those tests skip,
# except under CI=true, where they fail.
if [ "${CI:-}" = true ] || { command -v radosgw && command -v ceph-mon && command -v ceph-osd; } >/dev/null 2>&1; then
  s3_dir=$(mktemp -d "${TMPDIR:-/tmp}/tarn-s3-server.XXXXXX")
  trap 'scripts/s3-test-server.sh stop "$s3_dir" || true; rm -rf "$s3_dir"' EXIT
  trap 'exit 130' INT TERM
  if scripts/s3-test-server.sh start "$s3_dir"; then
    export TARN_S3_TEST_ENV="$s3_dir/s3-storage.json"
  else
    echo "test.sh: the S3 test server did not start; the S3 tests cannot run" >&2
  fi
fi
ctest --test-dir build --output-on-failure -j "$(nproc)"
# The Python package from the build tree, with Debian's interpreter (not the first python3 on PATH).
PYTHONPATH="$PWD/build/python" /usr/bin/python3 -m pytest -q tests/python
if [ -d tests/addon ]; then
  node --test tests/addon/
fi
