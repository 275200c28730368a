"""Noise models measured on the shared real time series: do independent measurements agree?

    PYTHONPATH=build/python /usr/bin/python3 bench/calibration/real_agreement.py [FILE...]

For every series (one channel of one file) of four frames or more:
  - the stack estimate from the first half of the frames against the one from the second
    half (target: within 10%);
  - the single-image estimate (every frame measured on its own, pooled) against the stack
    estimate from all frames (target: within 15%).
Agreement is the largest relative difference of the noise standard deviation the two
models give at the 10th, 50th and 90th percentile of the series' values that lie inside the
intensities both fits cover. The fit figures of each estimate are printed beside it.
A refusal is printed with its reason and counts as no figure, not as agreement.
"""
import pathlib
import sys

import numpy as np

import tarn

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
REAL = REPOSITORY.parent / "shared" / "fixtures" / "real"
TIME_SERIES = [
    "nd2-arcadia-timelapse.nd2",
    "nd2-pims-cluster.nd2",
    "tif-bian-cancer_cell_migration_crop.tif",
    "czi-czitools-CellDivision_T3_Z5_CH2_X240_Y170.czi",
    "czi-czitools-Airyscan.czi",
    "tif-ijstack-pims-tiff_stack.tif",
]
HALVES_TARGET = 0.10
SINGLE_TARGET = 0.15
MIN_FRAMES = 4


def series_of(path):
    series = {}
    for name, array in tarn.calibration.read_planes(path):
        series.setdefault(name, []).append(array)
    return series


def attempt(frames, method):
    try:
        return tarn.calibration.estimate(frames if method == "stack" else list(frames), method=method), None
    except tarn.calibration.EstimateRefused as refused:
        return None, str(refused).replace("cannot estimate the noise model: ", "")


def disagreement(a, b, values):
    low = max(a.intensity_range[0], b.intensity_range[0])
    high = min(a.intensity_range[1], b.intensity_range[1])
    inside = values[(values >= low) & (values <= high)]
    points = np.percentile(inside, [10, 50, 90]) if inside.size else [0.5 * (low + high)]
    if low > high:
        return None, []
    worst = max(abs(a.noise_sd(m) - b.noise_sd(m)) / (0.5 * (a.noise_sd(m) + b.noise_sd(m))) for m in points)
    return worst, points


def describe(model):
    fitted = sum(1 for s in model.samples if s[3] == "fitted")
    return (f"gain {model.gain:.4g}, c {model.intercept:.4g}, range {model.intensity_range[0]:.0f}-"
            f"{model.intensity_range[1]:.0f}, {fitted}/{len(model.samples)} bins, rms {100 * model.relative_rms:.1f}%")


def verdict(value, target):
    if value is None:
        return "no figure"
    return f"{100 * value:5.1f}% ({'met' if value <= target else 'NOT MET'}, target {100 * target:.0f}%)"


def main(arguments):
    files = [pathlib.Path(a) for a in arguments] or [REAL / name for name in TIME_SERIES]
    rows = []
    for path in files:
        if not path.exists():
            print(f"{path.name}: absent")
            continue
        for name, frames in series_of(path).items():
            if len(frames) < MIN_FRAMES:
                print(f"{path.name} [{name}]: {len(frames)} frames, fewer than {MIN_FRAMES}: skipped")
                continue
            stack = np.stack(frames)
            values = stack.ravel().astype(np.float64)
            half = len(frames) // 2
            full, full_why = attempt(stack, "stack")
            first, first_why = attempt(stack[:half], "stack")
            second, second_why = attempt(stack[half:], "stack")
            single, single_why = attempt(frames, "single")
            print(f"{path.name} [{name}], {len(frames)} frames of {frames[0].shape[1]}x{frames[0].shape[0]}")
            for label, model, why in (("all frames", full, full_why), ("first half", first, first_why),
                                      ("second half", second, second_why), ("single images", single, single_why)):
                print(f"  {label:13s} {describe(model) if model else 'refused: ' + why}")
            halves = disagreement(first, second, values)[0] if first and second else None
            single_vs_stack = disagreement(single, full, values)[0] if single and full else None
            print(f"  halves agree within        {verdict(halves, HALVES_TARGET)}")
            print(f"  single vs stack within     {verdict(single_vs_stack, SINGLE_TARGET)}")
            rows.append((f"{path.name} [{name}]", halves, single_vs_stack))
    print()
    print(f"{'series':60s} {'halves':>8s} {'single':>8s}")
    for name, halves, single in rows:
        show = lambda v: "-" if v is None else f"{100 * v:.1f}%"
        print(f"{name:60s} {show(halves):>8s} {show(single):>8s}")
    measured_halves = [h for _, h, _ in rows if h is not None]
    measured_single = [s for _, _, s in rows if s is not None]
    if measured_halves:
        print(f"halves: {sum(h <= HALVES_TARGET for h in measured_halves)} of {len(measured_halves)} measured series "
              f"within {100 * HALVES_TARGET:.0f}% ({'met' if all(h <= HALVES_TARGET for h in measured_halves) else 'NOT MET'})")
    if measured_single:
        print(f"single vs stack: {sum(s <= SINGLE_TARGET for s in measured_single)} of {len(measured_single)} measured "
              f"series within {100 * SINGLE_TARGET:.0f}% "
              f"({'met' if all(s <= SINGLE_TARGET for s in measured_single) else 'NOT MET'})")


if __name__ == "__main__":
    main(sys.argv[1:])
