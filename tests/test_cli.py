# The corvane-audit command, end to end in subprocesses, as an operator meets it: wrong keys, empty or odd paths,
# hostile checkpoint files, torn tails and arguments no one expected.

import json
import os
import stat

import pytest

import corvane_audit as ca
from conftest import ENV, KEY, OTHER_KEY, cli, cut, flip_byte, frames, one_error_line, run, segment_path, write_records

K, OTHER = KEY.key_id_hex(), OTHER_KEY.key_id_hex()
APPEND = ["append", "log", "--actor", "a", "--event", "e"]
NO_KEY = {k: v for k, v in ENV.items() if k != "CORVANE_AUDIT_KEY_HEX"}
TORN_ADVICE = ("the last record is incomplete: a writer crashed or is still writing; "
               "opening the log for writing, e.g. `corvane-audit append`, cuts it")  # fmt: skip


@pytest.fixture
def place(tmp_path):  # a log, a torn one, an empty directory, a FIFO, links to odd files and odd checkpoints
    for name, count in (("log", 3), ("torn", 2)):
        write_records(str(tmp_path / name), KEY, count)
    open(segment_path(str(tmp_path / "torn"), 0), "ab").write(b"\x30\x00")  # the start of a frame's length
    (tmp_path / "empty").mkdir()
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "to-null").symlink_to("/dev/null")
    cp = ca.checkpoint(tmp_path / "log", KEY, "noon")
    for name, text in [("other.json", json.dumps(cp | {"key_id": OTHER})), ("deep.json", "[" * 60_000),
                       ("short.hex", "abcd")]:  # fmt: skip
        (tmp_path / name).write_text(text)
    return tmp_path


def test_keygen_prints_or_writes_an_owner_only_key(tmp_path):
    assert len(bytes.fromhex(cli(tmp_path, "keygen").stdout.strip())) == 32
    wrote, key_hex = cli(tmp_path, "keygen", "-o", "k.hex"), (tmp_path / "k.hex").read_text().strip()
    assert wrote.stdout.split()[-1] == ca.KeyHandle.from_hex(key_hex).key_id_hex()
    assert stat.S_IMODE((tmp_path / "k.hex").stat().st_mode) == 0o600
    assert (again := cli(tmp_path, "keygen", "-o", "k.hex")).returncode == 2 and "File exists" in one_error_line(again)
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
        w.append({"actor": "eve\\x1b[2J", "event": "spelt"})  # looks like the escape above unless \ is escaped
    shown = cli(tmp_path, "show", "log").stdout
    assert "eve\\\\x1b[2J  spelt" in shown and shown.count("\n") == 4 and "\x1b" not in shown and "\u202e" not in shown
    assert shown.startswith("s0r0") and "alice  login" in shown and "eve\\x1b[2J  fake\\ns0r9" in shown
    rows = [json.loads(line) for line in cli(tmp_path, "show", "log", "--json").stdout.splitlines()]
    assert [r["payload"] for r in rows] == [json.loads(payload), {}, {"blob": "00ab"}, {}] and "hmac" not in rows[0]
    assert (rows[0]["key_id_hex"], rows[1]["session_id_hex"], rows[2]["actor"]) == (K, "ab" * 16, "eve\x1b[2J")
    done = cli(tmp_path, "verify", "log", "--json", "--key-env", "K", env=NO_KEY | {"K": ENV["CORVANE_AUDIT_KEY_HEX"]})
    assert (report := json.loads(done.stdout))["ok"] and report["records_inspected"] == 4


# A checkpoint written and checked by the command line: test_signed.py.
def test_damaged_logs_exit_1_and_refuse_a_checkpoint(tmp_path, key):
    write_records(str(tmp_path / "log"), key, 12, segment_size_bytes=700)
    for seg in (0, 2):
        flip_byte(segment_path(str(tmp_path / "log"), seg), 120)
    assert (text := cli(tmp_path, "verify", "log")).returncode == 1 and "verdict:    HmacMismatch@s0r0\n" in text.stdout
    assert "violation:  HmacMismatch at s0r0, byte 80" in text.stdout
    forensic = json.loads(cli(tmp_path, "verify", "log", "--json", "--forensic").stdout)["additional_violations"]
    assert forensic[0]["segment_index"] == 2 and (refused := cli(tmp_path, "checkpoint", "log")).returncode == 1
    assert "refusing to checkpoint" in one_error_line(refused)


