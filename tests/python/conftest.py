"""Shared fixtures of the Python tests: the real sample files and a test calibration.

Run with Debian's interpreter and the build tree on the path:
    PYTHONPATH=build/python /usr/bin/python3 -m pytest tests/python
"""
import json
import os
import pathlib

import numpy as np
import pytest

import tarn

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
SHARED = pathlib.Path(os.environ.get("TARN_SHARED_DIR", REPOSITORY.parent / "shared"))
REAL_SAMPLES = SHARED / "fixtures" / "real"
SYNTHETIC_SAMPLE = REPOSITORY / "samples" / "sample-16bit.tif"


def real_samples():
    """Every real sample file, or none when the shared folder is absent."""
    if not REAL_SAMPLES.is_dir():
        return []
    return sorted(p for p in REAL_SAMPLES.iterdir() if p.is_file() and p.suffix != ".md")


def uncompressed_tiff_planes():
    """(name, plane) for every 2-D uint16 plane of the real TIFFs tifffile reads without extra codecs."""
    import tifffile

    planes = []
    for path in real_samples():
        if not path.name.startswith("tif-"):
            continue
        with tifffile.TiffFile(path) as tiff:
            for index, page in enumerate(tiff.pages):
                if page.dtype == np.uint16 and page.compression == 1 and len(page.shape) == 2:
                    planes.append((f"{path.name}[{index}]", page.asarray()))
    return planes


@pytest.fixture(scope="session", autouse=True)
def quiet_library_log():
    # The library logs every failure on standard output; the tests provoke many.
    tarn.set_log_level("off")


CALIBRATION_ID = "Testcam_T1_ISO800"


@pytest.fixture
def calibration(tmp_path):
    """A registered monochrome camera calibration; the registry is emptied afterwards."""
    path = tmp_path / "testcam.json"
    camera = {"identifier": CALIBRATION_ID, "gain": 0.5, "black_level": 100, "sigma": 2.0, "white_level": 65535}
    path.write_text(json.dumps({"format": "nivra-calibration", "version": 1, "cameras": [camera]}))
    assert tarn.load_calibration(path) == 1
    yield CALIBRATION_ID
    tarn.clear_calibration()
