"""The camera's noise model measured from its own images (a photon-transfer curve).

Pixel values follow x = b + g·Poisson(λ) + N(0, σ²), so the noise variance is a line in
the mean: var = g·mean + c with c = σ² − g·b. `estimate` measures g and c from stacks of
frames of one field (differences of consecutive frames), from single images (smooth
regions) or with dark frames, and keeps the lower confidence bound of the variance: a
model that is too large would remove signal. Data that cannot support an estimate
(too few samples, a narrow range, saturation, prepared, 8-bit or processed values, a
variance that does not grow or is not a line) raises `EstimateRefused`.

    model = tarn.calibration.estimate(["series.nd2"], identifier="Scope")
    model.save("scope.json")        # a calibration file: tarn.load_calibration("scope.json")
    model.plot("scope-ptc.png")     # the curve, the fitted line and its band
"""
import math
import os

from ._tarn import calibration as _calibration

EstimateRefused = _calibration.EstimateRefused


def user_folder():
    """The user's calibration folder every `tarn` command loads ($XDG_CONFIG_HOME/nivra)."""
    config = os.environ.get("XDG_CONFIG_HOME", "")
    if not os.path.isabs(config):
        config = os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(config, "nivra")


class NoiseModel:
    """A measured noise model with the data it was fitted to.

    ``gain`` (digital numbers per electron), ``black_level``, ``read_noise`` (digital
    numbers) and ``white_level`` are what a calibration file stores; ``intercept`` is
    c = read_noise² − gain·black_level. ``samples`` lists (mean, variance, standard
    error, use) per intensity bin, use being "fitted", "clipped" or "outlier".
    """

    def __init__(self, fields, identifier, sources):
        self._fields = fields
        self.identifier = identifier
        self.sources = sources
        for key, value in fields.items():
            if not key.startswith("_"):
                setattr(self, key, value)

    def variance(self, mean):
        """Noise variance of the kept model at ``mean`` (digital numbers)."""
        return self.gain * mean + self.intercept

    def noise_sd(self, mean):
        """Noise standard deviation of the kept model at ``mean``."""
        return math.sqrt(max(0.0, self.variance(mean)))

    def fit_band(self, mean):
        """(low, high): the central fit at ``mean`` ± z standard errors."""
        a, b, c = self.fit_covariance
        error = math.sqrt(max(0.0, a * mean * mean + 2 * b * mean + c))
        centre = self.fit_slope * mean + self.fit_intercept
        return centre - self.z * error, centre + self.z * error

    def __repr__(self):
        return (f"NoiseModel(gain={self.gain:.4g}, black_level={self.black_level:.6g}, "
                f"read_noise={self.read_noise:.4g}, white_level={self.white_level}, method={self.method!r})")

    def __str__(self):
        return self.description

    def save(self, path=None, *, identifier=None, overwrite=False):
        """Writes the calibration file (libnivra's form) and returns its path.

        Without ``path`` it goes to the user's calibration folder as IDENTIFIER.json, where
        every `tarn` command finds it. An existing file is replaced only with ``overwrite``.
        """
        identifier = identifier or self.identifier
        if not identifier:
            raise ValueError("no identifier: the images name no camera; give identifier=NAME")
        if path is None:
            safe = "".join(c if c.isalnum() or c in "._-" else "_" for c in identifier)
            path = os.path.join(user_folder(), safe + ".json")
        path = os.fspath(path)
        if os.path.lexists(path) and not overwrite:
            raise FileExistsError(f"{path} already exists; pass overwrite=True to replace it")
        folder = os.path.dirname(path)
        if folder:
            os.makedirs(folder, exist_ok=True)
        text = _calibration.file_text(self._fields["_model"], identifier, self.sources)
        partial = f"{path}.{os.getpid()}.partial"
        with open(partial, "w", encoding="utf-8") as out:
            out.write(text)
        os.replace(partial, path)
        return path

    def plot(self, path):
        """Draws the photon-transfer curve as a PNG: the measured variance against the mean,
        the fitted line with its confidence band, the kept (lower-bound) line and the
        samples that were left out."""
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        figure, axes = plt.subplots(figsize=(7.5, 5), dpi=120)
        styles = {"fitted": ("o", "tab:blue", "fitted bins"),
                  "clipped": ("x", "tab:red", "left out: touch 0 or the white level"),
                  "outlier": ("x", "tab:orange", "left out: off the line")}
        for use, (marker, colour, label) in styles.items():
            points = [s for s in self.samples if s[3] == use]
            if points:
                axes.errorbar([p[0] for p in points], [p[1] for p in points], yerr=[p[2] for p in points],
                              fmt=marker, color=colour, markersize=4, capsize=2, label=label)
        means = [s[0] for s in self.samples]
        low, high = min(means), max(means)
        xs = [low * (high / low) ** (i / 200) if low > 0 else low + (high - low) * i / 200 for i in range(201)]
        band = [self.fit_band(x) for x in xs]
        axes.fill_between(xs, [b[0] for b in band], [b[1] for b in band], color="tab:blue", alpha=0.2,
                          label=f"fit ± {self.z:.2f} standard errors")
        axes.plot(xs, [self.fit_slope * x + self.fit_intercept for x in xs], color="tab:blue", linewidth=1,
                  label="fit")
        axes.plot(xs, [self.variance(x) for x in xs], color="black", linestyle="--", linewidth=1.2,
                  label=f"kept: gain {self.gain:.4g} DN/e-, c {self.intercept:.4g}")
        fit_low, fit_high = self.intensity_range
        axes.axvspan(fit_low, fit_high, color="grey", alpha=0.06, label="intensities covered")
        if high > 10 * max(low, 1e-9) and min(s[1] for s in self.samples) > 0:
            axes.set_xscale("log")
            axes.set_yscale("log")
        axes.set_xlabel("mean (DN)")
        axes.set_ylabel("noise variance (DN²)")
        name = self.identifier or "noise model"
        axes.set_title(f"{name}: black level {self.black_level:.6g}, read noise {self.read_noise:.4g} DN, "
                       f"white level {self.white_level}\n{self.method_description}, rms deviation "
                       f"{100 * self.relative_rms:.2f}%", fontsize=9)
        axes.legend(fontsize=8, loc="upper left")
        axes.grid(True, alpha=0.3)
        figure.tight_layout()
        figure.savefig(os.fspath(path), format="png")
        plt.close(figure)
        return path


