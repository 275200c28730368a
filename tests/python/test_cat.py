"""`tarn cat`: planes as TIFFs and byte ranges of compressed files, without restoring them."""
import pathlib
import subprocess

import numpy as np
import pytest

import tarn
from conftest import real_samples

TARN = pathlib.Path(tarn.__file__).resolve().parents[2] / "bin" / "tarn"
if not TARN.exists():
    pytest.skip("tarn program not built", allow_module_level=True)
SOURCE = next((s for s in real_samples() if s.name == "tif-ijhyper-pyimagej-test_4_channel.tif"), None)


def cat(*arguments):
    return subprocess.run([str(TARN), "cat", *map(str, arguments)], capture_output=True)


@pytest.fixture
def archive(tmp_path):
    if SOURCE is None:
        pytest.skip("no shared samples")
    return tarn.compress_file(SOURCE, tmp_path / (SOURCE.name + ".nivra"))


def test_lists_planes_and_writes_one_as_tiff(archive, tmp_path):
    import tifffile

    listing = cat(archive)
    assert listing.returncode == 0, listing.stderr
    lines = listing.stdout.decode().splitlines()
    assert len(lines) == 4 and "channel=2" in lines[2] and "500x500" in lines[2]
    done = cat(archive, "--plane", 2, "-o", tmp_path / "plane.tif")
    assert done.returncode == 0, done.stderr
    with tifffile.TiffFile(SOURCE) as original:
        assert np.array_equal(tifffile.imread(tmp_path / "plane.tif"), original.pages[2].asarray())
    again = cat(archive, "--plane", 2, "-o", tmp_path / "plane.tif")
    assert again.returncode == 1 and b"exists" in again.stderr
    assert cat(archive, "--plane", 9, "-o", tmp_path / "none.tif").returncode == 1
    assert not (tmp_path / "none.tif").exists()


def test_writes_byte_ranges_of_the_original(archive, tmp_path):
    original = SOURCE.read_bytes()
    for offset, size in [(0, 8), (1000, 700_000), (len(original) - 5, 5)]:
        done = cat(archive, "--range", f"{offset}:{size}")
        assert done.returncode == 0 and done.stdout == original[offset : offset + size], (offset, size)
    assert cat(archive, "--range", f"{len(original)}:1").returncode == 1
    assert cat(archive, "--range", "12").returncode == 2
    done = cat(archive, "--range", "100:5000", "-o", tmp_path / "part.bin")
    assert done.returncode == 0 and (tmp_path / "part.bin").read_bytes() == original[100:5100]


def test_damage_fails_with_its_cause_and_writes_nothing(archive, tmp_path):
    plane = tarn.open(archive).planes[1]
    data = bytearray(pathlib.Path(archive).read_bytes())
    data[plane.archive_offset + 100] ^= 0x01
    pathlib.Path(archive).write_bytes(data)
    done = cat(archive, "--plane", 1, "-o", tmp_path / "plane.tif")
    assert done.returncode == 1 and b"chunk" in done.stderr
    assert list(tmp_path.glob("plane.tif*")) == []
    assert cat(archive, "--plane", 0, "-o", tmp_path / "zero.tif").returncode == 0
