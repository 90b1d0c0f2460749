"""verify(), checkpoint() and VerifyReport, on logs written by the Writer and then damaged."""

from __future__ import annotations

import gc
import os
import pathlib
import sys
import threading
import tracemalloc
import zlib
from typing import Any, Callable

import pytest

from conftest import SANITIZED, flip_byte, segment_path, write_records
from corvane_audit import _native
from corvane_audit._native import ArgumentError, IoFailure, VerificationFailed, verify

VIOLATION_KEYS = ["kind", "segment_index", "record_id", "byte_offset", "message"]
EM = "\u2014"


def frames(path: str) -> list[tuple[int, int]]:
    """(offset, total length) of every whole frame of a segment file."""
    data = pathlib.Path(path).read_bytes()
    out, off = [], 80
    while off + 4 <= len(data):
        out.append((off, int.from_bytes(data[off : off + 4], "little") + 40))
        off += out[-1][1]
    return out


def cut(path: str, start: int, end: int | None = None) -> None:
    data = pathlib.Path(path).read_bytes()
    pathlib.Path(path).write_bytes(data[:start] + (b"" if end is None else data[end:]))


def patch(path: str, offset: int, data: bytes) -> None:
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def flip_in_first_frame(log_dir: str, seg: int) -> None:
    flip_byte(segment_path(log_dir, seg), frames(segment_path(log_dir, seg))[0][0] + 10)


HMAC_MSG = "HMAC mismatch at s0r{}: stored hmac does not match HMAC over payload bytes"

# Damage to segment 0 of a 5-record log, as (path, frames) -> the violation's byte_offset; then the class,
# compact verdict, record_id and message ({off}: that offset; {stored}/{computed}: the header's CRCs).
VIOLATIONS: list[tuple[str, Callable[[str, list[tuple[int, int]]], int], type, str, int | None, str]] = [
    ("record byte", lambda p, f: flip_byte(p, f[3][0] + 10) or f[3][0], _native.HmacMismatchError,
     "HmacMismatch@s0r3", 3, HMAC_MSG.format(3)),
    ("deleted frame", lambda p, f: cut(p, f[2][0], sum(f[2])) or f[2][0], _native.ChainBreakError,
     "ChainBreak@s0r3", 3, "Chain break at s0r3: stored prev_hash does not equal the preceding HMAC"),
    ("torn tail", lambda p, f: cut(p, f[4][0] + 7) or f[4][0], _native.RecordCorruptError,
     "RecordCorrupt@s0", None, f"Torn tail at segment 0 offset {{off}} (partial write {EM} recoverable by R5)"),
    ("version 2", lambda p, f: patch(p, 4, b"\2\0") or 4, _native.SchemaError,
     "UnknownVersion@s0", None, "Segment 0 declares version 2; supported 1"),
    ("bad magic", lambda p, f: patch(p, 0, bytes(4)) or 0, _native.HeaderCorruptError,
     "HeaderCorrupt@s0", None, "Segment 0 bad magic: [0, 0, 0, 0]"),
    ("bad crc", lambda p, f: flip_byte(p, 72) or 72, _native.HeaderCorruptError,
     "HeaderCorrupt@s0", None, "Segment 0 header CRC mismatch: stored 0x{stored:08x}, computed 0x{computed:08x}"),
    ("foreign key", lambda p, f: 8, _native.KeyIdMismatchError,  # verified with other_key
     "KeyIdMismatch@s0", None, "Segment 0 header key_id does not match verifier's key"),
]


@pytest.mark.parametrize("damage, exc, compact, record_id, template", [v[1:] for v in VIOLATIONS],
                         ids=[v[0] for v in VIOLATIONS])