def read_planes(path):
    """[(series, array)]: every uncompressed 16-bit plane Tarn's readers find in the file, in
    file order, as 2-D uint16 arrays; ``series`` names the plane's size and channel."""
    return _calibration.read_planes(os.fspath(path))


def estimate(arrays_or_paths, *, identifier=None, method="auto", cfa=None, white_level=None,
             black_level=None, dark=None, confidence=0.95):
    """Measures the noise model and returns a `NoiseModel`.

    ``arrays_or_paths``: a path, a 2-D uint16 array (one image), a 3-D array (frames of one
    field along the first axis), or a list of these and of lists of 2-D arrays (each list the
    frames of one field). A path gives every uncompressed 16-bit plane Tarn's readers find;
    consecutive planes that show one field become a stack. ``method``: "auto" (stacks when
    any holds two frames, else single images), "stack" or "single". ``cfa`` names a colour
    filter ("kBayerRG", ...), ``white_level`` and ``black_level`` override what the data or
    the files say, ``dark`` takes frames without light in the same forms. ``identifier``
    defaults to the camera's (Make_Model_ISO) when the files name one.
    """
    import numpy as np

    def items(value):
        if value is None:
            return []
        if isinstance(value, (str, os.PathLike)) or isinstance(value, np.ndarray):
            return [value]
        return list(value)

    listed = items(arrays_or_paths)
    # A list of 2-D arrays is the frames of one field.
    if listed and all(isinstance(v, np.ndarray) and v.ndim == 2 for v in listed) and len(listed) > 1:
        listed = [listed]
    dark_items = items(dark)
    if dark_items and all(isinstance(v, np.ndarray) and v.ndim == 2 for v in dark_items):
        dark_items = [dark_items] if len(dark_items) > 1 else dark_items
    fields = _calibration.estimate(listed, method=method, cfa=cfa, white_level=white_level,
                                   black_level=black_level, dark=dark_items, confidence=confidence)
    sources = [os.path.basename(os.fspath(v)) for v in items(arrays_or_paths) if isinstance(v, (str, os.PathLike))]
    if not sources:
        sources = ["arrays"]
    return NoiseModel(fields, identifier or fields.get("camera_identifier"), sources)


__all__ = ["EstimateRefused", "NoiseModel", "estimate", "read_planes", "user_folder"]
