#!/usr/bin/env bash
# Installs a build into a temporary prefix, then uses only what was installed: nothing may
# depend on the build tree.
# Arguments: BUILD_DIR THIS_FOLDER SAMPLE WORK_DIR
set -euo pipefail
build=$1 here=$2 sample=$3 work=$4
rm -rf "$work"
mkdir -p "$work"
step() { echo "== $*"; }

step "cmake --install into a temporary prefix"
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/tarn share/man/man1/tarn.1 share/nivra/README include/tarn/tarn.h include/nivra/nivra.h \
            include/nivra/nivra.hpp include/caddistransfer.h lib/pkgconfig/tarn.pc lib/pkgconfig/nivra.pc \
            lib/cmake/Tarn/TarnConfig.cmake lib/cmake/Tarn/TarnConfigVersion.cmake; do
  [ -e "$prefix/$file" ] || { echo "not installed: $file"; exit 1; }
done
# The HDF5 filter plugin, where it was built.
if [ -e "$build/lib/hdf5/plugin/libh5nivra.so" ]; then
  [ -e "$prefix/lib/hdf5/plugin/libh5nivra.so" ] || { echo "not installed: lib/hdf5/plugin/libh5nivra.so"; exit 1; }
fi
for library in tarn nivra caddistransfer; do
  soname=$(readelf -d "$prefix/lib/lib$library.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ -n "$soname" ] && [ -e "$prefix/lib/$soname" ] || { echo "lib$library: no SONAME link"; exit 1; }
  echo "lib$library.so -> $(readlink "$prefix/lib/lib$library.so"), SONAME $soname"
done
for binary in "$prefix/bin/tarn" "$prefix"/lib/lib*.so.*.* "$prefix"/lib/hdf5/plugin/*.so; do
  [ -e "$binary" ] || continue
  if readelf -d "$binary" | grep -E 'R(UN)?PATH' | grep -qv 'ORIGIN'; then
    echo "$binary: run path outside the installation:"; readelf -d "$binary" | grep -E 'R(UN)?PATH'; exit 1
  fi
done

# The installation's calibration folder is the one the library reads by default.
cat >"$prefix/share/nivra/install-test.json" <<'JSON'
{"format": "nivra-calibration", "version": 1,
 "cameras": [{"identifier": "Install_Test_ISO100", "gain": 1.0, "black_level": 0, "sigma": 1.0,
              "white_level": 65535}]}
JSON
export XDG_CONFIG_HOME="$work/config"
unset LD_LIBRARY_PATH

step "installed tarn program"
cp "$sample" "$work/sample.tif"
"$prefix/bin/tarn" --version
"$prefix/bin/tarn" compress -q "$work/sample.tif"
"$prefix/bin/tarn" test "$work/sample.tif.nivra"
"$prefix/bin/tarn" decompress -q "$work/sample.tif.nivra" -o "$work/tool-restored.tif"
cmp "$sample" "$work/tool-restored.tif"

step "C program through pkg-config"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
echo "pkg-config tarn: $(pkg-config --modversion tarn) $(pkg-config --cflags --libs tarn)"
cc -std=c99 -Wall -Wextra -pedantic -Werror "$here/pkg_config_consumer.c" -o "$work/c_consumer" \
  $(pkg-config --cflags --libs tarn) -Wl,-rpath,"$prefix/lib"
"$work/c_consumer" "$sample" "$work/c.nivra" "$work/c-restored.tif" | tee "$work/c_consumer.out"
cmp "$sample" "$work/c-restored.tif"
grep -q "calibrations: 1$" "$work/c_consumer.out" || { echo "installed calibration folder not read"; exit 1; }

step "C++ program through find_package(Tarn)"
cmake -S "$here/find_package_consumer" -B "$work/consumer-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/consumer-build" >/dev/null
"$work/consumer-build/consumer" "$sample" "$work/cxx.nivra" "$work/cxx-restored.tif"

package_init=$(find "$prefix" -path '*/dist-packages/tarn/__init__.py' | head -n 1)
if [ -n "$package_init" ]; then
  step "Python package"
  site=$(dirname "$(dirname "$package_init")")
  PYTHONPATH="$site" /usr/bin/python3 - "$sample" "$work" <<'PYTHON'
import filecmp, sys
import numpy as np
import tarn, tarn.nivra
sample, work = sys.argv[1:]
assert "/dist-packages/" in tarn.__file__, tarn.__file__
tarn.compress_file(sample, work + "/py.nivra")
tarn.decompress_file(work + "/py.nivra", work + "/py-restored.tif")
assert filecmp.cmp(sample, work + "/py-restored.tif", shallow=False)
image = np.random.default_rng(1).integers(0, 4096, (64, 96), dtype=np.uint16)
assert np.array_equal(tarn.nivra.decode(tarn.nivra.encode(image), image.shape), image)
print("python: tarn from", tarn.__file__)
PYTHON
fi

if [ -e "$prefix/lib/hdf5/plugin/libh5nivra.so" ] && /usr/bin/python3 -c "import h5py" 2>/dev/null; then
  step "installed HDF5 filter through h5py"
  HDF5_PLUGIN_PATH="$prefix/lib/hdf5/plugin" /usr/bin/python3 - "$work/filter.h5" <<'PY'
import sys, h5py, numpy
data = (numpy.arange(64 * 80, dtype=numpy.uint16).reshape(64, 80) * 7) % 4001
with h5py.File(sys.argv[1], "w") as f:
    f.create_dataset("d", data=data, chunks=(64, 80), compression=356)
with h5py.File(sys.argv[1], "r") as f:
    assert f["d"].id.read_direct_chunk((0, 0))[1][:4] == b"NVZ\x01" and (f["d"][...] == data).all()
PY
fi

if command -v dpkg-shlibdeps >/dev/null && [ -f "$build/CPackConfig.cmake" ]; then
  step "Debian package"
  (cd "$build" && cpack --config CPackConfig.cmake -G DEB -B "$work/deb" >/dev/null)
  package=$(ls "$work"/deb/*.deb)
  depends=$(dpkg-deb -f "$package" Depends)
  echo "$(basename "$package"): Depends: $depends"
  needed_list="libzstd libtiff libjsoncpp libc6"
  [ -n "$package_init" ] && needed_list="$needed_list python3-numpy"
  for needed in $needed_list; do
    grep -q "$needed" <<<"$depends" || { echo "Depends lacks $needed"; exit 1; }
  done
  dpkg-deb -c "$package" | grep -q '/usr/share/nivra/README' || { echo "package lacks the calibration folder"; exit 1; }
fi
echo "install test passed"
