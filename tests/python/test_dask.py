"""tarn.dask.compress_files on a real local cluster of two worker processes."""
import filecmp
import os
import shutil

import pytest
from distributed import Client, LocalCluster

import tarn
import tarn.dask
from conftest import SYNTHETIC_SAMPLE, real_samples


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) as cluster:
        with Client(cluster) as client:
            yield client


def test_compress_files_on_two_worker_processes(client, tmp_path):
    sources = [shutil.copy(SYNTHETIC_SAMPLE, tmp_path / f"image-{i}.tif") for i in range(3)]
    sources += [shutil.copy(p, tmp_path) for p in real_samples()[:3]]
    missing = tmp_path / "missing.tif"
    occupied = shutil.copy(SYNTHETIC_SAMPLE, tmp_path / "occupied.tif")
    (tmp_path / "occupied.tif.nivra").write_bytes(b"keep me")

    rows = tarn.dask.compress_files([*sources, missing, occupied], client)

    *done, lost, kept = rows
    for row, source in zip(done, sources):
        assert row.ok and row.source == str(source) and row.output == f"{source}.nivra", row
        assert row.output_bytes < row.input_bytes and row.ratio == row.input_bytes / row.output_bytes
        assert row.worker in client.scheduler_info()["workers"]
        restored = tarn.decompress_file(row.output, tmp_path / "restored")
        assert filecmp.cmp(source, restored, shallow=False)
        os.remove(restored)
    assert (lost.status, lost.output_bytes) == (5, 0) and "missing.tif" in lost.error
    assert kept.status == 6 and (tmp_path / "occupied.tif.nivra").read_bytes() == b"keep me"


def test_outputs_into_a_folder_and_clashing_names(client, tmp_path):
    source = shutil.copy(SYNTHETIC_SAMPLE, tmp_path / "a.tif")
    (tmp_path / "out").mkdir()
    (row,) = tarn.dask.compress_files([source], client, output_dir=tmp_path / "out")
    assert row.ok and row.output == str(tmp_path / "out" / "a.tif.nivra")
    (tmp_path / "b").mkdir()
    other = shutil.copy(SYNTHETIC_SAMPLE, tmp_path / "b" / "a.tif")
    with pytest.raises(ValueError):
        tarn.dask.compress_files([source, other], client, output_dir=tmp_path / "out")
