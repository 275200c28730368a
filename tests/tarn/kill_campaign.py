"""Kills `tarn compress`, `tarn decompress` and `tarn prepare` at random moments, with
SIGINT, SIGTERM and SIGKILL, and checks what is left in the folder each time:

- nothing but the sources and, where an output was finished, that complete output
  (byte for byte the output of an uninterrupted run); an earlier output that -f was
  replacing stays complete;
- SIGINT and SIGTERM end the program with 130 and 143 and a line saying what was left
  unfinished;
- after SIGKILL, the next run in that folder removes what the killed run left and says so;
- a leftover of a process that is still alive is never removed.

The campaign runs in a folder on the normal disk (unnamed outputs) and, as root with
FUSE, on a passthrough file system without unnamed files (named outputs).

    /usr/bin/python3 kill_campaign.py --tarn build/bin/tarn [--runs 20] [--seed N]
"""
import argparse
import collections
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np
import tifffile

HERE = os.path.dirname(os.path.abspath(__file__))
TEMPORARY = re.compile(r"^\..*\.tarn-")
CALIBRATION_ID = "Testcam_T1_ISO800"
SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGKILL)


def digest(path):
    with open(path, "rb") as file:
        return hashlib.file_digest(file, "sha256").hexdigest()


def fingerprint(path, deterministic):
    """What two complete outputs of one run have in common."""
    if deterministic:
        return digest(path)
    try:
        with tifffile.TiffFile(path) as tiff:
            planes = [(page.shape, str(page.dtype), page.asarray().shape) for page in tiff.pages]
    except Exception as error:  # a damaged file is simply not complete
        return f"unreadable: {error}"
    return os.path.getsize(path), planes


