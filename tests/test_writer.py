"""The Python Writer: argument rules, payload conversion, lifecycle, recovery."""

from __future__ import annotations

import os
import pathlib
import threading
import tracemalloc
from typing import Any

import pytest

from conftest import flip_byte, segment_path, write_records
from corvane_audit import _native
from corvane_audit._native import ArgumentError, Writer


def read_back(log_dir: str) -> list[dict[str, Any]]:
    return list(iter(_native.Reader.open(log_dir)))


def append_one(log_dir: str, key: _native.KeyHandle, record: dict[str, Any]) -> dict[str, Any]:
    with Writer.open(log_dir, key) as w:
        w.append(record)
    return read_back(log_dir)[-1]


def test_defaults_fill_the_optional_fields(log_dir: str, key: _native.KeyHandle) -> None:
    with Writer.open(log_dir, key) as w:
        assert w.append({"actor": "a", "event": "e", "record_id": 99}) == 0  # extra keys ignored
        assert w.append({"actor": "a", "event": "e"}) == 1
    rec = read_back(log_dir)[0]
    assert (rec["ts_wall"], rec["ts_mono_delta"], rec["schema_version"], rec["payload"]) == (
        "1970-01-01T00:00:00.000Z", 0, 1, {})
    assert rec["session_id_hex"] == "00" * 16


@pytest.mark.parametrize(
    "payload",
    [
        {"flag": True, "off": False, "n": 1},
        {"max": 2**64 - 1, "min": -(2**63), "zero": 0, "neg": -1},
        {"bytes": b"\x00\xff", "text": "h\u00e9llo \u6c34", "empty": ""},
        {"nested": {"list": [1, [2, {"k": b""}], "x"], "map": {}}},
    ],
)
def test_payload_round_trips(log_dir: str, key: _native.KeyHandle, payload: dict[str, Any]) -> None:
    rec = append_one(log_dir, key, {"actor": "a", "event": "e", "payload": payload})
    assert rec["payload"] == payload
    assert [type(v) for v in rec["payload"].values()] == [type(payload[k]) for k in rec["payload"]]


def test_bool_is_a_boolean_in_payload_but_an_int_elsewhere(log_dir: str, key: _native.KeyHandle) -> None:
    rec = append_one(log_dir, key, {"actor": "a", "event": "e", "ts_mono_delta": True, "payload": {"b": True}})
    assert rec["ts_mono_delta"] == 1 and rec["payload"]["b"] is True


def test_schema_version_keeps_its_low_32_bits(log_dir: str, key: _native.KeyHandle) -> None:
    rec = append_one(log_dir, key, {"actor": "a", "event": "e", "schema_version": 2**32 + 1})
    assert rec["schema_version"] == 1


@pytest.mark.parametrize(
    "record, exc, message",
    [
        ({"event": "e"}, ArgumentError, 'record dict is missing required key "actor"'),
        ({"actor": "a"}, ArgumentError, 'record dict is missing required key "event"'),
        ({"actor": 1, "event": "e"}, TypeError, 'record["actor"] must be a str'),
        ({"actor": "a", "event": "e", "ts_wall": None}, TypeError, 'record["ts_wall"] must be a str'),
        ({"actor": "a", "event": "e", "ts_mono_delta": "1"}, TypeError, 'record["ts_mono_delta"] must be an int'),
        ({"actor": "a", "event": "e", "schema_version": 1.0}, TypeError, 'record["schema_version"] must be an int'),
        ({"actor": "a", "event": "e", "ts_mono_delta": -1}, OverflowError, None),
        ({"actor": "a", "event": "e", "schema_version": 2**64}, OverflowError, None),
        ({"actor": "a", "event": "e", "schema_version": 256}, ArgumentError, "schema_version 256 exceeds 255"),
        ({"actor": "a", "event": "e", "payload": None}, TypeError, "'payload' must be a dict if provided"),
        ({"actor": "a", "event": "e", "payload": {1: 2}}, TypeError, "payload keys must be str"),
        ({"actor": "a", "event": "e", "payload": {"v": 2**64}}, ArgumentError, "payload int out of range: 18446744073709551616"),
        ({"actor": "a", "event": "e", "payload": {"v": -(2**63) - 1}}, ArgumentError,
         "payload int out of range: -9223372036854775809"),
        ({"actor": "a", "event": "e", "payload": {"v": 1.5}}, TypeError, "payload floats are not supported in v0.1"),
        ({"actor": "a", "event": "e", "payload": {"v": None}}, TypeError, "unsupported payload value type: NoneType"),
        ({"actor": "a", "event": "e", "payload": {"v": (1,)}}, TypeError, "unsupported payload value type: tuple"),
        ({"actor": "a", "event": "e", "payload": {"v": bytearray(b"x")}}, TypeError,
         "unsupported payload value type: bytearray"),
        ({"actor": "a", "event": "e", "ts_wall": "2026-12-06T07:16:15Z"}, ArgumentError,
         'ts_wall must be RFC 3339 with ms precision; got "2026-12-06T07:16:15Z"'),
        ({"actor": "a", "event": "e", "ts_wall": "2026-12-06T07:16:15.000+00:00"}, ArgumentError,
         "ts_wall must end with 'Z' (RFC 3339 UTC); got \"2026-12-06T07:16:15.000+00:00\""),
        ({"actor": "a", "event": "e", "ts_wall": ""}, ArgumentError, "ts_wall must end with 'Z' (RFC 3339 UTC); got \"\""),
    ],
)
def test_refused_records_write_nothing(
    log_dir: str, key: _native.KeyHandle, record: dict[str, Any], exc: type[Exception], message: str | None
) -> None:
    with Writer.open(log_dir, key) as w:
        size = os.path.getsize(segment_path(log_dir, 0))
        with pytest.raises(exc) as info:
            w.append(record)
        if message is not None:
            assert str(info.value).startswith(message)
        assert len(info.value.args) == 1
        assert os.path.getsize(segment_path(log_dir, 0)) == size
        assert w.append({"actor": "a", "event": "e"}) == 0  # still usable


