"""AuditHandler: the logging module as a front end to an audit log."""

from __future__ import annotations

import collections
import logging
import os
import threading
import weakref
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from corvane_audit import _native
from corvane_audit._clock import RecordClock
from corvane_audit._log import Writer
from corvane_audit._types import StrPath

if TYPE_CHECKING:
    from corvane_audit._anchor import Anchor

# Attributes every LogRecord has, on this Python version, plus the two that
# formatters add; everything else on a record came from `extra`.
_STANDARD_ATTRS = frozenset(logging.LogRecord("", 0, "", 0, "", None, None).__dict__) | {"message", "asctime"}

# The record map is depth 0 and the payload map depth 1; a decoder refuses
# anything at depth 16, and the writer refuses to write it.
_MAX_DEPTH = 16
_U64_MAX = (1 << 64) - 1
_I64_MIN = -(1 << 63)

DEFAULT_QUEUE_SIZE = 4096


class AuditHandler(logging.Handler):
    """A logging handler that appends every record it handles to an audit log.

    Each log record becomes one audit record: ``actor`` from the record's
    attribute ``actor_attr`` (default ``"name"``, the logger's name; an
    ``extra`` field can serve, e.g. ``actor_attr="user"``, falling back to
    the logger's name where a record lacks it), ``event`` from the message
    (formatted by the handler's formatter when one is set), and ``payload``
    from the record's level name (key ``level``) and its ``extra`` fields,
    which win over ``level``. Values the payload accepts (bool, int, str,
    bytes, and lists and dicts of them) are kept; anything else, floats
    included, is stored as its ``str``. Times are taken when the record is
    handled (see ``RecordClock``).

    The native writer is bound to one thread, so the handler drives it from
    a thread of its own, as ``logging.handlers.QueueListener`` drives its
    handlers: ``emit`` builds the audit record on the caller's thread and
    queues it, and the writer's thread appends queued records in the order
    ``emit`` was called. A full queue (``queue_size`` records) makes
    ``emit`` wait; nothing is dropped. So ``emit`` returning does not mean
    the record is in the file: ``flush()`` returns once every record
    emitted before it is appended and synced to disk, and ``close()`` (also
    called by ``logging.shutdown`` at exit) writes what is queued, syncs
    and closes. With ``wait=True`` each ``emit`` returns only once its
    record is appended (not synced), which costs a thread hand-off per
    record.

    Failures go to ``handleError`` as in any handler: a record that cannot
    be appended reaches it from the writer's thread (from the caller's with
    ``wait=True``); after a failure of the log itself, every record still
    queued and every later ``emit`` reach it too, and ``flush`` raises.

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
        wait: bool = False,
        queue_size: int = DEFAULT_QUEUE_SIZE,
        anchor: Anchor | None = None,
    ) -> None:
        if queue_size < 1:
            raise ValueError("queue_size must be at least 1")
        super().__init__(level)
        self.actor_attr = actor_attr
        self._wait = wait
        self._opened_by = os.getpid()
        self._forked = False
        # handleError is looked up at each failure: callers may replace it.
        self._sink = _Sink(
            lambda record: self.handleError(record), queue_size, name=f"corvane-audit-handler-{id(self):x}"
        )
        writer = self._sink.start(lambda: Writer.open(log_dir, key, session_id_hex, segment_size_bytes, anchor=anchor))
        self._session_id_hex: str | None = writer.session_id_hex
        _live_handlers.add(self)

    @property
    def session_id_hex(self) -> str | None:
        """The session of the records this handler writes (None once closed)."""
        return self._session_id_hex

    def emit(self, record: logging.LogRecord) -> None:
        try:
            if self._forked:
                raise self._fork_error()
            entry = self.audit_record(record)
            # The writer's thread cannot wait for itself (a handleError that logs).
            waiter = _Waiter() if self._wait and not self._sink.on_writer_thread() else None
            self._sink.put(entry, record, waiter)
            if waiter is not None:
                waiter.wait()
        except RecursionError:
            raise
        except Exception:
            self.handleError(record)

    def audit_record(self, record: logging.LogRecord) -> dict[str, Any]:
        """The audit record (without times) that ``emit`` appends for ``record``."""
        actor_attr = self.actor_attr
        actor = getattr(record, actor_attr, None)
        if actor is None:
            actor = record.name
        elif type(actor) is not str:
            actor = str(actor)
        event = record.getMessage() if self.formatter is None else self.format(record)
        payload: dict[str, Any] = {"level": record.levelname}
        attrs = record.__dict__
        for name in attrs.keys() - _STANDARD_ATTRS:
            value = attrs[name]
            # Most extra values are short ASCII text or small ints: keep
            # those without the general conversion.
            kind = type(value)
            if kind is str:
                if not value.isascii():
                    value = _text(value)
            elif kind is not int or not _I64_MIN <= value <= _U64_MAX:
                value = _payload_value(value, 2)
            payload[name if name.isascii() else _text(name)] = value
        if actor_attr in payload and actor_attr != "level":
            del payload[actor_attr]
        return {
            "actor": actor if actor.isascii() else _text(actor),
            "event": event if event.isascii() else _text(event),
            "payload": payload,
        }

    def flush(self) -> None:
        if self._forked:
            return  # nothing this process emitted is waiting: every emit here was refused
        self._sink.request(_FLUSH)

    def close(self) -> None:
        self.acquire()
        try:
            self._session_id_hex = None
            if not self._forked:
                self._sink.request(_CLOSE)
        finally:
            self.release()
            super().close()

    def _fork_error(self) -> _native.IoFailure:
        return _native.IoFailure(
            f"Writer was opened by process {self._opened_by} and cannot be used after fork; "
            "open a new Writer in this process"
        )


# A forked child inherits the handlers but not their writer threads.
_live_handlers: weakref.WeakSet[AuditHandler] = weakref.WeakSet()


def _mark_forked() -> None:
    for handler in list(_live_handlers):
        handler._forked = True


os.register_at_fork(after_in_child=_mark_forked)


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


class _Waiter:
    """One thread waits until the writer's thread has dealt with its item."""

    __slots__ = ("_done", "error")

    def __init__(self) -> None:
        self._done = threading.Lock()
        self._done.acquire()
        self.error: BaseException | None = None

    def release(self, error: BaseException | None = None) -> None:
        self.error = error
        self._done.release()

    def wait(self) -> None:
        self._done.acquire()
        if self.error is not None:
            raise self.error