def test_violation_report_and_raise(log_dir: str, key: Any, other_key: Any, damage: Any, exc: type, compact: str,
                                    record_id: int | None, template: str) -> None:
    write_records(log_dir, key, 5)
    path = segment_path(log_dir, 0)
    off = damage(path, frames(path))
    head = pathlib.Path(path).read_bytes()[:80].ljust(80, b"\0")
    message = template.format(off=off, stored=int.from_bytes(head[72:76], "little"), computed=zlib.crc32(head[:72]))
    vkey = other_key if compact.startswith("KeyId") else key
    r = verify(log_dir, vkey)
    assert (r.ok, r.compact, r.verdict_kind, r.final_hmac_hex, r.additional_violations) == (
        False, compact, compact.split("@")[0], None, [])
    assert list(r.violation) == VIOLATION_KEYS
    assert r.violation == {"kind": r.verdict_kind, "segment_index": 0, "record_id": record_id, "byte_offset": off,
                           "message": message}
    assert repr(r) == f'VerifyReport(ok=false, compact="{compact}", records_inspected={r.records_inspected}, ' \
                      "segments_inspected=1)"
    with pytest.raises(exc) as e:
        verify(log_dir, vkey, raise_on_violation=True)
    assert type(e.value) is exc and isinstance(e.value, VerificationFailed) and e.value.args == (message,)


def test_intact_multi_segment_log(tmp_path: pathlib.Path, key: Any) -> None:
    log_dir = str(tmp_path / "l\udcffg")  # not UTF-8 on disk: the name must round-trip
    write_records(log_dir, key, 3, segment_size_bytes=0)  # one record per segment, plus finalization records
    r = verify(log_dir, key)
    assert (r.ok, r.compact, r.verdict_kind, r.violation, r.additional_violations) == (
        True, "Verified", "Verified", None, [])
    assert (r.segments_inspected, r.records_inspected, r.log_dir, r.key_id_hex) == (3, 5, log_dir, key.key_id_hex())
    assert len(r.final_hmac_hex) == 64 and r.final_hmac_hex == r.final_hmac_hex.lower()
    assert repr(r) == 'VerifyReport(ok=true, compact="Verified", records_inspected=5, segments_inspected=3)'
    empty = verify(str(tmp_path), key)
    assert (empty.ok, empty.segments_inspected, empty.records_inspected, empty.final_hmac_hex) == (True, 0, 0, None)


def test_removed_middle_segment(log_dir: str, key: Any) -> None:
    write_records(log_dir, key, 4, segment_size_bytes=0)
    os.remove(segment_path(log_dir, 1))
    msg = "Segment {} prev_final does not match segment {} final"
    r = verify(log_dir, key)
    assert (r.compact, r.additional_violations) == ("SegmentDiscontinuity@s2", [])
    assert r.violation == {"kind": "SegmentDiscontinuity", "segment_index": 2, "record_id": None, "byte_offset": 40,
                           "message": msg.format(2, 1)}
    # Forensic: segment 2 never became the previous final, so segment 3 is compared with segment 0's.
    r = verify(log_dir, key, forensic=True)
    assert [v["message"] for v in r.additional_violations] == [msg.format(3, 2)]
    assert r.final_hmac_hex is not None  # segment 0 was walked to its end
    with pytest.raises(_native.SegmentDiscontinuityError, match=f"^{msg.format(2, 1)}$"):  # the first one decides
        verify(log_dir, key, True, True)


@pytest.mark.parametrize("back_ms", [60_000, 60_001])
def test_timestamp_step_back_limit(log_dir: str, key: Any, back_ms: int) -> None:
    t = 120_000 - back_ms
    with _native.Writer.open(log_dir, key) as w:
        for ts_wall in ["2026-01-01T00:00:00.000Z", "2026-01-01T00:02:00.000Z",
                        f"2026-01-01T00:{t // 60000:02d}:{t // 1000 % 60:02d}.{t % 1000:03d}Z"]:
            w.append({"actor": "a", "event": "e", "ts_wall": ts_wall})
    assert verify(log_dir, key).ok is (back_ms == 60_000)
    if back_ms > 60_000:
        with pytest.raises(_native.TimestampError, match="^ts_wall regressed -60001 ms at s0r2$"):
            verify(log_dir, key, raise_on_violation=True)


def test_forensic_report_objects(log_dir: str, key: Any) -> None:
    write_records(log_dir, key, 3, segment_size_bytes=0)
    for seg in (0, 2):
        flip_in_first_frame(log_dir, seg)
    assert verify(log_dir, key).additional_violations == []
    r = verify(log_dir, key, forensic=True)
    v, extra = r.violation, r.additional_violations
    assert (v["message"], [list(x.values())[:4] for x in extra]) == (HMAC_MSG.format(0), [["HmacMismatch", 2, 0, 80]])
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
    assert verify(log_dir, key, checkpoint=cp).ok
    write_records(log_dir, key, 3)  # appended records: the pinned one is still there
    assert verify(log_dir, key, checkpoint={**cp, "key_id": cp["key_id"].upper(), "hmac": cp["hmac"].upper(), "x": 1}).ok


