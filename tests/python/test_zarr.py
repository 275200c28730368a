"""tarn.zarr.Nivra: zarr arrays written and read back exactly, and damaged chunks refused."""
import os
import subprocess
import sys

import numcodecs
import numpy as np
import pytest
import zarr

import tarn
import tarn.zarr

rng = np.random.default_rng(7)


@pytest.mark.parametrize(
    "shape, chunks, order",
    [
        ((300, 200), (128, 128), "C"),  # 2-D chunks, partial edge chunks
        ((5, 300, 200), (2, 128, 128), "C"),  # stacks of planes
        ((5, 300, 200), (2, 128, 128), "F"),
        ((2, 3, 64, 48), (1, 2, 64, 48), "C"),  # 4-D
    ],
)
def test_array_written_and_read_back_exactly(tmp_path, shape, chunks, order):
    data = np.clip(rng.normal(2000, 50, shape), 0, 65535).astype(np.uint16)
    path = str(tmp_path / "cells.zarr")
    written = zarr.open(path, mode="w", shape=shape, chunks=chunks, dtype="uint16", order=order,
                        compressor=tarn.zarr.Nivra())
    written[:] = data
    read = zarr.open(path, mode="r")
    assert read.compressor == tarn.zarr.Nivra()
    np.testing.assert_array_equal(read[:], data)
    corner = tuple(slice(1, s - 1) for s in shape)  # partial chunks through the general path
    np.testing.assert_array_equal(read[corner], data[corner])
    assert read.nbytes_stored < data.nbytes * 0.7


def test_installed_metadata_lets_zarr_find_the_codec_without_importing_it(tmp_path):
    path = str(tmp_path / "a.zarr")
    data = rng.integers(0, 4096, (64, 64), dtype=np.uint16)
    zarr.save_array(path, data, chunks=(32, 32), compressor=tarn.zarr.Nivra())
    np.save(tmp_path / "expected.npy", data)
    script = "import sys, numpy, zarr; assert (zarr.open(sys.argv[1])[:] == numpy.load(sys.argv[2])).all()"
    subprocess.run([sys.executable, "-c", script, path, str(tmp_path / "expected.npy")], check=True, env=os.environ)


def test_codec_config_and_decode_into_any_buffer():
    codec = numcodecs.get_codec({"id": "nivra", "verify": False})
    assert isinstance(codec, tarn.zarr.Nivra) and codec.get_config() == {"id": "nivra", "verify": False}
    chunk = rng.integers(0, 65536, (3, 20, 30), dtype=np.uint16)
    frame = codec.encode(chunk)
    for out in (np.empty_like(chunk), np.empty(chunk.size, np.uint16), bytearray(chunk.nbytes)):
        codec.decode(frame, out=out)
        assert bytes(out) == chunk.tobytes()


@pytest.mark.parametrize(
    "chunk",
    [np.zeros(16, np.uint16), np.zeros((4, 4), np.float32), np.zeros((4, 4), ">u2"), np.zeros((0, 4), np.uint16),
     b"ab"],
    ids=["1-D", "float32", "big-endian", "empty", "bytes"],
)
def test_chunks_the_codec_does_not_take_are_refused(chunk):
    with pytest.raises(ValueError):
        tarn.zarr.Nivra().encode(chunk)


FRAME = tarn.zarr.Nivra().encode(rng.integers(0, 1000, (2, 16, 16), dtype=np.uint16))


def flipped(position):
    data = bytearray(FRAME)
    data[position] ^= 0x01
    return bytes(data)


@pytest.mark.parametrize(
    "data",
    [b"", FRAME[:10], FRAME[:-1], FRAME + b"\0", b"XXXX" + FRAME[4:], *(flipped(p) for p in range(0, len(FRAME), 7))],
)
def test_any_damage_to_a_frame_raises_status_7(data):
    with pytest.raises(tarn.Error) as raised:
        tarn.zarr.Nivra().decode(data)
    assert raised.value.status == 7
