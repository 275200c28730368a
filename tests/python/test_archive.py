"""tarn.open: planes and byte ranges of compressed files read in place, checked like restores."""
import logging
import random
import shutil

import numpy as np
import pytest

import tarn
from conftest import SYNTHETIC_SAMPLE, real_samples

SAMPLES = [SYNTHETIC_SAMPLE, *real_samples()]


@pytest.fixture(scope="module")
def archives(tmp_path_factory):
    """{sample path: its compressed file}, made once for the module."""
    folder = tmp_path_factory.mktemp("archives")
    return {source: tarn.compress_file(source, folder / (source.name + ".nivra")) for source in SAMPLES}


def tifffile_plane(tiff, plane):
    """The plane as tifffile reads it: the page whose data starts where the plane does, else
    the ImageJ stack's image at the plane's place."""
    for page in tiff.pages:
        if page.dataoffsets and page.dataoffsets[0] == plane.source_offset:
            if page.samplesperpixel > 1 and plane.channels == 1:
                # The TIFF reader describes a contiguous RGB image as one plane of its
                # first width x height samples; the rest stays opaque data.
                return page.asarray().reshape(-1)[: plane.width * plane.height].reshape(plane.shape)
            return page.asarray()
    index = plane.position.get("image")
    if index is None and "channel" in plane.position:
        meta = tiff.imagej_metadata
        channels, slices = meta.get("channels", 1), meta.get("slices", 1)
        p = plane.position
        index = p["channel"] + channels * (p["slice"] + slices * p["frame"])
    assert index is not None, f"no page of the original holds {plane}"
    return tiff.series[0].asarray().reshape((-1, *plane.shape))[index]


def bytes_plane(original, plane):
    """The plane cut from the original's bytes where the source's reader located it."""
    row = plane.width * plane.channels * plane.dtype.itemsize
    data = np.frombuffer(original, np.uint8)
    block = data[plane.source_offset : plane.source_offset + plane.row_bytes * plane.height]
    rows = block.reshape(plane.height, plane.row_bytes)[:, :row]
    return np.ascontiguousarray(rows).view(plane.dtype).reshape(plane.shape)


@pytest.mark.parametrize("source", SAMPLES, ids=[p.name for p in SAMPLES])
def test_every_plane_equals_the_original(source, archives):
    archive = tarn.open(archives[source])
    assert archive.size == source.stat().st_size
    if source.suffix.lower() in (".tif", ".tiff"):
        import tifffile

        with tifffile.TiffFile(source) as tiff:
            for plane in archive.planes:
                expected = tifffile_plane(tiff, plane)
                # The chunk table knows a sample's width, not whether it is signed.
                assert np.array_equal(archive.plane(plane.index).view(expected.dtype), expected), plane
    else:
        original = source.read_bytes()
        for plane in archive.planes:
            got = archive.plane(plane.index)
            assert got.dtype.isnative and got.shape == plane.shape
            assert np.array_equal(got, bytes_plane(original, plane)), plane


@pytest.mark.parametrize("name", ["tif-bian-cancer_cell_migration_crop.tif", "nd2-arcadia-timelapse.nd2",
                                  "czi-czitools-S3_1Pos_2Mosaic_T2Z3_CH2_sm.czi", "tif-mei-BigTIFFMotorola.tif"])
def test_random_ranges_equal_the_original_bytes(name, archives):
    source = next((s for s in SAMPLES if s.name == name), None)
    if source is None:
        pytest.skip("no shared samples")
    original = source.read_bytes()
    archive = tarn.open(archives[source])
    rng = random.Random(name)
    for _ in range(60):
        offset = rng.randrange(len(original))
        size = min(rng.choice([1, 17, 4096, 200_000]), len(original) - offset)
        assert archive.read(offset, size) == original[offset : offset + size], (offset, size)
    assert archive.read(0, len(original)) == original
    assert archive.read(len(original), 0) == b""
    with pytest.raises(IndexError):
        archive.read(len(original) - 3, 4)


def test_positions_come_from_the_original_headers(archives):
    by_name = {s.name: s for s in SAMPLES}
    if "tif-ijhyper-pyimagej-test_4_channel.tif" not in by_name:
        pytest.skip("no shared samples")
    hyper = tarn.open(archives[by_name["tif-ijhyper-pyimagej-test_4_channel.tif"]])
    assert [p.position for p in hyper.planes] == [
        {"directory": k, "channel": k, "slice": 0, "frame": 0} for k in range(4)
    ]
    nd2 = tarn.open(archives[by_name["nd2-arcadia-timelapse.nd2"]])
    assert [p.position for p in nd2.planes] == [{"sequence": k} for k in range(53)]
    czi = tarn.open(archives[by_name["czi-czitools-CellDivision_T3_Z5_CH2_X240_Y170.czi"]])
    seen = {(p.position["C"], p.position["Z"], p.position["T"]) for p in czi.planes}
    assert seen == {(c, z, t) for c in range(2) for z in range(5) for t in range(3)}


def test_a_flipped_bit_fails_that_plane_only(archives, tmp_path):
    source = next((s for s in SAMPLES if s.name == "tif-bian-cancer_cell_migration_crop.tif"), None)
    if source is None:
        pytest.skip("no shared samples")
    path = shutil.copy(archives[source], tmp_path / "damaged.tif.nivra")
    intact = tarn.open(path)
    victim = intact.planes[7]
    data = bytearray(open(path, "rb").read())
    data[victim.archive_offset + victim.stored_length // 3] ^= 0x04
    open(path, "wb").write(data)
    damaged = tarn.open(path)
    for plane in damaged.planes:
        if plane.index == victim.index:
            with pytest.raises(tarn.Error) as failure:
                damaged.plane(plane.index)
            assert failure.value.status == 7
        else:
            assert np.array_equal(damaged.plane(plane.index), intact.plane(plane.index))
    with pytest.raises(tarn.Error):
        damaged.read(victim.source_offset, 2)


def test_prepared_planes_are_marked_lossy(calibration, tmp_path):
    path = tarn.prepare_and_compress_file(SYNTHETIC_SAMPLE, tmp_path / "prepared.tif.nivra", calibration)
    archive = tarn.open(path)
    assert archive.planes and all(p.lossy for p in archive.planes)
    with pytest.warns(tarn.archive.LossyPlaneWarning):
        archive.plane(0)
    plain = tarn.open(tarn.compress_file(SYNTHETIC_SAMPLE, tmp_path / "plain.tif.nivra"))
    assert not any(p.lossy for p in plain.planes)


def test_what_is_not_an_archive_is_refused(tmp_path):
    (tmp_path / "text.nivra").write_text("not compressed\n" * 100)
    cases = [(tmp_path / "text.nivra", 7), (tmp_path / "missing.nivra", 5)]
    for path, status in cases:
        with pytest.raises(tarn.Error) as failure:
            tarn.open(path)
        assert failure.value.status == status, path


def test_library_log_goes_to_python_logging_not_standard_output(tmp_path, caplog, capfd):
    damaged = tmp_path / "damaged.nivra"
    damaged.write_bytes(b"\0" * 4000)
    tarn.set_log_level("warning")
    try:
        with caplog.at_level(logging.WARNING, logger="tarn"), pytest.raises(tarn.Error):
            tarn.decompress_file(damaged, tmp_path / "out")
    finally:
        tarn.set_log_level("off")
    records = [r for r in caplog.records if r.name == "tarn"]
    assert records and records[-1].levelno == logging.ERROR
    assert "damaged.nivra" in records[-1].getMessage()
    assert capfd.readouterr().out == ""
