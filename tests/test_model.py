# Random appends, flushes and reopens against the native Writer, checked after every step against a model.
# Where a rotation falls is the core's business: the model learns of one from the record_id an append returns.

import os
import shutil
import tempfile
from typing import Any

from hypothesis import HealthCheck, event, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from conftest import FINALIZATION, KEY, SANITIZED, SLOW, check_log, strict, ts_text
from corvane_audit import _native

U64 = 2**64 - 1
FIELDS = ("actor", "event", "ts_wall", "ts_mono_delta", "schema_version", "session_id_hex")
KEYS = st.text(max_size=6)
# The sampled ints are where the binding's int conversion changes.
SCALARS = (st.booleans() | st.integers(-(2**63), U64) | st.sampled_from([0, U64, -1, -(2**63)]) | st.text(max_size=30)
           | st.binary(max_size=300))  # fmt: skip
VALUES = st.recursive(SCALARS, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(KEYS, inner, max_size=3),
                      max_leaves=12)  # fmt: skip
RECORDS = st.fixed_dictionaries({
    "actor": st.text(max_size=12), "event": st.text(max_size=12).filter(lambda e: e != FINALIZATION[1]),
    "step_ms": st.integers(0, 5000) | st.just(0), "ts_mono_delta": st.integers(0, U64) | st.sampled_from([0, U64]),
    "schema_version": st.sampled_from([1, 0, 255, 2**32 + 7]),  # only the low 32 bits are kept
    "payload": st.dictionaries(KEYS, VALUES, max_size=4),
})  # fmt: skip
SIZES = st.sampled_from([0, 200, 350, 600, 1000, None])
SESSIONS = st.binary(min_size=16, max_size=16).map(bytes.hex)


class LogModel(RuleBasedStateMachine):
    def __init__(self) -> None:
        super().__init__()
        self.log_dir = os.path.join(tempfile.mkdtemp(prefix="corvane-model-"), "log")
        self.segments: list[list[dict[str, Any] | None]] = [[]]  # None: a finalization record
        self.now = 1_798_761_600_000
        self.writer: _native.Writer | None = None

    @initialize(size=SIZES, session=SESSIONS, action=st.just("Fresh"))
    def open(self, size: int | None, session: str, action: str) -> None:
        self.writer = _native.Writer.open(self.log_dir, KEY, session, size)
        assert (self.writer.recovery_action(), self.writer.recovery_truncated_bytes()) == (action, 0)
        self.session = session
        event(f"open: {action}")

    @rule(batch=st.lists(RECORDS, min_size=1, max_size=4))
    def append(self, batch: list[dict[str, Any]]) -> None:
        assert self.writer is not None
        for r in batch:
            self.now += r.pop("step_ms")
            record = {**r, "ts_wall": ts_text(self.now)}
            record_id = self.writer.append(record)
            if record_id == 0 and self.segments[-1]:  # rotated: the old segment was finalized
                self.segments[-1].append(None)
                self.segments.append([])
                event("rotation")
            assert record_id == len(self.segments[-1])
            self.segments[-1].append({**record, "schema_version": r["schema_version"] & 0xFFFFFFFF,
                                      "session_id_hex": self.session})  # fmt: skip

    # Flushes, or closes the writer (or drops it for its deallocation to close) and opens again.
    @rule(how=st.sampled_from(["flush", "close", "drop"]), size=SIZES, session=SESSIONS)
    def flush_or_reopen(self, how: str, size: int | None, session: str) -> None:
        assert self.writer is not None
        getattr(self.writer, how, lambda: None)()
        if how != "flush":
            self.writer = None
            self.open(size, session, "Resumed")

    @invariant()
    def log_matches_model(self) -> None:
        seen = lambda r: ([r[f] for f in FIELDS], strict(r["payload"]))  # noqa: E731
        want = [((s, i), seen(r) if r else None) for s, seg in enumerate(self.segments) for i, r in enumerate(seg)]
        assert [((r["segment_index"], r["record_id"]), None if (r["actor"], r["event"]) == FINALIZATION else seen(r))
                for r in check_log(self.log_dir, KEY)] == want  # fmt: skip

    def teardown(self) -> None:
        self.writer = None
        shutil.rmtree(os.path.dirname(self.log_dir), ignore_errors=True)


LogModel.TestCase.settings = settings(
    max_examples=15 if SANITIZED else 400 if SLOW else 40, stateful_step_count=30, deadline=None,
    derandomize=not SLOW, database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much, HealthCheck.data_too_large],
)  # fmt: skip
TestLogModel = LogModel.TestCase
