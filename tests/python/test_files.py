"""tarn's file operations: byte-for-byte round trips, preparation and failures."""
import filecmp
import os
import shutil

import pytest

import tarn
from conftest import SYNTHETIC_SAMPLE, real_samples

SAMPLES = [SYNTHETIC_SAMPLE, *real_samples()]


@pytest.mark.parametrize("source", SAMPLES, ids=[p.name for p in SAMPLES])
def test_samples_round_trip_byte_for_byte(source, tmp_path):
    compressed = tarn.compress_file(source, tmp_path / (source.name + ".nivra"))
    restored = tarn.decompress_file(compressed, tmp_path / source.name)
    assert filecmp.cmp(source, restored, shallow=False)


def test_default_names_and_path_types(tmp_path):
    source = tmp_path / "image.tif"
    shutil.copyfile(SYNTHETIC_SAMPLE, source)
    assert tarn.compress_file(source) == str(source) + ".nivra"
    assert os.path.getsize(str(source) + ".nivra") < os.path.getsize(source)
    os.remove(source)
    assert tarn.decompress_file(os.fsencode(str(source) + ".nivra")) == os.fsencode(source)
    assert filecmp.cmp(SYNTHETIC_SAMPLE, source, shallow=False)


def test_existing_outputs_are_kept_unless_overwrite(tmp_path):
    source = tmp_path / "image.tif"
    shutil.copyfile(SYNTHETIC_SAMPLE, source)
    output = tmp_path / "image.tif.nivra"
    output.write_bytes(b"keep me")
    with pytest.raises(FileExistsError):
        tarn.compress_file(source)
    assert output.read_bytes() == b"keep me"
    tarn.compress_file(source, overwrite=True)
    with pytest.raises(FileExistsError):
        tarn.decompress_file(output)
    with pytest.raises(ValueError):
        tarn.decompress_file(source)  # no ".nivra" to drop: the destination must be named


def test_failures_raise_errors_with_status_and_keep_the_destination(tmp_path):
    missing = tmp_path / "missing.tif"
    with pytest.raises(tarn.Error) as raised:
        tarn.compress_file(missing)
    assert raised.value.status == 5
    assert "missing.tif" in str(raised.value) and raised.value.description == "Could not read file."

    damaged = tmp_path / "damaged.tif.nivra"
    tarn.compress_file(SYNTHETIC_SAMPLE, damaged)
    data = bytearray(damaged.read_bytes())
    data[len(data) // 3] ^= 0xFF
    damaged.write_bytes(bytes(data[:-20]))  # also cut into the footer
    destination = tmp_path / "restored.tif"
    destination.write_bytes(b"earlier")
    with pytest.raises(tarn.Error) as raised:
        tarn.decompress_file(damaged, destination, overwrite=True)
    assert raised.value.status != 0
    assert destination.read_bytes() == b"earlier"


def test_prepared_files_restore_to_a_prepared_file(tmp_path, calibration):
    prepared = tarn.prepare_file(SYNTHETIC_SAMPLE, tmp_path / "prepared.tif", calibration)
    assert not filecmp.cmp(SYNTHETIC_SAMPLE, prepared, shallow=False)
    compressed = tarn.prepare_and_compress_file(SYNTHETIC_SAMPLE, tmp_path / "p.tif.nivra", calibration)
    assert os.path.getsize(compressed) < os.path.getsize(tarn.compress_file(SYNTHETIC_SAMPLE, tmp_path / "l.nivra"))
    restored = tarn.decompress_file(compressed, tmp_path / "restored.tif")
    # Preparing a prepared file changes nothing, so this proves the restored file is prepared.
    again = tarn.prepare_file(restored, tmp_path / "again.tif", calibration)
    assert filecmp.cmp(restored, again, shallow=False)

    with pytest.raises(tarn.Error) as raised:
        tarn.prepare_file(SYNTHETIC_SAMPLE, tmp_path / "x.tif", "Unknown_Camera_ISO100")
    assert raised.value.status == 8


@pytest.mark.parametrize(
    "content, status",
    [(None, 5), ("{ not json", 7), ('{"format": "nivra-calibration", "version": 1, "cameras": [{}]}', 7)],
)
def test_load_calibration_failures(tmp_path, content, status):
    path = tmp_path / "camera.json"
    if content is not None:
        path.write_text(content)
    with pytest.raises(tarn.Error) as raised:
        tarn.load_calibration(path)
    assert raised.value.status == status


def test_load_calibration_folder_counts_the_usable_files(tmp_path, calibration):
    folder = tmp_path / "cameras"
    folder.mkdir()
    shutil.copyfile(tmp_path / "testcam.json", folder / "a.json")
    (folder / "b.json").write_text("{ broken")
    assert tarn.load_calibration(folder) == 1


def test_errors_survive_pickling():
    import pickle

    error = pickle.loads(pickle.dumps(tarn.Error(7, "Invalid file content.", "decompress_file x")))
    assert (error.status, error.description, str(error)) == (
        7, "Invalid file content.", "decompress_file x: Invalid file content. (status 7)")


def test_ctrl_c_during_a_call_leaves_no_partial_output(tmp_path):
    import signal
    import threading

    source = tmp_path / "big.bin"
    source.write_bytes(os.urandom(96 << 20))
    output = tmp_path / "big.bin.nivra"
    state = {"in_call": False}

    def on_sigint(number, frame):
        # A signal that comes after the call returned is no interruption of it.
        if state["in_call"]:
            raise KeyboardInterrupt

    previous = signal.signal(signal.SIGINT, on_sigint)
    outcomes = []
    try:
        for attempt, delay in enumerate((0.05, 0.15, 0.3)):
            if attempt == 1:
                output.write_bytes(b"earlier")  # replaced only by a complete output
            timer = threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT))
            state["in_call"] = True
            timer.start()
            try:
                tarn.compress_file(source, overwrite=True)
                state["in_call"] = False
                outcomes.append("finished")
            except KeyboardInterrupt:
                state["in_call"] = False
                outcomes.append("interrupted")
            timer.join()
            left = sorted(p.name for p in tmp_path.iterdir())
            assert left in (["big.bin"], ["big.bin", "big.bin.nivra"]), left
            if output.exists() and output.read_bytes() != b"earlier":
                tarn.decompress_file(output, tmp_path / "check.bin")
                assert filecmp.cmp(source, tmp_path / "check.bin", shallow=False)
                os.remove(tmp_path / "check.bin")
    finally:
        signal.signal(signal.SIGINT, previous)
    assert "interrupted" in outcomes, outcomes


def test_remove_leftovers_takes_only_abandoned_outputs(tmp_path):
    old = tmp_path / ".a.tif.nivra.tarn-Ab3dE9"  # an earlier version's, untouched for two hours
    old.write_bytes(b"x" * 300)
    hours_ago = os.path.getmtime(old) - 2 * 3600
    os.utime(old, (hours_ago, hours_ago))
    recent = tmp_path / ".b.tif.nivra.tarn-Xy7zW2"
    recent.write_bytes(b"y")
    (tmp_path / "c.tif").write_bytes(b"z")
    assert tarn.remove_leftovers(tmp_path) == [(str(old), 300)]
    assert sorted(p.name for p in tmp_path.iterdir()) == [recent.name, "c.tif"]
    assert tarn.remove_leftovers(os.fsencode(tmp_path)) == []
    with pytest.raises(tarn.Error):
        tarn.remove_leftovers(tmp_path / "missing")
