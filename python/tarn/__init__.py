"""Tarn: lossless compression of scientific and camera image files, and the Nivra codec.

File operations (each releases the GIL while it works, and raises `tarn.Error` on failure):
`compress_file`, `decompress_file`, `prepare_file`, `prepare_and_compress_file`,
`load_calibration`. Arrays: `tarn.nivra`. Zarr arrays: `tarn.zarr`. Many files on a
dask cluster: `tarn.dask`. Compressed files read in place: `tarn.open` (`tarn.archive`).
The library's log goes to Python's logging, logger "tarn".
"""
from ._error import Error
from ._files import (
    add_log_file,
    clear_calibration,
    compress_file,
    decompress_file,
    load_calibration,
    prepare_and_compress_file,
    prepare_file,
    remove_leftovers,
    set_log_level,
)
from . import nivra
from . import calibration
from .archive import open
from ._tarn import version as _version

__version__ = _version()

__all__ = [
    "Error",
    "add_log_file",
    "calibration",
    "clear_calibration",
    "compress_file",
    "decompress_file",
    "load_calibration",
    "nivra",
    "open",
    "prepare_and_compress_file",
    "prepare_file",
    "remove_leftovers",
    "set_log_level",
]

from . import _log

_log.route()
