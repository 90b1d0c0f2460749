# How verify(), checkpoint() and verify_span() hand the core's findings and refusals to Python (each kind once).

import gc
import json
import os
import pathlib
import shutil
import sys
import tracemalloc
import zlib
from typing import Any

import pytest

import corvane_audit as ca
from conftest import KEY, OTHER_KEY, SANITIZED, cli, cut, flip_byte, frames, patch, raises, segment_path, write_records
from corvane_audit import _native
from corvane_audit._native import ArgumentError, IoFailure, VerificationFailed, verify, verify_span

EM = "\u2014"
K = KEY.key_id_hex()
OBSERVED = f"t0 {EM} \u00fc"
HMAC_MSG = "HMAC mismatch at s0r0: stored hmac does not match HMAC over payload bytes"


# A record of 1970 after those of today: the writer refuses it unless, as here, it cannot read the record before
# (the empty last segment's predecessor was moved away while it was open).
def back_in_1970(log_dir: str) -> None:
    write_records(log_dir, KEY, 1, segment_size_bytes=0)
    os.remove(segment_path(log_dir, 1))
    _native.Writer.open(log_dir, KEY).close()  # begins segment 1 after the finalized segment 0
    os.rename(segment_path(log_dir, 0), log_dir + "-0")
    write_records(log_dir, KEY, 1, t0_ms=0)
    os.rename(log_dir + "-0", segment_path(log_dir, 0))


# Damage to a 5-record log (its directory, segment 0, its frames) -> the verdict and the class raised. The
# checkpoint's findings are made against one taken before the damage, whose observed time their message quotes.
@pytest.mark.parametrize("damage, compact, exc", [
    (lambda d, p, f: flip_byte(p, f[3][0] + 10), "HmacMismatch@s0r3", _native.HmacMismatchError),
    (lambda d, p, f: cut(p, f[2][0], sum(f[2])), "ChainBreak@s0r3", _native.ChainBreakError),
    (lambda d, p, f: cut(p, f[4][0] + 7), "RecordCorrupt@s0", _native.RecordCorruptError),
    (lambda d, p, f: patch(p, 4, b"\2\0"), "UnknownVersion@s0", _native.SchemaError),
    (lambda d, p, f: patch(p, 0, bytes(4)), "HeaderCorrupt@s0", _native.HeaderCorruptError),
    (None, "KeyIdMismatch@s0", _native.KeyIdMismatchError),  # verified with another key
    (lambda d, p, f: write_records(d, KEY, 2, segment_size_bytes=0) or os.remove(segment_path(d, 1)),
     "SegmentDiscontinuity@s2", _native.SegmentDiscontinuityError),
    (lambda d, p, f: back_in_1970(d), "TimestampRegression@s1r0", _native.TimestampError),
    (lambda d, p, f: shutil.rmtree(d) or write_records(d, KEY, 5, payload={"x": 1}), "CheckpointMismatch@s0r4",
     _native.CheckpointMismatchError),
    # Cut at a frame's start.
    (lambda d, p, f: cut(p, f[-1][0]), "CheckpointTruncated@s0r4", _native.CheckpointTruncatedError),
])  # fmt: skip
def test_violation_report_and_raise(log_dir, key, damage, compact, exc):
    write_records(log_dir, key, 5)
    cp = _native.checkpoint(log_dir, key, OBSERVED) if compact.startswith("Checkpoint") else None
    if damage:
        damage(log_dir, segment_path(log_dir, 0), frames(segment_path(log_dir, 0)))
    r = verify(log_dir, vkey := key if damage else OTHER_KEY, checkpoint=cp)
    assert (r.ok, r.compact, r.verdict_kind, r.additional_violations) == (False, compact, compact.partition("@")[0], [])
    assert list(v := r.violation) == ["kind", "segment_index", "record_id", "byte_offset", "message"] and v["message"]
    assert f"{v['kind']}@s{v['segment_index']}{'' if v['record_id'] is None else 'r' + str(v['record_id'])}" == compact
    assert cp is None or f"observed at {OBSERVED}" in v["message"]
    assert isinstance(raises(exc, lambda: verify(log_dir, vkey, False, True, cp), v["message"]), VerificationFailed)


def test_intact_log_report_and_checkpoint(tmp_path, key):
    # Not UTF-8 on disk: the name must round-trip. One record per segment, plus finalization records.
    write_records(log_dir := str(tmp_path / "l\udcffg"), key, 3, segment_size_bytes=0)
    r = verify(log_dir, key)
    assert (r.ok, r.verdict_kind, r.violation, r.additional_violations, r.log_dir, r.key_id_hex) == (
        True, "Verified", None, [], log_dir, key.key_id_hex())  # fmt: skip
    assert r.final_hmac_hex == list(_native.Reader.open(log_dir))[-1]["hmac_hex"] and r.records_inspected == 5
    cp = _native.checkpoint(log_dir, key, type("S", (str,), {})("t0"))
    assert list(cp.items()) == [("format", "corvane-audit-checkpoint/v1"), ("key_id", K), ("segment", 2),
                                ("record_id", 0), ("hmac", r.final_hmac_hex), ("observed_at", "t0")]  # fmt: skip
    # Hex in either case, and keys beyond the six, are accepted.
    assert verify(log_dir, key, checkpoint={**cp, "key_id": K.upper(), "hmac": cp["hmac"].upper(), "x": 1}).ok


