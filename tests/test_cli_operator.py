"""The command line as an operator meets it: wrong keys, empty or odd paths,
hostile checkpoint files, torn tails and arguments no one expected."""

import json
import os
import subprocess
import sys

import pytest

import corvane_audit as ca
from conftest import KEY, OTHER_KEY, segment_path, write_records
from test_cli import ENV, cli, one_error_line

K, OTHER = KEY.key_id_hex(), OTHER_KEY.key_id_hex()
OTHER_ENV = ENV | {"CORVANE_AUDIT_KEY_HEX": "17" * 32}
APPEND = ["append", "log", "--actor", "a", "--event", "e"]
TORN_ADVICE = ("the last record is incomplete: a writer crashed or is still writing; "
               "opening the log for writing, e.g. `corvane-audit append`, cuts it")  # fmt: skip


@pytest.fixture
def place(tmp_path):
    """A log, an empty directory, a FIFO, links to odd files and odd checkpoints."""
    write_records(str(tmp_path / "log"), KEY, 3)
    (tmp_path / "empty").mkdir()
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "to-null").symlink_to("/dev/null")
    cp = ca.checkpoint(tmp_path / "log", KEY, "noon")
    (tmp_path / "other.json").write_text(json.dumps(cp | {"key_id": OTHER}))
    (tmp_path / "deep.json").write_text("[" * 60_000)
    (tmp_path / "long.json").write_text(json.dumps(cp)[:-1] + ', "n": 1' + "0" * 5000 + "}")
    return tmp_path


@pytest.mark.parametrize("args, env, message", [
    (["verify", "empty"], ENV, "LOG_DIR holds no segment files: empty"),
    (["verify", "log"], OTHER_ENV, f"this log was written with key_id {K}; the given key's id is {OTHER}"),
    (["checkpoint", "log"], OTHER_ENV, f"this log was written with key_id {K}; the given key's id is {OTHER}"),
    (["verify", "log", "--checkpoint", "other.json"], ENV,
     f"checkpoint other.json was taken with key_id {OTHER}; the given key's id is {K}, as is this log's"),
    (["verify", "log", "--key-file", "fifo"], ENV, "cannot read key file fifo: not a regular file"),
    (["verify", "log", "--checkpoint", "fifo"], ENV, "cannot read checkpoint file fifo: not a regular file"),
    (["verify", "log", "--checkpoint", "deep.json"], ENV, "checkpoint file deep.json: not a checkpoint (JSON nested"),
    (["verify", "log", "--checkpoint", "long.json"], ENV, "checkpoint file long.json: not a checkpoint (a number"),
    (["checkpoint", "log", "-o", "to-null"], ENV, "cannot write checkpoint to to-null: not a regular file"),
    (["checkpoint", "log", "-o", "fifo"], ENV, "cannot write checkpoint to fifo: not a regular file"),
    (["checkpoint", "log", "-o", "empty"], ENV, "cannot write checkpoint to empty: not a regular file"),
    (["checkpoint", "log", "--observed-at", "\udcff"], ENV, "argument --observed-at: not valid UTF-8 text"),
    (["append", "log", "--actor", "\udced\udca0\udc80", "--event", "e"], ENV, "argument --actor: not valid UTF-8"),
    (["verify", "log", "--key-env", "K\udcff"], ENV, "argument --key-env: not valid UTF-8 text"),
    ([*APPEND, "--payload", '{"n": 1' + "0" * 5000 + "}"], ENV, "--payload holds an integer out of range"),
    ([*APPEND, "--payload", "[" * 100_000], ENV, "--payload is nested too deeply"),
    ([*APPEND, "--payload", '{"s": "\\ud800"}'], ENV, "--payload holds a lone surrogate"),
    ([*APPEND, "--segment-size", str(2**64)], ENV, "argument --segment-size: expected a positive integer below 2^64"),
])  # fmt: skip
def test_refused_with_one_line_and_status_2(place, args, env, message):
    done = cli(place, *args, env=env)
    assert done.returncode == 2 and message in one_error_line(done), done.stderr
    assert done.stdout == ""
    assert [r["event"] for r in ca.Reader.open(place / "log")] == ["test.event"] * 3  # nothing appended


def test_checkpoint_text_cannot_steer_the_terminal(place):
    cp = ca.checkpoint(place / "log", KEY, "\x1b[2J\x1b[32mverdict: Verified \ud800")
    ca.save_checkpoint(cp, place / "cp.json")
    done = cli(place, "verify", "log", "--checkpoint", "cp.json")
    assert (done.returncode, done.stderr) == (0, "")
    assert "(observed at \\x1b[2J\\x1b[32mverdict: Verified \\ud800)" in done.stdout and "\x1b" not in done.stdout


def test_a_torn_tail_says_what_to_do_and_append_cuts_it(place):
    with open(segment_path(str(place / "log"), 0), "ab") as f:
        f.write(b"\x30\x00")
    done = cli(place, "verify", "log")
    assert done.returncode == 1 and "Torn tail at segment 0 offset" in done.stdout
    assert done.stdout.splitlines()[-1] == TORN_ADVICE
    assert cli(place, *APPEND).returncode == 0 and cli(place, "verify", "log").returncode == 0


def test_checkpoint_output_dash_and_symlinks(place):
    printed = cli(place, "checkpoint", "log", "-o", "-", "--observed-at", "noon")
    assert json.loads(printed.stdout) == ca.checkpoint(place / "log", KEY, "noon") and not (place / "-").exists()
    (place / "keep").mkdir()
    (place / "keep" / "head.json").write_text("old")
    (place / "head.json").symlink_to("keep/head.json")
    assert cli(place, "checkpoint", "log", "-o", "head.json").returncode == 0
    assert (place / "head.json").is_symlink() and json.loads((place / "keep" / "head.json").read_text())["hmac"]
    assert sorted(p.name for p in (place / "keep").iterdir()) == ["head.json"]  # no temporary file left


def test_save_checkpoint_makes_its_temporary_file_beside_the_target(place, monkeypatch):
    (place / "keep").mkdir()
    (place / "link.json").symlink_to(place / "keep" / "new.json")  # dangling until written
    renames = []
    real_replace = os.replace

    def spy(src, dst):
        renames.append((os.path.dirname(src), dst))
        real_replace(src, dst)

    monkeypatch.setattr(os, "replace", spy)
    ca.save_checkpoint({"format": "x"}, place / "link.json")
    assert renames == [(str(place / "keep"), str(place / "keep" / "new.json"))]
    assert json.loads((place / "link.json").read_text()) == {"format": "x"}


def test_the_cli_drops_the_key_variable_once_read(place):
    script = ("import os, sys; from corvane_audit import cli; status = cli.main(['verify', 'log']); "
              "print(status, os.environ.get('CORVANE_AUDIT_KEY_HEX'), file=sys.stderr)")  # fmt: skip
    done = subprocess.run([sys.executable, "-c", script], cwd=place, env=ENV, capture_output=True, text=True,
                          timeout=60)  # fmt: skip
    assert done.stderr == "0 None\n"
