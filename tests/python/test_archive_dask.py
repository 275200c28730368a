"""Archive.to_dask: a lazy stack of planes computed on a local cluster of two worker processes."""
import numpy as np
import pytest
from distributed import Client, LocalCluster

import tarn
from conftest import real_samples


def test_mean_over_a_stack_on_two_workers(tmp_path):
    source = next((s for s in real_samples() if s.name == "tif-bian-cancer_cell_migration_crop.tif"), None)
    if source is None:
        pytest.skip("no shared samples")
    archive = tarn.open(tarn.compress_file(source, tmp_path / "stack.tif.nivra"))
    stack = archive.to_dask()
    assert stack.shape == (len(archive), *archive.planes[0].shape) and stack.numblocks[0] == len(archive)
    expected = np.stack([archive.plane(i) for i in range(len(archive))]).mean(axis=0)
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) as cluster:
        with Client(cluster) as client:
            mean = stack.mean(axis=0).compute()
            assert len(client.scheduler_info()["workers"]) == 2
    assert np.array_equal(mean, expected)


def test_planes_of_other_shapes_need_choosing(tmp_path):
    source = next((s for s in real_samples() if s.name == "tif-mei-parrot-issue151.tif"), None)
    if source is None:
        pytest.skip("no shared samples")
    archive = tarn.open(tarn.compress_file(source, tmp_path / "one.tif.nivra"))
    assert archive.to_dask(planes=[0]).compute()[0].tolist() == archive.plane(0).tolist()
    with pytest.raises(ValueError):
        archive.to_dask(planes=[])
