"""The Nivra image codec on NumPy arrays.

Every function takes a C-contiguous 2-D ``uint16`` array (native byte order) and
raises ValueError for anything else, before any work; the codec itself runs
without the GIL. Damaged or foreign data raises `tarn.Error` (status 7).
"""
from ._tarn import nivra as _codec


def encode(array, *, verify=True):
    """Codes ``array`` losslessly and returns the stream as bytes.

    An array prepared by `prepare` is coded in the calibrated mode, much smaller
    and still exact. With ``verify`` (the default) the stream is decoded again and
    compared before it is returned, so bytes that do not decode are never handed out.
    """
    return _codec.encode(array, verify=verify)


def decode(data, shape, *, out=None):
    """Decodes a stream (any bytes-like object) into a ``uint16`` array of ``shape``.

    ``shape`` is (height, width) and must be the image's; a stream of another
    size raises `tarn.Error`. ``out`` may name a C-contiguous uint16 array of
    that shape to decode into; it is returned. After a failure its content is
    undefined.
    """
    return _codec.decode(data, shape, out=out)


def prepare(array, calibration_id, *, error_bound=1.0, seed=None):
    """Returns a copy of ``array`` with the calibrated noise replacement applied.

    ``calibration_id`` names an entry of the calibration registry (see
    `tarn.load_calibration`); ``error_bound`` is the quantisation step in noise
    standard deviations; ``seed`` fixes the dither (random by default). The first
    24 pixels carry a header describing the calibration, so a decoder needs
    nothing else. An array that already carries a header comes back unchanged.
    Raises `tarn.Error` with status 8 for an unknown identifier.
    """
    return _codec.prepare(array, calibration_id, error_bound=error_bound, seed=seed)


__all__ = ["encode", "decode", "prepare"]
