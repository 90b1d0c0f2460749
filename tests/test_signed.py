# Signed checkpoints in the signed-note format, checked against a verifier written here from the format's rules,
# and automatic anchoring on real logs.

import base64
import calendar
import hashlib
import logging
import os
import shutil
import stat
import time
from pathlib import Path

import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

import corvane_audit as ca
from conftest import KEY, OTHER_KEY, E, cli, frames, one_error_line, raises, segment_path, write_records

DASH = "\u2014 ".encode()
SIGNER = ca.SigningKey.generate("writer")


# The body of `note`, if one of its signature lines is a valid signature by `verifier_key`: the format's rules
# followed with another Ed25519 implementation.
def independent_open(note: bytes, verifier_key: str) -> bytes:
    name, hash_hex, key64 = verifier_key.split("+", 2)
    typed_key = base64.b64decode(key64, validate=True)
    key_hash = hashlib.sha256(name.encode() + b"\n" + typed_key).digest()[:4]
    body, _, line = note.removesuffix(b"\n").rpartition(b"\n\n")
    sig = base64.b64decode(line.removeprefix(DASH + name.encode() + b" "), validate=True)
    assert (typed_key[0], len(typed_key), key_hash.hex(), sig[:4]) == (1, 33, hash_hex, key_hash)
    Ed25519PublicKey.from_public_bytes(typed_key[1:]).verify(sig[4:], body + b"\n")
    return body + b"\n"


@pytest.fixture
def signer(tmp_path):
    (key := ca.SigningKey.generate("audit.example")).save(path := tmp_path / "signing.key")
    return key, path


@pytest.fixture
def note(log_dir, signer):
    write_records(log_dir, KEY, 5)
    return ca.checkpoint(log_dir, KEY, "2026-12-06T21:00:00.000Z", sign=signer[0]).encode()


def test_notes_and_keys_follow_the_format_both_ways(log_dir, signer, note):
    (key, path), body = signer, independent_open(note, signer[0].verifier.encode())
    assert body.decode() == (f"corvane-audit/{KEY.key_id_hex()}\nsegment 0\nrecord_id 4\n"
                             f"hmac {ca.verify(log_dir, KEY).final_hmac_hex}\nkey_id {KEY.key_id_hex()}\n"
                             "observed_at 2026-12-06T21:00:00.000Z\n")  # fmt: skip
    # The key file is the owner's alone, and its secret never shows in a repr.
    assert stat.S_IMODE(path.stat().st_mode) == 0o600 and path.read_text().strip().split("+", 4)[4] not in repr(key)
    # A note signed elsewhere opens here.
    raw = (other := Ed25519PrivateKey.generate()).public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)
    key_hash = hashlib.sha256(b"elsewhere\n\x01" + raw).digest()[:4]
    foreign = body + b"\n" + DASH + b"elsewhere " + base64.b64encode(key_hash + other.sign(body)) + b"\n"
    vkey = ca.VerifierKey.parse(f"elsewhere+{key_hash.hex()}+{base64.b64encode(bytes([1]) + raw).decode()}")
    assert ca.open_checkpoint(foreign, [vkey]).checkpoint["record_id"] == 4
    assert ca.verify(log_dir, KEY, checkpoint=ca.open_checkpoint(note, [key.verifier]), trust=[]).ok


# A damaged note, or (a text) a body out of shape signed by the trusted key -> why it is refused.
@pytest.mark.parametrize("damage, message", [
    (lambda n: n[: n.index(b"\n\n") + 1], "not signed: no signature lines"),
    (lambda n: n.replace(b"\n\n", b"\n"), "no empty line between the body and its signatures"),
    (lambda n: n[:-6] + b"\n", "not a name and a base64 signature"),
    (lambda n: n.replace(b"Z\n", b"Z\x1b[2J\n", 1), "line 6 holds a control character (U+001B)"),
    (lambda n: n + n[n.index(b"\n\n") + 2 :], "two signatures by audit.example+"),
    (lambda n: n[:-1], "the last signature line does not end with a newline"),
    (lambda n: b"x" * (1 << 16) + n, "too large to be a signed note"),
    ("o\nsegment 0\nrecord_id 4\n", "expected 6 lines"),
    (f"o\nsegment 65536\nrecord_id 4\nhmac {'ab' * 32}\nkey_id {'ab' * 32}\nobserved_at t\n", "out of range"),
])  # fmt: skip
def test_broken_notes_are_refused_saying_why(signer, note, damage, message):
    note = damage(note) if callable(damage) else signer[0].sign(damage)
    assert message in str(pytest.raises(ca.NoteError, ca.open_checkpoint, note, [signer[0].verifier]).value)


