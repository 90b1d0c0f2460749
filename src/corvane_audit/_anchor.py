"""Automatic anchoring: signed checkpoints of a writer's head, handed to a
sink at an interval, and the check of a directory of them.

The native writer is bound to its thread, so the work is split. On the
writer's thread, every ``records`` appends, or at the first append after
``seconds`` without a note, the writer reads its head from memory and hands
it over; the native writer counts the appends, so an append costs nothing
more. A daemon thread per writer then syncs the head's segment file and the
directory through descriptors of its own (a sync covers everything written
before it began, so the head is durable once it returns, while the writer
goes on appending), signs the head and calls the sink: a slow or failing
sink never holds up an append. When no head arrives for ``seconds``, that
thread signs the last durable head again with a new ``observed_at`` (a
heartbeat), which needs nothing from the writer, so a stopped or cut log
shows as a gap in the notes.
"""

from __future__ import annotations

import calendar
import functools
import itertools
import logging
import math
import os
import re
import threading
import time
import weakref
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import Any

from corvane_audit import _native, _note
from corvane_audit._clock import utc_timestamp
from corvane_audit._log import Writer, _segment_name
from corvane_audit._types import CheckpointDict, StrPath

_logger = logging.getLogger("corvane_audit.anchor")

_CHECKPOINT_FORMAT = "corvane-audit-checkpoint/v1"
# How long close() waits for the last note to reach a slow sink.
_CLOSE_WAIT_SECONDS = 5.0

Sink = Callable[[str], Any]
_HeadTuple = tuple[int, int, str]  # (segment, record_id, hmac_hex) from the native writer


