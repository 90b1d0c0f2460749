"""The pure-Python layer: wrappers, timestamps, checkpoint files, follow, AuditHandler, typing."""

import functools
import json
import logging
import os
import re
import stat
import subprocess
import sys
import threading
import time
import tomllib
import types
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import pytest

import corvane_audit as ca
from conftest import child_env, raises, segment_path, write_records
from corvane_audit import _native
from corvane_audit._clock import RecordClock

REPO = Path(__file__).resolve().parent.parent


def test_versions_exports_signatures_and_constructors():
    assert (_native.format_version(), _native.core_version(), ca.__version__) == (
        1, "0.3.0", tomllib.loads((REPO / "pyproject.toml").read_text())["project"]["version"])
    assert all(hasattr(ca, name) for name in ca.__all__)
    for name in [n for n in dir(_native) if not n.startswith("_")]:
        assert name in ("Writer", "Reader", "verify", "checkpoint", "verify_span") or getattr(ca, name) is getattr(_native, name), name
    assert [f.__text_signature__ for f in (_native.format_version, _native.verify, _native.checkpoint)] == [
        "()", "(log_dir, key, forensic=False, raise_on_violation=False, checkpoint=None)", "(log_dir, key, observed_at)"]
    for cls in (_native.KeyHandle, _native.Writer, _native.Reader, _native.RecordIter, _native.VerifyReport):
        raises(TypeError, cls)


class CustomPath:  # a PathLike that is neither str nor Path
    def __init__(self, path: Any) -> None:
        self.path = str(path)

    def __fspath__(self) -> str:
        return self.path


def test_writer_fills_session_and_times_unless_told_otherwise(log_dir, key, monkeypatch):
    before = ca.utc_timestamp()
    with ca.Writer.open(CustomPath(log_dir), key) as w1:
        w1.append({"actor": "a", "event": "stamped"})
        w1.append(types.MappingProxyType({"actor": "a", "event": "given", "ts_wall": "2020-01-01T00:00:00.000Z"}))
        assert repr(w1) == "Writer(open)" and w1.recovery_action() == "Fresh"
        raises(TypeError, lambda: w1.append([("actor", "a"), ("event", "e")]), "Writer.append expects a dict")
        monkeypatch.setattr(time, "time_ns", lambda: 0)  # the clock steps back: ts_wall stays put
        w1.append({"actor": "a", "event": "stepped"})
    assert repr(w1) == "Writer(closed)"
    with ca.Writer.open(log_dir, key, timestamps=False) as w2:
        w2.append({"actor": "a", "event": "raw"})
        assert (w2.recovery_action(), w2.recovery_truncated_bytes()) == ("Resumed", 0)
    stamped, given, stepped, raw = list(ca.Reader.open(log_dir))
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", stamped["ts_wall"]) and before <= stamped["ts_wall"]
    assert given["ts_wall"] == "2020-01-01T00:00:00.000Z" and given["ts_mono_delta"] >= stamped["ts_mono_delta"]
    assert stepped["ts_wall"] == stamped["ts_wall"] and stepped["ts_mono_delta"] >= given["ts_mono_delta"]
    assert (raw["ts_wall"], raw["ts_mono_delta"]) == ("1970-01-01T00:00:00.000Z", 0)
    assert stamped["session_id_hex"] == w1.session_id_hex != w2.session_id_hex == raw["session_id_hex"]
    assert re.fullmatch(r"[0-9a-f]{32}", w1.session_id_hex)
    # The clock's own rule: the wall clock never goes back, the monotonic delta goes on.
    walls, monos = iter([4_000_000, 1_000_000, 9_000_000]), iter([0, 2_000_000, 2_500_000, 7_900_000])
    clock = RecordClock(wall_ns=walls.__next__, mono_ns=monos.__next__)
    assert [clock.stamp() for _ in range(3)] == [(f"1970-01-01T00:00:00.00{ms}Z", d) for ms, d in ((4, 2), (4, 2), (9, 7))]


def test_checkpoint_files_are_replaced_atomically(tmp_path, key, monkeypatch):
    write_records(str(tmp_path / "log"), key, 4)
    log, target, before = CustomPath(tmp_path / "log"), tmp_path / "cp.json", ca.utc_timestamp()
    ca.save_checkpoint(ca.checkpoint(log, key), CustomPath(target))
    assert before <= ca.load_checkpoint(CustomPath(target))["observed_at"] <= ca.utc_timestamp()  # by default, now
    assert ca.verify(log, key, checkpoint=CustomPath(target)).ok and len(list(ca.Reader.open(log))) == 4
    assert stat.S_IMODE(target.stat().st_mode) == 0o644
    target.chmod(0o600)
    cp = ca.checkpoint(log, key, "by the auditor")
    ca.save_checkpoint(cp, target)
    assert ca.load_checkpoint(target) == cp == json.loads(target.read_text())
    assert stat.S_IMODE(target.stat().st_mode) == 0o600  # replacing keeps the mode
    monkeypatch.setattr(os, "fsync", lambda fd: (_ for _ in ()).throw(OSError(28, "No space left on device")))
    raises(OSError, lambda: ca.save_checkpoint(ca.checkpoint(log, key, "new"), target), 28, "No space left on device")
    monkeypatch.undo()
    assert ca.load_checkpoint(target) == cp and sorted(os.listdir(tmp_path)) == ["cp.json", "log"]  # no temporary


