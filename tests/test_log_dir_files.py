# What a log directory may hold besides the writer's own files: links, FIFOs, look-alike names, entries nobody may
# open. Opening never follows, never blocks, and never mistakes the system's refusal for damage.

import ctypes
import os

import pytest

import corvane_audit as ca
from conftest import ENV, KEY, check_log, run, segment_path, write_records

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


@pytest.mark.parametrize("op, fifo, outcome", [
    ("reader", "link", "IoFailure: not a regular file"),  # a link to a good copy is not followed either
    ("verify", 0, "Segment 0 header unreadable: not a regular file"),
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
