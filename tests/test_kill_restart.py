# A child appending is SIGKILLed at random moments: after the next open the log holds every record written.

import os
import random
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

from conftest import FINALIZATION, SANITIZED, SLOW, check_log, child_env
from corvane_audit import _native

CHILD = str(Path(__file__).with_name("kill_child.py"))
KILLS = 30 if SANITIZED else 1000 if SLOW else 150
KILLS_PER_LOG = 50  # then a fresh log, so reading it back stays cheap
SEGMENT_SIZE = 1500  # a handful of records per segment: rotation is frequent


def test_sigkill_loses_no_acknowledged_record(tmp_path, key):
    seed = int(os.environ.get("CORVANE_KILL_SEED", "0")) or random.randrange(1 << 32)
    rng, env, acked_any = random.Random(seed), child_env(), False
    for kill in range(KILLS):
        if kill % KILLS_PER_LOG == 0:
            log_dir, counter, opens, acked = str(tmp_path / f"log{kill}"), 0, "Fresh 0", 0
        try:
            # Kill a child at a random moment, a fifth of the time before it reports open.
            args = [sys.executable, CHILD, log_dir, "42" * 32, *map(str, (counter, rng.getrandbits(32), SEGMENT_SIZE))]
            proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
            lines = [] if rng.random() < 0.2 else [proc.stdout.readline().decode().rstrip("\n")]  # type: ignore[union-attr]
            assert all(line.startswith("open ") for line in lines), proc.stderr.read()  # type: ignore[union-attr]
            time.sleep(rng.uniform(0, 0.04 if lines else 0.15))
            proc.send_signal(signal.SIGKILL)
            out, err = proc.communicate()
            assert proc.returncode == -signal.SIGKILL, err.decode()
            for line in lines + out.decode().splitlines():
                word, _, rest = line.partition(" ")
                assert word == "ack" or (word, rest) == ("open", opens), line  # it resumed what we left
                acked = int(rest) if word == "ack" else acked
            if not os.path.isdir(log_dir):  # killed before its open made the directory
                continue
            # Half the time a copy is recovered and the real recovery is left to
            # the next child, whose open (killed or not) must do the same.
            target = log_dir
            if rng.random() < 0.5:
                shutil.rmtree(tmp_path / "copy", ignore_errors=True)
                target = str(shutil.copytree(log_dir, tmp_path / "copy"))
            with _native.Writer.open(target, key, "ff" * 16, SEGMENT_SIZE) as w:
                action, truncated = w.recovery_action(), w.recovery_truncated_bytes()
            assert action in ["Resumed", "Repaired", "OpenedNextAfterFinalized"] + ["Fresh"] * (counter == 0), action
            opens = "Resumed 0" if target == log_dir else f"{action} {truncated}"
            records = check_log(target, key)
            counted = [r["payload"]["c"] for r in records if (r["actor"], r["event"]) != FINALIZATION]
            # Acknowledged or not, every counter written is there, in order, without gaps.
            assert counted == list(range(len(counted))) and acked <= len(counted), "acknowledged records are missing"
            counter, acked_any = len(counted), acked_any or acked > 0
        except AssertionError as e:
            raise AssertionError(f"kill {kill} (CORVANE_KILL_SEED={seed}, {log_dir}): {e}") from e
    assert acked_any, "no kill landed inside the append loop"
