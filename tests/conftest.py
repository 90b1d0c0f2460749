"""Shared fixtures: keys, log directories and small log writers."""

from __future__ import annotations

import gc
import os
import threading
import tracemalloc
from pathlib import Path
from typing import Any, Callable

import pytest

from corvane_audit import _native

# Under the sanitizers the allocator keeps freed memory in quarantine, so the
# process's RSS says nothing about leaks there (tracemalloc still does).
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.fixture
def key() -> _native.KeyHandle:
    return _native.KeyHandle.from_bytes(b"\x42" * 32)


@pytest.fixture
def other_key() -> _native.KeyHandle:
    return _native.KeyHandle.from_bytes(b"\x17" * 32)


@pytest.fixture
def log_dir(tmp_path: Path) -> str:
    """A path (as str) for a log directory that does not exist yet."""
    return str(tmp_path / "log")


def ts(i: int) -> str:
    """A valid ts_wall, one second apart per i (within one day)."""
    return f"2026-12-06T{i // 3600 % 24:02d}:{i // 60 % 60:02d}:{i % 60:02d}.{i % 1000:03d}Z"


def write_records(
    log_dir: str,
    key: _native.KeyHandle,
    count: int,
    *,
    segment_size_bytes: int | None = None,
    session_id_hex: str = "00" * 16,
    payload: dict[str, Any] | None = None,
) -> list[int]:
    """Appends `count` records with increasing ts_wall and returns their record_ids."""
    ids = []
    with _native.Writer.open(log_dir, key, session_id_hex, segment_size_bytes) as w:
        for i in range(count):
            ids.append(
                w.append(
                    {
                        "actor": f"user:{i % 3}",
                        "event": "test.event",
                        "ts_wall": ts(i),
                        "ts_mono_delta": i,
                        "payload": {"i": i, **(payload or {})},
                    }
                )
            )
    return ids


def segment_path(log_dir: str, index: int) -> str:
    return os.path.join(log_dir, f"audit-{index:04d}.cbor")


def flip_byte(path: str, offset: int, mask: int = 0x01) -> None:
    with open(path, "r+b") as f:
        f.seek(offset)
        b = f.read(1)
        f.seek(offset)
        f.write(bytes([b[0] ^ mask]))


def frames(path: str) -> list[tuple[int, int]]:
    """(offset, total length) of every whole frame of a segment file."""
    data = Path(path).read_bytes()
    out, off = [], 80
    while off + 4 <= len(data) and off + int.from_bytes(data[off : off + 4], "little") + 40 <= len(data):
        out.append((off, int.from_bytes(data[off : off + 4], "little") + 40))
        off += out[-1][1]
    return out


def cut(path: str, start: int, end: int | None = None) -> None:
    """Removes the bytes from `start` to `end` (the end of the file if None)."""
    data = Path(path).read_bytes()
    Path(path).write_bytes(data[:start] + (b"" if end is None else data[end:]))


def assert_memory_flat(run: Callable[[], object], traced: int, rss: int | None = None) -> None:
    """Runs `run` (warmed up by the caller) and checks what it left behind:
    fewer than `traced` bytes that tracemalloc sees and, unless sanitized,
    fewer than `rss` bytes of resident memory."""
    gc.collect()
    resident = int(Path("/proc/self/statm").read_text().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    tracemalloc.start()
    try:
        run()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert grown < traced, grown
    if rss is not None and not SANITIZED:
        assert int(Path("/proc/self/statm").read_text().split()[1]) * os.sysconf("SC_PAGE_SIZE") - resident < rss


def raised_in_thread(call: Callable[[], object]) -> BaseException | None:
    """What `call` raises when run on another thread, or None."""
    caught: list[BaseException] = []

    def run() -> None:
        try:
            call()
        except BaseException as e:  # noqa: BLE001 - the point is what it is
            caught.append(e)

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    return caught[0] if caught else None
