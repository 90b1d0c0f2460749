"""verify(), checkpoint() and VerifyReport: how the core's findings and refusals reach Python.

The core's tests cover which damage gives which violation, where and with
what message; here each kind of finding is raised once, as its class."""

from __future__ import annotations

import gc
import os
import pathlib
import shutil
import sys
from typing import Any, Callable

import pytest

from conftest import assert_memory_flat, cut, flip_byte, frames, segment_path, write_records
from corvane_audit import _native
from corvane_audit._native import ArgumentError, IoFailure, VerificationFailed, verify

VIOLATION_KEYS = ["kind", "segment_index", "record_id", "byte_offset", "message"]
EM = "\u2014"


def patch(path: str, offset: int, data: bytes) -> None:
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def flip_in_first_frame(log_dir: str, seg: int) -> None:
    flip_byte(segment_path(log_dir, seg), frames(segment_path(log_dir, seg))[0][0] + 10)


HMAC_MSG = "HMAC mismatch at s0r{}: stored hmac does not match HMAC over payload bytes"

# Damage to segment 0 of a 5-record log, as (path, frames) -> the violation's byte_offset; the class raised
# and the compact verdict.
VIOLATIONS: list[tuple[str, Callable[[str, list[tuple[int, int]]], int], type, str]] = [
    ("record byte", lambda p, f: flip_byte(p, f[3][0] + 10) or f[3][0], _native.HmacMismatchError, "HmacMismatch@s0r3"),
    ("deleted frame", lambda p, f: cut(p, f[2][0], sum(f[2])) or f[2][0], _native.ChainBreakError, "ChainBreak@s0r3"),
    ("torn tail", lambda p, f: cut(p, f[4][0] + 7) or f[4][0], _native.RecordCorruptError, "RecordCorrupt@s0"),
    ("version 2", lambda p, f: patch(p, 4, b"\2\0") or 4, _native.SchemaError, "UnknownVersion@s0"),
    ("bad magic", lambda p, f: patch(p, 0, bytes(4)) or 0, _native.HeaderCorruptError, "HeaderCorrupt@s0"),
    ("foreign key", lambda p, f: 8, _native.KeyIdMismatchError, "KeyIdMismatch@s0"),  # verified with other_key
]


@pytest.mark.parametrize("damage, exc, compact", [v[1:] for v in VIOLATIONS], ids=[v[0] for v in VIOLATIONS])
def test_violation_report_and_raise(log_dir: str, key: Any, other_key: Any, damage: Any, exc: type,
                                    compact: str) -> None:  # fmt: skip
    write_records(log_dir, key, 5)
    path = segment_path(log_dir, 0)
    off = damage(path, frames(path))
    vkey = other_key if compact.startswith("KeyId") else key
    r = verify(log_dir, vkey)
    kind, _, where = compact.partition("@")
    assert (r.ok, r.compact, r.verdict_kind, r.final_hmac_hex, r.additional_violations) == (False, compact, kind, None, [])
    message = r.violation["message"]
    assert list(r.violation) == VIOLATION_KEYS and message
    assert r.violation == {"kind": kind, "segment_index": 0, "record_id": int(where[3:]) if where[2:] else None,
                           "byte_offset": off, "message": message}  # fmt: skip
    assert repr(r) == f'VerifyReport(ok=false, compact="{compact}", records_inspected={r.records_inspected}, ' \
                      "segments_inspected=1)"
    with pytest.raises(exc) as e:
        verify(log_dir, vkey, raise_on_violation=True)
    assert type(e.value) is exc and isinstance(e.value, VerificationFailed) and e.value.args == (message,)


def test_segment_gap_and_clock_step_classes(tmp_path: pathlib.Path, key: Any) -> None:
    gap, late = str(tmp_path / "gap"), str(tmp_path / "late")
    write_records(gap, key, 3, segment_size_bytes=0)
    os.remove(segment_path(gap, 1))
    with _native.Writer.open(late, key) as w:
        for ts_wall in ("2026-01-01T00:02:00.000Z", "2026-01-01T00:00:59.999Z"):  # 60.001 s back
            w.append({"actor": "a", "event": "e", "ts_wall": ts_wall})
    for log_dir, exc in ((gap, _native.SegmentDiscontinuityError), (late, _native.TimestampError)):
        with pytest.raises(exc) as e:
            verify(log_dir, key, raise_on_violation=True)
        assert e.value.args == (verify(log_dir, key).violation["message"],)


