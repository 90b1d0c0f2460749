"""Model-based tests: random runs of appends, flushes, reopens with varying
segment sizes, and crash cuts against the native Writer, compared after every
step with a model of the log kept in Python.

The model knows the record encoding's length, so it predicts each rotation
and each segment's size exactly. A crash cut drops the writer without a flush
and cuts its last segment anywhere after the last durable point (flush,
rotation or recovery), or turns that tail to zeros: what a power loss may
take. Records whose frames the cut reached leave the model.
"""

from __future__ import annotations

import os
import shutil
import tempfile
from dataclasses import dataclass
from typing import Any

from conftest import SANITIZED, segment_path
from hypothesis import HealthCheck, event, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule
from reliability_util import FINALIZATION, check_log, slow, strict, ts_text

from corvane_audit import _native

KEY = _native.KeyHandle.from_bytes(b"\x42" * 32)
U64 = 2**64 - 1
HEADER = 80
FRAME_OVERHEAD = 40
DEFAULT_SEGMENT_SIZE = 64 * 1024 * 1024
START_MS = 1_798_761_600_000  # 2027-01-01T00:00:00.000Z


def head_len(n: int) -> int:
    return 1 if n < 24 else 2 if n < 2**8 else 3 if n < 2**16 else 5 if n < 2**32 else 9


def cbor_len(v: Any) -> int:
    """Length of the canonical CBOR encoding of a payload value."""
    if isinstance(v, bool):
        return 1
    if isinstance(v, int):
        return head_len(v if v >= 0 else -1 - v)
    if isinstance(v, str):
        v = v.encode()
    if isinstance(v, bytes):
        return head_len(len(v)) + len(v)
    if isinstance(v, list):
        return head_len(len(v)) + sum(cbor_len(x) for x in v)
    assert isinstance(v, dict)
    return head_len(len(v)) + sum(cbor_len(k) + cbor_len(x) for k, x in v.items())


def finalization_ts(last: str) -> str:
    """The finalization record's ts_wall: one millisecond after the last
    record's, never rolling into the next second."""
    ms = int(last[20:23])
    return last if ms >= 999 else f"{last[:20]}{ms + 1:03d}Z"


@dataclass
class Rec:
    """A record as the model expects to read it back. A finalization record
    has `payload` None and counts the records before it in `records`."""

    segment: int
    record_id: int
    actor: str
    event: str
    ts_wall: str
    ts_mono_delta: int
    schema_version: int
    session_hex: str
    payload: dict[str, Any] | None
    records: int = 0

    def encoded_len(self, record_id: int) -> int:
        payload = {"records": self.records, "final_hash": bytes(32)} if self.payload is None else self.payload
        fields = [record_id, bytes(32), self.ts_wall, self.ts_mono_delta, bytes(16), self.actor, self.event,
                  payload, bytes(32), self.schema_version]  # fmt: skip
        return head_len(10) + sum(cbor_len(k) + cbor_len(v) for k, v in enumerate(fields, 1))

    def frame_len(self) -> int:
        return self.encoded_len(self.record_id) + FRAME_OVERHEAD


def depth(value: Any, level: int = 1) -> int:
    """The deepest level of any item in `value`, which sits at `level` (the
    payload map at 1, inside the record map at 0)."""
    children = list(value.values()) if isinstance(value, dict) else value if isinstance(value, list) else []
    return max([level] + [depth(c, level + 1) for c in children])


def nested(levels: int) -> Any:
    return [nested(levels - 1)] if levels else 0


def refusal(record: dict[str, Any]) -> str | None:
    """The writer's message for a record it refuses: the payload is checked
    as it is converted, the rest by the core writer."""
    if depth(record["payload"]) >= 16:
        return "payload nested too deeply: a record allows 16 nesting levels"
    ts = record["ts_wall"]
    if not ts.endswith("Z"):
        return f'ts_wall must end with \'Z\' (RFC 3339 UTC); got "{ts}"'
    if len(ts) != 24:
        return f'ts_wall must be RFC 3339 with ms precision; got "{ts}"'
    if record["schema_version"] & 0xFFFFFFFF > 255:
        return f"schema_version {record['schema_version'] & 0xFFFFFFFF} exceeds 255"
    return None


