"""AuditHandler: the logging module as a front end to an audit log."""

from __future__ import annotations

import logging
import queue
import threading
from collections.abc import Callable
from concurrent.futures import Future
from typing import TYPE_CHECKING, Any, TypeVar

from corvane_audit import _native
from corvane_audit._log import Writer
from corvane_audit._types import StrPath

if TYPE_CHECKING:
    from corvane_audit._anchor import Anchor

_T = TypeVar("_T")

# Attributes every LogRecord has, on this Python version, plus the two that
# formatters add; everything else on a record came from `extra`.
_STANDARD_ATTRS = frozenset(logging.LogRecord("", 0, "", 0, "", None, None).__dict__) | {"message", "asctime"}

# The record map is depth 0 and the payload map depth 1; a decoder refuses
# anything at depth 16, and the writer refuses to write it.
_MAX_DEPTH = 16
_U64_MAX = (1 << 64) - 1
_I64_MIN = -(1 << 63)


class AuditHandler(logging.Handler):
    """A logging handler that appends every record it handles to an audit log.

    Each log record becomes one audit record: ``actor`` from the record's
    attribute ``actor_attr`` (default ``"name"``, the logger's name; an
    ``extra`` field can serve, e.g. ``actor_attr="user"``, falling back to
    the logger's name where a record lacks it), ``event`` from the formatted
    message, and ``payload`` from the record's ``extra`` fields. Values the
    payload accepts (bool, int, str, bytes, and lists and dicts of them) are
    kept; anything else, floats included, is stored as its ``str``. Times
    are real (see ``RecordClock``).

    The native writer is bound to the thread that opened it, so the handler
    opens and drives it on a thread of its own: records may be logged from
    any thread, and each call returns once its record is appended. Appends
    are not synced; ``flush()`` makes them durable and ``close()`` flushes
    and closes the log. Failures go to ``handleError`` as in any handler.
    With ``anchor`` the log's head is signed and handed to a sink at the
    anchor's interval (see ``Anchor``).
    """

    def __init__(
        self,
        log_dir: StrPath,
        key: _native.KeyHandle,
        *,
        session_id_hex: str | None = None,
        segment_size_bytes: int | None = None,
        actor_attr: str = "name",
        level: int | str = logging.NOTSET,
        anchor: Anchor | None = None,
    ) -> None:
        super().__init__(level)
        self.actor_attr = actor_attr
        self._owner = _OwnerThread(name=f"corvane-audit-handler-{id(self):x}")
        try:
            self._writer: Writer | None = self._owner.call(
                lambda: Writer.open(log_dir, key, session_id_hex, segment_size_bytes, anchor=anchor)
            )
        except BaseException:
            self._owner.stop()
            raise

    @property
    def session_id_hex(self) -> str | None:
        """The session of the records this handler writes (None once closed)."""
        return None if self._writer is None else self._writer.session_id_hex

    def emit(self, record: logging.LogRecord) -> None:
        try:
            writer = self._writer
            if writer is None:
                raise _native.ArgumentError("AuditHandler is closed")
            entry = self.audit_record(record)
            self._owner.call(lambda: writer.append(entry))
        except RecursionError:
            raise
        except Exception:
            self.handleError(record)

    def audit_record(self, record: logging.LogRecord) -> dict[str, Any]:
        """The audit record (without times) that ``emit`` appends for ``record``."""
        actor = getattr(record, self.actor_attr, None)
        if actor is None:
            actor = record.name
        payload = {
            _text(name): _payload_value(value, 2)
            for name, value in record.__dict__.items()
            if name not in _STANDARD_ATTRS and name != self.actor_attr
        }
        return {"actor": _text(str(actor)), "event": _text(record.getMessage()), "payload": payload}

    def flush(self) -> None:
        self.acquire()
        try:
            if self._writer is not None:
                self._owner.call(self._writer.flush)
        finally:
            self.release()

    def close(self) -> None:
        self.acquire()
        try:
            writer, self._writer = self._writer, None
            if writer is not None:
                self._owner.call(writer.close)
        finally:
            self._owner.stop()
            self.release()
            super().close()


def _text(value: str) -> str:
    # A lone surrogate (from a file name, say) cannot be stored as UTF-8;
    # keep the record and escape the character instead.
    if value.isascii():
        return value
    try:
        value.encode()
    except UnicodeEncodeError:
        return value.encode("utf-8", "backslashreplace").decode()
    return value


def _payload_value(value: object, depth: int) -> object:
    """``value`` as the payload conversion accepts it, or its str."""
    if isinstance(value, bool) or isinstance(value, bytes):
        return value
    if isinstance(value, int):
        return value if _I64_MIN <= value <= _U64_MAX else str(value)
    if isinstance(value, str):
        return _text(value)
    if isinstance(value, (dict, list)) and value and depth + 1 >= _MAX_DEPTH:
        return _text(str(value))
    if isinstance(value, dict):
        return {_text(str(k)): _payload_value(v, depth + 1) for k, v in value.items()}
    if isinstance(value, list):
        return [_payload_value(v, depth + 1) for v in value]
    return _text(str(value))


class _OwnerThread:
    """Runs calls, one at a time, on a dedicated daemon thread.

    Daemon, so that an unclosed handler never holds up interpreter exit;
    ``logging.shutdown`` (at exit) still finds the thread alive and closes
    the log through it.
    """

    def __init__(self, name: str) -> None:
        self._calls: queue.SimpleQueue[tuple[Future[Any], Callable[[], Any]] | None] = queue.SimpleQueue()
        self._thread = threading.Thread(target=self._run, name=name, daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while (item := self._calls.get()) is not None:
            future, fn = item
            try:
                future.set_result(fn())
            except BaseException as exc:
                future.set_exception(exc)

    def call(self, fn: Callable[[], _T]) -> _T:
        if threading.current_thread() is self._thread:
            return fn()  # re-entered from a call we are running
        if not self._thread.is_alive():
            raise _native.ArgumentError("AuditHandler is closed")
        future: Future[_T] = Future()
        self._calls.put((future, fn))
        return future.result()

    def stop(self) -> None:
        if self._thread.is_alive() and threading.current_thread() is not self._thread:
            self._calls.put(None)
            self._thread.join()
