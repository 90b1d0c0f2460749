# The pure-Python layer: wrappers, timestamps, checkpoint files, follow, typing.

import json
import os
import re
import stat
import threading
import time
import types
from pathlib import Path
from typing import Any

import pytest

import corvane_audit as ca
from conftest import raises, run, segment_path, ts_text, write_records
from corvane_audit import _native
from corvane_audit._clock import RecordClock

REPO = Path(__file__).resolve().parent.parent
BEHIND = 'ts_wall "{}" is more than 60 s earlier than the previous record\'s "{}"'


# Signatures are stubtest's business (test_typing).
def test_versions_exports_and_constructors():
    version = re.search(r"project\(corvane_audit VERSION ([0-9.]+)", (REPO / "CMakeLists.txt").read_text())
    assert version and (_native.format_version(), _native.core_version(), ca.__version__) == (1,) + (version[1],) * 2
    assert all(hasattr(ca, n) for n in ca.__all__)
    wrapped = ("Writer", "Reader", "verify", "checkpoint", "ed25519_public_key", "ed25519_sign", "ed25519_verify",
               "verify_span")  # fmt: skip
    exported = [n for n in dir(_native) if n[0] != "_" and n not in wrapped]
    assert [n for n in exported if getattr(ca, n) is not getattr(_native, n)] == []


class CustomPath:  # a PathLike that is neither str nor Path
    def __init__(self, path: Any) -> None:
        self.path = str(path)

    def __fspath__(self) -> str:
        return self.path


