"""Reader and RecordIter: record dicts, iteration order, snapshots, damage and threads."""

from __future__ import annotations

import itertools
import os
import pathlib
from typing import Any

import pytest
from conftest import assert_memory_flat, flip_byte, frames, segment_path, write_records
from reliability_util import strict

from corvane_audit import _native

SMALL = 1000  # three records and a finalization record per segment


def split(path: str) -> tuple[bytes, list[bytes]]:
    """A segment file's header and its frames."""
    data = pathlib.Path(path).read_bytes()
    return data[:80], [data[off : off + n] for off, n in frames(path)]


NOT_A_MAP = b"\x01\x00\x00\x00\x01" + bytes(32) + b"\x01\x00\x00\x00"  # a frame holding the integer 1


def positions(records: Any) -> list[tuple[int, int]]:
    return [(r["segment_index"], r["record_id"]) for r in records]


def test_record_dict_round_trip(log_dir: str, key: _native.KeyHandle) -> None:
    payload = {"z": 2**64 - 1, "Z": -(2**63), "b": -1, "aa": 0, "é": "hé", "by": b"\x00\xff", "t": True,
               "f": False, "arr": [1, "x", [b"", {}]], "m": {"b": {"y": 1, "x": [2]}, "aa": {}}}  # fmt: skip
    with _native.Writer.open(log_dir, key, "ab" * 16) as w:
        for i in range(2):
            w.append({"actor": "u", "event": "e", "ts_wall": f"2026-12-06T00:00:0{i}.000Z", "ts_mono_delta": 7,
                      "schema_version": 3, "payload": payload})  # fmt: skip
    first, second = _native.Reader.open(log_dir)
    assert list(second.items())[:10] == [
        ("segment_index", 0), ("record_id", 1), ("ts_wall", "2026-12-06T00:00:01.000Z"), ("ts_mono_delta", 7),
        ("session_id_hex", "ab" * 16), ("actor", "u"), ("event", "e"), ("payload", payload),
        ("key_id_hex", key.key_id_hex()), ("schema_version", 3)]  # fmt: skip
    assert list(second)[10:] == ["prev_hash", "prev_hash_hex", "hmac", "hmac_hex"]
    # Bytewise key order at every level, not the stored (shortest first) order.
    assert list(second["payload"]) == ["Z", "aa", "arr", "b", "by", "f", "m", "t", "z", "é"]
    assert list(second["payload"]["m"]) == ["aa", "b"] and list(second["payload"]["m"]["b"]) == ["x", "y"]
    assert strict(second["payload"]) == strict(payload)  # True stays True, 1 stays 1
    assert second["prev_hash"] == first["hmac"] and len(first["hmac"]) == 32
    assert (second["prev_hash_hex"], second["hmac_hex"]) == (second["prev_hash"].hex(), second["hmac"].hex())


def test_iteration_visits_the_segments_listed_when_it_began(log_dir: str, key: _native.KeyHandle) -> None:
    write_records(log_dir, key, 2)
    reader = _native.Reader.open(log_dir)
    it = iter(reader)
    assert next(it)["record_id"] == 0
    write_records(log_dir, key, 6, segment_size_bytes=SMALL)  # finishes segment 0, then makes 1 and 2
    rest = list(it)
    assert positions(rest) == [(0, 1), (0, 2), (0, 3)]
    assert (rest[-1]["actor"], rest[-1]["event"]) == ("system:audit", "segment.finalized")
    assert positions(reader) == [(0, 0), *positions(rest), (1, 0), (1, 1), (1, 2), (1, 3), (2, 0), (2, 1)]


def test_gaps_are_skipped_and_so_are_vanished_segments(log_dir: str, key: _native.KeyHandle) -> None:
    write_records(log_dir, key, 8, segment_size_bytes=SMALL)
    os.remove(segment_path(log_dir, 1))
    reader = _native.Reader.open(log_dir)
    assert positions(reader) == [(0, 0), (0, 1), (0, 2), (0, 3), (2, 0), (2, 1)]
    it = iter(reader)
    os.remove(segment_path(log_dir, 2))
    assert positions(it) == [(0, 0), (0, 1), (0, 2), (0, 3)]


