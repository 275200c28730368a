"""The Nivra HDF5 filter (libh5nivra) through Debian's libhdf5: h5py writes, h5py and h5dump read."""
import os
import pathlib
import shutil
import subprocess

import numpy as np
import pytest

import tarn

FILTER_ID = 356
PLUGIN_DIR = pathlib.Path(tarn.__file__).resolve().parents[2] / "lib" / "hdf5" / "plugin"
if not (PLUGIN_DIR / "libh5nivra.so").exists():
    pytest.skip("libh5nivra.so not built", allow_module_level=True)
os.environ["HDF5_PLUGIN_PATH"] = str(PLUGIN_DIR)
h5py = pytest.importorskip("h5py")
h5py.h5pl.prepend(os.fsencode(PLUGIN_DIR))

H5DUMP = shutil.which("h5dump")


def images(shape, seed=3):
    """Smooth 12-bit images with noise, like a camera's."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[: shape[-2], : shape[-1]]
    base = 800 + 600 * np.sin(x / 17.0) * np.cos(y / 23.0)
    return (base + rng.normal(0, 12, shape)).clip(0, 4095).astype(np.uint16)


def write(path, data, chunks, dtype=None):
    with h5py.File(path, "w") as f:
        f.create_dataset("stack", data=data, dtype=dtype or data.dtype, chunks=chunks, compression=FILTER_ID)


@pytest.mark.parametrize(
    "shape, chunks, dtype",
    [
        ((6, 300, 200), (2, 128, 128), "<u2"),  # edge chunks, several planes per chunk
        ((300, 200), (300, 200), ">u2"),  # big-endian file type, one plane
        ((2, 3, 64, 96), (1, 3, 64, 96), "<i2"),  # four dimensions, signed
    ],
)
def test_h5py_round_trip_through_the_filter(tmp_path, shape, chunks, dtype):
    data = images(shape).astype(dtype) if dtype != "<i2" else (images(shape).astype(np.int32) - 2000).astype("<i2")
    path = tmp_path / "stack.h5"
    write(path, data, chunks, dtype)
    with h5py.File(path, "r") as f:
        stack = f["stack"]
        plist = stack.id.get_create_plist()
        assert [plist.get_filter(i)[0] for i in range(plist.get_nfilters())] == [FILTER_ID]
        assert np.array_equal(stack[...], data)
        mask, chunk = stack.id.read_direct_chunk((0,) * len(shape))
        assert mask == 0 and chunk[:4] == b"NVZ\x01"  # the filter ran, it did not pass the chunk through
        assert stack.id.get_storage_size() < data.nbytes


def test_chunks_are_the_zarr_codecs_frames(tmp_path):
    import tarn.zarr

    data = images((4, 96, 80))
    write(tmp_path / "stack.h5", data, (2, 96, 80))
    with h5py.File(tmp_path / "stack.h5", "r") as f:
        _, chunk = f["stack"].id.read_direct_chunk((2, 0, 0))
    assert np.array_equal(tarn.zarr.Nivra().decode(chunk), data[2:4])


@pytest.mark.skipif(H5DUMP is None, reason="h5dump (hdf5-tools) not installed")
def test_h5dump_reads_what_h5py_wrote(tmp_path):
    data = images((3, 70, 90))
    write(tmp_path / "stack.h5", data, (1, 70, 90))
    out = tmp_path / "stack.bin"
    env = dict(os.environ, HDF5_PLUGIN_PATH=str(PLUGIN_DIR))
    subprocess.run([H5DUMP, "-d", "/stack", "-b", "LE", "-o", str(out), str(tmp_path / "stack.h5")],
                   check=True, env=env, capture_output=True)
    assert out.read_bytes() == data.astype("<u2").tobytes()


def test_a_damaged_chunk_is_an_error_never_other_values(tmp_path):
    data = images((4, 120, 100))
    path = tmp_path / "stack.h5"
    write(path, data, (1, 120, 100))
    with h5py.File(path, "r") as f:
        info = f["stack"].id.get_chunk_info(2)
    raw = bytearray(path.read_bytes())
    raw[info.byte_offset + info.size // 2] ^= 0x08
    path.write_bytes(raw)
    with h5py.File(path, "r") as f:
        stack = f["stack"]
        assert np.array_equal(stack[0:2], data[0:2]) and np.array_equal(stack[3], data[3])
        with pytest.raises(OSError):
            stack[2]
    if H5DUMP is not None:
        env = dict(os.environ, HDF5_PLUGIN_PATH=str(PLUGIN_DIR))
        done = subprocess.run([H5DUMP, "-d", "/stack", "-b", "LE", "-o", str(tmp_path / "x.bin"), str(path)],
                              env=env, capture_output=True)
        assert done.returncode != 0
