"""Model-based tests: random runs of appends of random records, flushes and
reopens with varying segment sizes and sessions against the native Writer,
compared after every step with a model of the log kept in Python.

Where a rotation falls and what a crash leaves are the core's business (its
writer, crash and power-loss tests fix both); the model learns of a rotation
from the record_id an append returns, and crashes are test_kill_restart's.
"""

from __future__ import annotations

import os
import shutil
import tempfile
from dataclasses import dataclass
from typing import Any

from conftest import SANITIZED
from hypothesis import HealthCheck, event, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule
from reliability_util import FINALIZATION, check_log, slow, strict, ts_text

from corvane_audit import _native

KEY = _native.KeyHandle.from_bytes(b"\x42" * 32)
U64 = 2**64 - 1
START_MS = 1_798_761_600_000  # 2027-01-01T00:00:00.000Z


@dataclass
class Rec:
    """A record as the model expects to read it back."""

    actor: str
    event: str
    ts_wall: str
    ts_mono_delta: int
    schema_version: int
    session_hex: str
    payload: dict[str, Any]


TEXT = st.text(max_size=12)
KEYS = st.text(max_size=6)
SCALARS = st.one_of(
    st.booleans(),
    st.integers(-(2**63), U64),
    st.sampled_from([0, U64, -1, -(2**63)]),  # where the binding's int conversion changes
    st.text(max_size=30),
    st.binary(max_size=300),
)


def values(depth: int) -> st.SearchStrategy[Any]:
    if depth == 0:
        return SCALARS
    inner = values(depth - 1)
    return st.one_of(SCALARS, st.lists(inner, max_size=3), st.dictionaries(KEYS, inner, max_size=3))


RECORDS = st.fixed_dictionaries(
    {
        "actor": TEXT,
        "event": TEXT.filter(lambda e: e != FINALIZATION[1]),
        "step_ms": st.integers(0, 5000) | st.just(0),
        "ts_mono_delta": st.integers(0, U64) | st.sampled_from([0, U64]),
        "schema_version": st.sampled_from([1, 0, 255, 2**32 + 7]),  # only the low 32 bits are kept
        "payload": st.dictionaries(KEYS, values(3), max_size=4),
    }
)
SIZES = st.sampled_from([0, 200, 350, 600, 1000, None])
SESSIONS = st.binary(min_size=16, max_size=16).map(bytes.hex)


class LogModel(RuleBasedStateMachine):
    def __init__(self) -> None:
        super().__init__()
        self.tmp = tempfile.mkdtemp(prefix="corvane-model-")
        self.log_dir = os.path.join(self.tmp, "log")
        self.segments: list[list[Rec | None]] = []  # None: a finalization record
        self.now = START_MS
        self.writer: _native.Writer | None = None
        self.session = ""

    def open(self, size: int | None, session: str, action: str) -> None:
        self.writer = _native.Writer.open(self.log_dir, KEY, session, size)
        assert (self.writer.recovery_action(), self.writer.recovery_truncated_bytes()) == (action, 0)
        event(f"open: {action}")
        self.session = session

    @initialize(size=SIZES, session=SESSIONS)
    def fresh(self, size: int | None, session: str) -> None:
        self.open(size, session, "Fresh")
        self.segments = [[]]

    @rule(batch=st.lists(RECORDS, min_size=1, max_size=4))
    def append(self, batch: list[dict[str, Any]]) -> None:
        assert self.writer is not None
        for r in batch:
            self.now += r["step_ms"]
            record = {"actor": r["actor"], "event": r["event"], "ts_wall": ts_text(self.now),
                      "ts_mono_delta": r["ts_mono_delta"], "schema_version": r["schema_version"],
                      "payload": r["payload"]}  # fmt: skip
            record_id = self.writer.append(record)
            if record_id == 0 and self.segments[-1]:  # rotated: the old segment was finalized
                self.segments[-1].append(None)
                self.segments.append([])
                event("rotation")
            assert record_id == len(self.segments[-1])
            self.segments[-1].append(Rec(r["actor"], r["event"], record["ts_wall"], r["ts_mono_delta"],
                                         r["schema_version"] & 0xFFFFFFFF, self.session, r["payload"]))  # fmt: skip

    @rule()
    def flush(self) -> None:
        assert self.writer is not None
        self.writer.flush()

    @rule(size=SIZES, session=SESSIONS, drop=st.booleans())
    def reopen(self, size: int | None, session: str, drop: bool) -> None:
        """Closes the writer, or drops it for its deallocation to close, and opens the log again."""
        assert self.writer is not None
        if drop:
            self.writer = None
        else:
            self.writer.close()
        self.open(size, session, "Resumed")

    @invariant()
    def log_matches_model(self) -> None:
        records = check_log(self.log_dir, KEY)
        expected = [((s, i), rec) for s, seg in enumerate(self.segments) for i, rec in enumerate(seg)]
        assert len(records) == len(expected), (len(records), len(expected))
        for got, (where, want) in zip(records, expected):
            assert (got["segment_index"], got["record_id"]) == where
            if want is None:
                assert (got["actor"], got["event"]) == FINALIZATION, where
                continue
            assert (got["actor"], got["event"], got["ts_wall"], got["ts_mono_delta"], got["schema_version"],
                    got["session_id_hex"]) == (want.actor, want.event, want.ts_wall, want.ts_mono_delta,
                                               want.schema_version, want.session_hex), where  # fmt: skip
            assert strict(got["payload"]) == strict(want.payload), where

    def teardown(self) -> None:
        if self.writer is not None:
            self.writer.close()
        shutil.rmtree(self.tmp, ignore_errors=True)


LogModel.TestCase.settings = settings(
    max_examples=15 if SANITIZED else 400 if slow() else 40,
    stateful_step_count=30,
    deadline=None,
    derandomize=not slow(),
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much, HealthCheck.data_too_large],
)
TestLogModel = LogModel.TestCase
