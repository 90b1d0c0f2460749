"""Record timestamps: ts_wall in UTC milliseconds, ts_mono_delta since open."""

from __future__ import annotations

import calendar
import re
import threading
import time
from collections.abc import Callable

_TS_WALL = re.compile(r"(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)\.(\d{3})Z", re.ASCII)


def format_utc_ms(ms: int) -> str:
    """Milliseconds since the epoch as ``YYYY-MM-DDTHH:MM:SS.sssZ``."""
    seconds, millis = divmod(ms, 1000)
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds)) + f".{millis:03d}Z"


def parse_utc_ms(ts_wall: str) -> int | None:
    """Milliseconds since the epoch of a ts_wall of the form ``format_utc_ms``
    writes (as the verifier counts them); None for any other text."""
    match = _TS_WALL.fullmatch(ts_wall)
    if match is None:
        return None
    year, month, day, hour, minute, second, millis = map(int, match.groups())
    try:
        # Days, hours, minutes and seconds count on past their range, as in
        # the verifier; only the year and month must name a month.
        seconds = calendar.timegm((year, month, day, hour, minute, second, 0, 0, 0))
    except ValueError:
        return None
    return seconds * 1000 + millis


def utc_timestamp() -> str:
    """The current UTC time in the form records carry, e.g. ``2026-12-06T07:53:23.041Z``."""
    return format_utc_ms(time.time_ns() // 1_000_000)


class RecordClock:
    """Stamps the records of one writer session.

    ``ts_wall`` is the wall clock in UTC milliseconds, but never earlier than
    the last one this clock handed out, nor than ``floor_ms`` (say, the last
    ts_wall already in the log): when the system clock steps back, the last
    value is repeated, so the writer does not produce a record that the
    verifier reports as a timestamp regression. ``ts_mono_delta`` counts the
    milliseconds since the clock was made, from a monotonic clock, and keeps
    advancing through wall-clock steps. ``stamp`` may be called from any
    thread; the values it hands out never go back, in the order of the calls.

    The clocks are looked up at each call (not bound at construction), so a
    test can replace ``time.time_ns`` and ``time.monotonic_ns``; or pass
    ``wall_ns`` and ``mono_ns`` explicitly.
    """

    # A writer stamps hundreds of records per millisecond, so the text of the
    # current millisecond is kept, and the date and time of day only change
    # once a second: no strftime per record.
    __slots__ = ("_wall_ns", "_mono_ns", "_mono_start", "_last_ms", "_last_text", "_second", "_second_text", "_lock")

    def __init__(
        self,
        *,
        wall_ns: Callable[[], int] | None = None,
        mono_ns: Callable[[], int] | None = None,
        floor_ms: int | None = None,
    ) -> None:
        self._wall_ns = wall_ns
        self._mono_ns = mono_ns
        self._mono_start = time.monotonic_ns() if mono_ns is None else mono_ns()
        self._last_ms = -(1 << 62) if floor_ms is None else floor_ms  # below any clock
        self._last_text = "" if floor_ms is None else format_utc_ms(floor_ms)
        self._second = -1
        self._second_text = ""
        # A handler stamps from several threads; the max must be atomic.
        self._lock = threading.Lock()

    def stamp(self) -> tuple[str, int]:
        """Return ``(ts_wall, ts_mono_delta)`` for a record appended now."""
        lock = self._lock
        lock.acquire()  # cheaper than `with` on the path of every record
        try:
            wall = self._wall_ns
            now_ms = (time.time_ns() if wall is None else wall()) // 1_000_000
            if now_ms > self._last_ms:
                self._last_ms = now_ms
                second = now_ms // 1000
                if second != self._second:
                    self._second = second
                    self._second_text = time.strftime("%Y-%m-%dT%H:%M:%S.", time.gmtime(second))
                self._last_text = f"{self._second_text}{now_ms - second * 1000:03d}Z"
            mono = self._mono_ns
            delta_ns = (time.monotonic_ns() if mono is None else mono()) - self._mono_start
            return self._last_text, delta_ns // 1_000_000 if delta_ns > 0 else 0
        finally:
            lock.release()

    def observe(self, ts_wall: str) -> None:
        """Never stamp behind ``ts_wall`` (a time the caller gave a record)
        from now on, so that a stamped record after it is not refused."""
        # Texts of this form sort as their times do: a comparison settles
        # the common case (a given time behind the clock) without parsing.
        if ts_wall <= self._last_text:
            return
        ms = parse_utc_ms(ts_wall)
        if ms is None:
            return
        with self._lock:
            if ms > self._last_ms:
                self._last_ms = ms
                self._last_text = format_utc_ms(ms)
