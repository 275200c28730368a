"""Compressed files opened in place: planes as NumPy arrays, byte ranges, dask arrays.

    import tarn
    archive = tarn.open("stack.tif.nivra")
    archive.planes[3].shape, archive.planes[3].position   # ((512, 512), {"directory": 3, ...})
    pixels = archive.plane(3)                              # decodes that plane alone
    header = archive.read(0, 4096)                         # bytes of the original file
    stack = archive.to_dask()                              # lazy, one task per plane

Opening reads the file's footer and chunk table only; every call reads and decodes just
the chunks it needs, each checked as a restore is (damage raises `tarn.Error`, status 7,
for that plane alone). Planes whose images were prepared (calibrated, lossy) say so in
``Plane.lossy``, and `Archive.plane` warns with `LossyPlaneWarning` when it returns one.
An archive pickles as its path, so dask workers reopen it where they run.
"""
import functools
import os
import warnings

import numpy as np

from . import _tarn


class LossyPlaneWarning(UserWarning):
    """The plane returned was prepared: its values are not the camera's original ones."""


_SAMPLE_TYPES = {1: "u1", 2: "u2", 4: "u4", 8: "u8"}


class Plane:
    """One image of an archive: where it is and how its pixels are laid out.

    ``shape``: (height, width), or (height, width, channels) for interleaved samples;
    ``dtype``: the NumPy type of a sample in the file's byte order (``byte_order`` is
    "little" or "big"), unsigned: the chunk table knows a sample's width, not whether the
    source meant it signed or floating (``.view("i2")`` reads it so); ``source_offset``: its first byte in the original file;
    ``position``: where it lies in the source's dimensions, as far as the source's reader
    knew them (TIFF "directory", and "subdirectory" in SubIFDs; ImageJ "channel", "slice", "frame" or "image"; ND2
    "sequence"; CZI the sub-block's "C", "Z", "T", "S", "M"...), read on first use.
    """

    def __init__(self, archive, index, info):
        self._archive = archive
        self.index = index
        self.width = info["width"]
        self.height = info["height"]
        self.channels = info["channels"]
        self.row_bytes = info["row_bytes"]  # stride in the original, padding included
        self.byte_order = info["byte_order"]
        self.source_offset = info["source_offset"]
        self.archive_offset = info["archive_offset"]
        self.stored_length = info["stored_length"]
        self.codec = {0: "None", 1: "Nivra", 2: "Zstd"}.get(info["codec"], "Unknown")
        sample = info["bytes_per_sample"]
        order = ">" if self.byte_order == "big" else "<"
        shape = (self.height, self.width) if self.channels == 1 else (self.height, self.width, self.channels)
        if sample in _SAMPLE_TYPES:
            self.dtype = np.dtype(order + _SAMPLE_TYPES[sample])
            self.shape = shape
        else:  # samples of no NumPy integer width stay bytes
            self.dtype = np.dtype("u1")
            self.shape = shape + (sample,)

    @property
    def position(self):
        return self._archive._positions()[self.index]

    @property
    def lossy(self):
        """True when the plane's stream is in the prepared (lossy) mode, read from its first bytes.

        A prepared image that the codec refused (stored with zstd) is found only by
        decoding it: `Archive.plane` warns for those too.
        """
        return self._archive._native.is_prepared(self.index)

    def __repr__(self):
        return (
            f"Plane({self.index}, shape={self.shape}, dtype={self.dtype.str!r}, codec={self.codec}, "
            f"source_offset={self.source_offset})"
        )


class Archive:
    """A compressed (.nivra) file opened in place; see the module's description."""

    def __init__(self, path):
        self.path = os.fspath(path)
        self._native = _tarn.Archive(os.fsencode(self.path))
        self.planes = [Plane(self, i, info) for i, info in enumerate(self._native.planes())]
        self._known_positions = None

    @property
    def size(self):
        """Length in bytes of the original file."""
        return self._native.size

    def __len__(self):
        return len(self.planes)

    def __reduce__(self):
        return (Archive, (self.path,))

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        return False

    def _positions(self):
        if self._known_positions is None:
            self._known_positions = [dict(position) for position in self._native.positions()]
        return self._known_positions

    def plane(self, index):
        """Decodes plane ``index`` alone; a NumPy array of ``planes[index].shape`` in native byte order."""
        info = self.planes[index]
        raw, prepared = self._native.decode_plane(index)
        array = raw.view(info.dtype).reshape(info.shape)
        if prepared:
            warnings.warn(f"{self.path}: plane {index} was prepared (lossy)", LossyPlaneWarning, stacklevel=2)
        return array.astype(info.dtype.newbyteorder("="), copy=False)

    def read(self, offset, size):
        """``size`` bytes of the original file from ``offset``, decoding only the chunks they lie in."""
        if offset < 0 or size < 0:
            raise ValueError("offset and size must not be negative")
        return self._native.read(offset, size)

    def to_dask(self, planes=None):
        """A lazy dask array stacking planes of one shape and type, one task per plane.

        ``planes``: indices of the planes (default: all, which must then share shape and
        type). Computing it decodes each plane where the task runs, local or on a cluster.
        """
        import dask
        import dask.array as da

        indices = list(range(len(self.planes))) if planes is None else [int(i) for i in planes]
        if not indices:
            raise ValueError(f"{self.path} has no planes to stack")
        chosen = [self.planes[i] for i in indices]
        kinds = {(p.shape, p.dtype.newbyteorder("=")) for p in chosen}
        if len(kinds) != 1:
            raise ValueError(
                f"planes of {self.path} differ in shape or type ({sorted(map(str, kinds))}); choose some with planes="
            )
        shape, dtype = kinds.pop()
        stamp = os.stat(self.path).st_mtime_ns
        blocks = [
            da.from_delayed(
                dask.delayed(_decode_plane, pure=True)(self.path, i, stamp), shape=shape, dtype=dtype
            )
            for i in indices
        ]
        return da.stack(blocks)


@functools.lru_cache(maxsize=8)
def _opened(path, stamp):
    return Archive(path)


def _decode_plane(path, index, stamp):
    # `stamp` (the file's modification time) keeps a rewritten file from being read through an old table.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", LossyPlaneWarning)
        return _opened(path, stamp).plane(index)


def open(path):  # noqa: A001 - tarn.open, like the built-in, opens a file
    """Opens the compressed file ``path`` in place; raises `tarn.Error` when it is not one."""
    return Archive(path)


__all__ = ["Archive", "LossyPlaneWarning", "Plane", "open"]
