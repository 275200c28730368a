"""File operations of libtarn, with the naming habits of the `tarn` command.

Paths may be str, bytes or os.PathLike; each function returns the path it wrote,
of the type it was given. Nothing is overwritten unless ``overwrite=True``; the
library gives an output its name only when it is complete, so a failed call leaves
an earlier file at the destination as it was. Ctrl-C (KeyboardInterrupt) during a
call on the main thread stops the library's running operations; the exception is
raised once the call has removed its unfinished output.
"""
import errno
import os

from . import _tarn
from ._error import Error

SUFFIX = ".nivra"

# Same numbers as the library's status codes.
_COULD_NOT_READ_FILE = 5
_INVALID_FILE_CONTENT = 7


def _suffix_for(path):
    return SUFFIX.encode() if isinstance(path, bytes) else SUFFIX


def _encoded(path):
    return None if path is None else os.fsencode(path)


def _target(destination, default, overwrite):
    path = default if destination is None else os.fspath(destination)
    if not overwrite and os.path.lexists(path):
        raise FileExistsError(errno.EEXIST, "output exists (overwrite=True replaces it)", path)
    return path


def compress_file(source, destination=None, *, overwrite=False, metadata_json=None):
    """Compresses ``source`` into ``destination`` (default: source + ".nivra").

    Image data is coded with Nivra, everything else with zstd; `decompress_file`
    restores the file byte for byte. ``metadata_json`` optionally names a JSON file
    to write with the description of the chunks. Returns the destination path.
    """
    source = os.fspath(source)
    target = _target(destination, source + _suffix_for(source), overwrite)
    _tarn.compress_file(os.fsencode(source), os.fsencode(target), _encoded(metadata_json))
    return target


def decompress_file(source, destination=None, *, overwrite=False, metadata_json=None):
    """Restores a compressed file into ``destination`` (default: source without ".nivra").

    ``metadata_json`` names the JSON description to use instead of the file's own.
    Returns the destination path.
    """
    source = os.fspath(source)
    suffix = _suffix_for(source)
    if destination is None and not source.lower().endswith(suffix):
        raise ValueError(f"{source!r} does not end in {suffix!r}: name the destination")
    target = _target(destination, source[: -len(suffix)], overwrite)
    _tarn.decompress_file(os.fsencode(source), os.fsencode(target), _encoded(metadata_json))
    return target


def prepare_file(source, destination, calibration_id=None, *, overwrite=False):
    """Writes a copy of ``source`` whose 16-bit images carry the calibrated noise replacement.

    ``calibration_id`` names the registry entry for every image of the file (default:
    the identifier built from the camera's make, model and ISO). See `load_calibration`.
    Returns the destination path.
    """
    source = os.fspath(source)
    target = _target(destination, None, overwrite)
    _tarn.prepare_file(os.fsencode(source), os.fsencode(target), calibration_id)
    return target


def prepare_and_compress_file(source, destination=None, calibration_id=None, *, overwrite=False, metadata_json=None):
    """Prepares and compresses in one pass (default destination: source + ".nivra").

    Returns the destination path.
    """
    source = os.fspath(source)
    target = _target(destination, source + _suffix_for(source), overwrite)
    _tarn.prepare_and_compress_file(
        os.fsencode(source), os.fsencode(target), calibration_id, _encoded(metadata_json)
    )
    return target


def remove_leftovers(folder):
    """Removes the unfinished outputs that interrupted runs left in ``folder`` (not below it).

    Only files whose writer is proven gone go (a killed process, a crash, a power
    loss), and files of earlier versions that no process has open and that have not
    changed for an hour; a file a live process may be writing is never removed.
    Returns a list of (path, size in bytes) of the removed files, paths of the type given.
    """
    folder = os.fspath(folder)
    removed = _tarn.remove_leftovers(os.fsencode(folder))
    if isinstance(folder, bytes):
        return removed
    return [(os.fsdecode(path), size) for path, size in removed]


def load_calibration(path=None):
    """Loads camera calibrations into the process-wide registry.

    ``path``: one calibration file, or a folder whose ``*.json`` files are loaded
    (malformed ones are skipped with a warning in the log). Without a path, the
    installation's folder (<prefix>/share/nivra) and then the user's
    (~/.config/nivra) are loaded. Returns the number of files loaded.
    """
    if path is None:
        return _tarn.load_default_calibration()
    path = os.fspath(path)
    context = f"load_calibration {os.fsdecode(path)}"
    if os.path.isdir(path):
        return _tarn.load_calibration_path(os.fsencode(path))
    if not os.path.exists(path):
        raise Error(_COULD_NOT_READ_FILE, _tarn.status_description(_COULD_NOT_READ_FILE), context)
    if _tarn.load_calibration_path(os.fsencode(path)) == 0:
        status = _INVALID_FILE_CONTENT if os.access(path, os.R_OK) else _COULD_NOT_READ_FILE
        raise Error(status, _tarn.status_description(status), context + " (the log names the fault)")
    return 1


def clear_calibration():
    """Empties the process-wide calibration registry."""
    _tarn.clear_calibration()


_LOG_LEVELS = ("trace", "debug", "info", "warning", "error", "critical", "off")


def set_log_level(level):
    """Sets the level of the library's log (carried to Python's logging, logger "tarn").

    ``level``: one of "trace", "debug", "info", "warning", "error", "critical", "off",
    or its number 0 to 6.
    """
    number = _LOG_LEVELS.index(level) if level in _LOG_LEVELS else level
    if not isinstance(number, int) or isinstance(number, bool) or not 0 <= number < len(_LOG_LEVELS):
        raise ValueError(f"log level must be one of {_LOG_LEVELS} or 0 to 6, not {level!r}")
    _tarn.set_log_level(number)


def add_log_file(path):
    """Appends the library's log to the file ``path`` as well."""
    _tarn.add_log_file(os.fsencode(path))
