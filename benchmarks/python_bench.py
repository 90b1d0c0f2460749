"""Python-level figures, each beside a baseline measured in the same run.

  python_bench.py BUILD_DIR [--records N] [--verify-records M] [--handler-records H]

BUILD_DIR holds the C++ benchmark programs (BUILD_DIR/benchmarks) and the
staged package (BUILD_DIR/stage), which must be first on sys.path.
"""

from __future__ import annotations

import argparse
import hashlib
import hmac
import json
import logging
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable
from typing import Any

import cbor2

import corvane_audit
import corvane_audit as ca
from corvane_audit import _native

KEY = bytes((i * 7 + 1) & 0xFF for i in range(32))
TS = "2026-12-06T07:16:15.123Z"


def typical(i: int) -> dict[str, Any]:
    # The same record as the C++ writer benchmark's.
    return {
        "actor": "user:alice@example.com",
        "event": "document.update",
        "ts_wall": TS,
        "ts_mono_delta": i,
        "payload": {
            "document_id": "3f2c9a1e-7b44-4d0c-9d8e-2a51c3e0f9b7",
            "ip": "203.0.113.42",
            "bytes_changed": 48213,
            "approved": True,
            "reason": "quarterly review: figures corrected",
        },
    }


def python_writer(path: str, n: int) -> float:
    """A pure-Python writer of the same frames: canonical CBOR (cbor2),
    HMAC-SHA256 chaining and one write() per record. Returns records/s."""
    key_id = b"\x00" * 32  # the cost is the same whatever the value
    session = b"\x00" * 16
    prev = hmac.new(KEY, b"genesis", hashlib.sha256).digest()
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    start = time.process_time()
    for i in range(n):
        r = typical(i)
        data = cbor2.dumps(
            {1: i, 2: prev, 3: r["ts_wall"], 4: r["ts_mono_delta"], 5: session, 6: r["actor"],
             7: r["event"], 8: r["payload"], 9: key_id, 10: 1},
            canonical=True,
        )  # fmt: skip
        mac = hmac.new(KEY, data, hashlib.sha256).digest()
        length = struct.pack("<I", len(data))
        os.write(fd, length + data + mac + length)
        prev = mac
    elapsed = time.process_time() - start
    os.close(fd)
    return n / elapsed


def native_writer(log_dir: str, key: _native.KeyHandle, n: int) -> float:
    """Records per CPU second (user + system, as the C++ figure)."""
    records = [typical(i) for i in range(n)]  # built outside the timing, like the C++ loop's record
    with _native.Writer.open(log_dir, key) as w:
        append = w.append
        start = time.process_time()
        for r in records:
            append(r)
        elapsed = time.process_time() - start
    return n / elapsed


# The public and the native append, each given a fresh dict per record as an
# application builds one; the payload is the typical record's.
def public_append(log_dir: str, key: _native.KeyHandle, n: int) -> float:
    """corvane_audit.Writer.append, which stamps ts_wall and ts_mono_delta."""
    with corvane_audit.Writer.open(log_dir, key) as w:
        append = w.append
        start = time.process_time()
        for _ in range(n):
            append({"actor": "user:alice@example.com", "event": "document.update", "payload": {
                "document_id": "3f2c9a1e-7b44-4d0c-9d8e-2a51c3e0f9b7", "ip": "203.0.113.42", "bytes_changed": 48213,
                "approved": True, "reason": "quarterly review: figures corrected"}})  # fmt: skip
        return n / (time.process_time() - start)