def test_append_rejects_non_dicts_and_ignores_dict_subclass_hooks(log_dir: str, key: _native.KeyHandle) -> None:
    class Sneaky(dict):  # type: ignore[type-arg]
        def __getitem__(self, k: Any) -> Any:
            return "hooked"

        def __missing__(self, k: Any) -> Any:
            return "hooked"

    with Writer.open(log_dir, key) as w:
        with pytest.raises(TypeError, match="Writer.append expects a dict"):
            w.append([("actor", "a")])
        w.append(Sneaky(actor="a", event="e"))
        with pytest.raises(ArgumentError, match="missing required key"):
            w.append(Sneaky(actor="a"))
    assert read_back(log_dir)[0]["actor"] == "a"


def nest(levels: int) -> dict[str, Any]:
    value: dict[str, Any] = {}
    for _ in range(levels):
        value = {"k": value}
    return value


def test_nesting_is_refused_exactly_where_readers_stop(log_dir: str, key: _native.KeyHandle) -> None:
    # The payload map sits at depth 1; an empty map may sit at depth 15.
    deepest = nest(14)
    rec = append_one(log_dir, key, {"actor": "a", "event": "e", "payload": deepest})
    assert rec["payload"] == deepest
    with Writer.open(log_dir, key) as w:
        for payload in (nest(15), {"l": [[[[[[[[[[[[[[1]]]]]]]]]]]]]]}):
            with pytest.raises(ArgumentError, match="payload nested too deeply: a record allows 16 nesting levels"):
                w.append({"actor": "a", "event": "e", "payload": payload})
        cyclic: dict[str, Any] = {}
        cyclic["self"] = cyclic
        with pytest.raises(ArgumentError, match="nested too deeply"):
            w.append({"actor": "a", "event": "e", "payload": cyclic})


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (("00" * 15 + "0",), ArgumentError, "session_id_hex must be 32 hex chars; got 31"),
        (("00" * 2 + "zz" + "00" * 13,), ArgumentError, "session_id_hex bad hex at byte 2: invalid digit found in string"),
        (("00" * 15 + "\u00e9",), ArgumentError, "session_id_hex bad hex at byte 15"),
        ((None,), TypeError, None),
        (("00" * 16, -1), OverflowError, None),
        (("00" * 16, "64"), TypeError, None),
    ],
)
def test_open_argument_errors(log_dir: str, key: _native.KeyHandle, args: tuple[Any, ...], exc: type[Exception],
                              message: str | None) -> None:
    with pytest.raises(exc) as info:
        Writer.open(log_dir, key, *args)
    if message:
        assert str(info.value).startswith(message)


def test_open_accepts_padded_session_ids_and_refuses_paths(log_dir: str, key: _native.KeyHandle) -> None:
    with Writer.open(log_dir, key, " \u3000" + "AB" * 16 + "\n") as w:
        w.append({"actor": "a", "event": "e"})
    assert read_back(log_dir)[0]["session_id_hex"] == "ab" * 16
    with pytest.raises(TypeError):
        Writer.open(pathlib.Path(log_dir), key)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        Writer.open(log_dir, "not a key")  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        Writer()  # type: ignore[call-arg]