def finalization(segment: list[Rec], records: int, session_hex: str, after: Rec) -> Rec:
    """The record that closes `segment`, `after` being the record before it
    (for the size probe: the record about to be appended)."""
    return Rec(after.segment, len(segment), *FINALIZATION, finalization_ts(after.ts_wall),
               min(after.ts_mono_delta + 1, U64), 1, session_hex, None, records)  # fmt: skip


TEXT = st.text(max_size=12)
KEYS = st.text(max_size=6)
SCALARS = st.one_of(
    st.booleans(),
    st.integers(-(2**63), U64),
    st.sampled_from([0, 23, 24, 255, 256, 65535, 65536, 2**32 - 1, 2**32, U64, -1, -24, -25, -(2**63)]),
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
        "to_999": st.booleans(),  # lands on .999, where finalization keeps the same ts_wall
        "ts_mono_delta": st.integers(0, U64) | st.sampled_from([0, 23, 24, 255, 256, 2**32 - 1, U64 - 1, U64]),
        "schema_version": st.sampled_from([1, 0, 24, 255, 2**32 + 7, 256]),
        "payload": st.dictionaries(KEYS, values(3), max_size=4),
        # Refused before anything is written, except the deepest payload
        # a record allows.
        "spoil": st.sampled_from([None] * 8 + ["ts_no_z", "ts_short", "deepest", "too_deep"]),
    }
)
SIZES = st.sampled_from([0, 200, 350, 600, 1000, None])
SESSIONS = st.binary(min_size=16, max_size=16).map(bytes.hex)


