"""A numcodecs codec that stores zarr chunks of uint16 images with Nivra, exactly.

    import zarr
    import tarn.zarr

    z = zarr.open("cells.zarr", mode="w", shape=(40, 2048, 2048), chunks=(4, 512, 512),
                  dtype="uint16", compressor=tarn.zarr.Nivra())

Importing this module registers the codec under the id "nivra"; an installed
package also announces it to numcodecs, so arrays written with it open without
the import. A chunk must have 2 or more dimensions: it is coded as a stack of
planes, the last two dimensions being each plane's height and width.

Frame of one chunk (numbers are unsigned, little endian):

    4 bytes      "NVZ" and the frame version, 1
    1 byte       flags: bit 0 set when the chunk was in Fortran order
    1 byte       number of dimensions d (2 or more)
    2 bytes      zero
    d x 4 bytes  the chunk's shape
    P x 8 bytes  per plane: the length of its stream and the CRC-32 of the stream
                 (P = the product of the first d - 2 sides; 1 for d = 2)
    4 bytes      CRC-32 of everything above
    the P Nivra streams (see tarn.nivra), planes in C order of the leading dimensions

Decoding checks every field, both checksums and each stream's own geometry, and
raises tarn.Error (status 7) on any mismatch.
"""
import math
import struct
import zlib

import numpy as np
from numcodecs.abc import Codec
from numcodecs.compat import ensure_contiguous_ndarray, ndarray_copy
from numcodecs.registry import register_codec

from . import nivra
from ._error import Error

_MAGIC = b"NVZ\x01"
_FORTRAN = 1
_HEAD = struct.Struct("<4sBBH")
_CRC = struct.Struct("<I")
_INVALID_FILE_CONTENT = 7
_UINT32_MAX = 2**32 - 1


def _damaged(why):
    return Error(_INVALID_FILE_CONTENT, "Invalid file content.", f"tarn.zarr.Nivra: {why}")


def _require_chunk(buf):
    if not isinstance(buf, np.ndarray):
        raise ValueError(f"Nivra codes uint16 arrays of 2 or more dimensions, not {type(buf).__name__}")
    if buf.dtype != np.dtype(np.uint16):
        raise ValueError(f"Nivra codes uint16 in native byte order, not {buf.dtype} (make the zarr dtype 'uint16')")
    if buf.ndim < 2 or buf.size == 0 or max(buf.shape) > _UINT32_MAX:
        raise ValueError(f"Nivra codes chunks of 2 or more non-empty dimensions, not of shape {buf.shape}")
    return buf


class Nivra(Codec):
    """Exact Nivra coding of uint16 chunks, one stream per 2-D plane.

    ``verify`` (default True) decodes every plane again before the chunk is handed
    to the store, so that no chunk is stored that does not decode.
    """

    codec_id = "nivra"

    def __init__(self, verify=True):
        self.verify = bool(verify)

    def encode(self, buf):
        chunk = _require_chunk(buf)
        fortran = chunk.flags.f_contiguous and not chunk.flags.c_contiguous
        height, width = chunk.shape[-2:]
        planes = np.ascontiguousarray(chunk).reshape(-1, height, width)
        streams = [nivra.encode(plane, verify=self.verify) for plane in planes]
        head = bytearray(_HEAD.pack(_MAGIC, _FORTRAN if fortran else 0, chunk.ndim, 0))
        head += struct.pack(f"<{chunk.ndim}I", *chunk.shape)
        for stream in streams:
            head += struct.pack("<II", len(stream), zlib.crc32(stream))
        head += _CRC.pack(zlib.crc32(head))
        return b"".join([bytes(head), *streams])

    def decode(self, buf, out=None):
        data = memoryview(ensure_contiguous_ndarray(buf)).cast("B")
        shape, fortran, streams = _read_frame(data)
        height, width = shape[-2:]
        direct = (
            not fortran
            and isinstance(out, np.ndarray)
            and out.dtype == np.dtype(np.uint16)
            and out.flags.c_contiguous
            and out.flags.writeable
            and out.size == math.prod(shape)
        )
        result = out if direct else np.empty(shape, dtype=np.uint16)
        planes = result.reshape(-1, height, width)
        for plane, stream in zip(planes, streams):
            nivra.decode(stream, (height, width), out=plane)
        if direct:
            return out
        if fortran:
            result = np.asfortranarray(result)
        return result if out is None else ndarray_copy(result, out)


def _read_frame(data):
    """(shape, fortran, streams) of a frame, every field checked."""
    if len(data) < _HEAD.size or bytes(data[:4]) != _MAGIC:
        raise _damaged("not a Nivra chunk (no frame signature)")
    _, flags, ndim, reserved = _HEAD.unpack_from(data)
    if flags & ~_FORTRAN or ndim < 2 or reserved != 0:
        raise _damaged("unknown frame flags or dimensions")
    at = _HEAD.size
    if len(data) < at + 4 * ndim:
        raise _damaged("frame ends inside its shape")
    shape = struct.unpack_from(f"<{ndim}I", data, at)
    at += 4 * ndim
    if 0 in shape or shape[-2] * shape[-1] > 2**31 - 1:
        raise _damaged(f"impossible chunk shape {shape}")
    plane_count = math.prod(shape[:-2])
    if len(data) < at + 8 * plane_count + _CRC.size:
        raise _damaged("frame ends inside its table of planes")
    table = struct.unpack_from(f"<{2 * plane_count}I", data, at)
    at += 8 * plane_count
    if _CRC.unpack_from(data, at)[0] != zlib.crc32(data[:at]):
        raise _damaged("frame header checksum mismatch")
    at += _CRC.size
    lengths, checksums = table[0::2], table[1::2]
    if at + sum(lengths) != len(data):
        raise _damaged(f"frame holds {len(data) - at} bytes of streams, its table {sum(lengths)}")
    streams = []
    for index, (length, checksum) in enumerate(zip(lengths, checksums)):
        stream = data[at : at + length]
        if zlib.crc32(stream) != checksum:
            raise _damaged(f"checksum mismatch in plane {index}")
        streams.append(stream)
        at += length
    return shape, bool(flags & _FORTRAN), streams


register_codec(Nivra)

__all__ = ["Nivra"]