def make_inputs(folder, megabytes):
    """A multi-page 16-bit TIFF (Nivra-coded planes), random bytes (zstd) and a calibration."""
    generator = np.random.default_rng(7)
    side = 1024
    pages = max(1, megabytes // 2)
    ramp = np.add.outer(np.arange(side), np.arange(side)).astype(np.float64)
    with tifffile.TiffWriter(os.path.join(folder, "image.tif")) as tiff:
        for page in range(pages):
            plane = 1000 + ramp * (page + 1) / 8 + generator.normal(0, 40, (side, side))
            tiff.write(np.clip(plane, 0, 65535).astype(np.uint16), photometric="minisblack")
    with open(os.path.join(folder, "random.bin"), "wb") as file:
        file.write(generator.bytes(megabytes << 20))
    with open(os.path.join(folder, "tiny.txt"), "w") as file:
        file.write("a small file whose compression sweeps the folder\n")
    camera = {"identifier": CALIBRATION_ID, "gain": 0.5, "black_level": 100, "sigma": 2.0, "white_level": 65535}
    with open(os.path.join(folder, "camera.json"), "w") as file:
        json.dump({"format": "nivra-calibration", "version": 1, "cameras": [camera]}, file)


class Setup:
    """One command in its own folder: the sources it reads, the outputs it writes."""

    def __init__(self, name, sources, outputs, arguments, deterministic=True):
        self.name = name
        self.sources = sources
        self.outputs = outputs
        self.arguments = arguments
        # Prepared pixels carry random dither: an output is complete when it has the
        # reference's size and every plane reads back, not when its bytes match.
        self.deterministic = deterministic


def setups(calibration):
    return [
        Setup("compress", ["image.tif", "random.bin"], ["image.tif.nivra", "random.bin.nivra"],
              ["compress", "-f", "image.tif", "random.bin"]),
        Setup("decompress", ["image.tif.nivra"], ["image.tif"], ["decompress", "-f", "image.tif.nivra"]),
        Setup("prepare", ["image.tif"], ["image.prepared.tif"],
              ["prepare", "-f", "image.tif", "--calibration", calibration, "--calibration-id", CALIBRATION_ID],
              deterministic=False),
    ]


class Campaign:
    def __init__(self, tarn, inputs, runs, rng):
        self.tarn = tarn
        self.inputs = inputs
        self.runs = runs
        self.rng = rng
        self.failures = []
        self.counts = collections.Counter()
        self.place = ""

    def fail(self, text):
        self.failures.append(text)
        print("FAIL:", text, flush=True)

    def run(self, folder, arguments, timeout=120):
        started = time.monotonic()
        done = subprocess.run([self.tarn, *arguments], cwd=folder, capture_output=True, text=True, timeout=timeout)
        return done, time.monotonic() - started

    def populate(self, folder, setup):
        os.makedirs(folder, exist_ok=True)
        for name in setup.sources + ["tiny.txt"]:
            source = os.path.join(self.inputs, name)
            if not os.path.exists(source):  # the compressed input comes from the reference run
                source = os.path.join(self.inputs, "reference", name)
            shutil.copyfile(source, os.path.join(folder, name))

    def reference(self, setup):
        """Outputs and duration of an uninterrupted run."""
        folder = os.path.join(self.inputs, "reference-" + setup.name)
        self.populate(folder, setup)
        done, seconds = self.run(folder, setup.arguments)
        if done.returncode != 0:
            raise SystemExit(f"reference run of {setup.name} failed: {done.stderr}")
        os.makedirs(os.path.join(self.inputs, "reference"), exist_ok=True)
        hashes = {}
        for name in setup.outputs:
            shutil.copyfile(os.path.join(folder, name), os.path.join(self.inputs, "reference", name))
            hashes[name] = fingerprint(os.path.join(folder, name), setup.deterministic)
        shutil.rmtree(folder)
        return hashes, seconds

    def check_folder(self, label, folder, setup, hashes, allow_temporaries):
        """Returns the temporaries left; reports anything else that should not be there."""
        names = set(os.listdir(folder))
        expected = set(setup.sources) | {"tiny.txt"}
        for name in expected - names:
            self.fail(f"{label}: source {name} is gone")
        extra = names - expected - set(setup.outputs)
        temporaries = {name for name in extra if TEMPORARY.match(name)}
        for name in sorted(extra - temporaries if allow_temporaries else extra):
            self.fail(f"{label}: left {name} ({os.path.getsize(os.path.join(folder, name))} bytes)")
        for name in set(setup.outputs) & names:
            if fingerprint(os.path.join(folder, name), setup.deterministic) != hashes[name]:
                self.fail(f"{label}: {name} is there but not complete")
        return temporaries if allow_temporaries else set()

    def sweep(self, label, folder, expected_count):
        """Runs a small compress in the folder; it must remove exactly the leftovers and say so."""
        done, _ = self.run(folder, ["compress", "-f", "tiny.txt"])
        os.remove(os.path.join(folder, "tiny.txt.nivra"))
        said = re.search(r"removed (\d+) unfinished outputs? left by interrupted runs", done.stderr)
        removed = int(said.group(1)) if said else 0
        if done.returncode != 0 or removed != expected_count:
            self.fail(f"{label}: the next run removed {removed} of {expected_count} leftovers: {done.stderr!r}")
        return removed

    def kill_once(self, label, folder, setup, hashes, number, delay):
        for name in setup.outputs:  # half the runs replace a complete earlier output
            if self.rng.random() < 0.5 and os.path.exists(os.path.join(folder, name)):
                os.remove(os.path.join(folder, name))
        process = subprocess.Popen([self.tarn, *setup.arguments], cwd=folder, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        time.sleep(delay)
        signalled = process.poll() is None
        if signalled:
            process.send_signal(number)
        _, stderr = process.communicate(timeout=120)
        code = process.returncode
        if code == 0:
            outcome = "finished"
        elif number != signal.SIGKILL and code == 128 + number:
            outcome = "stopped"
            if f"interrupted by {signal.Signals(number).name}" not in stderr:
                self.fail(f"{label}: exit {code} without saying what was left: {stderr!r}")
        elif code == -number:
            outcome = "killed"
        else:
            outcome = "failed"
            self.fail(f"{label}: exit {code}: {stderr!r}")
        if code == 0:
            for name in setup.outputs:
                if not os.path.exists(os.path.join(folder, name)):
                    self.fail(f"{label}: finished without {name}")
        temporaries = self.check_folder(label, folder, setup, hashes, number == signal.SIGKILL)
        self.counts[(self.place, setup.name, number.name, outcome)] += 1
        if temporaries:
            self.counts[(self.place, setup.name, number.name, "leftovers")] += len(temporaries)
            self.counts[(self.place, setup.name, number.name, "swept")] += self.sweep(label, folder, len(temporaries))
        return outcome

    def campaign(self, place, setup, hashes, seconds):
        self.place = os.path.basename(place)
        folder = os.path.join(place, setup.name)
        self.populate(folder, setup)
        for number in SIGNALS:
            # Until `runs` signals have landed mid-work; some land after the end.
            landed = 0
            for run in range(3 * self.runs):
                if landed == self.runs:
                    break
                delay = self.rng.uniform(0.05, 0.9 * seconds)
                outcome = self.kill_once(f"{place}: {setup.name}, {number.name} #{run} at {delay:.2f} s", folder,
                                         setup, hashes, number, delay)
                landed += outcome != "finished"
                if outcome == "finished":  # the measured run was slower than this one: aim earlier
                    seconds *= 0.85
            if landed < self.runs:
                self.fail(f"{place}: {setup.name}: only {landed} {number.name} landed mid-work")
        self.check_folder(f"{place}: {setup.name} at the end", folder, setup, hashes, False)
        for name in setup.sources:
            if digest(os.path.join(folder, name)) != digest(self.source_of(name)):
                self.fail(f"{place}: {setup.name} changed its source {name}")
        return folder

    def source_of(self, name):
        path = os.path.join(self.inputs, name)
        return path if os.path.exists(path) else os.path.join(self.inputs, "reference", name)

    def live_named_owner_is_kept(self, folder, setup, hashes):
        """A run stopped (SIGSTOP) while its named output grows keeps it through another run's sweep."""
        process = subprocess.Popen([self.tarn, *setup.arguments], cwd=folder, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 60
        temporaries = []
        while not temporaries and process.poll() is None and time.monotonic() < deadline:
            temporaries = [name for name in os.listdir(folder) if TEMPORARY.match(name)]
            time.sleep(0.005)
        if not temporaries:
            process.communicate()
            self.fail(f"{folder}: saw no named output of a live run")
            return
        os.kill(process.pid, signal.SIGSTOP)
        try:
            self.sweep(f"{folder}: sweep beside a live run", folder, 0)
            for name in temporaries:
                if not os.path.exists(os.path.join(folder, name)):
                    self.fail(f"{folder}: the output {name} of a live run was removed")
        finally:
            os.kill(process.pid, signal.SIGCONT)
        _, stderr = process.communicate(timeout=120)
        if process.returncode != 0:
            self.fail(f"{folder}: the live run failed after the sweep: {stderr!r}")
        self.check_folder(f"{folder}: after the live run", folder, setup, hashes, False)
        self.counts[("fuse", "live named owner", "SIGSTOP", "kept")] += len(temporaries)

    def earlier_version_leftover(self, folder, setup, hashes):
        """An earlier version's leftover (no owner recorded) stays while a process has it open."""
        name = ".image.tif.nivra.tarn-Ab3dE9"
        path = os.path.join(folder, name)
        with open(path, "wb") as file:
            file.write(b"\0" * 4096)
        hours_ago = time.time() - 2 * 3600
        os.utime(path, (hours_ago, hours_ago))
        holder = subprocess.Popen([sys.executable, "-c", "import sys; f = open(sys.argv[1]); print(flush=True); "
                                   "sys.stdin.read()", path], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        holder.stdout.readline()
        self.sweep(f"{folder}: earlier leftover held open", folder, 0)
        if not os.path.exists(path):
            self.fail(f"{folder}: an open earlier leftover was removed")
        self.counts[("disk", "earlier version", "held open", "kept")] += int(os.path.exists(path))
        holder.communicate()
        self.counts[("disk", "earlier version", "closed", "removed")] += self.sweep(f"{folder}: earlier leftover closed",
                                                                            folder, 1)
        self.check_folder(f"{folder}: after the earlier leftover", folder, setup, hashes, False)


def mount_passthrough(backing, mountpoint):
    """A FUSE mount without unnamed files, or None when this machine cannot make one."""
    if os.geteuid() != 0 or not os.path.exists("/dev/fuse"):
        return None
    try:
        import fusepy  # noqa: F401
    except ImportError:
        return None
    os.makedirs(backing)
    os.makedirs(mountpoint)
    server = subprocess.Popen([sys.executable, os.path.join(HERE, "passthrough_fuse.py"), backing, mountpoint],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    for _ in range(100):
        if os.path.ismount(mountpoint):
            return server
        if server.poll() is not None:
            print("no FUSE mount:", server.stderr.read().decode(errors="replace").strip(), flush=True)
            return None
        time.sleep(0.05)
    server.kill()
    return None


def unmount(mountpoint, server):
    subprocess.run(["umount", "-l", mountpoint], check=False)
    try:
        server.wait(timeout=10)
    except subprocess.TimeoutExpired:
        server.kill()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tarn", required=True)
    parser.add_argument("--runs", type=int, default=20, help="kills of each signal for each command")
    parser.add_argument("--fuse-runs", type=int, default=6, help="the same on the FUSE file system")
    parser.add_argument("--megabytes", type=int, default=12, help="size of each input")
    parser.add_argument("--seed", type=int, default=int(time.time()))
    arguments = parser.parse_args()
    print(f"seed {arguments.seed}", flush=True)
    work = tempfile.mkdtemp(prefix="tarn-kills-")
    server = None
    mountpoint = os.path.join(work, "fuse")
    try:
        inputs = os.path.join(work, "inputs")
        os.makedirs(inputs)
        make_inputs(inputs, arguments.megabytes)
        rng = random.Random(arguments.seed)
        campaign = Campaign(os.path.abspath(arguments.tarn), inputs, arguments.runs, rng)
        chosen = setups(os.path.join(inputs, "camera.json"))
        references = {setup.name: campaign.reference(setup) for setup in chosen}
        for setup in chosen:
            print(f"{setup.name}: {references[setup.name][1]:.2f} s uninterrupted", flush=True)

        disk = os.path.join(work, "disk")
        for setup in chosen:
            folder = campaign.campaign(disk, setup, *references[setup.name])
        campaign.earlier_version_leftover(os.path.join(disk, "compress"), chosen[0], references["compress"][0])

        server = mount_passthrough(os.path.join(work, "backing"), mountpoint)
        if server is None:
            print("SKIPPED: the file system without unnamed files (needs root, /dev/fuse and python3-fusepy)")
        else:
            campaign.runs = arguments.fuse_runs
            for setup in chosen:
                # Slower through FUSE: measured there, so the kills still land mid-work.
                campaign.populate(os.path.join(mountpoint, "timing"), setup)
                _, seconds = campaign.run(os.path.join(mountpoint, "timing"), setup.arguments)
                shutil.rmtree(os.path.join(mountpoint, "timing"))
                folder = campaign.campaign(mountpoint, setup, references[setup.name][0], seconds)
                if setup.name == "compress":
                    campaign.live_named_owner_is_kept(folder, setup, references[setup.name][0])

        print(f"{'place':5} {'command':16} {'signal':9} {'outcome':9} count")
        for (place, command, name, outcome), count in sorted(campaign.counts.items()):
            print(f"{place:5} {command:16} {name:9} {outcome:9} {count}")
        failed = len(campaign.failures)
        print(f"{sum(c for (*_, o), c in campaign.counts.items() if o in ('finished', 'stopped', 'killed'))} runs; "
              f"{failed} failed checks")
        return 1 if failed else 0
    finally:
        if server is not None:
            unmount(mountpoint, server)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
