"""What the Python binding of the Nivra codec costs over calling libnivra directly.

    PYTHONPATH=build/python /usr/bin/python3 bench/python/codec_binding_bench.py [image.tif] [rounds]

Both sides run in this process on the same image, alternating call by call, and are
timed in CPU time (the machine is shared: wall time would measure the neighbours).
The C figures call nivra_encode / nivra_decode of the very libnivra the extension
loaded, through ctypes, into buffers allocated once; the Python figures are
tarn.nivra.encode / decode as a user calls them (fresh bytes and array per call).
The default image is a real 16-bit TIFF of the shared samples, else the synthetic
sample of the repository.
"""
import ctypes
import pathlib
import statistics
import sys
import time

import numpy as np
import tifffile

import tarn

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
DEFAULT_IMAGES = [
    REPOSITORY.parent / "shared" / "fixtures" / "real" / "tif-mei-parrot-issue151.tif",
    REPOSITORY / "samples" / "sample-16bit.tif",
]


def load_plane(path):
    plane = tifffile.imread(path, key=0)
    if plane.dtype != np.uint16 or plane.ndim != 2:
        sys.exit(f"{path}: need a 2-D uint16 image, found {plane.dtype} {plane.shape}")
    return np.ascontiguousarray(plane)


def c_codec():
    # Already loaded by the extension: dlopen hands back that same library.
    library = ctypes.CDLL("libnivra.so.1")
    library.nivra_encode.argtypes = [ctypes.c_void_p, ctypes.c_int32, ctypes.c_int32, ctypes.c_void_p,
                                     ctypes.POINTER(ctypes.c_int32)]
    library.nivra_decode.argtypes = [ctypes.c_void_p, ctypes.c_int32, ctypes.c_void_p, ctypes.c_int32]
    return library


def cpu_seconds(call):
    start = time.process_time()
    call()
    return time.process_time() - start


def main():
    path = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else next(p for p in DEFAULT_IMAGES if p.exists())
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    plane = load_plane(path)
    height, width = plane.shape
    library = c_codec()

    capacity = min(2**31 - 1, 4 * plane.size + 65536)
    c_stream = (ctypes.c_uint8 * capacity)()
    c_length = ctypes.c_int32()
    c_pixels = np.empty_like(plane)

    def c_encode():
        c_length.value = capacity
        status = library.nivra_encode(plane.ctypes.data, width, height, c_stream, ctypes.byref(c_length))
        assert status == 0, status

    def c_decode():
        status = library.nivra_decode(c_stream, c_length.value, c_pixels.ctypes.data, plane.size)
        assert status == 0, status

    stream = tarn.nivra.encode(plane)
    c_encode()
    c_decode()
    assert bytes(c_stream[: c_length.value]) == stream and np.array_equal(c_pixels, plane)

    calls = {
        "C encode": c_encode,
        "Python encode": lambda: tarn.nivra.encode(plane, verify=False),
        "Python encode, verified": lambda: tarn.nivra.encode(plane),
        "C decode": c_decode,
        "Python decode": lambda: tarn.nivra.decode(stream, plane.shape),
    }
    times = {name: [] for name in calls}
    for _ in range(rounds):
        for name, call in calls.items():
            times[name].append(cpu_seconds(call))

    megabytes = plane.nbytes / 1e6
    print(f"{path.name}: {width} x {height}, {megabytes:.2f} MB, stream {len(stream)} bytes "
          f"(ratio {plane.nbytes / len(stream):.2f}); median CPU time of {rounds} rounds")
    median = {name: statistics.median(values) for name, values in times.items()}
    for name, seconds in median.items():
        print(f"  {name:26s} {megabytes / seconds:8.1f} MB/s  {seconds * 1e3:8.2f} ms")
    for kind in ("encode", "decode"):
        overhead = median[f"Python {kind}"] / median[f"C {kind}"] - 1
        print(f"  binding cost, {kind}: {overhead * 100:+.1f}% (target under 5%)")


if __name__ == "__main__":
    main()