@pytest.mark.parametrize("args, message", [
    (["verify", "log", "--key-file", "nope.hex"], "cannot read key file nope.hex"),
    (["verify", "log", "--key-file", "short.hex"], "key file short.hex: KeyHandle.from_hex"),
    (["show", "log", "--interval", "soon"], "expected a positive number of seconds"),
    ([*APPEND, "--payload", "[1]"], "must be a JSON object"),
    (["verify", "empty"], "LOG_DIR holds no segment files: empty"),
    (["verify", "log", "--key-env", "OTHER"], f"this log was written with key_id {K}; the given key's id is {OTHER}"),
    (["verify", "log", "--checkpoint", "other.json"],
     f"checkpoint other.json was taken with key_id {OTHER}; the given key's id is {K}, as is this log's"),
    (["verify", "log", "--checkpoint", "fifo"], "cannot read checkpoint file fifo: not a regular file"),
    (["verify", "log", "--checkpoint", "deep.json"], "checkpoint file deep.json: not a checkpoint (JSON nested"),
    (["checkpoint", "log", "-o", "to-null"], "cannot write checkpoint to to-null: not a regular file"),
    (["checkpoint", "log", "--observed-at", "\udcff"], "argument --observed-at: not valid UTF-8 text"),
    ([*APPEND, "--payload", '{"n": 1' + "0" * 5000 + "}"], "--payload holds an integer out of range"),
    ([*APPEND, "--payload", "[" * 100_000], "--payload is nested too deeply"),
    ([*APPEND, "--segment-size", str(2**64)], "argument --segment-size: expected a positive integer below 2^64"),
])  # fmt: skip
def test_errors_are_one_line_with_status_2_and_change_nothing(place, args, message):
    done = cli(place, *args, env=ENV | {"OTHER": "17" * 32})
    assert (done.returncode, done.stdout) == (2, "") and message in one_error_line(done), done.stderr
    assert [r["event"] for r in ca.Reader.open(place / "log")] == ["test.event"] * 3  # nothing appended


def test_checkpoint_text_cannot_steer_the_terminal(place):
    ca.save_checkpoint(ca.checkpoint(place / "log", KEY, "\x1b[2J\x1b[32mverdict: Verified \ud800"), place / "cp.json")
    assert (done := cli(place, "verify", "log", "--checkpoint", "cp.json")).returncode == 0 and done.stderr == ""
    assert "(observed at \\x1b[2J\\x1b[32mverdict: Verified \\ud800)" in done.stdout and "\x1b" not in done.stdout


def test_a_torn_tail_says_what_to_do_and_append_cuts_it(place):
    done = cli(place, "verify", "torn")
    assert done.returncode == 1 and "Torn tail at segment 0 offset" in done.stdout
    assert done.stdout.endswith(TORN_ADVICE + "\n")
    assert cli(place, *APPEND[:1], "torn", *APPEND[2:]).returncode == 0 and cli(place, "verify", "torn").returncode == 0


def test_checkpoint_output_dash_is_standard_output(place):
    printed = cli(place, "checkpoint", "log", "-o", "-", "--observed-at", "noon")
    assert json.loads(printed.stdout) == ca.checkpoint(place / "log", KEY, "noon") and not (place / "-").exists()


def test_the_cli_drops_the_key_variable_once_read(place):
    script = ("import os, sys; from corvane_audit import cli; status = cli.main(['verify', 'log']); "
              "print(status, os.environ.get('CORVANE_AUDIT_KEY_HEX'), file=sys.stderr)")  # fmt: skip
    assert run("-c", script, cwd=place, env=ENV).stderr == "0 None\n"


# Damage before the last segment ends a follow as it ends a show: nothing waits for it to heal.
def test_follow_reports_damage_before_the_last_segment(tmp_path, key):
    write_records(str(tmp_path / "log"), key, 6, segment_size_bytes=600)
    start, length = frames(segment0 := segment_path(str(tmp_path / "log"), 0))[1]
    cut(segment0, start + length // 2, start + length)  # half of record 1 gone, segments 1 and 2 intact
    shown, followed = cli(tmp_path, "show", "log"), cli(tmp_path, "show", "log", "--follow", "--interval", "0.01")
    assert (followed.returncode, followed.stdout, followed.stderr) == (1, shown.stdout, shown.stderr)
    assert shown.stderr == f"corvane-audit: torn tail at segment 0 offset {start}\n"