@pytest.mark.parametrize("content, exc, message", [
    (None, ca.ArgumentError, "cannot read checkpoint file .*cp.json: No such file"),
    (b'{"format": "corvane-audit-checkpoint/v1", "key_id"', ca.ArgumentError, "cp.json: not valid JSON"),
    (b"\xff\xfe", ca.ArgumentError, "cp.json: not valid JSON"),
    (b"[1, 2]", ca.ArgumentError, "cp.json: expected a JSON object"),
    (b" " * 70_000, ca.ArgumentError, "cp.json: too large"),
    (b'{"format": "corvane-audit-checkpoint/v1"}', ca.ArgumentError, 'cp.json: checkpoint missing key "key_id"'),
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
    ["mypy", "--strict", "corvane_audit", "examples"],
    # stubtest imports the built module and checks every name and signature against _native.pyi.
    ["mypy.stubtest", "corvane_audit._native", "--allowlist", str(REPO / "tests" / "stubtest-allowlist.txt")],
])  # fmt: skip
def test_typing(tmp_path, args):
    mypy = args[0] == "mypy"
    done = subprocess.run([sys.executable, "-m", *args], cwd=REPO if mypy else tmp_path,
                          env=None if mypy else child_env(), capture_output=True, text=True, timeout=300)  # fmt: skip
    assert done.returncode == 0, done.stdout + done.stderr


# A handler on a logger of its own; its handleError keeps the exceptions.
def audit(tmp_path: Path, key: _native.KeyHandle, **kwargs: Any) -> tuple[logging.Logger, ca.AuditHandler, list[Any]]:
    handler, errors = ca.AuditHandler(tmp_path / "log", key, segment_size_bytes=2048, **kwargs), []
    handler.handleError = lambda record: errors.append(sys.exc_info()[1])  # type: ignore[method-assign]
    (logger := logging.getLogger(f"svc.{tmp_path.name}")).propagate = False
    logger.setLevel(logging.INFO)
    logger.handlers = [handler]
    return logger, handler, errors


def audited(log_dir: Path) -> list[ca.RecordDict]:
    return [r for r in ca.Reader.open(log_dir) if r["event"] != "segment.finalized"]


def test_log_records_become_audit_records(tmp_path, key):
    logger, handler, errors = audit(tmp_path, key)
    before = ca.utc_timestamp()
    logger.info("user %s logged in", "alice", extra={"ip": "10.0.0.1", "mfa": True, "attempt": 2})
    logger.warning("odd values", extra={
        "ratio": 0.5, "none": None, "raw": b"\x00\xff", "pair": (1, 2), "obj": type("O", (), {"__str__": lambda s: "o!"})(),
        "big": 1 << 70, "nested": {"k": [1, -2, {"x": 1.5}], 3: "int key"}, "lone": "a\udcffb",
        "deep": functools.reduce(lambda v, _: [v], range(20), [])})  # fmt: skip
    logger.debug("below the level")
    handler.flush()
    first, second = audited(tmp_path / "log")
    assert (first["actor"], first["event"], first["session_id_hex"], first["payload"]) == (
        logger.name, "user alice logged in", handler.session_id_hex, {"attempt": 2, "ip": "10.0.0.1", "mfa": True})
    assert before <= first["ts_wall"] <= second["ts_wall"] <= ca.utc_timestamp()
    p = second["payload"]
    assert repr(p.pop("deep")).startswith("[" * 13 + "'[[")  # cut short at the depth the writer allows
    assert p == {
        "ratio": "0.5", "none": "None", "raw": b"\x00\xff", "pair": "(1, 2)", "obj": "o!", "big": str(1 << 70),
        "nested": {"k": [1, -2, {"x": "1.5"}], "3": "int key"}, "lone": "a\\udcffb"}  # fmt: skip
    handler.close()
    assert errors == [] and ca.verify(tmp_path / "log", key).ok


def test_handler_actor_threads_failures_and_close(tmp_path, key):
    logger, handler, errors = audit(tmp_path, key, actor_attr="user")
    logger.info("role.grant", extra={"user": "user:bob", "role": "admin"})
    logger.info("%d items", "not a number")
    # The native writer is bound to one thread; the handler must not be.
    with ThreadPoolExecutor(4) as pool:
        list(pool.map(lambda n: [logger.info("tick", extra={"n": n, "i": i}) for i in range(50)], range(4)))
    handler.close()
    logger.info("after close")
    handler.close()  # twice is harmless
    assert [type(e) for e in errors] == [TypeError, ca.ArgumentError]
    with ca.Writer.open(tmp_path / "log", key) as w:  # closed means flushed and unlocked
        assert w.recovery_action() == "Resumed"
    granted, *ticks = audited(tmp_path / "log")
    assert (granted["actor"], granted["payload"]) == ("user:bob", {"role": "admin"})  # else the logger's name:
    assert {t["actor"] for t in ticks} == {logger.name} and ca.verify(tmp_path / "log", key).ok
    assert sorted((t["payload"]["n"], t["payload"]["i"]) for t in ticks) == [(n, i) for n in range(4) for i in range(50)]


def test_a_handler_that_cannot_open_its_log_fails_at_construction(tmp_path, key):
    (tmp_path / "file").write_text("")
    raises(ca.IoFailure, lambda: ca.AuditHandler(tmp_path / "file" / "log", key))
    assert not [t for t in threading.enumerate() if t.name.startswith("corvane-audit-handler")]
