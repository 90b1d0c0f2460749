"""Writer and Reader: the native classes with path objects, session ids and
timestamps filled in, and a reader that follows a growing log."""

from __future__ import annotations

import os
import shutil
import tempfile
import time
import uuid
from collections.abc import Iterator, Mapping
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal

from corvane_audit import _native
from corvane_audit._clock import RecordClock
from corvane_audit._types import RecordDict, StrPath

if TYPE_CHECKING:
    from corvane_audit._anchor import Anchor


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
        self._clock = RecordClock() if timestamps else None
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

            return AnchoredWriter(native, anchor=anchor, key_id_hex=key.key_id_hex(), log_dir=path,
                                  session_id_hex=session.strip().lower(), timestamps=timestamps)
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
        dict values), ``schema_version``, ``ts_wall`` and ``ts_mono_delta``.
        """
        if not isinstance(record, Mapping):
            raise TypeError("Writer.append expects a dict")
        if self._clock is not None and ("ts_wall" not in record or "ts_mono_delta" not in record):
            ts_wall, ts_mono_delta = self._clock.stamp()
            filled = dict(record)
            filled.setdefault("ts_wall", ts_wall)
            filled.setdefault("ts_mono_delta", ts_mono_delta)
            return self._native.append(filled)
        return self._native.append(record if isinstance(record, dict) else dict(record))

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

        Never ends by itself; stop by leaving the loop. A frame that a
        writer is still writing shows as a torn tail and is picked up on a
        later poll; any other damage is raised as by iteration.
        """
        return _follow(self._log_dir, poll_interval)

    def __repr__(self) -> str:
        return repr(self._native)


_Position = tuple[int, int]  # (segment_index, record_id)


def _follow(log_dir: str, poll_interval: float) -> Iterator[RecordDict]:
    last: _Position | None = None
    seen: dict[int, int] = {}  # segment index -> size at the last pass
    while True:
        indexes = _native.Reader.open(log_dir).segments()
        current = [i for i in indexes if last is None or i >= last[0]]
        sizes = {i: _size(log_dir, i) for i in current}
        if sizes != seen:
            for record in _read_pass(log_dir, None if last is None else current):
                position = (record["segment_index"], record["record_id"])
                if last is None or position > last:
                    last = position
                    yield record
            seen = sizes
        time.sleep(poll_interval)


def _read_pass(log_dir: str, indexes: list[int] | None) -> Iterator[RecordDict]:
    """The whole log, or only the segments `indexes`: earlier segments never
    change, so later passes read through a directory of links to the rest.
    The directory lives for one pass only, so a follower killed while it
    waits for news leaves nothing behind."""
    if indexes is None:
        yield from _read_from(log_dir)
        return
    view = None
    try:
        view = tempfile.mkdtemp(prefix="corvane-follow-")
        for index in indexes:
            name = _segment_name(index)
            os.symlink(os.path.abspath(os.path.join(log_dir, name)), os.path.join(view, name))
        yield from _read_from(view)
    finally:
        if view is not None:
            _remove_view(view)


def _remove_view(view: str) -> None:
    # A follower is typically stopped by an interrupt, which may well land
    # while the links are being removed: finish the removal, then let the
    # interrupt through.
    interrupted: BaseException | None = None
    for _ in range(5):
        try:
            shutil.rmtree(view, ignore_errors=True)
            break
        except BaseException as exc:
            interrupted = exc
    if interrupted is not None:
        raise interrupted


def _read_from(log_dir: str) -> Iterator[RecordDict]:
    records = iter(_native.Reader.open(log_dir))
    while True:
        try:
            yield next(records)
        except StopIteration:
            return
        except _native.RecordCorruptError as exc:
            if str(exc).startswith("torn tail"):
                return  # a frame still being written; read again next pass
            raise


def _segment_name(index: int) -> str:
    return f"audit-{index:04d}.cbor"


def _size(log_dir: str, index: int) -> int:
    try:
        return os.stat(os.path.join(log_dir, _segment_name(index))).st_size
    except FileNotFoundError:
        return -1
