"""Checkers and helpers shared by the kill-and-restart and model-based tests.

`check_log` is the one judge of a log: it verifies it with the key and checks
what the writer promises about its layout; the tests then compare the records
it returns with what they know was written.
"""

from __future__ import annotations

import datetime
import os
from typing import Any

from corvane_audit import _native
from corvane_audit._types import RecordDict

FINALIZATION = ("system:audit", "segment.finalized")
EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)


def slow() -> bool:
    """The long versions of the reliability tests, for `make test-slow`."""
    return os.environ.get("CORVANE_TEST_SLOW", "") not in ("", "0")


def ts_text(ms: int) -> str:
    """A ts_wall for `ms` milliseconds since the epoch."""
    t = EPOCH + datetime.timedelta(milliseconds=ms)
    return t.strftime("%Y-%m-%dT%H:%M:%S.") + f"{ms % 1000:03d}Z"


def is_finalization(record: RecordDict) -> bool:
    return (record["actor"], record["event"]) == FINALIZATION


def check_log(log_dir: str, key: _native.KeyHandle) -> list[RecordDict]:
    """Every record of the log, after checking that it verifies (which
    covers the chain), that its segments run from 0 without gaps, that
    record_ids run from 0 in every segment, and that a finalization record
    (with its count and final hash) ends every segment but the last and
    appears nowhere else."""
    report = _native.verify(log_dir, key)
    assert report.ok, report.violation
    reader = _native.Reader.open(log_dir)
    segments = reader.segments()
    assert segments == list(range(len(segments))), segments
    records = list(reader)
    by_segment: dict[int, list[RecordDict]] = {s: [] for s in segments}
    for rec in records:
        by_segment[rec["segment_index"]].append(rec)
    for s, recs in by_segment.items():
        assert [r["record_id"] for r in recs] == list(range(len(recs))), s
        finalized = [r for r in recs if is_finalization(r)]
        if s == segments[-1]:
            assert not finalized, s
            continue
        assert finalized == recs[-1:], s
        fin = recs[-1]
        assert fin["payload"] == {"records": len(recs) - 1, "final_hash": fin["prev_hash"]}, s
    return records


def native_env() -> dict[str, str]:
    """The environment for a child process that must import the same
    corvane_audit as this one (the staged build or the installed package)."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(_native.__file__)))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (root, env.get("PYTHONPATH", "")) if p)
    return env


def strict(value: Any) -> Any:
    """`value` with every scalar tagged by its type, so that True and 1 (or
    False and 0) no longer compare equal; map order does not count."""
    if isinstance(value, dict):
        return ("map", sorted((k, strict(v)) for k, v in value.items()))
    if isinstance(value, list):
        return ("list", [strict(v) for v in value])
    return (type(value).__name__, value)
