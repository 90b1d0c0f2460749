# Shared fixtures and helpers: keys, small logs, damage, child processes and the command line.

import os
import subprocess
import sys
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import pytest

from corvane_audit import _native
from corvane_audit._clock import format_utc_ms as ts_text

# Under the sanitizers freed memory sits in quarantine: RSS says nothing there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
SLOW = os.environ.get("CORVANE_TEST_SLOW", "") not in ("", "0")
FINALIZATION = ("system:audit", "segment.finalized")
KEY, OTHER_KEY = _native.KeyHandle.from_bytes(b"\x42" * 32), _native.KeyHandle.from_bytes(b"\x17" * 32)
E: dict[str, Any] = {"actor": "a", "event": "e"}  # the smallest record


@pytest.fixture
def key() -> _native.KeyHandle:
    return KEY


@pytest.fixture
def log_dir(tmp_path: Path) -> str:
    return str(tmp_path / "log")


def write_records(log_dir: str, key: _native.KeyHandle, count: int, *, segment_size_bytes: int | None = None,
                  payload: dict[str, Any] | None = None, t0_ms: int = 1_796_515_200_000) -> None:  # fmt: skip
    with _native.Writer.open(log_dir, key, "00" * 16, segment_size_bytes) as w:
        for i in range(count):
            w.append({"actor": f"user:{i % 3}", "event": "test.event", "ts_wall": ts_text(t0_ms + i * 1001),
                      "ts_mono_delta": i, "payload": {"i": i, **(payload or {})}})  # fmt: skip


def segment_path(log_dir: str, index: int) -> str:
    return os.path.join(log_dir, f"audit-{index:04d}.cbor")


def patch(path: str, offset: int, data: bytes) -> None:
    Path(path).write_bytes((old := Path(path).read_bytes())[:offset] + data + old[offset + len(data) :])


def flip_byte(path: str, offset: int) -> None:
    patch(path, offset, bytes([Path(path).read_bytes()[offset] ^ 1]))


# (offset, length) of every whole frame of a segment file.
def frames(path: str) -> list[tuple[int, int]]:
    data, out, off = Path(path).read_bytes(), [], 80
    while off + 4 <= len(data) and off + (n := int.from_bytes(data[off : off + 4], "little") + 40) <= len(data):
        out.append((off, n))
        off += n
    return out


def cut(path: str, start: int, end: int | None = None) -> None:
    Path(path).write_bytes((data := Path(path).read_bytes())[:start] + (b"" if end is None else data[end:]))


# For a child process that must import this very corvane_audit (installed or staged).
def child_env(**extra: str) -> dict[str, str]:
    return dict(os.environ, PYTHONPATH=str(Path(_native.__file__).parent.parent), **extra)


ENV = child_env(CORVANE_AUDIT_KEY_HEX="42" * 32)  # the command line's key is KEY


# A Python child of this corvane_audit, run to its end; a hung one fails the test.
def run(*args: str, cwd: Any = None, env: dict[str, str] | None = None, **kw: Any) -> subprocess.CompletedProcess[str]:
    kw.setdefault("timeout", 120)
    return subprocess.run(
        [sys.executable, *args], cwd=cwd, env=env or child_env(), capture_output=True, text=True, **kw
    )


def cli(cwd: Any, *args: str, env: dict[str, str] = ENV, **kw: Any) -> subprocess.CompletedProcess[str]:
    done = run("-m", "corvane_audit", *args, cwd=cwd, env=env, **kw)
    assert "Traceback" not in done.stderr
    return done


def one_error_line(done: subprocess.CompletedProcess[str]) -> str:
    assert len(lines := done.stderr.splitlines()) == 1 and lines[0].startswith("corvane-audit: "), done.stderr
    return lines[0]


# What `call` raises, which must be an `exc` itself (no subclass) and, if given, have these args.
def raises(exc: type[BaseException], call: Callable[[], object], *args: object) -> BaseException:
    value = pytest.raises(exc, call).value
    assert type(value) is exc and args in ((), value.args), value
    return value


def raised_in_thread(call: Callable[[], object]) -> BaseException | None:
    with ThreadPoolExecutor(1) as pool:
        return pool.submit(call).exception()


# `value` with scalars tagged by type, so True != 1; map order does not count.
def strict(value: Any) -> Any:
    if isinstance(value, dict):
        return ("map", sorted((k, strict(v)) for k, v in value.items()))
    if isinstance(value, list):
        return ("list", [strict(v) for v in value])
    return (type(value).__name__, value)


# The records of a log that must verify (where finalization records fall is the core's tests' business).
def check_log(log_dir: str, key: _native.KeyHandle) -> list[Any]:
    assert (report := _native.verify(log_dir, key)).ok, report.violation
    return list(_native.Reader.open(log_dir))
