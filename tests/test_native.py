# The native Writer, Reader and RecordIter: argument conversion, record dicts, lifecycle, threads, planted files.

import os
from typing import Any

import pytest

import corvane_audit as ca
from conftest import OTHER_KEY, SANITIZED, E, cli, raised_in_thread, raises, run, segment_path, strict, write_records
from corvane_audit import _native
from corvane_audit._native import ArgumentError, IoFailure, Writer

CYCLIC: dict[str, Any] = {}
CYCLIC["self"] = CYCLIC
TOO_DEEP = "payload nested too deeply: a record allows 16 nesting levels"
EPOCH = "1970-01-01T00:00:00.000Z"


def nest(levels: int) -> dict[str, Any]:
    return {"k": nest(levels - 1)} if levels else {}


def test_record_dicts_defaults_and_coercions(log_dir, key):
    payload = {"z": 2**64 - 1, "Z": -(2**63), "b": -1, "aa": 0, "é": "hé", "by": b"\x00\xff", "t": True,
               "f": False, "arr": [1, "x", [b"", {}]], "m": {"b": {"y": 1, "x": [2]}, "aa": {}}}  # fmt: skip
    with Writer.open(log_dir, key, "ab" * 16) as w:
        assert w.append({**E, "record_id": 99}) == 0  # extra keys ignored; the rest defaults
        w.append({**E, "ts_wall": "2026-12-06T00:00:01.000Z", "ts_mono_delta": True, "schema_version": 2**32 + 3,
                  "payload": payload})  # fmt: skip
        # The payload map is at depth 1: an empty map may sit at 15.
        w.append({**E, "ts_wall": "2026-12-06T00:00:01.000Z", "payload": nest(14)})
    first, second, deepest = _native.Reader.open(log_dir)
    assert [first[k] for k in ("ts_wall", "ts_mono_delta", "schema_version", "payload")] == [EPOCH, 0, 1, {}]
    # A bool is an int outside the payload; schema_version keeps its low 32 bits.
    assert list(second.items())[:10] == [
        ("segment_index", 0), ("record_id", 1), ("ts_wall", "2026-12-06T00:00:01.000Z"), ("ts_mono_delta", 1),
        ("session_id_hex", "ab" * 16), ("actor", "a"), ("event", "e"), ("payload", payload),
        ("key_id_hex", key.key_id_hex()), ("schema_version", 3)]  # fmt: skip
    assert list(second)[10:] == ["prev_hash", "prev_hash_hex", "hmac", "hmac_hex"]
    # Bytewise key order at every level, not the stored (shortest first) order; True stays True, 1 stays 1.
    assert list(second["payload"]) == ["Z", "aa", "arr", "b", "by", "f", "m", "t", "z", "é"]
    assert list(second["payload"]["m"]) == ["aa", "b"] and list(second["payload"]["m"]["b"]) == ["x", "y"]
    assert strict(second["payload"]) == strict(payload) and deepest["payload"] == nest(14)
    assert (second["prev_hash"], second["prev_hash_hex"], second["hmac_hex"]) == (
        first["hmac"], first["hmac"].hex(), second["hmac"].hex())  # fmt: skip


class Sneaky(dict):  # type: ignore[type-arg]
    def __getitem__(self, k: Any) -> Any:
        return "hooked"

    __missing__ = __getitem__


