"""Writer and Reader: the native classes with path objects, session ids and
timestamps filled in, and a reader that follows a growing log."""

from __future__ import annotations

import os
import time
import uuid
from collections.abc import Iterator, Mapping
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal

from corvane_audit import _native
from corvane_audit._clock import RecordClock, parse_utc_ms
from corvane_audit._types import RecordDict, StrPath

if TYPE_CHECKING:
    from corvane_audit._anchor import Anchor


# The top-level keys of a record; the native writer ignores any other.
_FIELDS = ("actor", "event", "ts_wall", "ts_mono_delta", "schema_version", "payload")
_FIELD_SET = frozenset(_FIELDS)


def _as_dict(record: Mapping[str, Any]) -> dict[str, Any]:
    if isinstance(record, dict):
        return dict.copy(record)  # a plain dict: a subclass's methods are never consulted
    if isinstance(record, Mapping):
        return dict(record)
    raise TypeError("Writer.append expects a dict")


def _unknown_field(record: Mapping[Any, Any]) -> _native.ArgumentError:
    name = next(k for k in record if k not in _FIELD_SET)
    return _native.ArgumentError(f"unknown record field {name!r} (known: {', '.join(_FIELDS)})")


def fspath_str(path: StrPath) -> str:
    """A path argument as the str the native functions take."""
    return os.fsdecode(path)


class Writer:
    """Appends records to a log directory.

    A thin layer over ``corvane_audit._native.Writer`` that takes path
    objects, defaults the session id to a fresh random one, and stamps
    ``ts_wall`` and ``ts_mono_delta`` on records that leave them out (see
    ``RecordClock``). Like the native writer it is bound to the thread that
    opened it; ``AuditHandler`` shows how to feed it from many threads.
    """

    __slots__ = ("_native", "_clock", "_log_dir", "_session_id_hex")

    def __init__(
        self,
        native: _native.Writer,
        *,
        log_dir: str,
        session_id_hex: str,
        timestamps: bool = True,
    ) -> None:
        self._native = native
        # Never stamp behind the log's last record: the writer refuses a
        # ts_wall more than 60 s earlier, as the verifier would report it.
        self._clock = RecordClock(floor_ms=parse_utc_ms(native.last_ts_wall())) if timestamps else None
        self._log_dir = log_dir
        self._session_id_hex = session_id_hex

    @classmethod
    def open(
        cls,
        log_dir: StrPath,
        key: _native.KeyHandle,
        session_id_hex: str | None = None,
        segment_size_bytes: int | None = None,
        *,
        timestamps: bool = True,
        anchor: Anchor | None = None,
    ) -> Writer:
        """Open or recover the log directory (created if missing).

        ``session_id_hex`` defaults to ``uuid.uuid4().hex``. With
        ``timestamps=False`` records are stored exactly as given, and
        missing times take the native defaults (the epoch and 0). With
        ``anchor`` (an ``Anchor``) the writer hands signed checkpoints of
        its head to the anchor's sink at its interval.
        """
        path = fspath_str(log_dir)
        session = uuid.uuid4().hex if session_id_hex is None else session_id_hex
        native = _native.Writer.open(path, key, session, segment_size_bytes)
        if anchor is not None:
            from corvane_audit._anchor import AnchoredWriter

            return AnchoredWriter(
                native,
                anchor=anchor,
                key_id_hex=key.key_id_hex(),
                log_dir=path,
                session_id_hex=session.strip().lower(),
                timestamps=timestamps,
            )
        return cls(native, log_dir=path, session_id_hex=session.strip().lower(), timestamps=timestamps)

    @property
    def log_dir(self) -> str:
        return self._log_dir

    @property
    def session_id_hex(self) -> str:
        return self._session_id_hex

    def append(self, record: Mapping[str, Any]) -> int:
        """Append one record and return its record_id within its segment.

        ``record`` holds ``actor`` and ``event`` (str), optionally
        ``payload`` (a dict of str keys to bool, int, str, bytes, list and
        dict values), ``schema_version``, ``ts_wall`` and ``ts_mono_delta``;
        any other key is refused, so that a misspelled field is not lost.
        """
        if type(record) is not dict:
            record = _as_dict(record)
        if not record.keys() <= _FIELD_SET:
            raise _unknown_field(record)
        clock = self._clock
        if clock is None:
            return self._native.append(record)
        # Copying the caller's small dict costs less than any other way to add
        # two keys, and leaves the caller's dict as it was.
        if "ts_wall" not in record:
            filled = record.copy()
            filled["ts_wall"], stamped_delta = clock.stamp()
            if "ts_mono_delta" not in record:
                filled["ts_mono_delta"] = stamped_delta
            return self._native.append(filled)
        if "ts_mono_delta" not in record:
            filled = record.copy()
            filled["ts_mono_delta"] = clock.stamp()[1]
            record_id = self._native.append(filled)
        else:
            record_id = self._native.append(record)
        ts_wall = record["ts_wall"]
        if type(ts_wall) is str:
            clock.observe(ts_wall)
        return record_id

    def flush(self) -> None:
        """Make every appended record durable (file and directory synced)."""
        self._native.flush()

    def close(self) -> None:
        """Flush and close; closing twice is harmless."""
        self._native.close()

    def recovery_action(self) -> str:
        """What opening did: "Fresh", "Resumed", "Repaired" or "OpenedNextAfterFinalized"."""
        return self._native.recovery_action()

    def recovery_truncated_bytes(self) -> int:
        """Bytes of torn tail that opening cut off (0 unless repaired)."""
        return self._native.recovery_truncated_bytes()

    def __enter__(self) -> Writer:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]:
        self._native.close()
        return False

    def __repr__(self) -> str:
        return repr(self._native)


class Reader:
    """Key-less, read-only access to a log directory.

    Reading proves nothing about authenticity; that is ``verify``.
    """

    __slots__ = ("_native", "_log_dir")

    def __init__(self, native: _native.Reader, *, log_dir: str) -> None:
        self._native = native
        self._log_dir = log_dir

    @classmethod
    def open(cls, log_dir: StrPath) -> Reader:
        """Open an existing log directory for reading (never creates it)."""
        path = fspath_str(log_dir)
        return cls(_native.Reader.open(path), log_dir=path)

    @property
    def log_dir(self) -> str:
        return self._log_dir

    def segments(self) -> list[int]:
        """Segment indexes on disk, ascending."""
        return self._native.segments()

    def __iter__(self) -> Iterator[RecordDict]:
        return iter(self._native)

    def follow(self, poll_interval: float = 0.25) -> Iterator[RecordDict]:
        """Yield every record, then keep yielding new ones as they are appended.

        Never ends by itself; stop by leaving the loop. Each poll reads only
        what was appended since the last one, moving on to the next segment
        once it exists. A frame that a writer is still writing at the end of
        the last segment is picked up on a later poll; any other damage,
        including an incomplete frame in a segment that has a successor, is
        raised as by iteration. Records come in the order they stand in the
        files.
        """
        return _follow(self._log_dir, poll_interval)

    def __repr__(self) -> str:
        return repr(self._native)


def _follow(log_dir: str, poll_interval: float) -> Iterator[RecordDict]:
    follower = _native.Follower.open(log_dir)
    while True:
        batch = follower.poll()
        yield from batch
        if not batch:
            time.sleep(poll_interval)


def _segment_name(index: int) -> str:
    return f"audit-{index:04d}.cbor" if index < 10000 else f"audit-{index}.cbor"
