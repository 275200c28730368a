"""tarn.calibration: the noise model measured from arrays and files, saved, loaded, drawn."""
import numpy as np
import pytest

import tarn
from conftest import REAL_SAMPLES

rng = np.random.default_rng(19)


def sensor_stack(frames, gain, black, sigma, shape=(96, 128)):
    """A gradient scene seen by a Poisson-Gaussian sensor, `frames` times."""
    electrons = np.linspace(50, 8000, shape[1])[None, :].repeat(shape[0], axis=0)
    stack = black + gain * rng.poisson(electrons, (frames,) + shape) + rng.normal(0, sigma, (frames,) + shape)
    return np.clip(np.round(stack), 0, 65535).astype(np.uint16)


def true_sd(mean, gain, black, sigma):
    return np.sqrt(gain * (mean - black) + sigma**2)


@pytest.mark.parametrize("form", ["3-D array", "list of frames", "single image"])
def test_estimate_meets_the_known_model(form):
    gain, black, sigma = 1.5, 200.0, 4.0
    stack = sensor_stack(12, gain, black, sigma, shape=(256, 256) if form == "single image" else (96, 128))
    data = {"3-D array": stack, "list of frames": list(stack), "single image": stack[0]}[form]
    model = tarn.calibration.estimate(data, identifier="Synthetic")
    assert model.method == ("single" if form == "single image" else "stack")
    tolerance = 0.10 if form == "single image" else 0.05
    for mean in np.percentile(stack, [10, 50, 90]):
        error = model.noise_sd(mean) / true_sd(mean, gain, black, sigma) - 1
        assert -tolerance <= error <= 0.03, (form, mean, error)


def test_save_loads_into_the_registry_and_never_overwrites(tmp_path):
    model = tarn.calibration.estimate(sensor_stack(8, 2.0, 100.0, 3.0), identifier="Saved")
    path = model.save(tmp_path / "saved.json")
    with pytest.raises(FileExistsError):
        model.save(path)
    assert tarn.load_calibration(path) == 1
    try:
        prepared = tarn.nivra.prepare(sensor_stack(1, 2.0, 100.0, 3.0)[0], "Saved", seed=1)
        assert prepared.dtype == np.uint16
    finally:
        tarn.clear_calibration()


def test_plot_draws_the_curve(tmp_path):
    pytest.importorskip("matplotlib")
    model = tarn.calibration.estimate(sensor_stack(8, 2.0, 100.0, 3.0))
    path = model.plot(tmp_path / "ptc.png")
    assert open(path, "rb").read(8) == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("name, data", [
    ("constant", np.full((64, 64), 300, np.uint16)),
    ("8-bit", sensor_stack(4, 0.03, 5.0, 1.0)),
    ("scaled from 12 bits", sensor_stack(4, 0.4, 20.0, 2.0) << 4),
])
def test_refusals_say_why(name, data):
    with pytest.raises(tarn.calibration.EstimateRefused, match="cannot estimate the noise model"):
        tarn.calibration.estimate(data)


@pytest.mark.skipif(not (REAL_SAMPLES / "nd2-arcadia-timelapse.nd2").exists(), reason="shared real samples absent")
def test_files_are_read_as_the_command_reads_them(tmp_path):
    model = tarn.calibration.estimate(REAL_SAMPLES / "nd2-arcadia-timelapse.nd2", identifier="Scope")
    assert model.method == "stack" and model.planes == 53
    assert model.sources == ["nd2-arcadia-timelapse.nd2"]
    assert "nd2-arcadia-timelapse.nd2" in open(model.save(tmp_path / "scope.json")).read()
