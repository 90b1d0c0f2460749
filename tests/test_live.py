# Readers beside a writer in another process, and a writer reopened after a failed sync.

import contextlib
import itertools
import json
import os
import shutil
import subprocess
import sys
import threading

import pytest

import corvane_audit as ca
from conftest import ENV, FINALIZATION, KEY, SLOW, check_log, raises, write_records
from corvane_audit import _native

# Appends for `seconds`, one segment per record (a 1-byte limit rotates on every append after the first), and
# stops well before the last segment index where syncs cost nothing.
ROTATING_WRITER = """
import sys, time
import corvane_audit as ca
with ca.Writer.open(sys.argv[1], ca.KeyHandle.from_env(), segment_size_bytes=1) as w:
    end, n = time.monotonic() + float(sys.argv[2]), 0
    while time.monotonic() < end and n < 30000:
        w.append({"actor": "w", "event": "e", "payload": {"n": n}})
        n += 1
"""


# From s0r0 on, each record the next one of its segment or the first of the next segment, and the rotating writer's
# counter without a hole.
def gapless(records: list[ca.RecordDict]) -> None:
    where = [(r["segment_index"], r["record_id"]) for r in records]
    assert where[0] == (0, 0) and all(b in ((a[0], a[1] + 1), (a[0] + 1, 0)) for a, b in itertools.pairwise(where))
    assert (counted := [r["payload"]["n"] for r in records if "n" in r["payload"]]) == list(range(len(counted)))


def test_listings_during_rotation_never_skip_a_segment(tmp_path):
    write_records(log := str(tmp_path / "log"), KEY, 1)  # a log to follow from the start
    # Other files make a listing slow enough to overlap renames: then it misses one now and then.
    for i in range(10000):
        open(os.path.join(log, f"other-{i}"), "w").close()
    seconds = 20 if SLOW else 3
    writer = subprocess.Popen([sys.executable, "-c", ROTATING_WRITER, log, str(seconds)], env=ENV, cwd=tmp_path)
    follower = subprocess.Popen([sys.executable, "-m", "corvane_audit", "show", log, "--follow", "--json",
                                 "--interval", "0.001"],
                                env=ENV, cwd=tmp_path, stdout=subprocess.PIPE, text=True)  # fmt: skip
    (watchdog := threading.Timer(seconds + 120, follower.kill)).start()  # a stuck follower ends the reads below
    try:
        rounds = 0
        while writer.poll() is None or rounds == 0:
            gapless(check_log(log, KEY))
            rounds += 1
        assert writer.returncode == 0 and rounds > 1
        records = list(ca.Reader.open(log))
        assert (records[-1]["actor"], records[-1]["event"]) != FINALIZATION and len(records) > 100 and follower.stdout
        shown = [json.loads(follower.stdout.readline() or "null") for _ in records]
        assert [r and (r["segment_index"], r["record_id"], r["hmac_hex"]) for r in shown] == [
            (r["segment_index"], r["record_id"], r["hmac_hex"]) for r in records]  # fmt: skip
    finally:
        watchdog.cancel()
        writer.kill()
        follower.terminate()
        follower.communicate(timeout=30)


def _run(*command: str) -> str:
    return subprocess.run(command, check=True, capture_output=True, text=True, timeout=60).stdout.strip()


# ext4 on a loop device whose image lies on a small tmpfs: once the tmpfs is full, writes to the disk fail (and fsync
# says so); removing the filler heals it. A remount drops the file system's page cache.
def test_reopening_after_a_failed_flush_builds_on_what_the_disk_holds(tmp_path):
    if os.geteuid() != 0 or not (shutil.which("mkfs.ext4") and shutil.which("losetup")):
        pytest.skip("needs root, mkfs.ext4 and losetup")
    (backing := tmp_path / "backing").mkdir()
    (mount := tmp_path / "mnt").mkdir()
    try:
        _run("mount", "-t", "tmpfs", "-o", "size=12m", "tmpfs", str(backing))
    except subprocess.CalledProcessError as exc:
        pytest.skip(f"cannot mount a tmpfs here: {exc.stderr.strip()}")
    loop = None
    try:
        with open(image := backing / "disk.img", "wb") as f:
            f.truncate(64 << 20)  # sparse: only what is written takes tmpfs pages
        # Nothing written ahead (no journal, inode tables left to be zeroed, which noinit_itable never does):
        # new data blocks are holes in the image then, whose writes fail once the tmpfs is full, and metadata
        # writes go to blocks written before. errors=continue keeps the file system writable after them.
        _run("mkfs.ext4", "-q", "-b", "4096", "-O", "^has_journal", "-E", "lazy_itable_init=1", str(image))
        mount_loop = lambda: _run("mount", "-o", "errors=continue,noinit_itable", str(loop), str(mount))  # noqa: E731
        try:
            loop = _run("losetup", "-f", "--show", str(image))
            mount_loop()
        except subprocess.CalledProcessError as exc:
            pytest.skip(f"cannot attach a loop device here: {exc.stderr.strip()}")
        log, filler = str(mount / "log"), backing / "filler"
        write_records(log, KEY, 3)
        with open(filler, "wb", buffering=0) as f, contextlib.suppress(OSError):
            while True:
                f.write(bytes(1 << 16))
        writer = _native.Writer.open(log, KEY, "00" * 16, None)
        for i in range(3000):  # about 500 KiB, all of it in new blocks
            writer.append({"actor": "lost", "event": "e", "ts_wall": "2026-12-06T00:00:00.000Z", "payload": {"i": i}})
        raises(_native.IoFailure, writer.flush)
        with contextlib.suppress(_native.IoFailure):
            writer.close()
        os.remove(filler)
        # The page cache still shows the lost records; recovery must read what the disk holds.
        with _native.Writer.open(log, KEY, "00" * 16, None) as writer:
            assert writer.recovery_action() == "Repaired"
            writer.append({"actor": "after", "event": "e", "ts_wall": "2026-12-06T00:00:01.000Z"})
        _run("umount", str(mount))
        mount_loop()
        # Records in the block that was on the disk already may have reached it; the rest did not.
        actors = [r["actor"] for r in check_log(log, KEY)]
        kept = len(actors) - 4
        assert actors == ["user:0", "user:1", "user:2"] + ["lost"] * kept + ["after"] and kept < 100
    finally:  # lazily, so that descriptors a failed test still holds leave nothing mounted
        subprocess.run(["umount", "-l", str(mount)], capture_output=True)
        if loop:
            subprocess.run(["losetup", "-d", loop], capture_output=True)
        subprocess.run(["umount", "-l", str(backing)], capture_output=True)