_FLUSH, _CLOSE = "flush", "close"
# (audit record, log record, waiter), or (None, _FLUSH or _CLOSE, waiter).
_Item = tuple[dict[str, Any] | None, Any, _Waiter | None]
_BATCH = 512  # records taken off the queue at a time
# While records keep coming, the writer's thread is woken for a batch of
# this many, or after _LINGER seconds, whichever comes first: each wake-up
# moves the interpreter lock between threads, which costs far more than a
# record when the machine is busy. An idle thread sleeps until the next one.
_WAKE_AT = 1024
_LINGER = 0.005

# Errors that concern one record (a value the writer refuses): the log is
# fine and later records are still written.
_RECORD_ERRORS = (_native.ArgumentError, TypeError, ValueError, OverflowError)


class _Sink:
    """The writer's thread and the bounded queue in front of it.

    Items are ``(entry, log_record, waiter)`` for records, and ``(None,
    request, waiter)`` for a flush or the close. One lock guards the queue
    and the state; the thread and waiting callers are woken only when they
    sleep.
    """

    def __init__(self, report: Callable[[logging.LogRecord], None], capacity: int, name: str) -> None:
        self._report = report  # the handler's handleError
        self._capacity = capacity
        self._lock = threading.Lock()
        self._items: collections.deque[_Item] = collections.deque()
        self._has_items = threading.Condition(self._lock)
        self._has_room = threading.Condition(self._lock)
        self._idle = False  # the writer's thread sleeps on _has_items
        self._deep = False  # ... and waits for the next record, not for a batch
        self._wake_at = max(1, min(_WAKE_AT, capacity // 4))
        self._closed = False  # no more items are taken
        self._failure: BaseException | None = None  # what stopped the log
        self._clock = RecordClock()  # replaced by the writer's own once it is open
        self._name = name
        self._thread: threading.Thread | None = None

    def start(self, open_writer: Callable[[], Writer]) -> Writer:
        """Opens the log on the writer's thread; raises what opening raised."""
        opened = _Waiter()
        writer: list[Writer] = []
        # Daemon, so that an unclosed handler never holds up interpreter exit;
        # logging.shutdown (at exit) still finds the thread alive and drains
        # the queue through close.
        self._thread = threading.Thread(
            target=self._run, args=(open_writer, opened, writer), name=self._name, daemon=True
        )
        self._thread.start()
        try:
            opened.wait()
        except BaseException:
            self._closed = True
            self._thread.join()
            raise
        # The writer's clock, which resumes from the log's last time.
        self._clock = writer[0]._clock or self._clock
        return writer[0]

    def put(self, entry: dict[str, Any], record: logging.LogRecord, waiter: _Waiter | None) -> None:
        lock = self._lock
        lock.acquire()
        try:
            while self._failure is not None or self._closed or len(self._items) >= self._capacity:
                if self._failure is not None:
                    raise _stopped(self._failure)
                if self._closed:
                    raise _native.ArgumentError("AuditHandler is closed")
                if self.on_writer_thread():
                    break  # only this thread makes room: go over the bound rather than wait forever
                self._has_room.wait()
            # Stamped under the queue's lock, so that times rise in the
            # order records are written.
            entry["ts_wall"], entry["ts_mono_delta"] = self._clock.stamp()
            self._items.append((entry, record, waiter))
            if self._idle and (self._deep or waiter is not None or len(self._items) >= self._wake_at):
                self._idle = False
                self._has_items.notify()
        finally:
            lock.release()

    def on_writer_thread(self) -> bool:
        return self._thread is not None and threading.get_ident() == self._thread.ident

    def request(self, what: str) -> None:
        """Runs a flush or the close on the writer's thread after everything queued."""
        if self.on_writer_thread():
            raise RuntimeError(f"AuditHandler cannot {what} from its own writer's thread")
        waiter = _Waiter()
        with self._lock:
            if self._closed:
                # Closing synced everything; logging.shutdown flushes and
                # closes handlers that were closed already.
                return
            if what == _CLOSE:
                self._closed = True
            # Never refused for a full queue: a request waits for what is
            # queued anyway.
            self._items.append((None, what, waiter))
            if self._idle:
                self._idle = False
                self._has_items.notify()
        waiter.wait()
        if what == _CLOSE and self._thread is not None:
            self._thread.join()

    def _run(self, open_writer: Callable[[], Writer], opened: _Waiter, out: list[Writer]) -> None:
        try:
            writer = open_writer()
        except BaseException as exc:
            opened.release(exc)
            return
        out.append(writer)
        opened.release()
        append = writer._native.append  # entries are built here, with every field: no need for the checks
        items = self._items
        while True:
            with self._lock:
                if not items:
                    self._idle, self._deep = True, False
                    self._has_items.wait(_LINGER)
                    self._deep = True
                    while not items:
                        self._idle = True
                        self._has_items.wait()
                    self._idle = self._deep = False
                batch = [items.popleft() for _ in range(min(len(items), _BATCH))]
                self._has_room.notify_all()
            for entry, record, waiter in batch:
                if entry is None:
                    if self._serve(writer, record, waiter):
                        return
                    continue
                try:
                    if self._failure is not None:
                        raise _stopped(self._failure)
                    append(entry)
                except Exception as exc:
                    if not isinstance(exc, _RECORD_ERRORS) and self._failure is None:
                        with self._lock:
                            self._failure = exc
                            self._has_room.notify_all()
                    if waiter is not None:
                        waiter.release(exc)
                    else:
                        self._handle_error(record)
                else:
                    if waiter is not None:
                        waiter.release()

    def _serve(self, writer: Writer, request: str, waiter: _Waiter | None) -> bool:
        """Runs a flush or the close; True once closed."""
        assert waiter is not None
        error: BaseException | None = None
        try:
            if request == _CLOSE:
                writer.close()
            elif self._failure is not None:
                raise _stopped(self._failure)
            else:
                writer.flush()
        except Exception as exc:
            error = exc
            if request == _FLUSH and self._failure is None:
                with self._lock:
                    self._failure = exc
                    self._has_room.notify_all()
        waiter.release(error)
        return request == _CLOSE

    def _handle_error(self, record: logging.LogRecord) -> None:
        # Called in the except block that caught the failure, so that
        # handleError finds it in sys.exc_info(). A handleError that raises
        # must not stop the thread that writes everybody's records.
        try:
            self._report(record)
        except Exception:
            pass


def _stopped(failure: BaseException) -> _native.IoFailure:
    error = _native.IoFailure(f"AuditHandler stopped after a write failure: {failure}")
    error.__cause__ = failure
    return error
