# verify_span: incremental from a checkpoint, parallel, live against a writer; the package's state file and CLI.

import json
import os
import threading
import time

import pytest

import corvane_audit as ca
from conftest import KEY, OTHER_KEY, cli, flip_byte, frames, raises, segment_path, write_records
from corvane_audit import _native
from corvane_audit._native import ArgumentError, verify_span


# Walks on several threads give verify()'s report for intact and damaged logs, in both modes, with a checkpoint.
@pytest.mark.parametrize("damage", [None, (2, 90), (5, 0)])
def test_parallel_report_is_the_sequential_one(log_dir, key, damage):
    write_records(log_dir, key, 20, segment_size_bytes=400)
    cp = _native.checkpoint(log_dir, key, "t")
    if damage:
        flip_byte(segment_path(log_dir, damage[0]), damage[1])
    for forensic in (False, True):
        want = ca.report_as_dict(_native.verify(log_dir, key, forensic, checkpoint=cp))
        for jobs in (0, 2, 5):
            report, span = verify_span(log_dir, key, forensic, checkpoint=cp, jobs=jobs)
            assert ca.report_as_dict(report) == want
            assert span["start"] is None and (span["end"] is not None) == (report.final_hmac_hex is not None)


def test_since_proves_only_what_follows_the_pin(log_dir, key):
    write_records(log_dir, key, 6, segment_size_bytes=400)
    cp = ca.checkpoint(log_dir, key, "t")
    assert cp["offset"] == frames(segment_path(log_dir, cp["segment"]))[cp["record_id"]][0]
    assert _native.verify(log_dir, key, checkpoint=cp).ok  # the offset key is ignored where it is not known
    write_records(log_dir, key, 4, segment_size_bytes=400)
    flip_byte(segment_path(log_dir, 0), 100)  # before the pin: never read
    report, span = ca.verify_span(log_dir, key, since=cp)
    assert report.ok and report.final_hmac_hex == list(_native.Reader.open(log_dir))[-1]["hmac_hex"]
    assert span["start"] == {"segment": cp["segment"], "record_id": cp["record_id"], "offset": cp["offset"]}
    assert ca.verify(log_dir, key, since=cp, jobs=2).ok and not ca.verify(log_dir, key).ok
    head = ca.head_checkpoint(ca.SpanResult(report, span), "later")
    assert head is not None and head["hmac"] == report.final_hmac_hex and ca.verify(log_dir, key, since=head).ok
    os.truncate(segment_path(log_dir, cp["segment"]), cp["offset"])  # the pin cut off: raised as verify() does
    raises(_native.CheckpointTruncatedError, lambda: ca.verify(log_dir, key, raise_on_violation=True, since=cp))


@pytest.mark.parametrize("call, exc, message", [
    (lambda d, cp: verify_span(d, KEY, checkpoint=cp, since=cp), ArgumentError,
     "checkpoint and since cannot be combined: since already pins a record"),
    (lambda d, cp: verify_span(d, OTHER_KEY, since=cp), _native.CheckpointKeyMismatchError, None),
    (lambda d, cp: verify_span(d, KEY, jobs=-1), ArgumentError, "jobs must be between 0 (one per CPU) and 256"),
    (lambda d, cp: verify_span(d, KEY, jobs="2"), TypeError, "verify_span() argument 'jobs' must be int, not str"),
    (lambda d, cp: verify_span(d, KEY, progress=bytearray(8)), ArgumentError,
     "progress must be a writable buffer of at least 16 bytes, 8-byte aligned"),
    (lambda d, cp: verify_span(d, KEY, progress=b"x" * 16), BufferError, None),  # read-only
])  # fmt: skip
def test_argument_refusals(log_dir, call, exc, message):
    write_records(log_dir, KEY, 2)
    cp = ca.checkpoint(log_dir, KEY, "t")
    raises(exc, lambda: call(log_dir, cp), *([message] if message else []))


def test_other_threads_run_while_it_walks(tmp_path, key):
    log_dir = str(tmp_path / "big")
    write_records(log_dir, key, 150_000, segment_size_bytes=4 << 20)
    ticks, stop, counters = [0], threading.Event(), bytearray(16)

    def spin() -> None:
        while not stop.is_set():
            ticks[0] += 1

    (spinner := threading.Thread(target=spin)).start()
    try:
        before = ticks[0]
        report, _ = verify_span(log_dir, key, jobs=2, progress=counters)
        during = ticks[0] - before
    finally:
        stop.set()
        spinner.join()
    assert report.ok and report.records_inspected >= 150_000
    # Read by this thread right after the call: the spinner only moved while the call had let go of the lock.
    assert during > 1000, during
    walked, segments = int.from_bytes(counters[:8], "little"), int.from_bytes(counters[8:], "little")
    assert (walked, segments) == (sum(os.path.getsize(segment_path(log_dir, i)) for i in range(segments)),
                                  report.segments_inspected)  # fmt: skip


def test_cli_since_state_and_jobs(tmp_path, key):
    log_dir = str(tmp_path / "log")
    write_records(log_dir, key, 8, segment_size_bytes=500)
    first = cli(tmp_path, "verify", "log", "--state", "st.json", "--jobs", "2")
    assert first.returncode == 0 and "state:      st.json now pins the head" in first.stdout
    assert first.stderr == ""  # no progress bar when stderr is not a terminal
    pinned = json.loads((tmp_path / "st.json").read_text())
    write_records(log_dir, key, 3, segment_size_bytes=500)
    again = cli(tmp_path, "verify", "log", "--state", "st.json", "--json")
    out = json.loads(again.stdout)
    assert again.returncode == 0 and out["ok"] and out["span"]["start"]["record_id"] == pinned["record_id"]
    assert json.loads((tmp_path / "st.json").read_text())["hmac"] == out["final_hmac_hex"] != pinned["hmac"]
    since = cli(tmp_path, "verify", "log", "--since", "st.json")
    assert since.returncode == 0 and "since:      s" in since.stdout and since.stderr == ""
    flip_byte(segment_path(log_dir, ca.load_checkpoint(tmp_path / "st.json")["segment"]), 150)
    state_before = (tmp_path / "st.json").read_text()
    failed = cli(tmp_path, "verify", "log", "--state", "st.json")
    assert failed.returncode == 1 and (tmp_path / "st.json").read_text() == state_before  # only a pass moves it
    assert cli(tmp_path, "verify", "log", "--jobs", "x").returncode == 2


# The bar is drawn from the counters by a second thread while the walk runs on this one.
def test_progress_bar_follows_the_counters(log_dir, key, capsys):
    from corvane_audit import cli

    write_records(log_dir, key, 3, segment_size_bytes=0)

    def run(counters: bytearray | None) -> ca.SpanResult:
        assert counters is not None
        counters[:16] = (123 << 20).to_bytes(8, "little") + (2).to_bytes(8, "little")
        time.sleep(0.8)  # past the bar's delay
        return ca.verify_span(log_dir, key)

    assert cli._with_progress(log_dir, run).report.ok
    drawn = capsys.readouterr().err
    assert "verifying" in drawn and "123M" in drawn and "2/3 segments" in drawn