def test_intact_log_report(tmp_path: pathlib.Path, key: Any) -> None:
    log_dir = str(tmp_path / "l\udcffg")  # not UTF-8 on disk: the name must round-trip
    write_records(log_dir, key, 3, segment_size_bytes=0)  # one record per segment, plus finalization records
    r = verify(log_dir, key)
    assert (r.ok, r.compact, r.verdict_kind, r.violation, r.additional_violations) == (
        True, "Verified", "Verified", None, [])
    assert (r.segments_inspected, r.records_inspected, r.log_dir, r.key_id_hex) == (3, 5, log_dir, key.key_id_hex())
    assert r.final_hmac_hex == list(_native.Reader.open(log_dir))[-1]["hmac_hex"]
    assert repr(r) == 'VerifyReport(ok=true, compact="Verified", records_inspected=5, segments_inspected=3)'


def test_forensic_report_objects(log_dir: str, key: Any) -> None:
    write_records(log_dir, key, 3, segment_size_bytes=0)
    for seg in (0, 2):
        flip_in_first_frame(log_dir, seg)
    assert verify(log_dir, key).additional_violations == []
    r = verify(log_dir, key, forensic=True)
    v, extra = r.violation, r.additional_violations
    assert (v["message"], [list(x.values())[:4] for x in extra]) == (HMAC_MSG.format(0), [["HmacMismatch", 2, 0, 80]])
    with pytest.raises(_native.HmacMismatchError, match=f"^{HMAC_MSG.format(0)}$"):  # the first one decides
        verify(log_dir, key, True, True)
    assert r.violation is v and r.additional_violations is extra  # the same objects on every access
    before = sys.getrefcount(v)
    for _ in range(100):
        r.violation
    assert sys.getrefcount(v) == before  # each access hands out its own reference
    del r
    assert sys.getrefcount(v) == before - 1  # the report held exactly one


# ---------------------------------------------------------------------------
# Checkpoints


def test_checkpoint_round_trip(log_dir: str, key: Any) -> None:
    write_records(log_dir, key, 5)
    cp = _native.checkpoint(log_dir, key, type("S", (str,), {})("t0"))
    assert cp == {"format": "corvane-audit-checkpoint/v1", "key_id": key.key_id_hex(), "segment": 0, "record_id": 4,
                  "hmac": verify(log_dir, key).final_hmac_hex, "observed_at": "t0"}
    assert list(cp) == ["format", "key_id", "segment", "record_id", "hmac", "observed_at"]
    assert type(cp["observed_at"]) is str
    # Hex in either case, and keys beyond the six, are accepted.
    assert verify(log_dir, key, checkpoint={**cp, "key_id": cp["key_id"].upper(), "hmac": cp["hmac"].upper(), "x": 1}).ok


@pytest.mark.parametrize("case", ["rewritten", "cut"])
def test_checkpoint_mismatch_and_truncation(log_dir: str, key: Any, case: str) -> None:
    write_records(log_dir, key, 5)
    cp = _native.checkpoint(log_dir, key, f"t0 {EM} \u00fc")
    if case == "rewritten":
        shutil.rmtree(log_dir)
        write_records(log_dir, key, 5, payload={"rewritten": True})
        exc, compact, msg = _native.CheckpointMismatchError, "CheckpointMismatch@s0r4", \
            f"Checkpoint mismatch at s0r4: record differs from the head observed at t0 {EM} \u00fc {EM} history was rewritten"
    else:
        cut(segment_path(log_dir, 0), frames(segment_path(log_dir, 0))[-1][0])  # cleanly, at a frame boundary
        exc, compact, msg = _native.CheckpointTruncatedError, "CheckpointTruncated@s0r4", \
            f"Checkpoint truncated: s0r4 observed at t0 {EM} \u00fc, is absent from this log {EM} history was cut"
    r = verify(log_dir, key, checkpoint=cp)
    assert (r.compact, r.violation["message"]) == (compact, msg)
    with pytest.raises(exc) as e:
        verify(log_dir, key, checkpoint=cp, raise_on_violation=True)
    assert e.value.args == (msg,)