class DirectorySink:
    """Writes each note to its own file in a directory, atomically (a
    synced temporary file, then a rename), named by the UTC time of writing
    and the head, so that names sort by time:
    ``20261206T221530.123Z-s0r9999.note``."""

    __slots__ = ("path",)

    def __init__(self, path: StrPath) -> None:
        self.path = os.fsdecode(path)

    def __call__(self, note: str) -> None:
        from corvane_audit._verify import write_atomically

        os.makedirs(self.path, exist_ok=True)
        head = _note.parse_checkpoint_body(note[: note.rindex("\n\n") + 1]).checkpoint
        ns = time.time_ns()
        stamp = time.strftime("%Y%m%dT%H%M%S", time.gmtime(ns // 10**9)) + f".{ns // 10**6 % 1000:03d}Z"
        write_atomically(os.path.join(self.path, f"{stamp}-s{head['segment']}r{head['record_id']}.note"), note.encode())

    def __repr__(self) -> str:
        return f"DirectorySink({self.path!r})"


class Anchor:
    """An anchoring policy for ``Writer.open`` and ``AuditHandler``.

    Every ``records`` records or ``seconds`` seconds, whichever comes first,
    the writer's durable head is signed with ``signing_key`` and handed to
    ``sink``: a directory (a path: one note file per checkpoint), or any
    callable taking the note text. Sinks run on the anchoring thread, one
    call at a time. A sink that raises is logged on the
    ``corvane_audit.anchor`` logger and counted, and the next interval's
    note tries again; appends go on regardless.
    """

    __slots__ = ("signing_key", "sink", "records", "seconds", "origin")

    def __init__(
        self,
        signing_key: _note.SigningKey,
        sink: StrPath | Sink,
        records: int = 10_000,
        seconds: float = 10.0,
        *,
        origin: str | None = None,
    ) -> None:
        if not isinstance(signing_key, _note.SigningKey):
            raise TypeError("Anchor needs a SigningKey")
        if isinstance(records, bool) or not isinstance(records, int) or records < 1:
            raise _native.ArgumentError(f"Anchor records must be a positive integer; got {records!r}")
        if not isinstance(seconds, (int, float)) or not 0 < seconds < math.inf:
            raise _native.ArgumentError(f"Anchor seconds must be a positive number; got {seconds!r}")
        if origin is not None:
            _note.check_field("origin", origin)
        self.signing_key = signing_key
        self.sink: Sink = sink if callable(sink) else DirectorySink(sink)
        self.records = records
        self.seconds = float(seconds)
        self.origin = origin

    def __repr__(self) -> str:
        return f"Anchor({self.signing_key!r}, {self.sink!r}, records={self.records}, seconds={self.seconds})"


def _fsync_path(path: str, flags: int) -> None:
    fd = os.open(path, flags | os.O_CLOEXEC | os.O_NONBLOCK)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


@dataclass
class AnchorStats:
    """An anchored writer's notes so far: delivered to the sink, and
    failures (a sink that raised, or a sync that failed)."""

    delivered: int = 0
    failures: int = 0
    last_error: BaseException | None = None


class AnchoredWriter(Writer):
    """A ``Writer`` that anchors its head (see ``Anchor``); made by
    ``Writer.open(..., anchor=...)``.

    Appends cost nothing extra: the native writer counts them and calls back
    every ``records``, or at the next append once the anchoring thread has
    seen ``seconds`` pass without a note.
    """

    __slots__ = ("_anchoring", "_deadline", "_seconds", "__weakref__")

    def __init__(self, native: _native.Writer, *, anchor: Anchor, key_id_hex: str, **kwargs: Any) -> None:
        super().__init__(native, **kwargs)
        self._seconds = anchor.seconds
        self._deadline = time.monotonic() + self._seconds
        self._anchoring = _Anchoring(anchor, key_id_hex, self.log_dir, weakref.ref(self))
        # The thread stops with the writer, closed or dropped.
        weakref.finalize(self, self._anchoring.stop, False)
        native.set_append_hook(anchor.records, functools.partial(_hook, weakref.ref(self)))
        # A log that already holds records is anchored as it is opened.
        if native.head() is not None:
            self._anchor_now()

    def flush(self) -> None:
        _flush(self)
        if time.monotonic() >= self._deadline:
            self._anchor_head()

    def close(self) -> None:
        """Flush, hand the final head to the sink, and close; closing twice is harmless."""
        try:
            if not self._anchoring.stopping:
                self._anchor_now()
        finally:
            try:
                self._native.close()
            finally:
                self._anchoring.stop()

    def __exit__(self, *exc: object) -> Any:
        self.close()
        return False

    def anchor_stats(self) -> AnchorStats:
        """Notes delivered and sink failures so far (a snapshot)."""
        return self._anchoring.stats()

    def _anchor_now(self) -> None:
        # A failed flush is the writer's own failure: the next append or
        # flush reports it. Here it only delays the anchor.
        try:
            _flush(self)
        except _native.CorvaneAuditError as exc:
            _logger.warning("anchoring skipped: flush failed: %s", exc)
            return
        self._anchor_head()

    def _anchor_head(self) -> None:
        self._deadline = time.monotonic() + self._seconds
        head = self._native.head()
        if head is not None:
            self._anchoring.put(head, utc_timestamp())


_flush = Writer.flush


def _hook(writer: weakref.ref[AnchoredWriter]) -> None:
    # Holds the writer weakly: the native writer keeps this callback. The
    # anchoring thread makes the head durable before it signs it.
    w = writer()
    if w is not None:
        w._anchor_head()


class _Anchoring:
    """The anchoring thread of one writer, and the heads it is handed."""

    def __init__(self, anchor: Anchor, key_id_hex: str, log_dir: str, writer: weakref.ref[AnchoredWriter]) -> None:
        self._anchor = anchor
        self._log_dir = log_dir
        self._writer = writer
        self._key_id_hex = key_id_hex
        self._origin = anchor.origin
        self._cond = threading.Condition()
        self._pending: tuple[_HeadTuple, str] | None = None  # newest head not yet signed
        self._durable: _HeadTuple | None = None  # newest head known durable
        self._last_note = time.monotonic()
        self._stopping = False
        self._stats = AnchorStats()
        self._thread = threading.Thread(target=self._run, name="corvane-audit-anchor", daemon=True)
        self._thread.start()

    @property
    def stopping(self) -> bool:
        return self._stopping

    def put(self, head: _HeadTuple, observed_at: str) -> None:
        with self._cond:
            # A newer head pins everything an older one did: only the newest waits.
            self._pending = (head, observed_at)
            self._cond.notify()

    def stats(self) -> AnchorStats:
        with self._cond:
            return AnchorStats(self._stats.delivered, self._stats.failures, self._stats.last_error)

    def stop(self, wait: bool = True) -> None:
        with self._cond:
            self._stopping = True
            self._cond.notify()
        if wait and threading.current_thread() is not self._thread:
            self._thread.join(_CLOSE_WAIT_SECONDS)
            if self._thread.is_alive():
                _logger.warning("anchor sink still busy after %.0f s; the last note may be lost", _CLOSE_WAIT_SECONDS)

    def _run(self) -> None:
        while True:
            heartbeat = False
            with self._cond:
                while self._pending is None and not self._stopping:
                    timeout = self._last_note + self._anchor.seconds - time.monotonic()
                    if timeout <= 0:
                        heartbeat = True
                        break
                    self._cond.wait(timeout)
                fresh = self._pending is not None
                if self._pending is not None:
                    head, observed_at = self._pending
                    self._pending = None
                elif self._stopping:
                    return
                else:
                    head, observed_at = self._durable, utc_timestamp()  # type: ignore[assignment]
                self._last_note = time.monotonic()
            if heartbeat:
                # The writer anchors at its next append, whatever its count.
                writer = self._writer()
                if writer is not None:
                    writer._native.hook_next_append()
                del writer
            if head is not None and (not fresh or self._make_durable(head)):
                self._deliver(head, observed_at)

    def _make_durable(self, head: _HeadTuple) -> bool:
        """Syncs the head's segment file and the directory: everything
        written before the head was handed over is then durable, whatever
        the writer appended since. False (reported) when a sync failed."""
        try:
            _fsync_path(os.path.join(self._log_dir, _segment_name(head[0])), os.O_RDONLY | os.O_NOFOLLOW)
            _fsync_path(self._log_dir, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
        except OSError as exc:
            self._failed(exc, "could not make the head durable")
            return False
        with self._cond:
            self._durable = head
        return True

    def _failed(self, exc: BaseException, what: str) -> None:
        with self._cond:
            self._stats.failures += 1
            self._stats.last_error = exc
            failures = self._stats.failures
        _logger.warning("%s (failure %d; retried at the next interval): %s", what, failures, exc)

    def _deliver(self, head: _HeadTuple, observed_at: str) -> None:
        try:
            self._anchor.sink(self._note(head, observed_at))
        except Exception as exc:
            self._failed(exc, "anchor sink failed")
        else:
            with self._cond:
                self._stats.delivered += 1

    def _note(self, head: _HeadTuple, observed_at: str) -> str:
        segment, record_id, hmac_hex = head
        cp: CheckpointDict = {
            "format": _CHECKPOINT_FORMAT,
            "key_id": self._key_id_hex,
            "segment": segment,
            "record_id": record_id,
            "hmac": hmac_hex,
            "observed_at": observed_at,
        }
        return _note.sign_checkpoint(cp, self._anchor.signing_key, self._origin)


# ---------------------------------------------------------------------------
# Checking a directory of anchors

_STAMP = re.compile(r"(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})\.(\d{3})Z")


def _epoch_seconds(stamp: str) -> float | None:
    """Seconds since the epoch of an observed_at in the form anchors carry."""
    m = _STAMP.fullmatch(stamp)
    if m is None:
        return None
    y, mo, d, h, mi, s, ms = (int(g) for g in m.groups())
    if not (1 <= mo <= 12 and 1 <= d <= 31 and h < 24 and mi < 60 and s < 61):
        return None
    return calendar.timegm((y, mo, d, h, mi, s, 0, 0, 0)) + ms / 1000


@dataclass
class AnchorSeries:
    """What a directory of signed notes says about one log."""

    newest: _note.Head | None = None  # observed last
    newest_file: str = ""
    furthest: _note.Head | None = None  # the furthest head, observed last: what to verify against
    furthest_file: str = ""
    valid: int = 0
    refused: list[tuple[str, str]] = field(default_factory=list)  # (file name, reason)
    gaps: list[tuple[str, str, float]] = field(default_factory=list)  # (from, to, seconds)
    regressions: list[tuple[str, str]] = field(default_factory=list)  # (file name, how the head went back)
    age_seconds: float = 0.0


def check_anchors(
    directory: StrPath,
    trusted: Iterable[_note.VerifierKey],
    key_id_hex: str,
    interval: float = 10.0,
    now: float | None = None,
) -> AnchorSeries:
    """Open every ``*.note`` file in ``directory`` with the trusted keys.

    Notes of this log (``key_id_hex``) whose signature holds and whose
    ``observed_at`` is a UTC timestamp make the series; every other file is
    listed in ``refused`` with its reason. ``newest`` is the note observed
    last, ``age_seconds`` its age at ``now``, and ``gaps`` every stretch
    between consecutive notes, or from the newest to ``now``, longer than
    twice ``interval``. ``furthest`` is the note to verify against: the
    first note of the furthest head. ``regressions`` lists notes that pin a
    head behind one observed before them, and notes that pin one position
    with two MACs: either means the log was cut or replaced.
    Cost: one read and one signature check per file.
    """
    path = os.fsdecode(directory)
    keys = list(trusted)
    series = AnchorSeries()
    stamps: list[tuple[float, int, int, str, _note.Head, str]] = []
    with os.scandir(path) as entries:
        names = sorted(e.name for e in entries if e.name.endswith(".note") and not e.name.startswith("."))
    for name in names:
        try:
            head = _note.load_signed_checkpoint(os.path.join(path, name), keys, follow_links=False)
        except _note.NoteError as exc:
            series.refused.append((name, exc.reason))
            continue
        cp = head.checkpoint
        if cp["key_id"] != key_id_hex:
            series.refused.append((name, f"belongs to another log (key_id {cp['key_id']})"))
            continue
        seconds = _epoch_seconds(cp["observed_at"])
        if seconds is None:
            series.refused.append((name, "observed_at is not a UTC timestamp"))
            continue
        stamps.append((seconds, cp["segment"], cp["record_id"], cp["observed_at"], head, name))
    series.valid = len(stamps)
    if not stamps:
        return series
    stamps.sort(key=lambda s: s[:3])
    limit = 2 * interval
    for before, after in itertools.pairwise(stamps):
        if after[0] - before[0] > limit:
            series.gaps.append((before[3], after[3], after[0] - before[0]))
    # A head only moves forward. One observed behind an earlier one means
    # the log was cut or replaced and then written again: the earlier note
    # is the one to verify against, and the step back is reported.
    furthest = stamps[0]
    seen: dict[tuple[int, int], tuple[str, str]] = {}  # position -> (hmac, file name)
    for stamp in stamps:
        hmac_hex = stamp[4].checkpoint["hmac"]
        first = seen.setdefault(stamp[1:3], (hmac_hex, stamp[5]))
        if first[0] != hmac_hex:
            series.regressions.append(
                (stamp[5], f"s{stamp[1]}r{stamp[2]} has another MAC than in {first[1]}: two histories")
            )
        if stamp[1:3] < furthest[1:3]:
            series.regressions.append(
                (
                    stamp[5],
                    f"s{stamp[1]}r{stamp[2]} observed at {stamp[3]} is behind s{furthest[1]}r{furthest[2]} "
                    f"observed at {furthest[3]} ({furthest[5]})",
                )
            )
        elif stamp[1:3] > furthest[1:3]:
            furthest = stamp  # on a tie the first note stays: a second history must match it
    series.furthest, series.furthest_file = furthest[4], furthest[5]
    newest = stamps[-1]
    series.newest, series.newest_file = newest[4], newest[5]
    series.age_seconds = (time.time() if now is None else now) - newest[0]
    if series.age_seconds > limit:
        series.gaps.append((newest[3], "now", series.age_seconds))
    return series