def test_writer_fills_session_and_times_unless_told_otherwise(log_dir, key):
    before = ca.utc_timestamp()
    given_ts = ts_text(time.time_ns() // 1_000_000 - 30_000)
    with ca.Writer.open(CustomPath(log_dir), key) as w1:
        w1.append(record := {"actor": "a", "event": "stamped"})
        assert record == {"actor": "a", "event": "stamped"}  # stamped on a copy
        w1.append(types.MappingProxyType({"actor": "a", "event": "given", "ts_wall": given_ts}))
        raises(TypeError, lambda: w1.append([("actor", "a"), ("event", "e")]), "Writer.append expects a dict")
    assert repr(w1) == "Writer(closed)"
    with ca.Writer.open(log_dir, key, timestamps=False) as w2:
        # The native default, the epoch, is far behind the log's last record.
        raises(ca.ArgumentError, lambda: w2.append({"actor": "a", "event": "raw"}), BEHIND.format(
            "1970-01-01T00:00:00.000Z", w2._native.last_ts_wall()))  # fmt: skip
        w2.append({"actor": "a", "event": "raw", "ts_wall": given_ts})
        assert (w2.recovery_action(), w2.recovery_truncated_bytes()) == ("Resumed", 0)
    stamped, given, raw = list(ca.Reader.open(log_dir))
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", stamped["ts_wall"]) and before <= stamped["ts_wall"]
    assert given["ts_wall"] == given_ts and given["ts_mono_delta"] >= stamped["ts_mono_delta"]
    assert (raw["ts_wall"], raw["ts_mono_delta"]) == (given_ts, 0)
    assert stamped["session_id_hex"] == w1.session_id_hex != w2.session_id_hex == raw["session_id_hex"]


# A time ahead of the clock (given, or a fast clock's in a run before) is the floor of later stamps.
def test_a_time_ahead_of_the_clock_is_the_floor_in_this_run_and_the_next(log_dir, key):
    ahead = ts_text(time.time_ns() // 1_000_000 + 300_000)
    with ca.Writer.open(log_dir, key) as w:
        w.append({"actor": "a", "event": "given", "ts_wall": ahead})
        w.append({"actor": "a", "event": "stamped"})  # not refused as 5 minutes behind
    with ca.Writer.open(log_dir, key) as w:
        w.append({"actor": "a", "event": "stamped"})
    assert [r["ts_wall"] for r in ca.Reader.open(log_dir)] == [ahead] * 3


def test_the_clock_never_steps_back_and_formats_every_millisecond():
    # Wall clock in ms: back below the floor, up, back, across a second and a day; the monotonic delta goes on.
    walls = [2, 4, 1, 999, 1000, 86_400_000 + 3_661_042]
    monos = iter([10**6 * ms for ms in (5, 7, 7, 9, 12, 20, 2000)])
    clock = RecordClock(wall_ns=iter(10**6 * ms for ms in walls).__next__, mono_ns=monos.__next__, floor_ms=3)
    assert [clock.stamp() for _ in walls] == [("1970-01-01T00:00:00.003Z", 2), ("1970-01-01T00:00:00.004Z", 2),
        ("1970-01-01T00:00:00.004Z", 4), ("1970-01-01T00:00:00.999Z", 7), ("1970-01-01T00:00:01.000Z", 15),
        ("1970-01-02T01:01:01.042Z", 1995)]  # fmt: skip


@pytest.mark.parametrize("record, name", [
    ({"actor": "a", "event": "e", "paylaod": {"x": 1}}, "'paylaod'"),
    (types.MappingProxyType({"actor": "a", "event": "e", "record_id": 7}), "'record_id'"),  # the native one ignores it
])  # fmt: skip
@pytest.mark.parametrize("timestamps", [True, False])
def test_the_writer_refuses_unknown_record_fields(log_dir, key, record, name, timestamps):
    with ca.Writer.open(log_dir, key, timestamps=timestamps) as w:
        known = "actor, event, ts_wall, ts_mono_delta, schema_version, payload"
        raises(ca.ArgumentError, lambda: w.append(record), f"unknown record field {name} (known: {known})")
    assert list(ca.Reader.open(log_dir)) == []


def test_checkpoint_files_are_replaced_atomically(tmp_path, key, monkeypatch):
    write_records(str(tmp_path / "log"), key, 4)
    log, target, before = CustomPath(tmp_path / "log"), tmp_path / "cp.json", ca.utc_timestamp()
    ca.save_checkpoint(ca.checkpoint(log, key), CustomPath(target))
    assert before <= ca.load_checkpoint(CustomPath(target))["observed_at"] <= ca.utc_timestamp()  # by default, now
    assert ca.verify(log, key, checkpoint=CustomPath(target)).ok and stat.S_IMODE(target.stat().st_mode) == 0o644
    target.chmod(0o600)
    ca.save_checkpoint(cp := ca.checkpoint(log, key, "by the auditor"), target)
    assert ca.load_checkpoint(target) == cp == json.loads(target.read_text())
    assert stat.S_IMODE(target.stat().st_mode) == 0o600  # replacing keeps the mode
    # A link is written through: the temporary file is made beside its target, so the rename stays on one file system.
    (tmp_path / "keep").mkdir(), (tmp_path / "link.json").symlink_to(tmp_path / "keep" / "new.json")  # dangling
    renames, real_replace = [], os.replace
    monkeypatch.setattr(os, "replace", lambda s, d: renames.append((os.path.dirname(s), d)) or real_replace(s, d))
    ca.save_checkpoint({"format": "x"}, tmp_path / "link.json")
    assert renames == [(str(tmp_path / "keep"), str(tmp_path / "keep" / "new.json"))]
    assert json.loads((tmp_path / "link.json").read_text()) == {"format": "x"} and (tmp_path / "link.json").is_symlink()
    monkeypatch.setattr(os, "fsync", lambda fd: (_ for _ in ()).throw(OSError(28, "No space left on device")))
    raises(OSError, lambda: ca.save_checkpoint(ca.checkpoint(log, key, "new"), target), 28, "No space left on device")
    monkeypatch.undo()
    assert ca.load_checkpoint(target) == cp and sorted(os.listdir(tmp_path)) == ["cp.json", "keep", "link.json", "log"]
    assert os.listdir(tmp_path / "keep") == ["new.json"]  # no temporary file left


@pytest.mark.parametrize("content, exc, message", [
    (None, ca.ArgumentError, "cannot read checkpoint file .*cp.json: No such file"),
    (b'{"format": "corvane-audit-checkpoint/v1", "key_id"', ca.ArgumentError, "cp.json: not valid JSON"),
    (b"[1, 2]", ca.ArgumentError, "cp.json: expected a JSON object"),
    (b" " * 70_000, ca.ArgumentError, "cp.json: too large"),
    (json.dumps({"format": "corvane-audit-checkpoint/v1", "key_id": "00" * 32, "segment": 0, "record_id": 0,
                 "hmac": "00" * 32}).encode(), ca.CheckpointKeyMismatchError, "^checkpoint belongs"),  # not renamed
])  # fmt: skip
def test_a_bad_checkpoint_file_is_refused(tmp_path, key, content, exc, message):
    if content is not None:
        (tmp_path / "cp.json").write_bytes(content)
    with pytest.raises(exc, match=message):
        ca.verify(tmp_path, key, checkpoint=tmp_path / "cp.json")


def test_follow_yields_history_then_new_records_across_rotations_and_torn_tails(log_dir, key):
    write_records(log_dir, key, 3, segment_size_bytes=600)
    follow = ca.Reader.open(log_dir).follow(poll_interval=0.01)
    seen = [next(follow) for _ in range(len(list(ca.Reader.open(log_dir))))]
    # A frame half-written by a crashed writer: wait, not fail.
    with open(segment_path(log_dir, seen[-1]["segment_index"]), "ab") as f:
        f.write(b"\x40\x00\x00")

    def writer() -> None:
        with ca.Writer.open(log_dir, key, segment_size_bytes=600) as w:
            assert w.recovery_action() == "Repaired"
            for i in range(6):
                w.append({"actor": "late", "event": f"e{i}"})

    (thread := threading.Timer(0.2, writer)).start()
    late: list[ca.RecordDict] = []
    while len(late) < 6:
        late += [r for r in [next(follow)] if r["actor"] == "late"]
    thread.join()
    follow.close()
    assert [r["event"] for r in late] == [f"e{i}" for i in range(6)]
    assert late[-1]["segment_index"] > seen[-1]["segment_index"]  # across a rotation


@pytest.mark.parametrize("args", [
    ["mypy", "--strict", "src/corvane_audit", "examples"],
    # stubtest imports the built module and checks every name and signature against _native.pyi.
    ["mypy.stubtest", "corvane_audit._native", "--allowlist", str(REPO / "tests" / "stubtest-allowlist.txt")],
])  # fmt: skip
def test_typing(tmp_path, args):
    mypy = args[0] == "mypy"
    done = run("-m", *args, cwd=REPO if mypy else tmp_path, env=dict(os.environ) if mypy else None, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
