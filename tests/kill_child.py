"""The child of test_kill_restart: appends and flushes until it is killed.

Usage: kill_child.py LOG_DIR KEY_HEX COUNTER SEED SEGMENT_SIZE

COUNTER is the first counter to write. Prints "open ACTION TRUNCATED" once
the writer is open, then "ack N" after each flush: every counter below N is
durable. Every line is one write(2), so a kill never leaves half a line.
"""

from __future__ import annotations

import os
import random
import sys

from reliability_util import ts_text

from corvane_audit import _native


def main(argv: list[str]) -> None:
    log_dir, key_hex = argv[1], argv[2]
    counter, seed, size = (int(a) for a in argv[3:6])
    rng = random.Random(seed)
    w = _native.Writer.open(log_dir, _native.KeyHandle.from_hex(key_hex), rng.randbytes(16).hex(), size)
    os.write(1, f"open {w.recovery_action()} {w.recovery_truncated_bytes()}\n".encode())
    while True:
        for _ in range(1 if rng.random() < 0.5 else rng.randint(2, 12)):
            w.append({"actor": "kill-child", "event": "count", "ts_wall": ts_text(counter),
                      "payload": {"c": counter, "pad": "x" * rng.randint(0, 120)}})  # fmt: skip
            counter += 1
        w.flush()
        os.write(1, f"ack {counter}\n".encode())


if __name__ == "__main__":
    main(sys.argv)
