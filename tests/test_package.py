"""The pure-Python package: wrappers, timestamps, checkpoint files, typing."""

from __future__ import annotations

import json
import os
import re
import stat
import subprocess
import sys
import threading
import time
import tomllib
import types
from pathlib import Path
from typing import Any, Callable

import pytest

import corvane_audit as ca
from conftest import segment_path, write_records
from corvane_audit import _native
from corvane_audit._clock import RecordClock, format_utc_ms

REPO = Path(__file__).resolve().parent.parent
TS_WALL = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
T0_NS = 1_780_000_000_000 * 1_000_000  # 2026-05-28T20:26:40.000Z


class CustomPath:
    """A PathLike that is neither str nor pathlib."""

    def __init__(self, path: str) -> None:
        self.path = path

    def __fspath__(self) -> str:
        return self.path


PATH_KINDS: list[Callable[[str], Any]] = [str, Path, CustomPath]


def test_package_exports_the_native_api_and_its_version() -> None:
    for name in ca.__all__:
        assert hasattr(ca, name), name
    for name in [n for n in dir(_native) if not n.startswith("_")]:
        if name not in ("Writer", "Reader", "verify", "checkpoint"):  # wrapped
            assert getattr(ca, name) is getattr(_native, name), name
    pyproject = tomllib.loads((REPO / "pyproject.toml").read_text())
    assert ca.__version__ == pyproject["project"]["version"]


@pytest.mark.parametrize("kind", PATH_KINDS)
def test_path_objects_are_accepted_everywhere(tmp_path: Path, key: _native.KeyHandle, kind: Callable[[str], Any]) -> None:
    log = kind(str(tmp_path / "log"))
    with ca.Writer.open(log, key, segment_size_bytes=400) as w:
        for i in range(5):
            w.append({"actor": "a", "event": f"e{i}"})
    reader = ca.Reader.open(log)
    assert len(reader.segments()) > 1 and len(list(reader)) > 5
    cp_file = kind(str(tmp_path / "cp.json"))
    ca.save_checkpoint(ca.checkpoint(log, key), cp_file)
    assert ca.load_checkpoint(cp_file)["format"] == "corvane-audit-checkpoint/v1"
    assert ca.verify(log, key, checkpoint=cp_file).ok


def test_writer_fills_session_and_times_unless_told_otherwise(log_dir: str, key: _native.KeyHandle) -> None:
    before = ca.utc_timestamp()
    with ca.Writer.open(log_dir, key) as w1:
        w1.append({"actor": "a", "event": "stamped"})
        w1.append(types.MappingProxyType({"actor": "a", "event": "given", "ts_wall": "2020-01-01T00:00:00.000Z"}))
        assert repr(w1) == "Writer(open)" and w1.recovery_action() == "Fresh"
        with pytest.raises(TypeError, match="expects a dict"):
            w1.append([("actor", "a"), ("event", "e")])  # type: ignore[arg-type]
    assert repr(w1) == "Writer(closed)"
    with ca.Writer.open(log_dir, key, timestamps=False) as w2:
        w2.append({"actor": "a", "event": "raw"})
        assert w2.recovery_action() == "Resumed" and w2.recovery_truncated_bytes() == 0
    stamped, given, raw = list(ca.Reader.open(log_dir))
    assert TS_WALL.match(stamped["ts_wall"]) and before <= stamped["ts_wall"] <= ca.utc_timestamp()
    assert given["ts_wall"] == "2020-01-01T00:00:00.000Z" and given["ts_mono_delta"] >= stamped["ts_mono_delta"]
    assert (raw["ts_wall"], raw["ts_mono_delta"]) == ("1970-01-01T00:00:00.000Z", 0)
    assert stamped["session_id_hex"] == w1.session_id_hex != w2.session_id_hex == raw["session_id_hex"]
    assert re.fullmatch(r"[0-9a-f]{32}", w1.session_id_hex)


def test_clock_never_goes_backwards_but_the_monotonic_delta_advances() -> None:
    assert (format_utc_ms(0), format_utc_ms(-1)) == ("1970-01-01T00:00:00.000Z", "1969-12-31T23:59:59.999Z")
    walls = iter([T0_NS, T0_NS + 5_000_000, T0_NS - 120_000 * 1_000_000, T0_NS + 4_000_000, T0_NS + 9_000_000])
    monos = iter([0, 1_000_000, 2_000_000, 3_000_000, 4_500_000, 6_000_000])
    clock = RecordClock(wall_ns=lambda: next(walls), mono_ns=lambda: next(monos))
    stamps = [clock.stamp() for _ in range(5)]
    assert stamps[0][0] == "2026-05-28T20:26:40.000Z"
    assert [w[-7:] for w, _ in stamps] == ["40.000Z", "40.005Z", "40.005Z", "40.005Z", "40.009Z"]
    assert [d for _, d in stamps] == [1, 2, 3, 4, 6]


def test_a_clock_stepping_back_still_gives_a_log_that_verifies(log_dir: str, key: _native.KeyHandle,
                                                               monkeypatch: pytest.MonkeyPatch) -> None:  # fmt: skip
    # Two minutes back is beyond what the verifier tolerates between records.
    now = [T0_NS]
    monkeypatch.setattr(time, "time_ns", lambda: now[0])
    with ca.Writer.open(log_dir, key) as w:
        for step_ms in (0, 10, -120_000, 5, 200_000):
            now[0] += step_ms * 1_000_000
            w.append({"actor": "a", "event": "e"})
    walls = [r["ts_wall"] for r in ca.Reader.open(log_dir)]
    assert walls == sorted(walls) and walls[2] == walls[1]
    assert ca.verify(log_dir, key).ok


