"""Kill and restart: a child appends and flushes in a loop and is killed with
SIGKILL at random moments; every record it reported as flushed must be there
after the next open, and the log must verify.

SIGKILL keeps the page cache, so this shows that a crash of the process loses
nothing that write(2) accepted, and that open always gets past what a killed
writer leaves behind (inside an append, a flush, a rotation or an open). Power
loss is simulated by the core's own tests.
"""

from __future__ import annotations

import collections
import os
import random
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

from conftest import SANITIZED
from reliability_util import check_log, is_finalization, native_env, slow

from corvane_audit import _native

CHILD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "kill_child.py")
KILLS = 30 if SANITIZED else 1000 if slow() else 150
KILLS_PER_LOG = 50  # then a fresh log, so that reading it back stays cheap
SEGMENT_SIZE = 1500  # a handful of records per segment: rotation is frequent
KEY_HEX = "42" * 32


@dataclass
class LogState:
    """What the parent knows of one log directory between children."""

    log_dir: str
    next_counter: int = 0
    child_opens: str = "Fresh 0"  # what the next child's open must report
    acked: int = 0  # every counter below it was acknowledged


def run_and_kill(log: LogState, rng: random.Random, env: dict[str, str]) -> list[str]:
    """Starts a child on the log, kills it at a random moment and returns the
    lines it wrote. Most kills land in the append/flush loop; some come
    before the child is ready, inside interpreter start-up or open."""
    args = [sys.executable, CHILD, log.log_dir, KEY_HEX, str(log.next_counter), str(rng.getrandbits(32)),
            str(SEGMENT_SIZE)]  # fmt: skip
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    assert proc.stdout is not None and proc.stderr is not None
    lines = []
    if rng.random() < 0.2:
        time.sleep(rng.uniform(0, 0.15))
    else:
        lines.append(proc.stdout.readline().decode().rstrip("\n"))
        assert lines[0].startswith("open "), proc.stderr.read().decode()
        time.sleep(rng.uniform(0, 0.04))
    proc.send_signal(signal.SIGKILL)
    out, err = proc.communicate()
    assert proc.returncode == -signal.SIGKILL, err.decode()
    return lines + out.decode().splitlines()


def take_report(log: LogState, lines: list[str]) -> None:
    """Records the child's acknowledgements; checks that it resumed the log
    the parent had left (Fresh only for a new log)."""
    for line in lines:
        word, _, rest = line.partition(" ")
        if word == "open":
            assert rest == log.child_opens, line
            continue
        assert word == "ack", line
        log.acked = int(rest)


def reopen_and_check(log: LogState, key: _native.KeyHandle, copy: str | None) -> str:
    """Recovers the log as the next writer would, then checks it against
    everything acknowledged so far. Returns the recovery action. With `copy`,
    a copy of the log is recovered and checked instead, and the real
    recovery is left to the next child, whose open may be killed too; its
    outcome must be the copy's."""
    if not os.path.isdir(log.log_dir):  # killed before the first open made it
        return "none"
    log_dir = log.log_dir
    if copy is not None:
        shutil.rmtree(copy, ignore_errors=True)
        log_dir = shutil.copytree(log.log_dir, copy)
    with _native.Writer.open(log_dir, key, "ff" * 16, SEGMENT_SIZE) as w:
        action, truncated = w.recovery_action(), w.recovery_truncated_bytes()
    # Fresh only where no child got as far as creating segment 0.
    allowed = ["Resumed", "Repaired", "OpenedNextAfterFinalized"] + (["Fresh"] if log.next_counter == 0 else [])
    assert action in allowed, action
    log.child_opens = "Resumed 0" if copy is None else f"{action} {truncated}"
    records = check_log(log_dir, key)
    counted = [r for r in records if not is_finalization(r)]
    # A killed process loses nothing that write(2) took: acknowledged or not,
    # every counter written is there, in order, without gaps.
    assert [r["payload"]["c"] for r in counted] == list(range(len(counted)))
    assert log.acked <= len(counted), "acknowledged records are missing"
    log.next_counter = len(counted)
    return action


def test_sigkill_loses_no_acknowledged_record(tmp_path: Path, key: _native.KeyHandle) -> None:
    assert key.key_id_hex() == _native.KeyHandle.from_hex(KEY_HEX).key_id_hex()
    seed = int(os.environ.get("CORVANE_KILL_SEED", "0")) or random.randrange(1 << 32)
    rng = random.Random(seed)
    env = native_env()
    actions: collections.Counter[str] = collections.Counter()
    logs: list[LogState] = []
    for kill in range(KILLS):
        if kill % KILLS_PER_LOG == 0:
            logs.append(LogState(str(tmp_path / f"log{len(logs)}")))
        log = logs[-1]
        lines = run_and_kill(log, rng, env)
        try:
            take_report(log, lines)
            copy = str(tmp_path / "copy") if rng.random() < 0.5 else None
            actions[reopen_and_check(log, key, copy)] += 1
        except AssertionError as e:
            raise AssertionError(f"kill {kill} (CORVANE_KILL_SEED={seed}, {log.log_dir}): {e}") from e
    assert any(log.acked for log in logs), "no kill landed inside the append loop"
    print(f"{KILLS} kills, {sum(log.next_counter for log in logs)} records, recovery: {dict(actions)}")