# Which violations forensic mode finds is the core's tests' business; here, how they reach Python.
def test_forensic_report_objects_and_cycles(log_dir, key):
    write_records(log_dir, key, 3, segment_size_bytes=0)
    for seg in (0, 2):
        flip_byte(segment_path(log_dir, seg), 90)
    v, extra = (r := verify(log_dir, key, forensic=True)).violation, r.additional_violations
    assert [list(x.values())[:4] for x in [v, *extra]] == [["HmacMismatch", s, 0, 80] for s in (0, 2)]
    raises(_native.HmacMismatchError, lambda: verify(log_dir, key, True, True), HMAC_MSG)  # the first one decides
    assert r.violation is v and r.additional_violations is extra  # the same objects on every access
    r.additional_violations.append(r)  # cycles through the report
    r.violation.update(report=r)

    def reports() -> int:
        gc.collect()
        return sum(isinstance(o, _native.VerifyReport) for o in gc.get_objects())

    base = reports()
    del r, v, extra
    assert reports() == base - 1


def test_checkpoint_refusals(tmp_path, key):
    raises(ArgumentError, lambda: _native.checkpoint(str(tmp_path), key, "t"), f"log has no records {EM} nothing to "
           "checkpoint")  # fmt: skip
    write_records(str(tmp_path / "b"), OTHER_KEY, 1)
    cp = _native.checkpoint(str(tmp_path / "b"), OTHER_KEY, "t")
    e = raises(_native.CheckpointKeyMismatchError, lambda: verify(str(tmp_path), key, checkpoint=cp),
               f"checkpoint belongs to a different log: checkpoint key_id {cp['key_id']}, log key_id {K}")  # fmt: skip
    assert isinstance(e, ArgumentError) and not isinstance(e, VerificationFailed)  # not a finding about the log
    pytest.raises(IoFailure, _native.checkpoint, str(tmp_path / "none"), key, "t").match("^verifier could not open log")
    flip_byte(segment_path(str(tmp_path / "b"), 0), 90)
    raises(VerificationFailed, lambda: _native.checkpoint(str(tmp_path / "b"), OTHER_KEY, "t"),
           "refusing to checkpoint a log that does not verify: " + HMAC_MSG)  # fmt: skip


class NoLookups(dict):  # type: ignore[type-arg]
    def __getitem__(self, k: Any) -> Any:  # parsing reads the dict's storage
        raise AssertionError("__getitem__ called")


HEX = "ab" * 32


@pytest.mark.parametrize("changes, message", [  # changes to a valid dict (None: key removed) -> message
    ({"format": None}, 'checkpoint missing key "format"'),
    ({"format": "corvane-audit-checkpoint/v2"},
     'unsupported checkpoint format "corvane-audit-checkpoint/v2" (expected corvane-audit-checkpoint/v1)'),
    ({"hmac": HEX + "00"}, "checkpoint hmac must be 32 bytes, got 33"),
    ({"segment": -1}, 'checkpoint "segment" must be an integer'),
    ({"segment": 65536}, 'checkpoint "segment" exceeds u16'),
])  # fmt: skip
def test_checkpoint_parsing(log_dir, key, changes, message):
    write_records(log_dir, key, 1)
    cp = {**_native.checkpoint(log_dir, key, "t"), "hmac": HEX, **changes}
    cp = NoLookups({k: v for k, v in cp.items() if v is not None})
    raises(ArgumentError, lambda: verify(log_dir, key, checkpoint=cp), message)


# Binding calls of every kind, over and over, leave nothing behind (a leak per record would be megabytes).
def test_memory_stays_flat(tmp_path, key):
    write_records(good := str(tmp_path / "good"), key, 3, segment_size_bytes=0)
    bad = str(shutil.copytree(good, tmp_path / "bad"))
    for seg in (0, 2):
        flip_byte(segment_path(bad, seg), 90)
    cp, w = _native.checkpoint(good, key, "t"), _native.Writer.open(str(tmp_path / "w"), key)
    record = {"actor": "a", "event": "e", "payload": {"a": -1, "b": "x" * 50, "c": [b"\0", {"d": True}]}}

    def rounds(n: int) -> None:
        for _ in range(n):
            w.append(record)
            list(_native.Reader.open(good))
            repr(verify(good, key, checkpoint=cp))
            r = verify(bad, key, forensic=True)
            assert r.violation and r.additional_violations
            _native.checkpoint(good, key, "")
            for call in (lambda: verify(bad, key, raise_on_violation=True), lambda: _native.checkpoint(bad, key, "t"),
                         lambda: verify(good, key, checkpoint={**cp, "hmac": "zz"}), lambda: w.append({})):  # fmt: skip
                pytest.raises(_native.CorvaneAuditError, call)

    resident = lambda: int(pathlib.Path("/proc/self/statm").read_text().split()[1]) << 12  # noqa: E731
    rounds(200)
    gc.collect()
    refs, before = sys.getrefcount(key), resident()
    tracemalloc.start()
    rounds(2000)
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert grown < 64 * 1024 and (SANITIZED or resident() - before < 8 << 20), grown
    assert sys.getrefcount(key) == refs


