# kill_child.py LOG_DIR KEY_HEX FIRST_COUNTER SEED SEGMENT_SIZE: appends counters until killed.
# Prints "open ACTION TRUNCATED", then "ack N" after each flush, each line in one write(2).

import os
import random
import sys

from corvane_audit import _native

log_dir, key_hex, counter, seed, size = sys.argv[1], sys.argv[2], *(int(a) for a in sys.argv[3:6])
rng = random.Random(seed)
w = _native.Writer.open(log_dir, _native.KeyHandle.from_hex(key_hex), rng.randbytes(16).hex(), size)
os.write(1, f"open {w.recovery_action()} {w.recovery_truncated_bytes()}\n".encode())
while True:
    for _ in range(1 if rng.random() < 0.5 else rng.randint(2, 12)):
        w.append({"actor": "kill-child", "event": "count", "payload": {"c": counter, "pad": "x" * rng.randint(0, 120)}})
        counter += 1
    w.flush()
    os.write(1, f"ack {counter}\n".encode())