def test_every_altered_byte_and_every_other_key_is_refused(signer, note):
    trusted = [signer[0].verifier]
    for i in range(len(note)):
        raises(ca.NoteError, lambda i=i: ca.open_checkpoint(note[:i] + bytes([note[i] ^ 1]) + note[i + 1 :], trusted))
    other = ca.SigningKey.generate("audit.example")  # same name, other key
    raised = pytest.raises(ca.NoteError, ca.open_checkpoint, note, [other.verifier]).value
    assert "not signed by a trusted key (signed by audit.example+" in str(raised)
    # An extra signature by an unknown key is ignored; the trusted one decides.
    cosigned = note + other.sign(note[: note.index(b"\n\n") + 1].decode()).encode().split(b"\n\n")[1]
    assert ca.open_checkpoint(cosigned, trusted).origin.startswith("corvane-audit/")


def test_cli_keygen_signs_and_verifies_checkpoints(tmp_path, log_dir):
    write_records(log_dir, KEY, 3)
    done = cli(tmp_path, "keygen", "--signing", "ops", "-o", "sign.key")
    assert (vkey := done.stdout.strip()) == ca.SigningKey.load(tmp_path / "sign.key").verifier.encode()
    assert "PRIVATE" not in done.stdout + done.stderr and cli(tmp_path, "keygen", "--signing", "ops").returncode == 2
    assert "head s0r2" in cli(tmp_path, "checkpoint", log_dir, "--sign", "sign.key", "-o", "head.note").stdout
    (tmp_path / "vkey").write_text(vkey + "\n")
    ca.save_checkpoint(ca.checkpoint(log_dir, KEY), tmp_path / "head.json")
    held = "checkpoint: s0r2 still holds the pinned MAC"
    for args, status, message in [
        (("head.note", "--trust", vkey), 0, held), (("head.note", "--trust", "vkey"), 0, held),
        (("head.json",), 0, held),  # plain JSON keeps working
        (("head.note",), 2, "head.note: a signed note; give the verifier keys to trust"),
        (("head.note", "--trust", "nonsense"), 2, "--trust nonsense: not a verifier key"),
    ]:  # fmt: skip
        done = cli(tmp_path, "verify", log_dir, "--checkpoint", *args)
        assert done.returncode == status and message in (one_error_line(done) if status else done.stdout), done.stderr


def _notes(directory: Path) -> list[ca.Head]:
    return [ca.load_signed_checkpoint(p, [SIGNER.verifier]) for p in sorted(directory.glob("*.note"))]


def test_anchors_catch_cuts_and_rewrites_that_plain_verification_misses(tmp_path, log_dir):
    args = ["verify", log_dir, "--anchors", str(anchors := tmp_path / "anchors"), "--trust", SIGNER.verifier.encode()]

    def write(events: list[str], **anchor: int) -> None:
        with ca.Writer.open(log_dir, KEY, segment_size_bytes=4096,
                            anchor=ca.Anchor(SIGNER, anchors, **anchor) if anchor else None) as w:  # fmt: skip
            for i, event in enumerate(events):
                w.append({"actor": "a", "event": event, "payload": {"i": i}})

    def verdict(status: int, *needles: str) -> None:
        assert (done := cli(tmp_path, *args)).returncode == status and all(n in done.stdout for n in needles), needles

    write(["e"] * 95, records=10)
    heads, names = _notes(anchors), set(os.listdir(anchors))  # fmt: skip
    # A sink slower than the writer gets the newest head only.
    assert heads and heads[-1].checkpoint == ca._native.checkpoint(log_dir, KEY, heads[-1].checkpoint["observed_at"])
    verdict(0, "anchors:", "gaps:       none")
    assert (last := heads[-1].checkpoint["segment"]) >= 1
    os.truncate(segment_path(log_dir, last), frames(segment_path(log_dir, last))[-1][0])  # cut at a frame boundary
    verdict(1, "CheckpointTruncated")
    write(["after the cut"], records=1000)  # the new notes fork from the old ones
    verdict(1, "went back:", "two histories")
    for name in set(os.listdir(anchors)) - names:
        os.unlink(anchors / name)
    shutil.rmtree(log_dir)
    write(["forged"] * 95)  # history rewritten with the same HMAC key: only the anchor can tell
    verdict(1, "CheckpointMismatch")
    series = ca.check_anchors(anchors, [SIGNER.verifier], OTHER_KEY.key_id_hex())
    assert series.valid == 0 and all(why.startswith("belongs to another log") for _, why in series.refused)


