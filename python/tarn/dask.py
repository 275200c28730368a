"""Compressing many files on a dask.distributed cluster.

    from distributed import Client
    import tarn.dask

    client = Client("tcp://scheduler-host:8786")
    for row in tarn.dask.compress_files(["/data/a.tif", "/data/b.nd2"], client):
        print(row.source, row.ratio, row.error)

Every worker must see the files under the same paths (a shared file system), and
have this package installed. One file is one task; a worker compresses one file
per thread it has.
"""
import os
import time
from dataclasses import dataclass

import distributed

from ._error import Error
from ._files import SUFFIX, compress_file

# Same numbers as the library's status codes.
_UNKNOWN_ERROR = 3
_COULD_NOT_WRITE_FILE = 6


@dataclass(frozen=True)
class FileResult:
    """One row of the table `compress_files` returns.

    ``ratio`` is input_bytes / output_bytes (0.0 when nothing was written);
    ``status`` is 0 on success, else the library's status code, and ``error``
    then says what went wrong.
    """

    source: str
    output: str
    input_bytes: int
    output_bytes: int
    ratio: float
    status: int
    error: str
    worker: str
    seconds: float

    @property
    def ok(self):
        return self.status == 0


def compress_files(paths, client=None, *, output_dir=None, overwrite=False):
    """Compresses every file of ``paths`` on the cluster of ``client``, in parallel.

    ``client``: a distributed.Client (default: the current one). Outputs are
    source + ".nivra", or that name inside ``output_dir``; existing outputs are
    kept unless ``overwrite``. Returns one `FileResult` per path, in the order
    given; a file that fails does not stop the others. ``pandas.DataFrame(rows)``
    turns the rows into a data frame.
    """
    if client is None:
        client = distributed.default_client()
    sources = [os.path.abspath(os.fspath(path)) for path in paths]
    if output_dir is None:
        outputs = [source + SUFFIX for source in sources]
    else:
        folder = os.path.abspath(os.fspath(output_dir))
        outputs = [os.path.join(folder, os.path.basename(source) + SUFFIX) for source in sources]
    if len(set(outputs)) != len(outputs):
        raise ValueError("two sources would be compressed into the same output")
    if not sources:
        return []
    futures = client.map(_compress_one, sources, outputs, overwrite=overwrite, pure=False)
    rows = []
    for source, output, future in zip(sources, outputs, futures):
        try:
            rows.append(future.result())
        except Exception as failure:  # the task never reported (a worker died, the cluster went away)
            rows.append(_failed(source, output, _UNKNOWN_ERROR, failure, worker="", started=time.monotonic()))
    return rows


def _compress_one(source, output, overwrite):
    started = time.monotonic()
    worker = distributed.get_worker().address
    try:
        compress_file(source, output, overwrite=overwrite)
    except Error as failure:
        return _failed(source, output, failure.status, failure, worker, started)
    except FileExistsError as failure:
        return _failed(source, output, _COULD_NOT_WRITE_FILE, failure, worker, started)
    except Exception as failure:
        return _failed(source, output, _UNKNOWN_ERROR, failure, worker, started)
    input_bytes, output_bytes = os.path.getsize(source), os.path.getsize(output)
    return FileResult(
        source, output, input_bytes, output_bytes, input_bytes / output_bytes, 0, "", worker,
        time.monotonic() - started,
    )


def _failed(source, output, status, failure, worker, started):
    try:
        input_bytes = os.path.getsize(source)
    except OSError:
        input_bytes = 0
    text = str(failure) or type(failure).__name__
    return FileResult(source, output, input_bytes, 0, 0.0, status, text, worker, time.monotonic() - started)


__all__ = ["FileResult", "compress_files"]
