# Readers beside a writer in another process, and a writer reopened after a failed sync.

import contextlib
import os
import shutil
import subprocess

import pytest

from conftest import KEY, cli, cut, frames, segment_path, write_records
from corvane_audit import _native


def test_follow_reports_damage_before_the_last_segment(tmp_path, key):
    log = str(tmp_path / "log")
    write_records(log, key, 6, segment_size_bytes=600)
    segment0 = segment_path(log, 0)
    start, length = frames(segment0)[1]
    cut(segment0, start + length // 2, start + length)  # half of record 1 gone, segments 1 and 2 intact
    shown, followed = cli(tmp_path, "show", log), cli(tmp_path, "show", log, "--follow", "--interval", "0.01")
    assert (followed.returncode, followed.stdout, followed.stderr) == (1, shown.stdout, shown.stderr)
    assert shown.stderr == f"corvane-audit: torn tail at segment 0 offset {start}\n"


def _run(*command: str) -> str:
    return subprocess.run(command, check=True, capture_output=True, text=True, timeout=60).stdout.strip()


# ext4 on a loop device whose image lies on a small tmpfs: once the tmpfs is full, writes to the disk fail (and fsync
# says so); removing the filler heals it. Yields the mount point, the filler's path and a function that remounts the
# disk (the page cache of the file system is gone after it).
@pytest.fixture
def failing_disk(tmp_path):
    if os.geteuid() != 0 or not (shutil.which("mkfs.ext4") and shutil.which("losetup")):
        pytest.skip("needs root, mkfs.ext4 and losetup")
    backing, mount = tmp_path / "backing", tmp_path / "mnt"
    backing.mkdir()
    mount.mkdir()
    try:
        _run("mount", "-t", "tmpfs", "-o", "size=12m", "tmpfs", str(backing))
    except subprocess.CalledProcessError as exc:
        pytest.skip(f"cannot mount a tmpfs here: {exc.stderr.strip()}")
    loop = None
    try:
        image = backing / "disk.img"
        with open(image, "wb") as f:
            f.truncate(64 << 20)  # sparse: only what is written takes tmpfs pages
        # Nothing written ahead (no journal, inode tables left to be zeroed, which noinit_itable never does):
        # new data blocks are holes in the image then, whose writes fail once the tmpfs is full, and metadata
        # writes go to blocks written before. errors=continue keeps the file system writable after them.
        _run("mkfs.ext4", "-q", "-b", "4096", "-O", "^has_journal", "-E", "lazy_itable_init=1", str(image))
        try:
            loop = _run("losetup", "-f", "--show", str(image))
            _run("mount", "-o", "errors=continue,noinit_itable", loop, str(mount))
        except subprocess.CalledProcessError as exc:
            pytest.skip(f"cannot attach a loop device here: {exc.stderr.strip()}")

        def remount() -> None:
            _run("umount", str(mount))
            _run("mount", "-o", "errors=continue,noinit_itable", str(loop), str(mount))

        yield mount, backing / "filler", remount
    finally:  # lazily, so that descriptors a failed test still holds leave nothing mounted
        subprocess.run(["umount", "-l", str(mount)], capture_output=True)
        if loop:
            subprocess.run(["losetup", "-d", loop], capture_output=True)
        subprocess.run(["umount", "-l", str(backing)], capture_output=True)


def test_reopening_after_a_failed_flush_builds_on_what_the_disk_holds(failing_disk):
    mount, filler, remount = failing_disk
    log = str(mount / "log")
    write_records(log, KEY, 3)
    with open(filler, "wb", buffering=0) as f, contextlib.suppress(OSError):
        while True:
            f.write(bytes(1 << 16))
    writer = _native.Writer.open(log, KEY, "00" * 16, None)
    for i in range(3000):  # about 500 KiB, all of it in new blocks
        writer.append({"actor": "lost", "event": "e", "ts_wall": "2026-12-06T00:00:00.000Z", "payload": {"i": i}})
    with pytest.raises(_native.IoFailure):
        writer.flush()
    with contextlib.suppress(_native.IoFailure):
        writer.close()
    os.remove(filler)
    # The page cache still shows the lost records; recovery must read what the disk holds.
    with _native.Writer.open(log, KEY, "00" * 16, None) as writer:
        assert writer.recovery_action() == "Repaired"
        writer.append({"actor": "after", "event": "e", "ts_wall": "2026-12-06T00:00:01.000Z"})
    remount()
    report = _native.verify(log, KEY)
    assert report.ok, report.violation
    # Records in the block that was on the disk already may have reached it; the rest did not.
    actors = [r["actor"] for r in _native.Reader.open(log)]
    kept = len(actors) - 4
    assert actors == ["user:0", "user:1", "user:2"] + ["lost"] * kept + ["after"] and kept < 100