@pytest.mark.parametrize("call, exc, message", [  # a record to append, or the arguments of an open
    ({"event": "e"}, ArgumentError, 'record dict is missing required key "actor"'),
    (Sneaky(actor="a"), ArgumentError, 'record dict is missing required key "event"'),  # no subclass hooks
    ([("actor", "a")], TypeError, "Writer.append expects a dict"),
    ({**E, "actor": 1}, TypeError, 'record["actor"] must be a str'),
    ({**E, "schema_version": 1.0}, TypeError, 'record["schema_version"] must be an int'),
    ({**E, "ts_mono_delta": -1}, OverflowError, ""),
    ({**E, "payload": None}, TypeError, "'payload' must be a dict if provided"),
    ({**E, "payload": {1: 2}}, TypeError, "payload keys must be str"),
    ({**E, "payload": {"v": 2**64}}, ArgumentError, "payload int out of range: 18446744073709551616"),
    ({**E, "payload": {"v": 1.5}}, TypeError, "payload floats are not supported in v0.1 (canonical encoding rules)"),
    ({**E, "payload": {"v": bytearray(b"x")}}, TypeError, "unsupported payload value type: bytearray"),
    ({**E, "payload": nest(15)}, ArgumentError, TOO_DEEP),
    ({**E, "payload": CYCLIC}, ArgumentError, TOO_DEEP),
    (("NEW", "KEY", "00" * 15 + "0"), ArgumentError, "session_id_hex must be 32 hex chars; got 31"),
    (("NEW", "KEY", "00" * 16, -1), OverflowError, ""),
])  # fmt: skip
def test_refused_calls_change_nothing(log_dir, key, call, exc, message):
    with Writer.open(log_dir, key) as w:
        size = os.path.getsize(segment_path(log_dir, 0))
        args = [{"NEW": log_dir + "-new", "KEY": key}.get(a, a) for a in call] if isinstance(call, tuple) else []
        info = pytest.raises(exc, lambda: Writer.open(*args) if args else w.append(call))
        assert str(info.value).startswith(message) and len(info.value.args) == 1
        assert os.path.getsize(segment_path(log_dir, 0)) == size and not os.path.exists(log_dir + "-new")
        assert w.append(Sneaky(E)) == 0  # still usable
    assert next(iter(_native.Reader.open(log_dir)))["actor"] == "a"


# Each recovery action by its name, and a writer's states; what recovery does is the core's tests' business.
def test_lifecycle_and_recovery_names(log_dir, key):
    w = Writer.open(log_dir, key, "00" * 16, 0)
    assert (w.__enter__(), w.recovery_action(), w.recovery_truncated_bytes(), w.last_ts_wall()) == (w, "Fresh", 0, "")
    raises(IoFailure, lambda: Writer.open(log_dir, key), "log directory is locked by another writer")
    w.append(E)  # the second rotates: segment 0 is finalized
    w.append(E)
    assert w.close() is None and w.close() is None and repr(w) == "Writer(closed)"
    raises(ArgumentError, lambda: w.append(E), "Writer is closed")
    open(segment_path(log_dir, 1), "ab").write(b"\x01\x02\x03")
    with pytest.raises(ZeroDivisionError), Writer.open(log_dir, key) as w:
        assert (w.recovery_action(), w.recovery_truncated_bytes()) == ("Repaired", 3)
        raise ZeroDivisionError
    assert Writer.open(log_dir, key).recovery_action() == "Resumed"  # unlocked
    os.remove(segment_path(log_dir, 1))
    assert Writer.open(log_dir, key).recovery_action() == "OpenedNextAfterFinalized"
    raises(_native.RecoveryError, lambda: Writer.open(log_dir, OTHER_KEY))


def test_reentrant_calls_are_refused(log_dir, key):
    w, inner = Writer.open(log_dir, key), []

    class Loud(int):
        def __repr__(self) -> str:
            inner.extend(str(raises(RuntimeError, call)) for call in (lambda: w.append(E), w.recovery_action))
            return "Loud"

    raises(ArgumentError, lambda: w.append({**E, "payload": {"v": Loud(2**70)}}), "payload int out of range: Loud")
    assert inner == ["Already borrowed", "Already mutably borrowed"] and w.append(E) == 0


@pytest.mark.parametrize("name, use", [
    ("Writer", lambda w: w.append({**E, "ts_wall": "2099-01-01T00:00:00.000Z"})),
    ("Reader", iter), ("RecordIter", next), ("VerifyReport", lambda r: r.ok),
])  # fmt: skip
def test_objects_are_bound_to_their_thread(log_dir, key, name, use):
    write_records(log_dir, key, 1)
    reader = _native.Reader.open(log_dir)
    obj = {"Writer": Writer.open(log_dir, key), "Reader": reader, "RecordIter": iter(reader),
           "VerifyReport": _native.verify(log_dir, key)}[name]  # fmt: skip
    raised = raised_in_thread(lambda: use(obj))  # not an Exception: no `except Exception` swallows it
    assert type(raised) is ca.WrongThreadError and not isinstance(raised, Exception) and raised.args == (
        f"corvane_audit._native.{name} is unsendable, but sent to another thread",)  # fmt: skip
    use(obj)  # still usable here; a RecordIter was left on its one record


