#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian machine.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake ninja-build pkg-config clang
  libtiff-dev libjsoncpp-dev libspdlog-dev libfmt-dev libzstd-dev zstd
  libgtest-dev libgmock-dev libbenchmark-dev libcharls-dev libjxl-dev libxml2-dev
  python3-tifffile python3-numpy
  libxxhash-dev
  libcurl4-openssl-dev libssl-dev
  python3-dev pybind11-dev python3-zarr python3-numcodecs python3-distributed python3-pytest
  python3-fusepy
  libopenjph-dev libraw-dev python3-matplotlib
  python3-h5py libhdf5-dev hdf5-tools
  dpkg-dev file
)
# Node.js (with npm and its headers) comes with the machine; Debian's own when it does not.
command -v node >/dev/null 2>&1 || packages+=(nodejs npm)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

# The S3 server the tests run against (scripts/s3-test-server.sh), only where those tests
# run: always under CI, elsewhere when TARN_S3_SERVER=1. Without recommends it stays small.
if [ "${CI:-}" = true ] || [ "${TARN_S3_SERVER:-}" = 1 ]; then
  s3_missing=()
  for p in radosgw ceph-mon ceph-osd curl; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || s3_missing+=("$p")
  done
  if [ ${#s3_missing[@]} -gt 0 ]; then
    SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${s3_missing[@]}"
  fi
fi

# node-addon-api headers for the transfer module, pinned by the lock file.
if [ -f addon/transfer/package.json ]; then
  (cd addon/transfer && npm ci --no-audit --no-fund --loglevel=error)
fi