def test_checkpoint_head_after_removing_the_first_segment(log_dir: str, key: Any) -> None:
    write_records(log_dir, key, 3, segment_size_bytes=0)
    cp = _native.checkpoint(log_dir, key, "x")
    assert (cp["segment"], cp["record_id"]) == (2, 0)
    os.remove(segment_path(log_dir, 0))
    assert _native.checkpoint(log_dir, key, "x") == cp and verify(log_dir, key, checkpoint=cp).ok
    assert verify(log_dir, key, checkpoint={**cp, "segment": 0}).compact == "CheckpointTruncated@s0r0"


@pytest.mark.parametrize("case", ["rewritten", "cut", "cut, no observed_at"])
def test_checkpoint_mismatch_and_truncation(log_dir: str, key: Any, case: str) -> None:
    write_records(log_dir, key, 5)
    cp = _native.checkpoint(log_dir, key, f"t0 {EM} \u00fc")
    if case == "rewritten":
        for name in os.listdir(log_dir):
            os.remove(os.path.join(log_dir, name))
        write_records(log_dir, key, 5, payload={"rewritten": True})
        exc, compact, msg = _native.CheckpointMismatchError, "CheckpointMismatch@s0r4", \
            f"Checkpoint mismatch at s0r4: record differs from the head observed at t0 {EM} \u00fc {EM} history was rewritten"
    else:
        if case.endswith("observed_at"):
            del cp["observed_at"]
        cut(segment_path(log_dir, 0), frames(segment_path(log_dir, 0))[-1][0])  # cleanly, at a frame boundary
        assert verify(log_dir, key).ok
        exc, compact, msg = _native.CheckpointTruncatedError, "CheckpointTruncated@s0r4", \
            f"Checkpoint truncated: s0r4 observed at {cp.get('observed_at', '')}, is absent from this log {EM} history was cut"
    r = verify(log_dir, key, checkpoint=cp)
    assert (r.compact, r.violation["message"]) == (compact, msg)
    with pytest.raises(exc) as e:
        verify(log_dir, key, checkpoint=cp, raise_on_violation=True)
    assert e.value.args == (msg,)


@pytest.mark.parametrize("state", ["empty", "damaged"])
def test_checkpoint_of_another_key_is_refused_before_reading(tmp_path: pathlib.Path, key: Any, other_key: Any,
                                                             state: str) -> None:
    log_dir = str(tmp_path / "log")
    write_records(log_dir, other_key, 2)
    cp = _native.checkpoint(log_dir, other_key, "t")
    patch(segment_path(log_dir, 0), 0, bytes(4))
    if state == "empty":
        os.mkdir(log_dir := str(tmp_path / "empty"))
    with pytest.raises(_native.CheckpointKeyMismatchError) as e:
        verify(log_dir, key, checkpoint=cp)
    assert isinstance(e.value, ArgumentError) and not isinstance(e.value, VerificationFailed)
    assert e.value.args == (f"checkpoint belongs to a different log: checkpoint key_id {other_key.key_id_hex()}, "
                            f"log key_id {key.key_id_hex()}",)