class LogModel(RuleBasedStateMachine):
    def __init__(self) -> None:
        super().__init__()
        self.tmp = tempfile.mkdtemp(prefix="corvane-model-")
        self.log_dir = os.path.join(self.tmp, "log")
        self.segments: list[list[Rec]] = []
        self.durable = HEADER  # bytes of the last segment a crash cannot take
        self.now = START_MS
        self.writer: _native.Writer | None = None
        self.limit = DEFAULT_SEGMENT_SIZE
        self.session = ""

    def segment_bytes(self) -> int:
        return HEADER + sum(r.frame_len() for r in self.segments[-1])

    def open(self, size: int | None, session: str, action: str, truncated: int) -> None:
        self.writer = _native.Writer.open(self.log_dir, KEY, session, size)
        assert (self.writer.recovery_action(), self.writer.recovery_truncated_bytes()) == (action, truncated)
        event(f"open: {action}")
        self.limit = DEFAULT_SEGMENT_SIZE if size is None else size
        self.session = session

    @initialize(size=SIZES, session=SESSIONS)
    def fresh(self, size: int | None, session: str) -> None:
        self.open(size, session, "Fresh", 0)
        self.segments = [[]]

    @rule(batch=st.lists(RECORDS, min_size=1, max_size=4))
    def append(self, batch: list[dict[str, Any]]) -> None:
        for r in batch:
            self.append_one(*self.next_record(r))

    @rule(r=RECORDS, slack=st.sampled_from([0, -1]))
    def append_at_the_limit(self, r: dict[str, Any], slack: int) -> None:
        """Reopens with segment_size_bytes exactly what the record needs
        (it still fits) or one byte less (it rotates), then appends it. The
        writer is dropped unflushed, so a later crash cut may still reach
        back behind the reopen."""
        record, new = self.next_record(r)
        if self.segments[-1] and refusal(record) is None:
            self.writer = None
            self.open(self.need(new) + slack, self.session, "Resumed", 0)
        self.append_one(record, new)

    def next_record(self, r: dict[str, Any]) -> tuple[dict[str, Any], Rec]:
        """The dict to append for drawn fields `r`, and the record the model
        expects from it (if it fits the current segment)."""
        self.now += r["step_ms"]
        if r["to_999"]:
            self.now += 999 - self.now % 1000
        ts = ts_text(self.now)
        ts = {"ts_no_z": ts[:-1], "ts_short": ts[:19] + "Z"}.get(r["spoil"], ts)
        # The payload map is level 1: 13 lists put their innermost item at 15.
        levels = {"deepest": 13, "too_deep": 14}.get(r["spoil"])
        payload = r["payload"] if levels is None else {**r["payload"], "deep": nested(levels)}
        record = {"actor": r["actor"], "event": r["event"], "ts_wall": ts, "ts_mono_delta": r["ts_mono_delta"],
                  "schema_version": r["schema_version"], "payload": payload}  # fmt: skip
        new = Rec(len(self.segments) - 1, len(self.segments[-1]), r["actor"], r["event"], ts,
                  r["ts_mono_delta"], r["schema_version"] & 0xFFFFFFFF, self.session, payload)  # fmt: skip
        return record, new

    def need(self, new: Rec) -> int:
        """The segment size `new` needs to stay in the current segment: room
        for it and a finalization record after it, both estimated with the
        widest record_id."""
        probe = finalization(self.segments[-1], U64, self.session, new)
        return new.encoded_len(U64) + self.segment_bytes() + probe.encoded_len(U64) + 2 * FRAME_OVERHEAD

    def append_one(self, record: dict[str, Any], new: Rec) -> None:
        assert self.writer is not None
        seg = self.segments[-1]
        if (refused := refusal(record)) is not None:
            try:
                self.writer.append(record)
            except _native.ArgumentError as e:
                assert str(e) == refused
            else:
                raise AssertionError(f"accepted a record to be refused with: {refused}")
            assert os.path.getsize(segment_path(self.log_dir, len(self.segments) - 1)) == self.segment_bytes()
            event("refused")
            return
        new.session_hex = self.session
        if seg and self.need(new) > self.limit:
            seg.append(finalization(seg, len(seg), self.session, seg[-1]))
            self.segments.append([])
            self.durable = HEADER  # rotation synced the old segment and the new header
            event("rotation")
            new.segment, new.record_id = len(self.segments) - 1, 0
        assert self.writer.append(record) == new.record_id
        self.segments[-1].append(new)

    @rule()
    def flush(self) -> None:
        assert self.writer is not None
        self.writer.flush()
        self.durable = self.segment_bytes()

    @rule(size=SIZES, session=SESSIONS)
    def close_and_reopen(self, size: int | None, session: str) -> None:
        assert self.writer is not None
        self.writer.close()
        self.durable = self.segment_bytes()
        self.open(size, session, "Resumed", 0)

    @rule(data=st.data(), zeros=st.booleans(), size=SIZES, session=SESSIONS)
    def crash_cut(self, data: st.DataObject, zeros: bool, size: int | None, session: str) -> None:
        """Drops the writer unflushed and cuts its last segment after the
        durable point; with `zeros`, the cut bytes turn to zeros instead, as
        some file systems leave them after a power loss."""
        self.writer = None
        path = segment_path(self.log_dir, len(self.segments) - 1)
        with open(path, "rb") as f:
            before = f.read()
        assert len(before) == self.segment_bytes()
        cut = data.draw(st.integers(self.durable, len(before)), label="cut")
        os.truncate(path, cut)
        if zeros:
            os.truncate(path, len(before))
        after = before[:cut] + bytes(len(before) - cut) if zeros else before[:cut]
        # A frame survives if all its bytes do (zeros written over zeros, in
        # the high bytes of a trailing length, change nothing).
        kept, end = [], HEADER
        for rec in self.segments[-1]:
            if after[end : end + rec.frame_len()] != before[end : end + rec.frame_len()]:
                break
            end += rec.frame_len()
            kept.append(rec)
        self.segments[-1] = kept
        self.open(size, session, "Repaired" if len(after) != end else "Resumed", len(after) - end)
        if len(after) != end:
            self.durable = end  # recovery synced the segment it cut

    @invariant()
    def log_matches_model(self) -> None:
        records = check_log(self.log_dir, KEY)
        expected = [r for seg in self.segments for r in seg]
        assert len(records) == len(expected), (len(records), len(expected))
        for got, want in zip(records, expected):
            where = (want.segment, want.record_id)
            assert (got["segment_index"], got["record_id"], got["actor"], got["event"], got["ts_wall"],
                    got["ts_mono_delta"], got["schema_version"], got["session_id_hex"]) == (
                    want.segment, want.record_id, want.actor, want.event, want.ts_wall, want.ts_mono_delta,
                    want.schema_version, want.session_hex), where  # fmt: skip
            if want.payload is None:
                assert got["payload"]["records"] == want.records, where
            else:
                assert strict(got["payload"]) == strict(want.payload), where
        for index, seg in enumerate(self.segments):
            size = os.path.getsize(segment_path(self.log_dir, index))
            assert size == HEADER + sum(r.frame_len() for r in seg), index

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