@pytest.mark.parametrize("damage", ["header", "decode", "torn tail"])
def test_damage_stops_iteration_until_repaired(log_dir: str, key: _native.KeyHandle, damage: str) -> None:
    write_records(log_dir, key, 8, segment_size_bytes=SMALL)
    clean = positions(_native.Reader.open(log_dir))
    path = segment_path(log_dir, 1)
    original = pathlib.Path(path).read_bytes()
    header, fr = split(path)
    at, before = 80 + len(fr[0]), 5
    if damage == "header":
        flip_byte(path, 0)
        message, before = "invalid header at segment 1: magic mismatch: [66, 86, 65, 85]", 4
    elif damage == "decode":
        pathlib.Path(path).write_bytes(header + fr[0] + NOT_A_MAP + b"".join(fr[2:]))
        message = f"record decode error at segment 1 offset {at}: record payload is not a CBOR map"
    else:
        os.truncate(path, at + 3)
        message = f"torn tail at segment 1 offset {at}"
    it = iter(_native.Reader.open(log_dir))
    assert positions(itertools.islice(it, before)) == clean[:before]
    for _ in range(2):  # the same record is asked for again
        with pytest.raises(_native.RecordCorruptError) as exc:
            next(it)
        assert exc.value.args == (message,)
    pathlib.Path(path).write_bytes(original)
    assert positions(it) == clean[before:]


@pytest.mark.parametrize(
    "layout, expected",
    [("A0 A2 A1 B2 A3", "A0 A1 A2 A3"),  # 2 is first found before the frame where 1 was
     ("A0 B0 A1", "A0 A1"), ("A0 A2", "A0"), ("A0 A2 X A1", "A0 error")],
)  # fmt: skip
def test_first_record_with_each_id_is_returned(tmp_path: pathlib.Path, key: _native.KeyHandle, layout: str,
                                               expected: str) -> None:  # fmt: skip
    source = {"X": NOT_A_MAP}
    for name in "AB":
        write_records(str(tmp_path / name), key, 4, payload={"src": name})
        header, fr = split(segment_path(str(tmp_path / name), 0))
        source.update({f"{name}{i}": f for i, f in enumerate(fr)})
    os.mkdir(tmp_path / "log")
    segment = header + b"".join(source[p] for p in layout.split())
    pathlib.Path(segment_path(str(tmp_path / "log"), 0)).write_bytes(segment)
    got = []
    try:
        for r in _native.Reader.open(str(tmp_path / "log")):
            got.append(f"{r['payload']['src']}{r['record_id']}")
    except _native.RecordCorruptError as e:
        assert str(e).startswith(f"record decode error at segment 0 offset {80 + len(source['A0'] + source['A2'])}:")
        got.append("error")
    assert " ".join(got) == expected


def test_directory_that_cannot_be_listed(tmp_path: pathlib.Path) -> None:
    gone, enoent = str(tmp_path / "gone"), r"^No such file or directory \(os error 2\)$"
    with pytest.raises(_native.IoFailure, match=enoent):
        _native.Reader.open(gone)
    assert not os.path.exists(gone)  # opening never creates
    os.mkdir(gone)
    reader = _native.Reader.open(gone)
    assert reader.segments() == [] and list(reader) == []
    os.rmdir(gone)
    for call in (reader.segments, lambda: iter(reader)):
        with pytest.raises(_native.IoFailure, match=enoent):
            call()


def test_repr_quotes_the_path_and_open_takes_only_str(tmp_path: pathlib.Path) -> None:
    raw = os.fsencode(tmp_path) + b'/q"b\\s\nd\xff'
    os.mkdir(raw)
    reader = _native.Reader.open(os.fsdecode(raw))
    assert repr(reader) == f'Reader(log_dir="{tmp_path}/q\\"b\\\\s\\nd\\xFF")'
    with pytest.raises(TypeError):
        _native.Reader.open(tmp_path)  # type: ignore[arg-type]


def test_memory_stays_flat_over_100000_records(log_dir: str, key: _native.KeyHandle) -> None:
    write_records(log_dir, key, 100_000)
    reader = _native.Reader.open(log_dir)
    assert len(list(itertools.islice(reader, 1000))) == 1000  # warms up buffers and pools
    counted: list[int] = []
    assert_memory_flat(lambda: counted.append(sum(1 for _ in reader)), traced=100_000, rss=16 << 20)
    assert counted == [100_000]  # a leaked object per record would be megabytes