def test_checkpoint_file_round_trip_is_atomic_and_readable(tmp_path: Path, log_dir: str, key: _native.KeyHandle) -> None:
    write_records(log_dir, key, 4)
    target = tmp_path / "cp.json"
    before = ca.utc_timestamp()
    ca.save_checkpoint(ca.checkpoint(log_dir, key), target)
    assert before <= ca.load_checkpoint(target)["observed_at"] <= ca.utc_timestamp()  # by default, now
    assert stat.S_IMODE(target.stat().st_mode) == 0o644
    target.chmod(0o600)
    write_records(log_dir, key, 2)
    cp = ca.checkpoint(log_dir, key, "by the auditor")
    ca.save_checkpoint(cp, target)
    assert ca.load_checkpoint(target) == cp == json.loads(target.read_text())
    assert stat.S_IMODE(target.stat().st_mode) == 0o600  # replacing keeps the mode
    assert sorted(os.listdir(tmp_path)) == ["cp.json", "log"]  # no temporary left


def test_a_failed_save_leaves_the_old_checkpoint_and_no_temporary(tmp_path: Path, log_dir: str, key: _native.KeyHandle,
                                                                  monkeypatch: pytest.MonkeyPatch) -> None:  # fmt: skip
    write_records(log_dir, key, 2)
    target = tmp_path / "cp.json"
    ca.save_checkpoint(ca.checkpoint(log_dir, key, "old"), target)

    def no_space(fd: int) -> None:
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "fsync", no_space)
    with pytest.raises(OSError, match="No space"):
        ca.save_checkpoint(ca.checkpoint(log_dir, key, "new"), target)
    monkeypatch.undo()
    assert ca.load_checkpoint(target)["observed_at"] == "old"
    assert sorted(os.listdir(tmp_path)) == ["cp.json", "log"]


OTHER_KEYS_CHECKPOINT = json.dumps({"format": "corvane-audit-checkpoint/v1", "key_id": "00" * 32, "segment": 0,
                                    "record_id": 0, "hmac": "00" * 32}).encode()  # fmt: skip


@pytest.mark.parametrize(
    "content, exc, message",
    [
        (None, ca.ArgumentError, "cannot read checkpoint file .*cp.json: No such file"),
        (b'{"format": "corvane-audit-checkpoint/v1", "key_id"', ca.ArgumentError, "cp.json: not valid JSON"),
        (b"\xff\xfe", ca.ArgumentError, "cp.json: not valid JSON"),
        (b"[1, 2]", ca.ArgumentError, "cp.json: expected a JSON object"),
        (b" " * 70_000, ca.ArgumentError, "cp.json: too large"),
        (b'{"format": "corvane-audit-checkpoint/v1"}', ca.ArgumentError, 'cp.json: checkpoint missing key "key_id"'),
        (OTHER_KEYS_CHECKPOINT, ca.CheckpointKeyMismatchError, "^checkpoint belongs to a different log"),  # kept as is
    ],
)
def test_a_bad_checkpoint_file_is_refused(tmp_path: Path, key: _native.KeyHandle, content: bytes | None,
                                          exc: type[Exception], message: str) -> None:  # fmt: skip
    if content is not None:
        (tmp_path / "cp.json").write_bytes(content)
    with pytest.raises(exc, match=message):
        ca.verify(tmp_path, key, checkpoint=tmp_path / "cp.json")


def test_follow_yields_history_then_new_records_across_rotations_and_torn_tails(log_dir: str, key: Any) -> None:
    write_records(log_dir, key, 3, segment_size_bytes=600)
    follow = ca.Reader.open(log_dir).follow(poll_interval=0.01)
    seen = [next(follow) for _ in range(len(list(ca.Reader.open(log_dir))))]
    # A frame half-written by a crashed writer: follow must wait, not fail.
    last = segment_path(log_dir, ca.Reader.open(log_dir).segments()[-1])
    with open(last, "ab") as f:
        f.write(b"\x40\x00\x00")

    def writer() -> None:
        time.sleep(0.2)
        with ca.Writer.open(log_dir, key, segment_size_bytes=600) as w:
            assert w.recovery_action() == "Repaired"
            for i in range(6):
                w.append({"actor": "late", "event": f"e{i}"})

    thread = threading.Thread(target=writer)
    thread.start()
    late = []
    while len(late) < 6:
        record = next(follow)
        if record["actor"] == "late":
            late.append(record["event"])
    thread.join()
    follow.close()
    assert late == [f"e{i}" for i in range(6)]
    assert len(ca.Reader.open(log_dir).segments()) > len({r["segment_index"] for r in seen})


def test_mypy_strict_passes_on_the_package_and_a_typed_example() -> None:
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "corvane_audit", "examples"],
        cwd=REPO, capture_output=True, text=True, timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_stub_describes_the_native_module(tmp_path: Path) -> None:
    # stubtest imports the built module and compares every name and
    # signature with corvane_audit/_native.pyi.
    env = dict(os.environ, PYTHONPATH=str(Path(_native.__file__).parent.parent))
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "corvane_audit._native",
         "--allowlist", str(REPO / "tests" / "stubtest-allowlist.txt")],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr
