"""The Python Writer: argument rules, payload conversion, lifecycle, recovery."""

from __future__ import annotations

import os
import pathlib
from typing import Any

import pytest

from conftest import assert_memory_flat, segment_path
from corvane_audit import _native
from corvane_audit._native import ArgumentError, Writer


E: dict[str, Any] = {"actor": "a", "event": "e"}


def read_back(log_dir: str) -> list[dict[str, Any]]:
    return list(iter(_native.Reader.open(log_dir)))


def nest(levels: int) -> dict[str, Any]:
    value: dict[str, Any] = {}
    for _ in range(levels):
        value = {"k": value}
    return value


CYCLIC: dict[str, Any] = {}
CYCLIC["self"] = CYCLIC
TOO_DEEP = "payload nested too deeply: a record allows 16 nesting levels"


def test_defaults_and_coercions(log_dir: str, key: _native.KeyHandle) -> None:
    with Writer.open(log_dir, key) as w:
        assert w.append({**E, "record_id": 99}) == 0  # extra keys ignored
        assert w.append({**E, "ts_mono_delta": True, "schema_version": 2**32 + 1}) == 1
        w.append({**E, "payload": nest(14)})  # the payload map is at depth 1: an empty map may sit at 15
    defaults, coerced, deepest = read_back(log_dir)
    assert (defaults["ts_wall"], defaults["ts_mono_delta"], defaults["schema_version"], defaults["payload"],
            defaults["session_id_hex"]) == ("1970-01-01T00:00:00.000Z", 0, 1, {}, "00" * 16)  # fmt: skip
    # A bool is an int outside the payload; schema_version keeps its low 32 bits.
    assert (coerced["ts_mono_delta"], coerced["schema_version"]) == (1, 1)
    assert deepest["payload"] == nest(14)


# The binding's own checks, one case per rule, and one refusal by the core
# writer (its other refusals are tested there).
@pytest.mark.parametrize(
    "record, exc, message",
    [
        ({"event": "e"}, ArgumentError, 'record dict is missing required key "actor"'),
        ({**E, "actor": 1}, TypeError, 'record["actor"] must be a str'),
        ({**E, "schema_version": 1.0}, TypeError, 'record["schema_version"] must be an int'),
        ({**E, "ts_mono_delta": -1}, OverflowError, None),
        ({**E, "schema_version": 256}, ArgumentError, "schema_version 256 exceeds 255"),
        ({**E, "payload": None}, TypeError, "'payload' must be a dict if provided"),
        ({**E, "payload": {1: 2}}, TypeError, "payload keys must be str"),
        ({**E, "payload": {"v": 2**64}}, ArgumentError, "payload int out of range: 18446744073709551616"),
        ({**E, "payload": {"v": 1.5}}, TypeError, "payload floats are not supported in v0.1"),
        ({**E, "payload": {"v": bytearray(b"x")}}, TypeError, "unsupported payload value type: bytearray"),
        ({**E, "payload": nest(15)}, ArgumentError, TOO_DEEP),
        ({**E, "payload": {"l": [[[[[[[[[[[[[[1]]]]]]]]]]]]]]}}, ArgumentError, TOO_DEEP),
        ({**E, "payload": CYCLIC}, ArgumentError, TOO_DEEP),
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
        assert w.append(E) == 0  # still usable


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
        with pytest.raises(ArgumentError, match='^record dict is missing required key "event"$'):
            w.append(Sneaky(actor="a"))
    assert read_back(log_dir)[0]["actor"] == "a"


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (("LOG", "KEY", "00" * 15 + "0"), ArgumentError, "session_id_hex must be 32 hex chars; got 31"),
        (("LOG", "KEY", "00" * 2 + "zz" + "00" * 13), ArgumentError,
         "session_id_hex bad hex at byte 2: invalid digit found in string"),
        (("LOG", "KEY", None), TypeError, None),
        (("LOG", "KEY", "00" * 16, -1), OverflowError, None),
        (("LOG", "KEY", "00" * 16, "64"), TypeError, None),
        ((pathlib.Path("log"), "KEY"), TypeError, None),
        (("LOG", "not a key"), TypeError, None),
    ],
)
def test_open_argument_errors(log_dir: str, key: _native.KeyHandle, args: tuple[Any, ...], exc: type[Exception],
                              message: str | None) -> None:
    with pytest.raises(exc) as info:
        Writer.open(*({"LOG": log_dir, "KEY": key}.get(a, a) for a in args))
    if message:
        assert str(info.value) == message
    assert not os.path.exists(log_dir)


def test_lifecycle(log_dir: str, key: _native.KeyHandle) -> None:
    w = Writer.open(log_dir, key)
    assert repr(w) == "Writer(open)" and w.__enter__() is w
    w.flush()
    assert w.close() is None and w.close() is None
    assert repr(w) == "Writer(closed)"
    for call in (w.flush, w.recovery_action, w.recovery_truncated_bytes, lambda: w.append(E)):
        with pytest.raises(ArgumentError, match="^Writer is closed$"):
            call()
    assert w.__exit__(None, None, None) is False
    with pytest.raises(ZeroDivisionError):
        with Writer.open(log_dir, key) as w2:
            1 / 0
    assert repr(w2) == "Writer(closed)"
    assert Writer.open(log_dir, key).recovery_action() == "Resumed"  # the lock was released


def test_recovery_outcomes(log_dir: str, key: _native.KeyHandle, other_key: _native.KeyHandle) -> None:
    # Each outcome's name once (Resumed: test_lifecycle); the core tests when each applies.
    with Writer.open(log_dir, key, segment_size_bytes=0) as w:
        assert (w.recovery_action(), w.recovery_truncated_bytes()) == ("Fresh", 0)
        w.append(E)
        w.append(E)  # rotates: segment 0 is finalized
    with open(segment_path(log_dir, 1), "ab") as f:
        f.write(b"\x01\x02\x03")
    with Writer.open(log_dir, key) as w:
        assert (w.recovery_action(), w.recovery_truncated_bytes()) == ("Repaired", 3)
    os.remove(segment_path(log_dir, 1))
    with Writer.open(log_dir, key) as w:
        assert (w.recovery_action(), w.recovery_truncated_bytes()) == ("OpenedNextAfterFinalized", 0)
    with pytest.raises(_native.RecoveryError, match="^recovery refused: key_id mismatch in segment "):
        Writer.open(log_dir, other_key)


def test_reentrant_calls_are_refused(log_dir: str, key: _native.KeyHandle) -> None:
    w = Writer.open(log_dir, key)
    inner: list[BaseException] = []

    class Loud(int):
        def __repr__(self) -> str:
            for call in (lambda: w.append(E), w.recovery_action):
                try:
                    call()
                except RuntimeError as e:
                    inner.append(e)
            return "Loud"

    with pytest.raises(ArgumentError, match="payload int out of range: Loud"):
        w.append({**E, "payload": {"v": Loud(2**70)}})
    assert [str(e) for e in inner] == ["Already borrowed", "Already mutably borrowed"]
    assert w.append(E) == 0
    w.close()


def test_memory_stays_flat_over_many_appends(log_dir: str, key: _native.KeyHandle) -> None:
    record = {"actor": "user:1", "event": "e", "ts_wall": "2026-12-06T07:16:15.123Z", "payload": {"a": 1, "b": "x" * 50}}
    with Writer.open(log_dir, key) as w:

        def appends(n: int) -> None:
            for _ in range(n):
                w.append(record)

        appends(2000)
        assert_memory_flat(lambda: appends(100_000), traced=64 * 1024)
