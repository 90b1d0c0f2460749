# What a log directory may hold besides the writer's own files: links, FIFOs, look-alike names, entries nobody may
# open. Opening never follows, never blocks, and never mistakes the system's refusal for damage.

import ctypes
import os
import shutil
import stat

import pytest

import corvane_audit as ca
from conftest import ENV, KEY, check_log, run, segment_path, write_records
from corvane_audit import _native

# Runs one operation on a log in a child, so that an open blocking on a FIFO fails the test instead of hanging it.
OPERATION = """
import sys
from corvane_audit import _native
key, (op, log_dir) = _native.KeyHandle.from_bytes(b"\\x42" * 32), sys.argv[1:]
try:
    if op == "verify":
        print(_native.verify(log_dir, key).violation["message"])
    elif op == "reader":
        print(len(list(_native.Reader.open(log_dir))))
    else:
        _native.Writer.open(log_dir, key).close()
        print("opened")
except _native.IoFailure as exc:
    print(f"IoFailure: {exc}")
"""


def record(i: int) -> dict[str, object]:
    return {"actor": "a", "event": "e", "ts_wall": f"2026-01-01T00:00:{i % 60:02d}.000Z", "ts_mono_delta": i}


@pytest.mark.parametrize("op, fifo, outcome", [
    ("reader", "link", "IoFailure: not a regular file"),  # a link to a good copy is not followed either
    ("verify", 0, "Segment 0 header unreadable: not a regular file"),
    ("verify", 2, "Segment 2 header unreadable: not a regular file"),
    ("reader", 0, "IoFailure: not a regular file"),
    ("reader", 2, "IoFailure: not a regular file"),
    ("writer", 0, "opened"),  # the writer opens only the last segment
    ("writer", 2, "IoFailure: not a regular file"),
])  # fmt: skip
def test_a_fifo_named_like_a_segment_is_unreadable_and_never_blocks(log_dir, op, fifo, outcome):
    write_records(log_dir, KEY, 3, segment_size_bytes=0)  # segments 0, 1 and 2
    if fifo == "link":
        os.rename(segment_path(log_dir, 1), copy := f"{log_dir}.segment-1")
        os.symlink(copy, segment_path(log_dir, 1))
    else:
        os.remove(segment_path(log_dir, fifo))
        os.mkfifo(segment_path(log_dir, fifo))
    done = run("-c", OPERATION, op, log_dir, cwd=os.path.dirname(log_dir))
    assert (done.stdout.strip(), done.stderr) == (outcome, "")


def test_rotation_never_writes_through_a_planted_link(tmp_path):
    victim, log = tmp_path / "victim", tmp_path / "log"
    victim.write_bytes(b"v" * 3200)
    with _native.Writer.open(str(log), KEY, "00" * 16, 600) as w:
        (log / "audit-0001.cbor.tmp").symlink_to(victim)  # after open, which clears stale temporary files
        for i in range(8):
            w.append(record(i))
    assert victim.read_bytes() == b"v" * 3200
    assert stat.S_ISREG(os.lstat(segment_path(str(log), 1)).st_mode)
    segments = _native.Reader.open(str(log)).segments()
    assert len(segments) > 2 and len(check_log(str(log), KEY)) == 8 + len(segments) - 1  # no record went astray


def test_directory_and_segments_are_private_whatever_the_umask(tmp_path):
    log = tmp_path / "parent" / "log"
    old = os.umask(0)
    try:
        write_records(str(log), KEY, 3, segment_size_bytes=0)
    finally:
        os.umask(old)
    modes = {p.name: stat.S_IMODE(p.stat().st_mode) for p in [log.parent, log, *log.iterdir()]}
    assert modes == {"parent": 0o750, "log": 0o750, **{f"audit-000{i}.cbor": 0o640 for i in range(3)}}


def test_only_the_writers_own_names_are_segments(log_dir):
    write_records(log_dir, KEY, 3, segment_size_bytes=0)
    records = check_log(log_dir, KEY)
    for name in ("audit-+002.cbor", "audit-02.cbor", "audit-00002.cbor", "audit-+999.cbor"):
        shutil.copy(segment_path(log_dir, 2), os.path.join(log_dir, name))
    report = _native.verify(log_dir, KEY)
    assert (report.ok, report.segments_inspected) == (True, 3), report.violation
    assert (_native.Reader.open(log_dir).segments(), check_log(log_dir, KEY)) == ([0, 1, 2], records)
    write_records(log_dir, KEY, 1)  # "audit-+999.cbor" made every open fail
    assert len(check_log(log_dir, KEY)) == len(records) + 1


def test_writer_keeps_its_directory_when_the_working_directory_changes(tmp_path, monkeypatch):
    (tmp_path / "elsewhere").mkdir()
    monkeypatch.chdir(tmp_path)
    w = ca.Writer.open("logs", KEY, segment_size_bytes=0)
    w.append({"actor": "a", "event": "e"})
    os.chdir(tmp_path / "elsewhere")  # as a daemon does
    for _ in range(4):
        w.append({"actor": "a", "event": "e"})  # each one rotates
    w.flush()
    w.close()
    assert not (tmp_path / "elsewhere" / "logs").exists()
    assert sorted(os.listdir(tmp_path / "logs")) == [f"audit-000{i}.cbor" for i in range(5)]
    assert len(check_log(str(tmp_path / "logs"), KEY)) == 5 + 4


def _without_file_permission_override() -> None:
    # Root reads a mode-000 file anyway; without these two capabilities it is held to the mode bits like anyone.
    libc = ctypes.CDLL(None, use_errno=True)
    for capability in (1, 2):  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH: dropped from the bounding set before exec
        if libc.prctl(24, capability, 0, 0, 0) != 0:  # PR_CAPBSET_DROP
            raise OSError(ctypes.get_errno(), "prctl(PR_CAPBSET_DROP)")


def test_cli_verify_of_a_segment_it_may_not_read_is_an_io_error(tmp_path):
    log = tmp_path / "log"
    write_records(str(log), KEY, 3, segment_size_bytes=0)
    os.chmod(segment_path(str(log), 1), 0)
    preexec = _without_file_permission_override if os.geteuid() == 0 else None
    limited = {"cwd": tmp_path, "env": ENV, "preexec_fn": preexec}
    if run("-c", f"open({segment_path(str(log), 1)!r}, 'rb')", **limited).returncode == 0:
        pytest.skip("this process may read a mode-000 file")
    done = run("-m", "corvane_audit", "verify", "log", **limited)
    assert (done.returncode, done.stdout, done.stderr.count("\n")) == (2, "", 1), done.stderr
    assert done.stderr.endswith(": reader I/O: I/O error: Permission denied (os error 13)\n")