def test_an_idle_writer_keeps_signing_its_head(tmp_path, log_dir):
    w = ca.Writer.open(log_dir, KEY, anchor=ca.Anchor(SIGNER, anchors := tmp_path / "anchors", records=3, seconds=0.2))
    for _ in range(3):
        w.append(E)
    time.sleep(1.3)
    assert len(heads := _notes(anchors)) >= 4 and {h.checkpoint["record_id"] for h in heads} == {2}
    assert len({h.checkpoint["observed_at"] for h in heads}) == len(heads)  # a new note each time
    w.append(E)
    w.close()
    assert _notes(anchors)[-1].checkpoint["record_id"] == 3 and w.anchor_stats().failures == 0


def test_gaps_and_age_are_reported(tmp_path, log_dir):
    write_records(log_dir, KEY, 2)
    (anchors := tmp_path / "anchors").mkdir()
    # The first two 15 s apart: more than the interval, within twice it, so not a gap.
    for n, stamp in enumerate(["2026-12-06T21:00:00.000Z", "2026-12-06T21:00:15.000Z", "2026-12-06T21:00:55.500Z"]):
        (anchors / f"{n}.note").write_text(ca.checkpoint(log_dir, KEY, stamp, sign=SIGNER))
    (anchors / "stray.note").write_text("hello\n")
    os.symlink(anchors / "2.note", anchors / "link.note")  # planted: never followed
    os.mkfifo(anchors / "fifo.note")
    now = calendar.timegm((2026, 12, 6, 21, 1, 0, 0, 0, 0)) + 0.5
    series = ca.check_anchors(anchors, [SIGNER.verifier], KEY.key_id_hex(), 10.0, now=now)
    assert series.valid == 3 and [name for name, _ in series.refused] == ["fifo.note", "link.note", "stray.note"]
    assert series.refused[2][1] == "not signed: no signature lines" and "regular" in series.refused[0][1]
    assert series.gaps == [("2026-12-06T21:00:15.000Z", "2026-12-06T21:00:55.500Z", 40.5)]
    # All three stand at one head: on a tie the first note stays the furthest.
    assert (series.newest_file, series.furthest_file, series.age_seconds) == ("2.note", "0.note", pytest.approx(5.0))
    done = cli(tmp_path, "verify", log_dir, "--anchors", "anchors", "--trust", SIGNER.verifier.encode())
    assert done.returncode == 0 and "refused:    stray.note: not signed" in done.stdout
    assert "gap:        2026-12-06T21:00:15.000Z to 2026-12-06T21:00:55.500Z: 40.5 s without a note" in done.stdout


def test_a_failing_sink_neither_loses_records_nor_stops_appends(log_dir, caplog):
    calls = []

    def sink(note: str) -> None:  # fails the first two times
        calls.append(note)
        if len(calls) <= 2:
            raise OSError("object store unreachable")

    caplog.set_level(logging.WARNING, logger="corvane_audit.anchor")
    with ca.Writer.open(log_dir, KEY, anchor=ca.Anchor(SIGNER, sink, records=5, seconds=0.1)) as w:
        for i in range(50):
            w.append({**E, "payload": {"i": i}})
            time.sleep(0.005)
        time.sleep(0.3)
        stats = w.anchor_stats()
    assert ca.verify(log_dir, KEY).records_inspected == 50
    assert stats.failures == 2 and stats.delivered >= 1 and isinstance(stats.last_error, OSError)
    assert "anchor sink failed (failure 1; retried at the next interval): object store unreachable" in caplog.text
    assert ca.open_checkpoint(calls[-1], [SIGNER.verifier]).checkpoint["record_id"] == 49


# The hook behind anchoring (its counting is seen through the anchors above): a failing hook never fails an append.
def test_a_failing_append_hook_is_reported_and_the_append_stands(log_dir, monkeypatch):
    unraisable = []
    monkeypatch.setattr("sys.unraisablehook", lambda u: unraisable.append(u.exc_value))
    with ca._native.Writer.open(log_dir, KEY) as w:
        w.set_append_hook(2, lambda: 1 / 0)
        assert [w.append(E) for _ in range(5)] == list(range(5))
    assert [type(e) for e in unraisable] == [ZeroDivisionError] * 2
