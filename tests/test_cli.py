"""The corvane-audit command, end to end in subprocesses."""

import json
import stat
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import corvane_audit as ca
from conftest import child_env, flip_byte, segment_path, write_records

KEY_HEX = "42" * 32  # the conftest `key`
ENV = child_env(CORVANE_AUDIT_KEY_HEX=KEY_HEX)
APPEND = ["append", "log", "--actor", "a", "--event", "e"]


def cli(cwd: Path, *args: str, env: dict[str, str] = ENV) -> subprocess.CompletedProcess[str]:
    done = subprocess.run([sys.executable, "-m", "corvane_audit", *args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=60)  # fmt: skip
    assert "Traceback" not in done.stderr
    return done


def one_error_line(done: subprocess.CompletedProcess[str]) -> str:
    lines = done.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("corvane-audit: "), done.stderr
    return lines[0]


def test_keygen_prints_or_writes_an_owner_only_key(tmp_path):
    assert cli(tmp_path, "--version").stdout.startswith(f"corvane-audit {ca.__version__}")
    assert len(bytes.fromhex(cli(tmp_path, "keygen").stdout.strip())) == 32
    wrote = cli(tmp_path, "keygen", "-o", "k.hex")
    key_hex = (tmp_path / "k.hex").read_text().strip()
    assert wrote.stdout.split()[-1] == ca.KeyHandle.from_hex(key_hex).key_id_hex()
    assert stat.S_IMODE((tmp_path / "k.hex").stat().st_mode) == 0o600
    again = cli(tmp_path, "keygen", "-o", "k.hex")
    assert again.returncode == 2 and "File exists" in one_error_line(again)
    assert (tmp_path / "k.hex").read_text().strip() == key_hex
    write_records(str(tmp_path / "log"), ca.KeyHandle.from_hex(key_hex), 1)
    assert cli(tmp_path, "verify", "log", "--key-file", "k.hex").returncode == 0


def test_append_show_verify(tmp_path, key):
    payload = '{"ip": "10.0.0.1", "tags": ["a", "b"], "n": -3, "ok": true}'
    first = cli(tmp_path, "append", "log", "--actor", "alice", "--event", "login", "--payload", payload)
    assert (first.returncode, first.stdout) == (0, "appended s0r0\n"), first.stderr
    assert cli(tmp_path, *APPEND, "--session", "ab" * 16).stdout == "appended s0r1\n"
    with ca.Writer.open(tmp_path / "log", key) as w:  # hostile text, and bytes
        w.append({"actor": "eve\x1b[2J", "event": "fake\ns0r9 line\u202e", "payload": {"blob": b"\x00\xab"}})
    shown = cli(tmp_path, "show", "log").stdout
    assert (
        shown.count("\n") == 3 and "\x1b" not in shown and "\u202e" not in shown and "eve\\x1b[2J  fake\\ns0r9" in shown
    )
    assert shown.startswith("s0r0") and "alice  login" in shown and '"tags": ["a", "b"]' in shown
    rows = [json.loads(line) for line in cli(tmp_path, "show", "log", "--json").stdout.splitlines()]
    assert [r["payload"] for r in rows] == [json.loads(payload), {}, {"blob": "00ab"}] and "hmac" not in rows[0]
    assert (
        (rows[0]["key_id_hex"], rows[1]["session_id_hex"]) == (key.key_id_hex(), "ab" * 16) != rows[0]["session_id_hex"]
    )
    assert (rows[2]["actor"], len(rows[2]["prev_hash_hex"])) == ("eve\x1b[2J", 64)
    env = {k: v for k, v in ENV.items() if k != "CORVANE_AUDIT_KEY_HEX"} | {"MY_KEY": KEY_HEX}
    report = json.loads(cli(tmp_path, "verify", "log", "--json", "--key-env", "MY_KEY", env=env).stdout)
    assert report["ok"] and report["records_inspected"] == 3 and report["violation"] is None


def test_damaged_logs_exit_1_and_checkpoints_are_printed_or_written(tmp_path, key):
    write_records(str(tmp_path / "log"), key, 12, segment_size_bytes=700)
    cp = ca.checkpoint(tmp_path / "log", key, "noon")
    assert json.loads(cli(tmp_path, "checkpoint", "log", "--observed-at", "noon").stdout) == cp
    assert cli(tmp_path, "checkpoint", "log", "-o", "cp.json").returncode == 0
    ok = cli(tmp_path, "verify", "log", "--checkpoint", "cp.json")
    assert (
        ok.returncode == 0 and f"checkpoint: s{cp['segment']}r{cp['record_id']} still holds the pinned MAC" in ok.stdout
    )
    flip_byte(segment_path(str(tmp_path / "log"), 0), 120)
    flip_byte(segment_path(str(tmp_path / "log"), 2), 150)
    text = cli(tmp_path, "verify", "log")
    assert text.returncode == 1
    assert "verdict:    HmacMismatch@s0r0" in text.stdout and "violation:  HmacMismatch at s0r0, byte 80" in text.stdout
    forensic = json.loads(cli(tmp_path, "verify", "log", "--json", "--forensic").stdout)
    assert [v["segment_index"] for v in [forensic["violation"], *forensic["additional_violations"]]][:2] == [0, 2]
    refused = cli(tmp_path, "checkpoint", "log")
    assert refused.returncode == 1 and "refusing to checkpoint" in one_error_line(refused)


@pytest.mark.parametrize("args, status, message", [
    (["verify", "log"], 2, "env var CORVANE_AUDIT_KEY_HEX not set"),  # run without the key variable
    (["verify", "log", "--key-file", "nope.hex"], 2, "cannot read key file nope.hex"),
    (["verify", "log", "--key-file", "short.hex"], 2, "key file short.hex: KeyHandle.from_hex"),
    (["verify", "log", "--checkpoint", "bad.json"], 2, "checkpoint file bad.json: not valid JSON"),
    (["verify", "log", "--keychain", "svc:acct"], 2,  # no session bus to find a key store on: fails fast
     'loading keychain entry service="svc" account="acct": OS keychain backend error: '),
    (["verify"], 2, "the following arguments are required: LOG_DIR"),
    (["show", "log", "--interval", "soon"], 2, "expected a positive number of seconds"),
    ([*APPEND, "--segment-size", "-1"], 2, "positive integer"),
    (["show", "missing"], 2, "missing: No such file"),
    ([*APPEND, "--payload", "[1]"], 2, "must be a JSON object"),
    ([*APPEND, "--payload", '{"x": 1.5}'], 2, "payload floats are not supported in v0.1 (canonical encoding rules)"),
    (["show", "torn"], 1, "torn tail at segment 0"),
])  # fmt: skip
def test_errors_are_one_line_with_the_right_status(tmp_path, key, args, status, message):
    for name in ("log", "torn"):
        write_records(str(tmp_path / name), key, 2)
    with open(segment_path(str(tmp_path / "torn"), 0), "ab") as f:
        f.write(b"\x30\x00")
    (tmp_path / "short.hex").write_text("abcd")
    (tmp_path / "bad.json").write_text("{")
    gone = (
        "DBUS_SESSION_BUS_ADDRESS",
        "DISPLAY",
        "WAYLAND_DISPLAY",
        "CORVANE_AUDIT_KEY_HEX" if args[1:] == ["log"] else "",
    )
    done = cli(
        tmp_path, *args, env={k: v for k, v in ENV.items() if k not in gone} | {"XDG_RUNTIME_DIR": str(tmp_path)}
    )
    assert done.returncode == status and message in one_error_line(done)


def test_follow_sees_another_process_append_and_a_sigterm_ends_it_cleanly(tmp_path, key):
    write_records(str(tmp_path / "log"), key, 2)
    (tmp_path / "tmp").mkdir()
    follower = subprocess.Popen([sys.executable, "-m", "corvane_audit", "show", "log", "--follow", "--json",
                                 "--interval", "0.05"], cwd=tmp_path, env=ENV | {"TMPDIR": str(tmp_path / "tmp")},
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)  # fmt: skip
    watchdog = threading.Timer(60, follower.kill)  # a hung follower ends the reads below with ""
    watchdog.start()
    try:
        assert follower.stdout is not None
        assert [json.loads(follower.stdout.readline())["record_id"] for _ in range(2)] == [0, 1]
        assert cli(tmp_path, *APPEND, "--segment-size", "300").returncode == 0
        # The small segment rotates first: the finalization, then the record in segment 1.
        new = [json.loads(follower.stdout.readline()) for _ in range(2)]
        assert [(r["segment_index"], r["event"]) for r in new] == [(0, "segment.finalized"), (1, "e")]
    finally:
        watchdog.cancel()
        follower.terminate()
        _, err = follower.communicate(timeout=30)
    assert (follower.returncode, err) == (0, "")
    assert list((tmp_path / "tmp").iterdir()) == []  # no link directory left behind


def test_the_demo_tells_the_whole_story(tmp_path):
    demo = Path(__file__).resolve().parent.parent / "examples" / "demo.py"
    done = subprocess.run([sys.executable, str(demo), str(tmp_path / "demo")], env=ENV, capture_output=True,
                          text=True, timeout=120)  # fmt: skip
    assert done.returncode == 0, done.stderr
    verdicts = [line.split()[-1].split("@")[0] for line in done.stdout.splitlines() if "verdict:" in line]
    assert verdicts == ["Verified", "HmacMismatch", "ChainBreak", "Verified", "CheckpointTruncated", "Verified"]
