"""tarn.nivra on arrays: exact round trips, the calibrated mode, and refusals."""
import numpy as np
import pytest

import tarn
from conftest import uncompressed_tiff_planes

rng = np.random.default_rng(20240611)


def noisy(shape, mean, sigma):
    return np.clip(rng.normal(mean, sigma, shape), 0, 65535).astype(np.uint16)


SYNTHETIC = {
    "one pixel": np.array([[40000]], dtype=np.uint16),
    "one row": noisy((1, 333), 5000, 40),
    "one column": noisy((257, 1), 5000, 40),
    "odd sides": noisy((37, 91), 1200, 10),
    "full-range random": rng.integers(0, 65536, (64, 80), dtype=np.uint16),
    "12-bit scaled by 16": (rng.integers(0, 4096, (50, 60), dtype=np.uint16) << 4),
    "constant": np.full((40, 40), 65535, dtype=np.uint16),
    "gradient": np.add.outer(np.arange(200), np.arange(300)).astype(np.uint16) * 100,
}


@pytest.mark.parametrize("array", SYNTHETIC.values(), ids=SYNTHETIC.keys())
def test_synthetic_arrays_round_trip_exactly(array):
    stream = tarn.nivra.encode(array)
    assert isinstance(stream, bytes)
    np.testing.assert_array_equal(tarn.nivra.decode(stream, array.shape), array)


REAL_PLANES = uncompressed_tiff_planes()


@pytest.mark.skipif(not REAL_PLANES, reason="shared real samples absent")
def test_real_tiff_planes_round_trip_exactly():
    for name, plane in REAL_PLANES:
        stream = tarn.nivra.encode(plane)
        assert len(stream) < plane.nbytes, name
        np.testing.assert_array_equal(tarn.nivra.decode(stream, plane.shape), plane, err_msg=name)


def test_decode_into_out_and_from_any_bytes_like():
    array = SYNTHETIC["odd sides"]
    stream = tarn.nivra.encode(array)
    out = np.zeros_like(array)
    for data in (stream, bytearray(stream), memoryview(stream), np.frombuffer(stream, np.uint8)):
        out[:] = 0
        assert tarn.nivra.decode(data, array.shape, out=out) is out
        np.testing.assert_array_equal(out, array)


BAD_ARRAYS = {
    "uint8": (np.zeros((8, 8), np.uint8), ValueError),
    "int16": (np.zeros((8, 8), np.int16), ValueError),
    "float32": (np.zeros((8, 8), np.float32), ValueError),
    "big-endian uint16": (np.zeros((8, 8), ">u2"), ValueError),
    "1-D": (np.zeros(64, np.uint16), ValueError),
    "3-D": (np.zeros((2, 8, 8), np.uint16), ValueError),
    "empty": (np.zeros((0, 8), np.uint16), ValueError),
    "transposed view": (np.zeros((8, 9), np.uint16).T, ValueError),
    "strided view": (np.zeros((8, 16), np.uint16)[:, ::2], ValueError),
    "list": ([[1, 2], [3, 4]], TypeError),
}


@pytest.mark.parametrize("array, error", BAD_ARRAYS.values(), ids=BAD_ARRAYS.keys())
def test_arrays_the_codec_does_not_take_are_refused(array, error, calibration):
    with pytest.raises(error):
        tarn.nivra.encode(array)
    with pytest.raises(error):
        tarn.nivra.prepare(array, calibration)
    if isinstance(array, np.ndarray) and array.ndim == 2 and array.size:
        with pytest.raises(error):
            tarn.nivra.decode(tarn.nivra.encode(np.zeros((8, 8), np.uint16)), (8, 8), out=array)


STREAM = tarn.nivra.encode(SYNTHETIC["odd sides"])
DAMAGED = {
    "empty": b"",
    "signature only": STREAM[:2],
    "header only": STREAM[:8],
    "cut in the middle": STREAM[: len(STREAM) // 2],
    "last byte missing": STREAM[:-1],
    "other signature": b"Xy" + STREAM[2:],
    "unknown version": STREAM[:2] + bytes([99]) + STREAM[3:],
    "random bytes": rng.integers(0, 256, 400, dtype=np.uint8).tobytes(),
    "transposed shape": STREAM,
}


@pytest.mark.parametrize("data", DAMAGED.values(), ids=DAMAGED.keys())
def test_damaged_streams_raise_status_7(data):
    shape = (91, 37) if data is STREAM else (37, 91)
    with pytest.raises(tarn.Error) as raised:
        tarn.nivra.decode(data, shape)
    assert raised.value.status == 7


@pytest.mark.parametrize("shape", [(37,), (37, 91, 1), (0, 91), (-37, -91), (37.0, 91), "ab", b"ab", None])
def test_decode_refuses_shapes_that_are_not_two_positive_integers(shape):
    with pytest.raises(ValueError):
        tarn.nivra.decode(STREAM, shape)


def test_decode_refuses_what_is_not_bytes_like():
    with pytest.raises(TypeError):
        tarn.nivra.decode("text", (37, 91))


def camera_image(shape=(120, 160)):
    # Poisson-Gaussian data of the test camera (gain 0.5, black level 100, sigma 2).
    electrons = rng.poisson(rng.uniform(50, 4000, shape))
    return np.clip(100 + 0.5 * electrons + rng.normal(0, 2, shape), 0, 65535).astype(np.uint16)


def test_prepared_array_is_smaller_decodes_exactly_and_is_not_prepared_twice(calibration):
    raw = camera_image()
    prepared = tarn.nivra.prepare(raw, calibration, seed=7)
    assert prepared.shape == raw.shape and not np.array_equal(prepared, raw)
    assert np.array_equal(tarn.nivra.prepare(raw, calibration, seed=7), prepared), "a seed fixes the result"
    assert np.array_equal(tarn.nivra.prepare(prepared, calibration, seed=8), prepared), "already prepared"
    # Only the noise changes: within a few noise deviations away from the header pixels.
    difference = np.abs(prepared.astype(np.int64) - raw).ravel()[24:]
    assert difference.max() < 100
    stream = tarn.nivra.encode(prepared)
    assert len(stream) < 0.8 * len(tarn.nivra.encode(raw))
    np.testing.assert_array_equal(tarn.nivra.decode(stream, raw.shape), prepared)


@pytest.mark.parametrize(
    "identifier, shape, error_bound, error",
    [
        ("Unknown_Camera_ISO100", (64, 64), 1.0, 8),
        (None, (4, 5), 1.0, 10),  # fewer pixels than the header needs
        (None, (64, 64), 0.0, ValueError),
        (None, (64, 64), float("nan"), ValueError),
    ],
)
def test_prepare_failures(calibration, identifier, shape, error_bound, error):
    array = np.full(shape, 1000, np.uint16)
    call = lambda: tarn.nivra.prepare(array, identifier or calibration, error_bound=error_bound)  # noqa: E731
    if isinstance(error, int):
        with pytest.raises(tarn.Error) as raised:
            call()
        assert raised.value.status == error
    else:
        with pytest.raises(error):
            call()


def test_threads_code_at_once():
    # The codec runs without the GIL: threads overlap, and each gets its own exact result.
    from concurrent.futures import ThreadPoolExecutor

    arrays = [noisy((200 + i, 150), 1000 * (i + 1), 20) for i in range(8)]
    with ThreadPoolExecutor(4) as pool:
        streams = list(pool.map(tarn.nivra.encode, arrays))
        decoded = list(pool.map(tarn.nivra.decode, streams, [a.shape for a in arrays]))
    for array, result in zip(arrays, decoded):
        np.testing.assert_array_equal(result, array)