def test_checkpoint_refusals(tmp_path: pathlib.Path, key: Any) -> None:
    with pytest.raises(ArgumentError, match=f"^log has no records {EM} nothing to checkpoint$"):
        _native.checkpoint(str(tmp_path), key, "t")
    for call in (lambda d: _native.checkpoint(d, key, "t"), lambda d: verify(d, key)):
        with pytest.raises(IoFailure, match="^verifier could not open log: open log directory: "):
            call(str(tmp_path / "missing"))
    log_dir = str(tmp_path / "a")
    write_records(log_dir, key, 2, segment_size_bytes=0)
    cut(segment_path(log_dir, 1), 80)  # the last segment holds only its header: it verifies, yet has no head
    assert verify(log_dir, key).ok
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
    ({"format": 'a"\n'}, 'unsupported checkpoint format "a\\"\\n" (expected corvane-audit-checkpoint/v1)'),
    ({"key_id": None}, 'checkpoint missing key "key_id"'),
    ({"key_id": bytes(32)}, 'checkpoint "key_id" must be a string'),
    ({"key_id": HEX[:63]}, "checkpoint key_id is not valid hex: Odd number of digits"),
    ({"key_id": HEX[:5] + "g" + HEX[6:]}, "checkpoint key_id is not valid hex: Invalid character 'g' at position 5"),
    ({"key_id": HEX[:62]}, "checkpoint key_id must be 32 bytes, got 31"),
    ({"hmac": None}, 'checkpoint missing key "hmac"'),
    ({"hmac": HEX + "00"}, "checkpoint hmac must be 32 bytes, got 33"),
    ({"hmac": "\u00e9" + HEX[1:]}, "checkpoint hmac is not valid hex: Invalid character '\u00e9' at position 0"),
    ({"segment": None}, 'checkpoint missing key "segment"'),
    *[({"segment": v}, MUST_INT.format("segment")) for v in ("0", 0.0, -1, 2**64)],
    *[({"segment": v}, 'checkpoint "segment" exceeds u16') for v in (65536, 2**64 - 1)],
    ({"record_id": None}, 'checkpoint missing key "record_id"'),
    *[({"record_id": v}, MUST_INT.format("record_id")) for v in (-1, 2**64)],
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
# Arguments, class surface, threads, memory


@pytest.mark.parametrize("func, args, kwargs, name", [
    (verify, (pathlib.Path("."), None), {}, "log_dir"),  # converted first
    (verify, (b".", "KEY"), {}, "log_dir"),
    (verify, (".", "not a key"), {}, "key"),
    (verify, (".", "KEY"), {"forensic": 1, "checkpoint": {}}, "forensic"),
    (verify, (".", "KEY", False, "yes"), {}, "raise_on_violation"),
    (verify, (".", "KEY"), {"checkpoint": [("format", "x")]}, "checkpoint"),
    (_native.checkpoint, (pathlib.Path("."), "KEY", "t"), {}, "log_dir"),
    (_native.checkpoint, (".", object(), "t"), {}, "key"),
    (_native.checkpoint, (".", "KEY", None), {}, "observed_at"),
])
def test_argument_types(key: Any, func: Any, args: tuple[Any, ...], kwargs: dict[str, Any], name: str) -> None:
    with pytest.raises(TypeError, match=name):
        func(*(key if a == "KEY" else a for a in args), **kwargs)


def test_report_class_surface() -> None:
    cls = _native.VerifyReport
    assert [n for n in vars(cls) if not n.startswith("__")] == [
        "ok", "compact", "verdict_kind", "log_dir", "key_id_hex", "segments_inspected", "records_inspected",
        "final_hmac_hex", "violation", "additional_violations"]
    assert (cls.__doc__, cls.ok.__doc__) == ("Python-facing verify report.", "`True` iff the verdict was `Verified`.")
    with pytest.raises(TypeError):
        cls()
    assert verify.__text_signature__ == "(log_dir, key, forensic=False, raise_on_violation=False, checkpoint=None)"
    assert _native.checkpoint.__text_signature__ == "(log_dir, key, observed_at)"


def test_report_is_bound_to_its_thread(tmp_path: pathlib.Path, key: Any) -> None:
    r = verify(str(tmp_path), key)
    caught: list[BaseException] = []

    def use() -> None:
        for access in (lambda: r.ok, lambda: r.violation, lambda: repr(r)):
            try:
                access()
            except BaseException as e:
                caught.append(e)

    t = threading.Thread(target=use)
    t.start()
    t.join()
    assert [str(e) for e in caught if not isinstance(e, Exception)] == 3 * [
        "corvane_audit._native.VerifyReport is unsendable, but sent to another thread"]
    assert r.ok


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
    gc.collect()
    rss = int(pathlib.Path("/proc/self/statm").read_text().split()[1])
    tracemalloc.start()
    rounds(1000)
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert grown < 64 * 1024, grown
    if not SANITIZED:
        assert (int(pathlib.Path("/proc/self/statm").read_text().split()[1]) - rss) * os.sysconf("SC_PAGE_SIZE") < 8 << 20
    assert sys.getrefcount(key) == refs
