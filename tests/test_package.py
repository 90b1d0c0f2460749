# The pure-Python layer: wrappers, timestamps, checkpoint files, follow, typing, and AuditHandler: log records become
# audit records, queued by the caller and written in order by the handler's thread.

import functools
import json
import logging
import os
import pickle
import re
import signal
import stat
import sys
import threading
import time
import types
from concurrent.futures import ProcessPoolExecutor
from multiprocessing import get_context
from pathlib import Path
from typing import Any

import pytest

import corvane_audit as ca
from conftest import raises, run, segment_path, ts_text, write_records
from corvane_audit import _native
from corvane_audit._clock import RecordClock

REPO = Path(__file__).resolve().parent.parent


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
    before, given_ts = ca.utc_timestamp(), ts_text(time.time_ns() // 1_000_000 - 30_000)
    with ca.Writer.open(CustomPath(log_dir), key) as w1:  # and leaving the block closes it: the next open may lock
        assert w1.append(record := {"actor": "a", "event": "stamped"}) == 0 and len(record) == 2  # stamped on a copy
        w1.append(types.MappingProxyType({"actor": "a", "event": "given", "ts_wall": given_ts}))
        raises(TypeError, lambda: w1.append([("actor", "a"), ("event", "e")]), "Writer.append expects a dict")
    with ca.Writer.open(log_dir, key, timestamps=False) as w2:
        # The native default, the epoch, is far behind the log's last record.
        raises(ca.ArgumentError, lambda: w2.append({"actor": "a", "event": "raw"}))
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
    with ca.Writer.open(log_dir, key) as w:  # the stamped record is not refused as 5 minutes behind
        w.append({"actor": "a", "event": "given", "ts_wall": ahead})
        w.append({"actor": "a", "event": "stamped"})
    ca.Writer.open(log_dir, key).append({"actor": "a", "event": "stamped"})  # closed as it is dropped
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
def test_the_writer_refuses_unknown_record_fields(log_dir, key, record, name):
    with ca.Writer.open(log_dir, key) as w:
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
    (tmp_path / "keep").mkdir()  # dangling
    (tmp_path / "link.json").symlink_to(tmp_path / "keep" / "new.json")
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
    (b'{"format": "corvane-audit-checkpoint/v1", "key_id"', ca.ArgumentError, "cp.json: not valid JSON"),
    (b"[1, 2]", ca.ArgumentError, "cp.json: expected a JSON object"),
    (b" " * 70_000, ca.ArgumentError, "cp.json: too large"),
    (json.dumps({"format": "corvane-audit-checkpoint/v1", "key_id": "00" * 32, "segment": 0, "record_id": 0,
                 "hmac": "00" * 32}).encode(), ca.CheckpointKeyMismatchError, "^checkpoint belongs"),  # not renamed
])  # fmt: skip
def test_a_bad_checkpoint_file_is_refused(tmp_path, key, content, exc, message):
    (tmp_path / "cp.json").write_bytes(content)
    pytest.raises(exc, lambda: ca.verify(tmp_path, key, checkpoint=tmp_path / "cp.json")).match(message)


def test_follow_yields_history_then_new_records_across_rotations_and_torn_tails(log_dir, key):
    write_records(log_dir, key, 3, segment_size_bytes=600)
    follow = ca.Reader.open(log_dir).follow(poll_interval=0.01)
    seen = [next(follow) for _ in range(len(list(ca.Reader.open(log_dir))))]
    # A frame half-written by a crashed writer: wait, not fail.
    open(segment_path(log_dir, last := seen[-1]["segment_index"]), "ab").write(b"\x40\x00\x00")

    def writer() -> None:
        with ca.Writer.open(log_dir, key, segment_size_bytes=600) as w:
            for i in range(6):
                w.append({"actor": "late", "event": f"e{i}"})

    (thread := threading.Timer(0.2, writer)).start()
    late: list[ca.RecordDict] = []
    while len(late) < 6:
        late += [r for r in [next(follow)] if r["actor"] == "late"]
    thread.join()
    follow.close()
    # Across a rotation.
    assert [r["event"] for r in late] == [f"e{i}" for i in range(6)] and late[-1]["segment_index"] > last


