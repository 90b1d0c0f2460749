# AuditHandler: log records become audit records, queued by the caller and written in order by the handler's thread.

import functools
import json
import logging
import os
import pickle
import signal
import sys
import threading
from concurrent.futures import ProcessPoolExecutor
from multiprocessing import get_context
from pathlib import Path
from typing import Any

import pytest

import corvane_audit as ca
from conftest import raises, run
from corvane_audit import _native

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
    logger, handler, errors = audit(tmp_path, key)
    before = ca.utc_timestamp()
    logger.info("user %s logged in", "alice", extra={"ip": "10.0.0.1", "mfa": True, "attempt": 2})
    logger.warning("odd values", extra={
        "ratio": 0.5, "none": None, "raw": b"\x00\xff", "obj": type("O", (), {"__str__": lambda s: "o!"})(),
        "big": 1 << 70, "nested": {"k": [1, -2, {"x": 1.5}], 3: "int key"}, "lone": "a\udcffb",
        "deep": functools.reduce(lambda v, _: [v], range(20), [])})  # fmt: skip
    logger.debug("below the level")
    handler.setFormatter(logging.Formatter("%(levelname)s:%(message)s"))  # a formatter makes the event
    logger.error("to %s", "bob", extra={"level": "mine"})
    handler.flush()
    first, second, third = audited(tmp_path / "log")
    assert (first["actor"], first["event"], first["session_id_hex"], first["payload"]) == (
        logger.name, "user alice logged in", handler.session_id_hex,
        {"attempt": 2, "ip": "10.0.0.1", "mfa": True, "level": "INFO"})  # fmt: skip
    assert before <= first["ts_wall"] <= second["ts_wall"] <= third["ts_wall"] <= ca.utc_timestamp()
    p = second["payload"]
    assert repr(p.pop("deep")).startswith("[" * 13 + "'[[")  # cut short at the depth the writer allows
    assert p == {
        "ratio": "0.5", "none": "None", "raw": b"\x00\xff", "obj": "o!", "big": str(1 << 70),
        "nested": {"k": [1, -2, {"x": "1.5"}], "3": "int key"}, "lone": "a\\udcffb", "level": "WARNING"}  # fmt: skip
    assert (third["event"], third["payload"]) == ("ERROR:to bob", {"level": "mine"})  # an extra field wins
    handler.close()
    assert errors == [] and ca.verify(tmp_path / "log", key).ok


@pytest.mark.parametrize("options", [{}, {"queue_size": 1}, {"wait": True}])
def test_records_from_eight_threads_are_all_written_each_thread_in_order(tmp_path, key, options):
    logger, handler, errors = audit(tmp_path, key, actor_attr="user", segment_size_bytes=65536, **options)
    logger.info("role.grant", extra={"user": "user:bob", "role": "admin"})
    logger.info("%d items", "not a number")  # fails on the caller's thread
    threads = [threading.Thread(target=lambda n=n: [logger.info("tick", extra={"n": n, "i": i}) for i in range(200)])
               for n in range(8)]  # fmt: skip
    [t.start() for t in threads] + [t.join() for t in threads]
    handler.close()  # without a flush: closing writes what is queued
    logger.info("after close")
    handler.close()  # twice is harmless
    handler.flush()  # as logging.shutdown does after a close
    assert [type(e) for e in errors] == [TypeError, ca.ArgumentError] and str(errors[1]) == "AuditHandler is closed"
    with ca.Writer.open(tmp_path / "log", key) as w:  # closed means synced and unlocked
        assert w.recovery_action() == "Resumed"
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
            logger.info("in the child"), handler.flush(), handler.close()
            os._exit([(type(e), str(e)) for e in errors] != [(ca.IoFailure, FORKED.format(os.getppid()))])
        finally:
            os._exit(2)
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    logger.info("after fork"), handler.close()
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
    exc = cls("message — with text")
    exc.add_note("a note")
    back = pickle.loads(pickle.dumps(exc))
    assert (type(back), back.args, back.__notes__) == (cls, exc.args, ["a note"])


def test_errors_come_back_from_a_process_pool(tmp_path):
    # A fresh interpreter, so the class is found by import, not inherited.
    with ProcessPoolExecutor(1, mp_context=get_context("spawn")) as pool:
        missing = pool.submit(ca.load_checkpoint, str(tmp_path / "missing.json")).exception(timeout=120)
        unreadable = pool.submit(ca.Reader.open, str(tmp_path / "nowhere")).exception(timeout=120)
    assert type(missing) is ca.ArgumentError and "missing.json: No such file" in str(missing)
    assert type(unreadable) is ca.IoFailure