# An allocation that fails inside the module is a MemoryError, after which the writer still works.
LIMITED = """
import resource, sys
from corvane_audit import _native
big, w = "a" * (256 << 20), _native.Writer.open(sys.argv[1], _native.KeyHandle.from_bytes(bytes(32)))
vm = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (vm + (128 << 20), resource.RLIM_INFINITY))
try:
    w.append({"actor": big, "event": "e"})
except MemoryError:
    print("MemoryError", w.append({"actor": "a", "event": "e"}))
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizers reserve terabytes of address space")
def test_a_failed_allocation_is_a_memory_error(tmp_path):
    done = run("-c", LIMITED, str(tmp_path / "w"), cwd=tmp_path)
    assert (done.returncode, done.stderr, done.stdout) == (0, "", "MemoryError 0\n")


def test_directories_that_cannot_be_listed_and_repr(tmp_path):
    gone = os.fsdecode(os.fsencode(tmp_path) + b'/q"b\\s\nd\xff')
    raises(IoFailure, lambda: _native.Reader.open(gone), "No such file or directory (os error 2)")
    assert not os.path.exists(gone)  # opening never creates
    os.mkdir(gone)
    reader = _native.Reader.open(gone)
    assert repr(reader) == f'Reader(log_dir="{tmp_path}/q\\"b\\\\s\\nd\\xFF")'
    assert reader.segments() == [] and list(reader) == []  # an empty log reads as empty
    raises(TypeError, lambda: _native.Reader.open(tmp_path))


def test_sub_interpreter_import_is_refused():
    # The module's classes are process-wide: a second interpreter must get a
    # clear ImportError, not objects shared with the main one.
    si = pytest.importorskip("_xxsubinterpreters")
    failed = pytest.raises(si.RunFailedError, si.run_string, interp := si.create(), "import corvane_audit._native")
    si.destroy(interp)
    assert "ImportError'>: corvane_audit._native cannot be imported in a sub-interpreter" in str(failed.value)
    assert _native.format_version() == 1  # the main interpreter's module is unharmed


# A FIFO or a link where a segment should be: opening never follows it and never blocks on it.
# Through the command line in a child, so that an open blocking on a FIFO fails the test instead of hanging it.
@pytest.mark.parametrize("command, fifo, status, outcome", [
    ("show", "link", 2, "log: not a regular file"),  # a link to a good copy is not followed either
    ("verify", 0, 1, "Segment 0 header unreadable: not a regular file"),
    ("append", 0, 0, "appended"),  # the writer opens only the last segment
    ("append", 2, 2, "log: not a regular file"),
])  # fmt: skip
def test_a_fifo_named_like_a_segment_is_unreadable_and_never_blocks(tmp_path, key, command, fifo, status, outcome):
    write_records(log_dir := str(tmp_path / "log"), key, 3, segment_size_bytes=0)  # segments 0, 1 and 2
    if fifo == "link":
        os.rename(segment_path(log_dir, 1), copy := f"{log_dir}.segment-1")
        os.symlink(copy, segment_path(log_dir, 1))
    else:
        os.remove(segment_path(log_dir, fifo))
        os.mkfifo(segment_path(log_dir, fifo))
    done = cli(tmp_path, command, "log", *(["--actor", "a", "--event", "e"] if command == "append" else []))
    assert done.returncode == status and outcome in done.stdout + done.stderr, done.stdout + done.stderr


def test_writer_keeps_its_directory_when_the_working_directory_changes(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (w := ca.Writer.open("logs", OTHER_KEY, segment_size_bytes=0)).append(E)
    (tmp_path / "elsewhere").mkdir()
    os.chdir(tmp_path / "elsewhere")  # as a daemon does
    for _ in range(4):  # each append rotates
        w.append(E)
    w.close()
    assert not (tmp_path / "elsewhere" / "logs").exists()
    assert sorted(os.listdir(tmp_path / "logs")) == [f"audit-000{i}.cbor" for i in range(5)]
    assert ca.verify(tmp_path / "logs", OTHER_KEY).ok and len(list(ca.Reader.open(tmp_path / "logs"))) == 5 + 4