def native_fresh_append(log_dir: str, key: _native.KeyHandle, n: int) -> float:
    """The cheapest a careful caller can do by hand: the native append with
    times read once per record and the date formatted once a second."""
    with _native.Writer.open(log_dir, key) as w:
        append, wall_ns, mono_ns = w.append, time.time_ns, time.monotonic_ns
        mono_start, second, prefix = mono_ns(), -1, ""
        start = time.process_time()
        for _ in range(n):
            s, ms = divmod(wall_ns() // 1_000_000, 1000)
            if s != second:
                second, prefix = s, time.strftime("%Y-%m-%dT%H:%M:%S.", time.gmtime(s))
            append({"actor": "user:alice@example.com", "event": "document.update", "payload": {
                "document_id": "3f2c9a1e-7b44-4d0c-9d8e-2a51c3e0f9b7", "ip": "203.0.113.42", "bytes_changed": 48213,
                "approved": True, "reason": "quarterly review: figures corrected"},
                "ts_wall": f"{prefix}{ms:03d}Z", "ts_mono_delta": (mono_ns() - mono_start) // 1_000_000})  # fmt: skip
        return n / (time.process_time() - start)


def native_same_append(log_dir: str, key: _native.KeyHandle, n: int) -> float:
    """The native append given one unchanging dict: no Python work per record."""
    record = typical(0)
    with _native.Writer.open(log_dir, key) as w:
        append = w.append
        start = time.process_time()
        for _ in range(n):
            append(record)
        return n / (time.process_time() - start)


# Standard attributes of a LogRecord: the rest came from `extra`.
_STANDARD = frozenset(logging.LogRecord("", 0, "", 0, "", None, None).__dict__) | {"message", "asctime"}


class JsonLines(logging.Formatter):
    """The baseline's formatter: one JSON object per record, as JSON logging
    libraries write it (time, logger, level, message and the extra fields)."""

    def format(self, record: logging.LogRecord) -> str:
        attrs = record.__dict__
        return json.dumps({"ts": record.created, "logger": record.name, "level": record.levelname,
                           "message": record.getMessage(),
                           **{k: attrs[k] for k in attrs.keys() - _STANDARD}})  # fmt: skip


EXTRA = {"document_id": "3f2c9a1e-7b44-4d0c-9d8e-2a51c3e0f9b7", "ip": "203.0.113.42", "bytes_changed": 48213,
         "approved": True, "reason": "quarterly review: figures corrected"}  # fmt: skip


def logging_rate(handler: logging.Handler, n: int, threads: int) -> tuple[float, float]:
    """Records per wall-clock second and per CPU second (all threads) through
    `logging` from `threads` threads, up to a flush() that returns with every
    record written; then closes the handler."""
    logger = logging.getLogger(f"bench.{id(handler):x}")
    logger.propagate, logger.handlers = False, [handler]
    logger.setLevel(logging.INFO)
    each = n // threads

    def work() -> None:
        info = logger.info
        for _ in range(each):
            info("document.update", extra=EXTRA)

    workers = [threading.Thread(target=work) for _ in range(threads)]
    start, cpu = time.perf_counter(), time.process_time()
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    handler.flush()
    elapsed, cpu = time.perf_counter() - start, time.process_time() - cpu
    handler.close()
    return each * threads / elapsed, each * threads / cpu


def cxx_writer(bench: str, log_dir: str, n: int) -> float:
    out = subprocess.run([bench, "--append-cpu", str(n), log_dir], check=True, capture_output=True, text=True)
    return float(out.stdout)


def cpu_of(pid: int) -> float:
    """User + system CPU seconds of a running process."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def follower_cpu(command: list[str], log_dir: str, key: _native.KeyHandle, seconds: float) -> float:
    """CPU seconds `command` spends while a quiet writer appends four records
    a second to `log_dir` for `seconds`, after it has caught up."""
    proc = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(3.0)  # catch up with what is there
        before = cpu_of(proc.pid)
        with _native.Writer.open(log_dir, key) as w:
            end = time.monotonic() + seconds
            i = 0
            while time.monotonic() < end:
                w.append(typical(i))
                i += 1
                time.sleep(0.25)
        time.sleep(0.5)
        return cpu_of(proc.pid) - before
    finally:
        proc.terminate()
        proc.wait()


def package_writer(
    log_dir: str, key: _native.KeyHandle, records: list[dict[str, Any]], anchor: ca.Anchor | None
) -> tuple[float, float, float]:
    """The package's Writer.append, open to close (the final flush makes
    both runs equally durable), in records per second of: wall clock (waits
    on fsync and on the other thread show, and so does a busy machine), the
    appending thread's CPU, and the whole process's CPU (the anchoring
    thread's signing, sink, and the writeback its fsync performs)."""
    wall, own, cpu = time.perf_counter(), time.thread_time(), time.process_time()
    with ca.Writer.open(log_dir, key, anchor=anchor) as w:
        append = w.append
        for r in records:
            append(r)
    n = len(records)
    return n / (time.perf_counter() - wall), n / (time.thread_time() - own), n / (time.process_time() - cpu)


def per_call_us(fn: Callable[[], object], n: int) -> float:
    """CPU microseconds per call, best of 3 rounds."""
    best_us = math.inf
    for _ in range(3):
        start = time.process_time()
        for _ in range(n):
            fn()
        best_us = min(best_us, (time.process_time() - start) / n * 1e6)
    return best_us


def signing(work: str, key: _native.KeyHandle, n: int) -> None:
    signer = ca.SigningKey.generate("bench")
    cp = {
        "format": "corvane-audit-checkpoint/v1",
        "key_id": "ab" * 32,
        "segment": 3,
        "record_id": 9999,
        "hmac": "cd" * 32,
        "observed_at": TS,
    }
    note = ca.sign_checkpoint(cp, signer)  # type: ignore[arg-type]
    body = note[: note.index("\n\n") + 1].encode()
    raw_sign = per_call_us(lambda: _native.ed25519_sign(b"\x01" * 32, body), 2000)
    hmac_us = per_call_us(lambda: hmac.new(KEY, body, hashlib.sha256).digest(), 2000)
    print("\nSigned checkpoints (CPU time per call, best of 3 rounds of 2000 calls)")
    row("ed25519_sign of a checkpoint body", raw_sign, "us")
    row("sign_checkpoint (body, signature, note text)", per_call_us(lambda: ca.sign_checkpoint(cp, signer), 2000), "us")  # type: ignore[arg-type]
    row(
        "open_checkpoint (parse, verify, body)",
        per_call_us(lambda: ca.open_checkpoint(note, [signer.verifier]), 2000),
        "us",
    )
    print(f"    -> target: signing well under 1000 us (Python hmac of the same body: {hmac_us:.2f} us)")

    print(
        f"\nAnchoring at the default interval (10,000 records or 10 s, directory sink), {n} records "
        "(package Writer.append, open to close, best of 5 alternating rounds)"
    )
    records = [typical(i) for i in range(n)]
    plain = [0.0, 0.0, 0.0]
    anchored = [0.0, 0.0, 0.0]
    log = os.path.join(work, "anchored")
    notes = os.path.join(work, "notes")
    for _ in range(5):
        for anchor, best_of in ((None, plain), (ca.Anchor(signer, notes), anchored)):
            shutil.rmtree(log, ignore_errors=True)
            shutil.rmtree(notes, ignore_errors=True)
            for i, figure in enumerate(package_writer(log, key, records, anchor)):
                best_of[i] = max(best_of[i], figure)
    shutil.rmtree(log, ignore_errors=True)
    for i, clock in enumerate(("wall clock", "appending thread's CPU", "process CPU")):
        row(f"Writer.append, no anchor ({clock})", plain[i], "records/s")
        row(f"Writer.append, anchored ({clock})", anchored[i], "records/s", plain[i])
    print(f"    -> target: anchored >= 0.99x without ({len(os.listdir(notes))} notes in the last round)")


def best(runs: int, fn: Callable[[], float]) -> float:
    return max(fn() for _ in range(runs))


def cxx_figure(output: str, label: str) -> float:
    for line in output.splitlines():
        if line.strip().startswith(label):
            return float(re.findall(r"\s([0-9]+\.[0-9])\s", line)[0])
    raise SystemExit(f"python_bench: no '{label}' line in:\n{output}")


def reading_orders(log: str, key: _native.KeyHandle, n: int) -> tuple[float, float]:
    """Iteration speed of one segment, as written and with its frames
    reversed (the reader checks no MAC, so the order is anyone's to choose)."""
    with _native.Writer.open(log, key) as w:
        for i in range(n):
            w.append(typical(i))
    path = os.path.join(log, "audit-0000.cbor")

    def speed() -> float:
        start = time.process_time()
        count = sum(1 for _ in _native.Reader.open(log))
        assert count == n, count
        return n / (time.process_time() - start)

    forward = max(speed() for _ in range(3))
    with open(path, "rb") as f:
        data = f.read()
    frames, at = [], 80
    while at < len(data):
        end = at + struct.unpack_from("<I", data, at)[0] + 40
        frames.append(data[at:end])
        at = end
    with open(path, "wb") as f:
        f.write(data[:80] + b"".join(reversed(frames)))
    return forward, max(speed() for _ in range(3))


def row(name: str, value: float, unit: str, baseline: float | None = None) -> None:
    ratio = f"  ({value / baseline:.2f}x baseline)" if baseline else ""
    print(f"  {name:<48} {value:12.1f} {unit}{ratio}")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir")
    parser.add_argument("--records", type=int, default=300_000)
    parser.add_argument("--verify-records", type=int, default=1_000_000)
    parser.add_argument("--handler-records", type=int, default=60_000)
    args = parser.parse_args()
    benches = os.path.join(args.build_dir, "benchmarks")
    key = _native.KeyHandle.from_bytes(KEY)
    work = tempfile.mkdtemp(prefix="corvane-pybench-")
    try:
        n = args.records
        print(
            f"Python appends, {n} records of the C++ benchmark's shape (records per CPU second, "
            "best of 3 alternating rounds)"
        )
        pure = native = cxx = 0.0
        log = os.path.join(work, "log")
        for _ in range(3):
            pure = max(pure, python_writer(os.path.join(work, "pure.bin"), n))
            shutil.rmtree(log, ignore_errors=True)
            native = max(native, native_writer(log, key, n))
            shutil.rmtree(log, ignore_errors=True)
            cxx = max(cxx, cxx_writer(os.path.join(benches, "writer_bench"), log, n))
            shutil.rmtree(log, ignore_errors=True)
        row("pure-Python writer (cbor2 + hmac + write)", pure, "records/s")
        row("Writer.append from Python", native, "records/s", pure)
        print("    -> target >= 5x the pure-Python writer")
        row("core Writer::append from C++ (same record)", cxx, "records/s")
        row("Writer.append from Python vs C++", native, "records/s", cxx)
        print(f"    -> binding overhead {1e9 / native - 1e9 / cxx:.0f} ns per record (target >= 0.75x C++)")

        print(
            f"\nThe public Writer.append against the native one, {n} fresh record dicts "
            "(records per CPU second, best of 3 alternating rounds)"
        )
        rates = {public_append: 0.0, native_fresh_append: 0.0, native_same_append: 0.0}
        for _ in range(3):
            for fn in rates:
                shutil.rmtree(log, ignore_errors=True)
                rates[fn] = max(rates[fn], fn(log, key, n))
        shutil.rmtree(log, ignore_errors=True)
        public, fresh, same = rates.values()
        row("_native append, one unchanging dict", same, "records/s")
        row("_native append, fresh dict, times by hand", fresh, "records/s", same)
        print(f"    -> a fresh dict costs {1e9 / fresh - 1e9 / same:.0f} ns more per record")
        row("corvane_audit.Writer.append (times stamped)", public, "records/s", fresh)
        print("    -> target >= 0.85x the native append with times by hand")

        h = args.handler_records
        print(
            f"\nAuditHandler against logging.FileHandler + json.dumps line, {h} records through logging "
            "(records per second, wall clock up to a flush; best of 5 alternating rounds)"
        )
        for threads in (1, 8):
            base = ours = base_cpu = ours_cpu = 0.0
            for _ in range(5):
                shutil.rmtree(log, ignore_errors=True)
                os.makedirs(log)
                file_handler = logging.FileHandler(os.path.join(log, "lines.json"))
                file_handler.setFormatter(JsonLines())
                wall, cpu = logging_rate(file_handler, h, threads)
                base, base_cpu = max(base, wall), max(base_cpu, cpu)
                shutil.rmtree(log, ignore_errors=True)
                wall, cpu = logging_rate(corvane_audit.AuditHandler(log, key), h, threads)
                ours, ours_cpu = max(ours, wall), max(ours_cpu, cpu)
            shutil.rmtree(log, ignore_errors=True)
            label = f"{threads} thread{'s' * (threads > 1)}"
            row(f"FileHandler + JSON, {label}", base, "records/s")
            row(f"AuditHandler, {label}", ours, "records/s", base)
            print(
                f"    -> target >= {1.0 if threads == 1 else 0.8}x FileHandler + JSON with as many threads "
                f"(per CPU second: {ours_cpu / base_cpu:.2f}x)"
            )

        m = args.verify_records
        log = os.path.join(work, "big")
        with _native.Writer.open(log, key) as w:
            for i in range(m):
                w.append(typical(i))
        size_mb = sum(os.path.getsize(os.path.join(log, f)) for f in os.listdir(log)) / 1e6
        t_verify = 1e300
        for _ in range(3):
            start = time.process_time()
            report = _native.verify(log, key)
            t_verify = min(t_verify, time.process_time() - start)
            assert report.ok, report
        out = subprocess.run(
            [os.path.join(benches, "verify_bench"), "0", log], check=True, capture_output=True, text=True
        ).stdout
        cxx_verify = cxx_figure(out, "verify")
        print(f"\nverification of {m} records, {size_mb:.1f} MB (CPU time, best of 3)")
        row("verify from C++ (same log)", cxx_verify, "MB/s")
        row("verify from Python", size_mb / t_verify, "MB/s", cxx_verify)
        start = time.process_time()
        count = sum(1 for _ in _native.Reader.open(log))
        t_iter = time.process_time() - start
        row("iter(Reader) from Python", count / t_iter, "records/s")
        row("record cursor from C++ (same log)", cxx_figure(out, "record cursor"), "records/s")
        start = time.process_time()
        follower, caught_up = _native.Follower.open(log), 0
        while batch := follower.poll():
            caught_up += len(batch)
        row(
            "Reader.follow() catching up (Follower.poll)",
            caught_up / (time.process_time() - start),
            "records/s",
            count / t_iter,
        )
        print("    -> target >= 1.0x iter(Reader)")

        # A follower of a log whose last segment is 64 MiB, while a quiet
        # service appends four records a second.
        log = os.path.join(work, "follow")
        with _native.Writer.open(log, key) as w:
            w_size = 0
            i = 0
            while w_size < 63 * 2**20:
                w.append(typical(i))
                i += 1
                w_size += 346
        segment = os.path.join(log, sorted(os.listdir(log))[-1])
        window = 10.0
        tail = follower_cpu(["tail", "-f", segment], log, key, window)
        show = follower_cpu(
            [sys.executable, "-m", "corvane_audit", "show", log, "--follow", "--json"], log, key, window
        )
        print(
            f"\nfollowing a {os.path.getsize(segment) / 2**20:.0f} MiB segment taking 4 records/s "
            f"(CPU seconds per {window:.0f} s)"
        )
        print(f"  {'tail -f on the segment':<48} {tail:12.3f} s")
        print(f"  {'corvane-audit show --follow':<48} {show:12.3f} s")
        print(f"    -> {100 * show / window:.2f}% of a core (target < 1%)")

        k = min(m, 100_000)
        forward, backward = reading_orders(os.path.join(work, "order"), key, k)
        print(f"\niteration of one segment of {k} records (records per CPU second, best of 3)")
        row("frames in record_id order", forward, "records/s")
        row("frames in reverse order (crafted without the key)", backward, "records/s", forward)
        print("    -> target >= 0.3x in order: one pass whatever the order")
        shutil.rmtree(log, ignore_errors=True)

        signing(work, key, args.records)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