# verify_span: incremental from a pinned record, its argument checks; the package's state file and the CLI options.
def test_since_proves_only_what_follows_the_pin(log_dir, key):
    write_records(log_dir, key, 6, segment_size_bytes=400)
    cp = ca.checkpoint(log_dir, key, "t")
    assert cp["offset"] == frames(segment_path(log_dir, cp["segment"]))[cp["record_id"]][0]
    write_records(log_dir, key, 4, segment_size_bytes=400)
    report, span = ca.verify_span(log_dir, key, since=cp)  # the head it reaches is the state file's (below)
    assert report.ok and span["start"] == {k: cp[k] for k in ("segment", "record_id", "offset")}
    os.truncate(segment_path(log_dir, cp["segment"]), cp["offset"])  # the pin cut off: raised as verify() does
    raises(_native.CheckpointTruncatedError, lambda: ca.verify(log_dir, key, raise_on_violation=True, since=cp))


@pytest.mark.parametrize("call, exc, message", [
    (lambda d, cp: verify_span(d, KEY, checkpoint=cp, since=cp), ArgumentError,
     "checkpoint and since cannot be combined: since already pins a record"),
    (lambda d, cp: verify_span(d, KEY, jobs=-1), ArgumentError, "jobs must be between 0 (one per CPU) and 256"),
    (lambda d, cp: verify_span(d, KEY, progress=bytearray(8)), ArgumentError,
     "progress must be a writable buffer of at least 16 bytes, 8-byte aligned"),
    (lambda d, cp: verify_span(d, KEY, progress=b"x" * 16), BufferError, None),  # read-only
])  # fmt: skip
def test_argument_refusals(log_dir, call, exc, message):
    write_records(log_dir, KEY, 2)
    raises(exc, lambda: call(log_dir, ca.checkpoint(log_dir, KEY, "t")), *([message] if message else []))


def test_cli_since_state_and_jobs(tmp_path, key):
    write_records(log_dir := str(tmp_path / "log"), key, 8, segment_size_bytes=500)
    first = cli(tmp_path, "verify", "log", "--state", "st.json", "--jobs", "2")
    # No progress bar when stderr is not a terminal.
    assert (first.returncode, first.stderr) == (0, "") and "state:      st.json now pins the head" in first.stdout
    pinned = json.loads((tmp_path / "st.json").read_text())
    write_records(log_dir, key, 3, segment_size_bytes=500)
    out = json.loads((again := cli(tmp_path, "verify", "log", "--state", "st.json", "--json")).stdout)
    assert again.returncode == 0 and out["ok"] and out["span"]["start"]["record_id"] == pinned["record_id"]
    assert json.loads((tmp_path / "st.json").read_text())["hmac"] == out["final_hmac_hex"] != pinned["hmac"]
    assert "since:      s" in cli(tmp_path, "verify", "log", "--since", "st.json").stdout
    flip_byte(segment_path(log_dir, ca.load_checkpoint(tmp_path / "st.json")["segment"]), 150)
    state_before = (tmp_path / "st.json").read_text()  # only a pass moves it
    assert cli(tmp_path, "verify", "log", "--state", "st.json").returncode == 1
    assert (tmp_path / "st.json").read_text() == state_before


@pytest.mark.parametrize("bad_from_file", [True, False])
def test_a_malformed_checkpoint_names_its_file_only_if_it_came_from_one(tmp_path, log_dir, bad_from_file):
    write_records(log_dir, KEY, 2)
    (good := tmp_path / "good.json").write_text(json.dumps(cp := ca.checkpoint(log_dir, KEY, "t")))
    (bad := tmp_path / "bad.json").write_text(json.dumps({**cp, "hmac": "zz"}))
    why = "checkpoint hmac is not valid hex: Invalid character 'z' at position 0"
    args = {"since": bad} if bad_from_file else {"since": good, "checkpoint": {**cp, "hmac": "zz"}}
    want = f"checkpoint file {bad}: {why}" if bad_from_file else why
    raises(ArgumentError, lambda: ca.verify_span(log_dir, KEY, **args), want)


# A later segment's index field is covered by its CRC only: the chain proves the order of segments, so verify
# passes a changed index that the reader refuses (the security notes say so).
def test_a_changed_index_field_passes_verify_and_stops_the_reader(log_dir, key):
    write_records(log_dir, key, 2, segment_size_bytes=0)
    with open(path := segment_path(log_dir, 1), "rb") as f:
        header = bytearray(f.read(72))
    header[6:8] = (7).to_bytes(2, "little")
    patch(path, 0, bytes(header) + zlib.crc32(header).to_bytes(4, "little"))
    assert verify(log_dir, key).ok
    raises(_native.RecordCorruptError, lambda: list(_native.Reader.open(log_dir)), "invalid header at segment 1: "
           "filename indicates segment 1 but header says 7")  # fmt: skip
