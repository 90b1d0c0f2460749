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
    the last one this clock handed out: when the system clock steps back, the
    last value is repeated, so the writer does not produce a record that the
    verifier reports as a timestamp regression. ``ts_mono_delta`` counts the
    milliseconds since the clock was made, from a monotonic clock, and keeps
    advancing through wall-clock steps.

    ``floor_ms`` seeds that last value: a writer passes the time of the
    log's last record, so that a wall clock set back between two runs
    repeats the previous time instead of stepping behind it.

    The clocks are looked up at each call (not bound at construction), so a
    test can replace ``time.time_ns`` and ``time.monotonic_ns``; or pass
    ``wall_ns`` and ``mono_ns`` explicitly.
    """

    __slots__ = ("_wall_ns", "_mono_ns", "_mono_start", "_last_ms", "_lock")

    def __init__(
        self,
        *,
        wall_ns: Callable[[], int] | None = None,
        mono_ns: Callable[[], int] | None = None,
        floor_ms: int | None = None,
    ) -> None:
        self._wall_ns = wall_ns
        self._mono_ns = mono_ns
        self._mono_start = self._mono()
        self._last_ms: int | None = floor_ms
        # A handler may stamp from several threads; the max must be atomic.
        self._lock = threading.Lock()

    def _wall(self) -> int:
        return self._wall_ns() if self._wall_ns is not None else time.time_ns()

    def _mono(self) -> int:
        return self._mono_ns() if self._mono_ns is not None else time.monotonic_ns()

    def stamp(self) -> tuple[str, int]:
        """Return ``(ts_wall, ts_mono_delta)`` for a record appended now."""
        with self._lock:
            now_ms = self._wall() // 1_000_000
            if self._last_ms is not None and now_ms < self._last_ms:
                now_ms = self._last_ms
            self._last_ms = now_ms
            delta_ms = max(0, (self._mono() - self._mono_start) // 1_000_000)
        return format_utc_ms(now_ms), delta_ms
