"""The corvane-audit demo: write a log, verify it, pin it, then tamper with it.

    python examples/demo.py [WORK_DIR]

WORK_DIR (default: a new temporary directory) must not exist or be empty.
Every step runs the real `corvane-audit` command and prints its output.
"""

from __future__ import annotations

import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import textwrap

import corvane_audit

HEADER_LEN = 80  # a segment file starts with an 80-byte header
FRAME_OVERHEAD = 40  # length, record, 32-byte MAC, length again
SEGMENT_SIZE = 8 * 1024  # small, so that a few hundred records span several files
RECORDS = 300


def cli_command() -> list[str]:
    script = os.path.join(os.path.dirname(sys.executable), "corvane-audit")
    return [script] if os.path.exists(script) else [sys.executable, "-m", "corvane_audit"]


def run(work: str, *args: str) -> int:
    """Run corvane-audit in the work directory and show what it printed."""
    print(f"  $ corvane-audit {' '.join(args)}")
    done = subprocess.run(cli_command() + list(args), cwd=work, capture_output=True, text=True)
    for line in (done.stdout + done.stderr).splitlines():
        print(f"    {line}")
    print(f"    (exit status {done.returncode})")
    return done.returncode


def step(title: str) -> None:
    print(f"\n== {title}")


def say(text: str) -> None:
    print(textwrap.indent(textwrap.fill(textwrap.dedent(text).strip(), 76), "  "))


def frames(path: str) -> list[tuple[int, int]]:
    """(offset, length) of every frame in a segment file."""
    with open(path, "rb") as f:
        data = f.read()
    found, offset = [], HEADER_LEN
    while offset + 4 <= len(data):
        (length,) = struct.unpack_from("<I", data, offset)
        found.append((offset, length + FRAME_OVERHEAD))
        offset += length + FRAME_OVERHEAD
    return found


def write_log(log_dir: str, key: corvane_audit.KeyHandle) -> None:
    rng = random.Random(7)
    users = ["alice", "bob", "carol", "dave"]
    with corvane_audit.Writer.open(log_dir, key, segment_size_bytes=SEGMENT_SIZE) as writer:
        for i in range(RECORDS):
            user = rng.choice(users)
            choices: list[tuple[str, dict[str, object]]] = [
                ("login", {"ip": f"10.0.{rng.randrange(4)}.{rng.randrange(1, 255)}", "mfa": rng.random() < 0.8}),
                ("document.read", {"doc": f"DOC-{rng.randrange(1000, 9999)}"}),
                ("document.update", {"doc": f"DOC-{rng.randrange(1000, 9999)}", "bytes": rng.randrange(10**6)}),
                ("role.grant", {"role": rng.choice(["viewer", "editor", "admin"]), "to": rng.choice(users)}),
                ("logout", {}),
            ]
            event, payload = rng.choice(choices)
            writer.append({"actor": f"user:{user}", "event": event, "payload": {"seq": i, **payload}})


def copy_log(work: str, name: str) -> str:
    shutil.copytree(os.path.join(work, "log"), os.path.join(work, name))
    return os.path.join(work, name)


def segment(log_dir: str, index: int) -> str:
    return os.path.join(log_dir, f"audit-{index:04d}.cbor")


def main(argv: list[str]) -> int:
    work = argv[1] if len(argv) > 1 else tempfile.mkdtemp(prefix="corvane-demo-")
    os.makedirs(work, exist_ok=True)
    if os.listdir(work):
        print(f"demo: {work} is not empty", file=sys.stderr)
        return 2
    print(f"corvane-audit {corvane_audit.__version__} demo, working in {work}")

    step("1. A key: 32 random bytes, kept away from the log")
    run(work, "keygen", "-o", "key.hex")
    with open(os.path.join(work, "key.hex")) as f:
        key = corvane_audit.KeyHandle.from_hex(f.read())

    step(f"2. An application writes {RECORDS} audit records through the library")
    say(
        f"""
        Writer.open(log_dir, key, segment_size_bytes={SEGMENT_SIZE}) and writer.append({{"actor": ...,
        "event": ..., "payload": {{...}}}}) for each record; times are stamped automatically.
        Each record is MACed and chained to the one before; the small segment size makes the
        log rotate, each full segment closed by a finalization record.
        """
    )
    log_dir = os.path.join(work, "log")
    write_log(log_dir, key)
    names = sorted(os.listdir(log_dir))
    print(f"  log/ holds {len(names)} segment files: {', '.join(names)}")

    step("3. Reading needs no key (and proves nothing): the first records")
    show = subprocess.run(cli_command() + ["show", "log"], cwd=work, capture_output=True, text=True, check=True)
    print("  $ corvane-audit show log | head -4")
    for line in show.stdout.splitlines()[:4]:
        print(f"    {line}")

    step("4. Verification with the key walks the whole chain")
    run(work, "verify", "log", "--key-file", "key.hex")

    step("5. A checkpoint pins the chain head; it goes to someone who does not control the log")
    run(work, "checkpoint", "log", "--key-file", "key.hex", "-o", "checkpoint.json")

    step("6. Tampering, each on its own copy of the log")
    say("a) One byte of a record in segment 1 is changed (say, an IP address edited):")
    flipped = copy_log(work, "log-flipped")
    offset, _ = frames(segment(flipped, 1))[5]
    with open(segment(flipped, 1), "r+b") as f:
        f.seek(offset + 20)
        byte = f.read(1)
        f.seek(offset + 20)
        f.write(bytes([byte[0] ^ 0x01]))
    run(work, "verify", "log-flipped", "--key-file", "key.hex")

    say("b) One whole record is deleted from segment 2, cleanly at its frame boundaries:")
    deleted = copy_log(work, "log-deleted")
    offset, length = frames(segment(deleted, 2))[3]
    with open(segment(deleted, 2), "rb") as f:
        data = f.read()
    with open(segment(deleted, 2), "wb") as f:
        f.write(data[:offset] + data[offset + length :])
    run(work, "verify", "log-deleted", "--key-file", "key.hex")

    cut = copy_log(work, "log-cut")
    last = segment(cut, len(names) - 1)
    tail = frames(last)[-3:]
    say(
        f"""
        c) The last {len(tail)} records are cut off the end, as someone hiding their latest actions
        would. What is left is a perfectly consistent chain, so verification alone cannot tell:
        """
    )
    os.truncate(last, tail[0][0])
    run(work, "verify", "log-cut", "--key-file", "key.hex")
    say("The checkpoint taken in step 5 does tell:")
    run(work, "verify", "log-cut", "--key-file", "key.hex", "--checkpoint", "checkpoint.json")

    say("And the untouched log still verifies against the same checkpoint:")
    run(work, "verify", "log", "--key-file", "key.hex", "--checkpoint", "checkpoint.json")
    print(f"\nThe files are left in {work}.")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))
