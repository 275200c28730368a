#!/usr/bin/python3
"""Writes samples/sample-16bit.tif: a synthetic 16-bit microscope-like image (fluorescent
spots on a dim background with shot and read noise), made once and committed.

Run with Debian's Python (it has tifffile and numpy): /usr/bin/python3 scripts/make-sample.py
"""
import pathlib

import numpy as np
import tifffile

rng = np.random.default_rng(20261208)
height, width = 384, 512
y, x = np.mgrid[0:height, 0:width].astype(np.float64)

signal = 40.0 + 20.0 * x / width  # uneven illumination
for _ in range(60):
    cy, cx = rng.uniform(0, height), rng.uniform(0, width)
    radius, brightness = rng.uniform(3, 12), rng.uniform(200, 2500)
    signal += brightness * np.exp(-((y - cy) ** 2 + (x - cx) ** 2) / (2 * radius**2))

gain, black_level, read_noise = 0.8, 100.0, 2.5
electrons = rng.poisson(signal / gain)
values = black_level + gain * electrons + rng.normal(0, read_noise, signal.shape)
image = np.clip(np.rint(values), 0, 4095).astype(np.uint16)

out = pathlib.Path(__file__).resolve().parent.parent / "samples" / "sample-16bit.tif"
tifffile.imwrite(out, image, photometric="minisblack", description="tarn synthetic sample")
print(out, out.stat().st_size, "bytes")
