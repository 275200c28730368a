"""The Nivra HDF5 filter against HDF5's gzip filter and against the zarr codec, on the shared stacks.

    PYTHONPATH=build/python /usr/bin/python3 bench/archive/hdf5_bench.py [rounds]

The stacks are the multi-plane 16-bit samples of the shared fixtures (TIFF stacks through
tifffile, ND2 and CZI planes through tarn.open, channels split into planes). Each is stored
with one plane per chunk: in HDF5 with gzip (level 4, h5py's default; and with shuffle),
in HDF5 with libh5nivra, and in zarr with tarn.zarr.Nivra. Ratio is raw bytes / stored
chunk bytes; speeds are MB/s of raw data in CPU time (the machine is shared), the best of
the rounds, written and read in the same run, alternating.
"""
import os
import pathlib
import sys
import tempfile
import time

import numpy as np

import tarn

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
REAL = REPOSITORY.parent / "shared" / "fixtures" / "real"
PLUGIN_DIR = pathlib.Path(tarn.__file__).resolve().parents[2] / "lib" / "hdf5" / "plugin"
os.environ["HDF5_PLUGIN_PATH"] = str(PLUGIN_DIR)
import h5py  # noqa: E402  (after HDF5_PLUGIN_PATH)
import zarr  # noqa: E402

import tarn.zarr  # noqa: E402

NIVRA_FILTER = 356
STACKS = [
    "tif-bian-cancer_cell_migration_crop.tif",
    "tif-ijhyper-pyimagej-test_4_channel.tif",
    "tif-ijhyper-pyimagej-test_still_stack.tif",
    "tif-ijstack-pims-tiff_stack.tif",
    "tif-imagetiff-ScanImageBigTIFFv57.tif",
    "nd2-arcadia-timelapse.nd2",
    "nd2-pims-cluster.nd2",
    "czi-czitools-CellDivision_T3_Z5_CH2_X240_Y170.czi",
    "czi-czitools-S3_1Pos_2Mosaic_T2Z3_CH2_sm.czi",
]


def load(name):
    path = REAL / name
    if path.suffix == ".tif":
        import tifffile

        stack = tifffile.imread(path)
        stack = stack.reshape(-1, *stack.shape[-2:])
    else:
        with tempfile.TemporaryDirectory() as folder:
            archive = tarn.open(tarn.compress_file(path, pathlib.Path(folder) / "a.nivra"))
            planes = [archive.plane(i) for i in range(len(archive))]
        shape = max({p.shape for p in planes}, key=lambda s: sum(p.shape == s for p in planes))
        planes = [p for p in planes if p.shape == shape]
        stack = np.stack([np.moveaxis(p, -1, 0) if p.ndim == 3 else p[None] for p in planes]).reshape(
            -1, *shape[:2])
    return np.ascontiguousarray(stack.view(np.uint16) if stack.dtype.itemsize == 2 else stack.astype(np.uint16))


def cpu(call):
    start = time.process_time()
    result = call()
    return time.process_time() - start, result


def h5_write(path, stack, **filters):
    def write():
        with h5py.File(path, "w") as f:
            f.create_dataset("s", data=stack, chunks=(1, *stack.shape[1:]), **filters)

    return write


def h5_read(path):
    def read():
        with h5py.File(path, "r") as f:
            return f["s"][...]

    return read


def h5_stored(path):
    with h5py.File(path, "r") as f:
        return f["s"].id.get_storage_size()


def zarr_write(path, stack):
    def write():
        z = zarr.open(str(path), mode="w", shape=stack.shape, chunks=(1, *stack.shape[1:]), dtype="uint16",
                      compressor=tarn.zarr.Nivra())
        z[...] = stack

    return write


def zarr_read(path):
    return lambda: zarr.open(str(path), mode="r")[...]


def zarr_stored(path):
    return sum(f.stat().st_size for f in pathlib.Path(path).iterdir() if not f.name.startswith("."))


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    tarn.set_log_level("error")  # the codec's fallbacks on tiny ND2 planes are expected here
    if not (PLUGIN_DIR / "libh5nivra.so").exists():
        sys.exit(f"build h5nivra first ({PLUGIN_DIR} has no libh5nivra.so)")
    peers = {
        "hdf5 gzip": (dict(compression="gzip"), "h5"),
        "hdf5 gzip+shuffle": (dict(compression="gzip", shuffle=True), "h5"),
        "hdf5 nivra": (dict(compression=NIVRA_FILTER), "h5"),
        "zarr nivra": (None, "zarr"),
    }
    totals = {name: [0, 0, 0.0, 0.0] for name in peers}  # raw, stored, write cpu, read cpu
    print(f"{'stack':<48} {'peer':<18} {'ratio':>6} {'write MB/s':>10} {'read MB/s':>10}")
    with tempfile.TemporaryDirectory() as folder:
        for name in STACKS:
            if not (REAL / name).exists():
                continue
            stack = load(name)
            label = f"{name} {stack.shape}"
            for peer, (filters, kind) in peers.items():
                path = pathlib.Path(folder) / f"{peer.replace(' ', '_')}.{kind}"
                write = h5_write(path, stack, **filters) if kind == "h5" else zarr_write(path, stack)
                read = h5_read(path) if kind == "h5" else zarr_read(path)
                best_write = best_read = float("inf")
                for _ in range(rounds):
                    best_write = min(best_write, cpu(write)[0])
                    seconds, back = cpu(read)
                    best_read = min(best_read, seconds)
                    assert np.array_equal(back, stack), (name, peer)
                stored = h5_stored(path) if kind == "h5" else zarr_stored(path)
                mb = stack.nbytes / 1e6
                print(f"{label:<48} {peer:<18} {stack.nbytes / stored:>6.2f} {mb / best_write:>10.1f} "
                      f"{mb / best_read:>10.1f}")
                t = totals[peer]
                t[0] += stack.nbytes
                t[1] += stored
                t[2] += best_write
                t[3] += best_read
    print()
    for peer, (raw, stored, write, read) in totals.items():
        if raw:
            print(f"{'all stacks':<48} {peer:<18} {raw / stored:>6.2f} {raw / 1e6 / write:>10.1f} {raw / 1e6 / read:>10.1f}")


if __name__ == "__main__":
    main()