@pytest.mark.parametrize("args", [
    ["mypy", "--strict", "src/corvane_audit", "examples"],
    # stubtest imports the built module and checks every name and signature against _native.pyi.
    ["mypy.stubtest", "corvane_audit._native", "--allowlist", str(REPO / "tests" / "stubtest-allowlist.txt")],
])  # fmt: skip
def test_typing(tmp_path, args):
    mypy = args[0] == "mypy"
    done = run("-m", *args, cwd=REPO if mypy else tmp_path, env=dict(os.environ) if mypy else None, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


# AuditHandler.
CHILD = str(Path(__file__).with_name("handler_child.py"))
FORKED = "Writer was opened by process {} and cannot be used after fork; open a new Writer in this process"


# A handler on a logger of its own; its handleError keeps the exceptions.
def audit(tmp_path: Path, key: _native.KeyHandle, **kwargs: Any) -> tuple[logging.Logger, ca.AuditHandler, list[Any]]:
    handler, errors = ca.AuditHandler(tmp_path / "log", key, **{"segment_size_bytes": 2048, **kwargs}), []
    handler.handleError = lambda record: errors.append(sys.exc_info()[1])  # type: ignore[method-assign]
    (logger := logging.getLogger(f"svc.{tmp_path.name}")).propagate = False
    logger.setLevel(logging.INFO)
    logger.handlers = [handler]
    return logger, handler, errors


def audited(log_dir: Path) -> list[ca.RecordDict]:
    return [r for r in ca.Reader.open(log_dir) if r["event"] != "segment.finalized"]


def test_log_records_become_audit_records(tmp_path, key):
    (logger, handler, errors), before = audit(tmp_path, key), ca.utc_timestamp()
    logger.info("user %s logged in", "alice", extra={"ip": "10.0.0.1", "mfa": True, "attempt": 2})
    logger.warning("odd values", extra={
        "ratio": 0.5, "none": None, "raw": b"\x00\xff", "obj": type("O", (), {"__str__": lambda s: "o!"})(),
        "big": 1 << 70, "nested": {"k": [1, -2, {"x": 1.5}], 3: "int key"}, "lone": "a\udcffb",
        "deep": functools.reduce(lambda v, _: [v], range(20), [])})  # fmt: skip
    # Below the level; then a formatter makes the event.
    logger.debug("below the level")
    handler.setFormatter(logging.Formatter("%(levelname)s:%(message)s"))
    logger.error("to %s", "bob", extra={"level": "mine"})
    handler.flush()
    first, second, third = audited(tmp_path / "log")
    assert (first["actor"], first["event"], first["session_id_hex"], first["payload"]) == (
        logger.name, "user alice logged in", handler.session_id_hex,
        {"attempt": 2, "ip": "10.0.0.1", "mfa": True, "level": "INFO"})  # fmt: skip
    assert before <= first["ts_wall"] <= second["ts_wall"] <= third["ts_wall"] <= ca.utc_timestamp()
    assert repr((p := second["payload"]).pop("deep")).startswith("[" * 13 + "'[[")  # cut at the depth allowed
    assert p == {
        "ratio": "0.5", "none": "None", "raw": b"\x00\xff", "obj": "o!", "big": str(1 << 70),
        "nested": {"k": [1, -2, {"x": "1.5"}], "3": "int key"}, "lone": "a\\udcffb", "level": "WARNING"}  # fmt: skip
    assert (third["event"], third["payload"]) == ("ERROR:to bob", {"level": "mine"})  # an extra field wins
    assert handler.close() is None and errors == [] and ca.verify(tmp_path / "log", key).ok


@pytest.mark.parametrize("options", [{}, {"queue_size": 1}, {"wait": True}])
def test_records_from_eight_threads_are_all_written_each_thread_in_order(tmp_path, key, options):
    logger, handler, errors = audit(tmp_path, key, actor_attr="user", segment_size_bytes=65536, **options)
    logger.info("role.grant", extra={"user": "user:bob", "role": "admin"})
    logger.info("%d items", "not a number")  # fails on the caller's thread
    threads = [threading.Thread(target=lambda n=n: [logger.info("tick", extra={"n": n, "i": i}) for i in range(200)])
               for n in range(8)]  # fmt: skip
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # Closing without a flush writes what is queued; twice is harmless, and so is a flush after, as logging.shutdown
    # makes one.
    handler.close()
    logger.info("after close")
    handler.close()
    handler.flush()
    assert [type(e) for e in errors] == [TypeError, ca.ArgumentError] and str(errors[1]) == "AuditHandler is closed"
    assert ca.Writer.open(tmp_path / "log", key).recovery_action() == "Resumed"  # closed means synced and unlocked
    granted, *ticks = audited(tmp_path / "log")
    assert (granted["actor"], granted["payload"]) == ("user:bob", {"role": "admin", "level": "INFO"})
    assert {t["actor"] for t in ticks} == {logger.name} and ca.verify(tmp_path / "log", key).ok
    assert all([t["payload"]["i"] for t in ticks if t["payload"]["n"] == n] == list(range(200)) for n in range(8))
    assert (walls := [t["ts_wall"] for t in ticks]) == sorted(walls)  # stamped in the order written


@pytest.mark.parametrize("ending", ["kill", "exit"])
def test_records_survive_a_kill_after_flush_and_an_exit_without_close(tmp_path, key, ending):
    done = run(CHILD, str(tmp_path / "log"), ending)
    assert done.returncode == (-signal.SIGKILL if ending == "kill" else 0), done.stderr
    assert [r["payload"]["i"] for r in audited(tmp_path / "log")] == list(range(400))
    assert ca.verify(tmp_path / "log", key).ok


# Writes past a file size limit fail with EFBIG as on a full disk (the writer's own ENOSPC handling is the core's).
def test_a_failing_log_reaches_handle_error_and_loses_nothing_silently(tmp_path, key):
    done = run(CHILD, str(tmp_path / "log"), "fail", "30000")
    assert done.returncode == 0, done.stderr
    written, report = [r["payload"]["i"] for r in audited(tmp_path / "log")], json.loads(done.stdout)
    errors, cause = {int(i): message for i, message in report["errors"].items()}, "File too large (os error 27)"
    first, stopped = min(errors), f"AuditHandler stopped after a write failure: {cause}"
    # Every record is either in the log or was reported; the failing one with the system's error, the rest after it.
    assert 0 < first and written == list(range(first)) and sorted(errors) == list(range(first, 400))
    assert errors.pop(first) == cause and set(errors.values()) == {stopped} and report["flush"] == stopped
    assert ca.verify(tmp_path / "log", key).ok


def test_a_handler_in_a_forked_child_refuses_and_leaves_the_log_to_the_parent(tmp_path, key):
    logger, handler, errors = audit(tmp_path, key)
    logger.info("before fork")
    if (pid := os.fork()) == 0:  # the child reports by its exit status and never returns into pytest
        try:
            logger.info("in the child")
            handler.flush()
            handler.close()
            os._exit([(type(e), str(e)) for e in errors] != [(ca.IoFailure, FORKED.format(os.getppid()))])
        finally:
            os._exit(2)
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    logger.info("after fork")
    handler.close()
    assert errors == [] and [r["event"] for r in audited(tmp_path / "log")] == ["before fork", "after fork"]


def test_a_handler_that_cannot_open_its_log_fails_at_construction(tmp_path, key):
    (tmp_path / "file").write_text("")
    raises(ca.IoFailure, lambda: ca.AuditHandler(tmp_path / "file" / "log", key))
    assert not [t for t in threading.enumerate() if t.name.startswith("corvane-audit-handler")]
    raises(ValueError, lambda: ca.AuditHandler(tmp_path / "log", key, queue_size=0), "queue_size must be at least 1")


# The package's errors across real processes.
EXCEPTIONS = [getattr(ca, name) for name in ca.__all__ if name.endswith(("Error", "Failure", "Failed"))]


@pytest.mark.parametrize("cls", EXCEPTIONS, ids=lambda c: c.__name__)
def test_every_exception_pickles_under_its_own_name(cls):
    (exc := cls("message — with text")).add_note("a note")
    assert (type(back := pickle.loads(pickle.dumps(exc))), back.args, back.__notes__) == (cls, exc.args, ["a note"])


def test_errors_come_back_from_a_process_pool(tmp_path):
    # A fresh interpreter, so the class is found by import, not inherited.
    with ProcessPoolExecutor(1, mp_context=get_context("spawn")) as pool:
        missing = pool.submit(ca.load_checkpoint, str(tmp_path / "missing.json")).exception(timeout=120)
        unreadable = pool.submit(ca.Reader.open, str(tmp_path / "nowhere")).exception(timeout=120)
    assert type(missing) is ca.ArgumentError and "missing.json: No such file" in str(missing)
    assert type(unreadable) is ca.IoFailure