def test_checkpoint_refusals(tmp_path: pathlib.Path, key: Any, other_key: Any) -> None:
    with pytest.raises(ArgumentError, match=f"^log has no records {EM} nothing to checkpoint$"):
        _native.checkpoint(str(tmp_path), key, "t")
    write_records(str(tmp_path / "b"), other_key, 1)
    with pytest.raises(_native.CheckpointKeyMismatchError) as e:  # an ArgumentError, not a finding about the log
        verify(str(tmp_path), key, checkpoint=_native.checkpoint(str(tmp_path / "b"), other_key, "t"))
    assert isinstance(e.value, ArgumentError) and not isinstance(e.value, VerificationFailed)
    assert e.value.args == (f"checkpoint belongs to a different log: checkpoint key_id {other_key.key_id_hex()}, "
                            f"log key_id {key.key_id_hex()}",)
    for call in (lambda d: _native.checkpoint(d, key, "t"), lambda d: verify(d, key)):
        with pytest.raises(IoFailure, match="^verifier could not open log: open log directory: "):
            call(str(tmp_path / "missing"))
    log_dir = str(tmp_path / "a")
    write_records(log_dir, key, 2, segment_size_bytes=0)
    cut(segment_path(log_dir, 1), 80)  # the last segment holds only its header: it verifies, yet has no head
    with pytest.raises(IoFailure, match="^segment 1 contained no records$"):
        _native.checkpoint(log_dir, key, "t")
    flip_in_first_frame(log_dir, 0)
    with pytest.raises(VerificationFailed) as e:
        _native.checkpoint(log_dir, key, "t")
    assert type(e.value) is VerificationFailed
    assert e.value.args == ("refusing to checkpoint a log that does not verify: " + HMAC_MSG.format(0),)


class NoLookups(dict):  # type: ignore[type-arg]
    """Parsing reads the dict's storage; these must never run."""

    def __getitem__(self, k: Any) -> Any:
        raise AssertionError("__getitem__ called")

    def __missing__(self, k: Any) -> Any:
        return "00" * 32


HEX = "ab" * 32
MUST_INT = 'checkpoint "{}" must be an integer'
PARSE_ERRORS: list[tuple[dict[str, Any], str]] = [  # changes to a valid dict (None value: key removed) -> message
    ({"format": None}, 'checkpoint missing key "format"'),
    ({"format": 1}, 'checkpoint "format" must be a string'),
    ({"format": "corvane-audit-checkpoint/v2"},
     'unsupported checkpoint format "corvane-audit-checkpoint/v2" (expected corvane-audit-checkpoint/v1)'),
    ({"key_id": None}, 'checkpoint missing key "key_id"'),
    ({"key_id": bytes(32)}, 'checkpoint "key_id" must be a string'),
    ({"key_id": HEX[:63]}, "checkpoint key_id is not valid hex: Odd number of digits"),
    ({"key_id": HEX[:5] + "g" + HEX[6:]}, "checkpoint key_id is not valid hex: Invalid character 'g' at position 5"),
    ({"key_id": HEX[:62]}, "checkpoint key_id must be 32 bytes, got 31"),
    ({"hmac": None}, 'checkpoint missing key "hmac"'),
    ({"hmac": HEX + "00"}, "checkpoint hmac must be 32 bytes, got 33"),
    ({"hmac": "\u00e9" + HEX[1:]}, "checkpoint hmac is not valid hex: Invalid character '\u00e9' at position 0"),
    ({"segment": None}, 'checkpoint missing key "segment"'),
    *[({"segment": v}, MUST_INT.format("segment")) for v in ("0", -1, 2**64)],
    ({"segment": 65536}, 'checkpoint "segment" exceeds u16'),
    ({"record_id": None}, 'checkpoint missing key "record_id"'),
    ({"format": None, "key_id": "zz"}, 'checkpoint missing key "format"'),  # the first failure in field order wins
    ({"hmac": "zz", "segment": -1}, "checkpoint hmac is not valid hex: Invalid character 'z' at position 0"),
]


