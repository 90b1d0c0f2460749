"""AuditHandler: log records become audit records that verify."""

from __future__ import annotations

import logging
import sys
import threading
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

import corvane_audit as ca
from corvane_audit import _native


class RecordingHandler(ca.AuditHandler):
    """Keeps what handleError was given instead of printing it."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.errors: list[BaseException | None] = []

    def handleError(self, record: logging.LogRecord) -> None:
        self.errors.append(sys.exc_info()[1])


Audit = tuple[logging.Logger, RecordingHandler]


@pytest.fixture
def audit_logger(tmp_path: Path, key: _native.KeyHandle) -> Iterator[Audit]:
    handler = RecordingHandler(tmp_path / "log", key, segment_size_bytes=2048)
    logger = logging.getLogger(f"svc.audit.{tmp_path.name}")
    logger.propagate = False
    logger.setLevel(logging.INFO)
    logger.addHandler(handler)
    yield logger, handler
    logger.removeHandler(handler)
    handler.close()


def records(log_dir: Path) -> list[ca.RecordDict]:
    return [r for r in ca.Reader.open(log_dir) if r["event"] != "segment.finalized"]


def test_log_records_become_audit_records(tmp_path: Path, key: _native.KeyHandle, audit_logger: Audit) -> None:
    logger, handler = audit_logger

    class Opaque:
        def __str__(self) -> str:
            return "opaque!"

    deep: list[Any] = []
    for _ in range(20):
        deep = [deep]
    before = ca.utc_timestamp()
    logger.info("user %s logged in", "alice", extra={"ip": "10.0.0.1", "mfa": True, "attempt": 2})
    logger.warning(
        "odd values",
        extra={
            "ratio": 0.5, "none": None, "raw": b"\x00\xff", "pair": (1, 2), "obj": Opaque(), "big": 1 << 70,
            "nested": {"k": [1, -2, {"x": 1.5}], 3: "int key"}, "deep": deep, "lone": "a\udcffb",
        },
    )
    logger.debug("below the level")
    handler.flush()
    first, second = records(tmp_path / "log")
    assert (first["actor"], first["event"]) == (logger.name, "user alice logged in")
    assert first["payload"] == {"attempt": 2, "ip": "10.0.0.1", "mfa": True}
    assert before <= first["ts_wall"] <= second["ts_wall"] <= ca.utc_timestamp()
    assert first["session_id_hex"] == handler.session_id_hex
    p = second["payload"]
    assert (p["ratio"], p["none"], p["raw"], p["pair"], p["obj"], p["big"]) == (
        "0.5", "None", b"\x00\xff", "(1, 2)", "opaque!", str(1 << 70))
    assert p["nested"] == {"k": [1, -2, {"x": "1.5"}], "3": "int key"}
    assert p["lone"] == "a\\udcffb"
    depth, value = 0, p["deep"]
    while isinstance(value, list):
        depth, value = depth + 1, value[0]
    assert isinstance(value, str) and depth < 16  # cut short instead of refused
    assert handler.errors == []
    assert ca.verify(tmp_path / "log", key).ok


def test_actor_from_an_extra_field_falls_back_to_the_logger_name(tmp_path: Path, key: _native.KeyHandle) -> None:
    handler = ca.AuditHandler(tmp_path / "log", key, actor_attr="user")
    logger = logging.getLogger("svc.actor")
    logger.addHandler(handler)
    try:
        logger.warning("role.grant", extra={"user": "user:bob", "role": "admin"})
        logger.warning("cron.run")
    finally:
        logger.removeHandler(handler)
        handler.close()
    granted, cron = records(tmp_path / "log")
    assert (granted["actor"], granted["payload"]) == ("user:bob", {"role": "admin"})
    assert (cron["actor"], cron["payload"]) == ("svc.actor", {})


def test_logging_from_many_threads_reaches_one_verifying_log(tmp_path: Path, key: _native.KeyHandle,
                                                             audit_logger: Audit) -> None:  # fmt: skip
    # The native writer is bound to one thread; the handler must not be.
    logger, handler = audit_logger

    def work(n: int) -> None:
        for i in range(50):
            logger.info("tick", extra={"worker": n, "i": i})

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    handler.flush()
    got = sorted((r["payload"]["worker"], r["payload"]["i"]) for r in records(tmp_path / "log"))
    assert got == [(n, i) for n in range(4) for i in range(50)]
    assert handler.errors == []
    assert ca.verify(tmp_path / "log", key).ok


def test_failures_go_to_handle_error_and_close_releases_the_log(tmp_path: Path, key: _native.KeyHandle,
                                                                audit_logger: Audit) -> None:  # fmt: skip
    logger, handler = audit_logger
    logger.info("%d items", "not a number")
    logger.info("still working")
    handler.close()
    logger.info("after close")
    assert [type(e) for e in handler.errors] == [TypeError, ca.ArgumentError]
    # Closed means flushed and unlocked: another writer can take over.
    with ca.Writer.open(tmp_path / "log", key) as w:
        assert w.recovery_action() == "Resumed"
    assert [r["event"] for r in records(tmp_path / "log")] == ["still working"]
    handler.close()  # twice is harmless


def test_a_handler_that_cannot_open_its_log_fails_at_construction(tmp_path: Path, key: _native.KeyHandle) -> None:
    (tmp_path / "file").write_text("")
    with pytest.raises(ca.IoFailure):
        ca.AuditHandler(tmp_path / "file" / "log", key)
    assert not [t for t in threading.enumerate() if t.name.startswith("corvane-audit-handler")]
