"""The corvane-audit command, end to end in subprocesses."""

from __future__ import annotations

import json
import os
import stat
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import corvane_audit as ca
from conftest import flip_byte, segment_path, write_records
from corvane_audit import _native

KEY_HEX = "42" * 32  # the conftest `key`
ENV = dict(os.environ, PYTHONPATH=str(Path(_native.__file__).parent.parent), CORVANE_AUDIT_KEY_HEX=KEY_HEX,
           PYTHONUNBUFFERED="1")  # fmt: skip


def cli(cwd: Path, *args: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    done = subprocess.run([sys.executable, "-m", "corvane_audit", *args], cwd=cwd, env=ENV if env is None else env,
                          capture_output=True, text=True, timeout=60)  # fmt: skip
    assert "Traceback" not in done.stderr
    return done


def one_error_line(done: subprocess.CompletedProcess[str]) -> str:
    lines = done.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("corvane-audit: "), done.stderr
    return lines[0]


def test_keygen_prints_or_writes_an_owner_only_key(tmp_path: Path) -> None:
    printed = cli(tmp_path, "keygen")
    assert printed.returncode == 0 and len(printed.stdout.strip()) == 64
    int(printed.stdout, 16)
    wrote = cli(tmp_path, "keygen", "-o", "k.hex")
    key_hex = (tmp_path / "k.hex").read_text().strip()
    assert wrote.stdout.split()[-1] == ca.KeyHandle.from_hex(key_hex).key_id_hex()
    assert stat.S_IMODE((tmp_path / "k.hex").stat().st_mode) == 0o600
    again = cli(tmp_path, "keygen", "-o", "k.hex")
    assert again.returncode == 2 and "File exists" in one_error_line(again)
    assert (tmp_path / "k.hex").read_text().strip() == key_hex


def test_append_show_verify(tmp_path: Path, key: _native.KeyHandle) -> None:
    payload = '{"ip": "10.0.0.1", "tags": ["a", "b"], "n": -3, "ok": true}'
    first = cli(tmp_path, "append", "log", "--actor", "alice", "--event", "login", "--payload", payload)
    assert (first.returncode, first.stdout) == (0, "appended s0r0\n"), first.stderr
    second = cli(tmp_path, "append", "log", "--actor", "bob", "--event", "logout", "--session", "ab" * 16)
    assert second.stdout == "appended s0r1\n"

    shown = cli(tmp_path, "show", "log").stdout.splitlines()
    assert shown[0].startswith("s0r0") and "alice  login" in shown[0] and '"tags": ["a", "b"]' in shown[0]
    rows = [json.loads(line) for line in cli(tmp_path, "show", "log", "--json").stdout.splitlines()]
    assert [r["payload"] for r in rows] == [json.loads(payload), {}]
    assert rows[1]["session_id_hex"] == "ab" * 16 != rows[0]["session_id_hex"]
    assert rows[0]["key_id_hex"] == key.key_id_hex() and "hmac" not in rows[0]

    report = json.loads(cli(tmp_path, "verify", "log", "--json").stdout)
    assert report["ok"] and report["records_inspected"] == 2 and report["violation"] is None


def test_key_from_a_named_variable(tmp_path: Path, key: _native.KeyHandle) -> None:
    # The key file: the demo; the default variable: everywhere else.
    write_records(str(tmp_path / "log"), key, 1)
    env = {k: v for k, v in ENV.items() if k != "CORVANE_AUDIT_KEY_HEX"} | {"MY_KEY": KEY_HEX}
    assert cli(tmp_path, "verify", "log", "--key-env", "MY_KEY", env=env).returncode == 0


def test_show_json_renders_bytes_as_hex_and_escapes_hostile_text(tmp_path: Path, key: _native.KeyHandle) -> None:
    with ca.Writer.open(tmp_path / "log", key) as w:
        w.append({"actor": "eve\x1b[2J", "event": "fake\ns0r9 line\u202e", "payload": {"blob": b"\x00\xab"}})
    line = cli(tmp_path, "show", "log").stdout
    assert line.count("\n") == 1 and "\x1b" not in line and "\u202e" not in line
    assert "eve\\x1b[2J" in line and "fake\\ns0r9" in line
    row = json.loads(cli(tmp_path, "show", "log", "--json").stdout)
    assert row["payload"] == {"blob": "00ab"} and row["actor"] == "eve\x1b[2J"
    assert len(row["prev_hash_hex"]) == 64


def test_damaged_logs_exit_1_and_show_the_violation(tmp_path: Path, key: _native.KeyHandle) -> None:
    log = str(tmp_path / "log")
    write_records(log, key, 12, segment_size_bytes=700)
    flip_byte(segment_path(log, 0), 120)
    flip_byte(segment_path(log, 2), 150)
    text = cli(tmp_path, "verify", "log")
    assert text.returncode == 1
    assert "verdict:    HmacMismatch@s0r0" in text.stdout and "violation:  HmacMismatch at s0r0, byte 80" in text.stdout
    forensic = json.loads(cli(tmp_path, "verify", "log", "--json", "--forensic").stdout)
    assert forensic["ok"] is False and forensic["violation"]["segment_index"] == 0
    assert forensic["additional_violations"][0]["segment_index"] == 2
    refused = cli(tmp_path, "checkpoint", "log")
    assert refused.returncode == 1 and "refusing to checkpoint" in one_error_line(refused)


def test_checkpoint_is_printed_or_written_and_verified_against(tmp_path: Path, key: _native.KeyHandle) -> None:
    # A cut caught by the checkpoint: the demo.
    log = str(tmp_path / "log")
    write_records(log, key, 4)
    printed = cli(tmp_path, "checkpoint", "log", "--observed-at", "noon")
    assert json.loads(printed.stdout) == ca.checkpoint(log, key, "noon")
    wrote = cli(tmp_path, "checkpoint", "log", "-o", "cp.json")
    assert wrote.returncode == 0 and ca.load_checkpoint(tmp_path / "cp.json")["record_id"] == 3
    ok = cli(tmp_path, "verify", "log", "--checkpoint", "cp.json")
    assert ok.returncode == 0 and "checkpoint: s0r3 still holds the pinned MAC" in ok.stdout


@pytest.mark.parametrize(
    "args, setup, status, message",
    [
        (["verify", "log"], "no-key", 2, "env var CORVANE_AUDIT_KEY_HEX not set"),
        (["verify", "log", "--key-file", "nope.hex"], "log", 2, "cannot read key file nope.hex"),
        (["verify", "log", "--key-file", "short.hex"], "log", 2, "key file short.hex: KeyHandle.from_hex"),
        (["verify", "log", "--checkpoint", "bad.json"], "log", 2, "checkpoint file bad.json: not valid JSON"),
        (["verify", "log", "--keychain", "svc:acct"], "no-bus", 2,
         'loading keychain entry service="svc" account="acct": OS keychain backend error: '),
        (["verify"], "log", 2, "the following arguments are required: LOG_DIR"),
        (["show", "log", "--interval", "soon"], "log", 2, "expected a positive number of seconds"),
        (["append", "log", "--actor", "a", "--event", "e", "--segment-size", "-1"], "log", 2, "positive integer"),
        (["show", "missing"], "log", 2, "missing: No such file"),
        (["append", "log", "--actor", "a", "--event", "e", "--payload", "[1]"], "log", 2, "must be a JSON object"),
        (["append", "log", "--actor", "a", "--event", "e", "--payload", '{"x": 1.5}'], "log", 2, "payload floats"),
        (["show", "torn"], "log", 1, "torn tail at segment 0"),
    ],
)
def test_errors_are_one_line_with_the_right_status(
    tmp_path: Path, key: _native.KeyHandle, args: list[str], setup: str, status: int, message: str
) -> None:
    write_records(str(tmp_path / "log"), key, 2)
    write_records(str(tmp_path / "torn"), key, 2)
    with open(segment_path(str(tmp_path / "torn"), 0), "ab") as f:
        f.write(b"\x30\x00")
    (tmp_path / "short.hex").write_text("abcd")
    (tmp_path / "bad.json").write_text("{")
    env = dict(ENV)
    if setup == "no-key":
        del env["CORVANE_AUDIT_KEY_HEX"]
    if setup == "no-bus":  # no session bus to find a key store on: fails fast
        env = {k: v for k, v in env.items() if k not in ("DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY")}
        env["XDG_RUNTIME_DIR"] = str(tmp_path)
    done = cli(tmp_path, *args, env=env)
    assert done.returncode == status
    assert message in one_error_line(done)


def test_help_documents_commands_keys_and_exit_status(tmp_path: Path) -> None:
    # Each command's options: the tests that use them.
    top = cli(tmp_path, "--help")
    assert top.returncode == 0
    for word in ("verify", "checkpoint", "show", "append", "keygen", "--key-file", "--keychain", "exit status"):
        assert word in top.stdout, word
    assert cli(tmp_path, "--version").stdout.startswith(f"corvane-audit {ca.__version__}")


def test_follow_sees_a_record_appended_by_another_process(tmp_path: Path, key: _native.KeyHandle) -> None:
    write_records(str(tmp_path / "log"), key, 2)
    follower = subprocess.Popen(
        [sys.executable, "-m", "corvane_audit", "show", "log", "--follow", "--json", "--interval", "0.05"],
        cwd=tmp_path, env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    assert follower.stdout is not None
    watchdog = threading.Timer(60, follower.kill)  # a hung follower ends the reads below with ""
    watchdog.start()
    try:
        assert [json.loads(follower.stdout.readline())["record_id"] for _ in range(2)] == [0, 1]
        appended = cli(tmp_path, "append", "log", "--actor", "late", "--event", "arrived", "--segment-size", "300")
        assert appended.returncode == 0, appended.stderr
        # The small segment size rotates first: finalization, then the record in segment 1.
        new = [json.loads(follower.stdout.readline()) for _ in range(2)]
        assert [(r["segment_index"], r["event"]) for r in new] == [(0, "segment.finalized"), (1, "arrived")]
    finally:
        watchdog.cancel()
        follower.terminate()
        _, err = follower.communicate(timeout=30)
    assert "Traceback" not in err


def test_the_demo_tells_the_whole_story(tmp_path: Path) -> None:
    demo = Path(__file__).resolve().parent.parent / "examples" / "demo.py"
    done = subprocess.run([sys.executable, str(demo), str(tmp_path / "demo")], cwd=tmp_path, env=ENV,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    verdicts = [line.split()[-1] for line in done.stdout.splitlines() if line.strip().startswith("verdict:")]
    assert [v.split("@")[0] for v in verdicts] == [
        "Verified", "HmacMismatch", "ChainBreak", "Verified", "CheckpointTruncated", "Verified"]
    assert "segment files: audit-0000.cbor, audit-0001.cbor, audit-0002.cbor" in done.stdout