@pytest.mark.parametrize("changes, message", PARSE_ERRORS)
def test_checkpoint_parse_errors(tmp_path: pathlib.Path, key: Any, changes: dict[str, Any], message: str) -> None:
    cp = {"format": "corvane-audit-checkpoint/v1", "key_id": key.key_id_hex(), "segment": 0, "record_id": 0,
          "hmac": HEX, "observed_at": "t", **changes}
    with pytest.raises(ArgumentError) as e:
        verify(str(tmp_path), key, checkpoint=NoLookups({k: v for k, v in cp.items() if v is not None}))
    assert type(e.value) is ArgumentError and e.value.args == (message,)


@pytest.mark.parametrize("changes, observed", [({"segment": 65535, "record_id": 2**64 - 1}, "t"),
                                               ({"record_id": 1, "observed_at": 12}, ""), ({"segment": True}, "t")])
def test_checkpoint_parse_accepts(log_dir: str, key: Any, changes: dict[str, Any], observed: str) -> None:
    write_records(log_dir, key, 1)
    r = verify(log_dir, key, checkpoint=NoLookups({**_native.checkpoint(log_dir, key, "t"), **changes}))
    assert r.violation["message"].endswith(f"observed at {observed}, is absent from this log {EM} history was cut")


# ---------------------------------------------------------------------------
# Arguments, reference cycles, memory


@pytest.mark.parametrize("func, args, kwargs, name", [
    (verify, (pathlib.Path("."), None), {}, "log_dir"),  # converted first
    (verify, (".", "not a key"), {}, "key"),
    (verify, (".", "KEY"), {"forensic": 1, "checkpoint": {}}, "forensic"),
    (verify, (".", "KEY", False, "yes"), {}, "raise_on_violation"),
    (verify, (".", "KEY"), {"checkpoint": [("format", "x")]}, "checkpoint"),
    (_native.checkpoint, (".", "KEY", None), {}, "observed_at"),
])
def test_argument_types(key: Any, func: Any, args: tuple[Any, ...], kwargs: dict[str, Any], name: str) -> None:
    with pytest.raises(TypeError, match=name):
        func(*(key if a == "KEY" else a for a in args), **kwargs)


def test_report_in_a_user_made_cycle(log_dir: str, key: Any) -> None:
    write_records(log_dir, key, 2)
    flip_in_first_frame(log_dir, 0)
    count = lambda: sum(isinstance(o, _native.VerifyReport) for o in gc.get_objects())  # noqa: E731
    gc.collect()
    base = count()
    r = verify(log_dir, key)
    r.additional_violations.append(r)
    r.violation["report"] = r
    gc.collect()
    assert r.violation["report"] is r and r.additional_violations == [r] and r.violation["kind"] == "HmacMismatch"
    del r
    gc.collect()
    assert count() == base


def test_memory_stays_flat_over_many_verifications(tmp_path: pathlib.Path, key: Any) -> None:
    good, bad = str(tmp_path / "good"), str(tmp_path / "bad")
    for d in (good, bad):
        write_records(d, key, 3, segment_size_bytes=0)
    for seg in (0, 2):
        flip_in_first_frame(bad, seg)
    cp = _native.checkpoint(good, key, "t")

    def rounds(n: int) -> None:
        for _ in range(n):
            r = verify(good, key, checkpoint=cp)
            (r.ok, r.compact, r.log_dir, r.final_hmac_hex, repr(r))
            r = verify(bad, key, forensic=True)
            (r.violation, r.additional_violations)
            _native.checkpoint(good, key, "t")
            for call in (lambda: verify(bad, key, raise_on_violation=True), lambda: _native.checkpoint(bad, key, "t"),
                         lambda: verify(good, key, checkpoint={**cp, "hmac": "zz"})):
                with pytest.raises(_native.CorvaneAuditError):
                    call()

    refs = sys.getrefcount(key)
    rounds(100)
    assert_memory_flat(lambda: rounds(1000), traced=64 * 1024, rss=8 << 20)
    assert sys.getrefcount(key) == refs