def test_lifecycle(log_dir: str, key: _native.KeyHandle) -> None:
    w = Writer.open(log_dir, key)
    assert repr(w) == "Writer(open)" and w.__enter__() is w
    w.flush()
    assert w.close() is None and w.close() is None
    assert repr(w) == "Writer(closed)"
    for call in (w.flush, w.recovery_action, w.recovery_truncated_bytes, lambda: w.append({"actor": "a", "event": "e"})):
        with pytest.raises(ArgumentError, match="^Writer is closed$"):
            call()
    assert w.__exit__(None, None, None) is False
    with pytest.raises(ZeroDivisionError):
        with Writer.open(log_dir, key) as w2:
            1 / 0
    assert repr(w2) == "Writer(closed)"
    assert Writer.open(log_dir, key).recovery_action() == "Resumed"  # the lock was released


def test_recovery_outcomes(log_dir: str, key: _native.KeyHandle, other_key: _native.KeyHandle) -> None:
    with Writer.open(log_dir, key) as w:
        assert (w.recovery_action(), w.recovery_truncated_bytes()) == ("Fresh", 0)
    write_records(log_dir, key, 3)
    path = segment_path(log_dir, 0)
    with open(path, "ab") as f:
        f.write(b"\x01\x02\x03")
    with Writer.open(log_dir, key) as w:
        assert (w.recovery_action(), w.recovery_truncated_bytes()) == ("Repaired", 3)
        assert w.append({"actor": "a", "event": "e"}) == 3
    with pytest.raises(_native.RecoveryError, match="^recovery refused: key_id mismatch in segment 0"):
        Writer.open(log_dir, other_key)
    flip_byte(path, 80 + 10)
    with pytest.raises(_native.RecoveryError, match="^recovery refused: HMAC mismatch at segment 0, record 0 "):
        Writer.open(log_dir, key)


def test_rotation_opens_next_after_finalized(log_dir: str, key: _native.KeyHandle) -> None:
    write_records(log_dir, key, 2, segment_size_bytes=0)
    assert _native.Reader.open(log_dir).segments() == [0, 1]
    records = read_back(log_dir)
    assert [(r["segment_index"], r["record_id"], r["event"]) for r in records] == [
        (0, 0, "test.event"), (0, 1, "segment.finalized"), (1, 0, "test.event")]
    # Finalize the last segment by hand: a rotation that a crash interrupted.
    with Writer.open(log_dir, key, segment_size_bytes=0) as w:
        w.append({"actor": "a", "event": "e"})
    os.remove(segment_path(log_dir, 2))
    with Writer.open(log_dir, key) as w:
        assert w.recovery_action() == "OpenedNextAfterFinalized"


def test_thread_binding_and_reentrancy(log_dir: str, key: _native.KeyHandle) -> None:
    w = Writer.open(log_dir, key)
    caught: list[BaseException] = []

    def use() -> None:
        try:
            w.append({"actor": "a", "event": "e"})
        except BaseException as e:  # noqa: BLE001 - the point is what it is
            caught.append(e)

    t = threading.Thread(target=use)
    t.start()
    t.join()
    assert len(caught) == 1 and not isinstance(caught[0], Exception)
    assert str(caught[0]) == "corvane_audit._native.Writer is unsendable, but sent to another thread"

    inner: list[BaseException] = []

    class Loud(int):
        def __repr__(self) -> str:
            for call in (lambda: w.append({"actor": "a", "event": "e"}), w.recovery_action):
                try:
                    call()
                except RuntimeError as e:
                    inner.append(e)
            return "Loud"

    with pytest.raises(ArgumentError, match="payload int out of range: Loud"):
        w.append({"actor": "a", "event": "e", "payload": {"v": Loud(2**70)}})
    assert [str(e) for e in inner] == ["Already borrowed", "Already mutably borrowed"]
    assert w.append({"actor": "a", "event": "e"}) == 0
    w.close()


def test_memory_stays_flat_over_many_appends(log_dir: str, key: _native.KeyHandle) -> None:
    record = {"actor": "user:1", "event": "e", "ts_wall": "2026-12-06T07:16:15.123Z", "payload": {"a": 1, "b": "x" * 50}}
    with Writer.open(log_dir, key) as w:
        for _ in range(2000):
            w.append(record)
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(100_000):
            w.append(record)
        after = tracemalloc.get_traced_memory()[0]
        tracemalloc.stop()
    assert after - before < 64 * 1024
