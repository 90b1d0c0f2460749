"""The corvane-audit command: argument parsing and printing over the library.

Exit status: 0 success (the log verified), 1 the log does not verify or its
data is damaged, 2 usage, key or I/O error. Errors are one line on stderr.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import secrets
import signal
import stat
import struct
import sys
import threading
import zlib
from collections.abc import Callable, Sequence
from typing import Any, NoReturn, TextIO

import corvane_audit as ca

PROG = "corvane-audit"
EXIT_OK, EXIT_VIOLATION, EXIT_ERROR = 0, 1, 2


class UsageError(Exception):
    """A problem with the command line or its inputs (exit 2)."""


class _Parser(argparse.ArgumentParser):
    # One line, no usage dump: errors are one line wherever they come from.
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see {self.prog} --help)")


# ---------------------------------------------------------------------------
# Keys


def _load_key(args: argparse.Namespace) -> ca.KeyHandle:
    if args.key_file is not None:
        text = _read_key_file(args.key_file)
        try:
            return ca.KeyHandle.from_hex(text)
        except ca.ArgumentError as exc:
            raise UsageError(f"key file {args.key_file}: {exc}") from exc
    if args.keychain is not None:
        service, _, account = args.keychain.partition(":")
        return ca.KeyHandle.from_keychain(service, account or "default")
    try:
        return ca.KeyHandle.from_env(args.key_env)
    finally:
        # Read once: no child this process starts inherits the key.
        os.environ.pop(args.key_env, None)


def _read_key_file(path: str) -> str:
    def refuse(reason: str) -> NoReturn:
        raise UsageError(f"cannot read key file {path}: {reason}")

    try:
        # Non-blocking, so that a FIFO is refused instead of waited on.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as exc:
        refuse(_reason(exc))
    with os.fdopen(fd, "rb") as f:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            refuse("not a regular file")
        try:
            return f.read(4096).decode("utf-8")
        except (OSError, UnicodeDecodeError) as exc:
            refuse(_reason(exc))


# Arguments that become record text, key names or checkpoint text: stored or
# looked up as UTF-8, which a name made of undecodable bytes is not.
_TEXT_ARGUMENTS = {"actor": "--actor", "event": "--event", "payload": "--payload", "session": "--session",
                   "observed_at": "--observed-at", "key_env": "--key-env", "keychain": "--keychain"}  # fmt: skip


def _check_text_arguments(args: argparse.Namespace) -> None:
    for dest, flag in _TEXT_ARGUMENTS.items():
        value = getattr(args, dest, None)
        if isinstance(value, str) and not _is_utf8(value):
            raise UsageError(f"argument {flag}: not valid UTF-8 text")


def _is_utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:  # undecodable bytes of argv arrive as lone surrogates
        return False
    return True


def _reason(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    return str(exc)


# ---------------------------------------------------------------------------
# Output


def _jsonable(value: Any) -> Any:
    """``value`` with bytes as lowercase hex, ready for json.dumps."""
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, dict):
        return {k: _jsonable(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_jsonable(v) for v in value]
    return value


def _dumps(value: Any) -> str:
    # ASCII-only: stored text is attacker-chosen, and escapes cannot steer a terminal.
    return json.dumps(_jsonable(value))


def _printable(text: str) -> str:
    """``text`` with control and format characters escaped.

    A stored actor or event may hold newlines, terminal escapes or bidi
    overrides meant to forge or hide lines of output; none reach the screen.
    """
    if text.isprintable() and "\\" not in text:
        return text
    # A backslash is escaped too, so that text that spells an escape is
    # never shown like the character escaped.
    return "".join(c if c.isprintable() and c != "\\" else c.encode("unicode_escape").decode("ascii") for c in text)


def _position(segment: int, record_id: int | None) -> str:
    return f"s{segment}" if record_id is None else f"s{segment}r{record_id}"


def _print_report(report: ca.VerifyReport, cp: ca.CheckpointDict | None, out: TextIO) -> None:
    lines = [
        f"verdict:    {report.compact}",
        f"log:        {report.log_dir}",
        f"key_id:     {report.key_id_hex}",
        f"inspected:  {_count(report.segments_inspected, 'segment')}, {_count(report.records_inspected, 'record')}",
    ]
    if report.final_hmac_hex is not None:
        lines.append(f"chain head: {report.final_hmac_hex}")
    if cp is not None and report.ok:
        where = _position(cp["segment"], cp["record_id"])
        lines.append(f"checkpoint: {where} still holds the pinned MAC (observed at {cp.get('observed_at', '')})")
    for v in _violations(report):
        where = _position(v["segment_index"], v["record_id"])
        lines.append(f"violation:  {v['kind']} at {where}, byte {v['byte_offset']}: {v['message']}")
    for line in lines:  # the checkpoint's text and the path are anyone's
        print(_printable(line), file=out)


def _violations(report: ca.VerifyReport) -> list[ca.ViolationDict]:
    return ([report.violation] if report.violation else []) + report.additional_violations


def _count(n: int, noun: str) -> str:
    return f"{n} {noun}" if n == 1 else f"{n} {noun}s"


def _record_line(record: ca.RecordDict) -> str:
    where = _position(record["segment_index"], record["record_id"])
    line = f"{where:<10} {record['ts_wall']}  {record['actor']}  {record['event']}"
    if record["payload"]:
        line += "  " + json.dumps(_jsonable(record["payload"]), ensure_ascii=False)
    return _printable(line)


def _record_json(record: ca.RecordDict) -> str:
    # The raw bytes fields have hex twins; keep only those.
    shown = {k: v for k, v in record.items() if k not in ("prev_hash", "hmac")}
    return _dumps(shown)


# ---------------------------------------------------------------------------
# Commands


def _segment_sizes(log_dir: str) -> list[int]:
    try:
        with os.scandir(log_dir) as entries:
            return [
                e.stat(follow_symlinks=False).st_size
                for e in entries
                if e.name.startswith("audit-") and e.name.endswith(".cbor") and e.is_file(follow_symlinks=False)
            ]
    except OSError:
        return []


def _with_progress(log_dir: str, run: Callable[[bytearray | None], ca.SpanResult]) -> ca.SpanResult:
    """``run(counters)`` with a progress bar on stderr, drawn by a second
    thread from the counters the walk updates. The walk stays on this thread
    (its report is bound to the thread that made it) and lets go of the
    interpreter lock while it reads, so the bar keeps moving."""
    try:
        from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]
    except ImportError:  # the bar is a nicety; verification does not need it
        return run(None)
    sizes = _segment_sizes(log_dir)
    counters = bytearray(16)
    finished = threading.Event()

    def draw() -> None:
        # Shown only when the walk takes longer than a moment.
        with tqdm(total=sum(sizes), unit="B", unit_scale=True, unit_divisor=1024, desc="verifying", file=sys.stderr,
                  delay=0.5, leave=False, dynamic_ncols=True) as bar:  # fmt: skip
            while not finished.wait(0.1):
                done, segments = struct.unpack("<QQ", counters)
                bar.set_postfix_str(f"{segments}/{len(sizes)} segments", refresh=False)
                bar.update(max(0, done - bar.n))

    painter = threading.Thread(target=draw, name="corvane-progress", daemon=True)
    painter.start()
    try:
        return run(counters)
    finally:
        finished.set()
        painter.join()


def _print_span(result: ca.SpanResult, out: TextIO) -> None:
    span = result.span
    if span["start"] is not None:
        start = span["start"]
        print(
            f"since:      {_position(start['segment'], start['record_id'])} (byte {start['offset']}), "
            "trusted from the checkpoint",
            file=out,
        )
    if span["end"] is not None and result.report.ok:
        print(f"head:       {_position(span['end']['segment'], span['end']['record_id'])}", file=out)
    if span["first_ts_wall"] is not None:
        times = f"{span['first_ts_wall']} .. {span['last_ts_wall']}"
        print(f"ts_wall:    {_printable(times)}", file=out)
    if span["pending_bytes"]:
        print(f"pending:    {span['pending_bytes']} bytes of a record still being appended", file=out)


def cmd_verify(args: argparse.Namespace) -> int:
    if args.trust or args.anchors is not None:
        return _verify_signed(args)
    key = _load_key(args)
    result: ca.SpanResult | None = None
    try:
        if args.since is not None or args.state is not None or args.jobs is not None or (
                not args.json and sys.stderr.isatty()):  # fmt: skip
            result = _verify_span(args, key)
            report = result.report
        else:
            report = ca.verify(args.log_dir, key, forensic=args.forensic, checkpoint=args.checkpoint)
    except ca.CheckpointKeyMismatchError as exc:
        raise UsageError(_wrong_key(args.log_dir, key, args.checkpoint) or str(exc)) from exc
    if report.ok and report.segments_inspected == 0:
        # Nothing verified: a mistyped path must not pass as an intact log.
        raise UsageError(f"LOG_DIR holds no segment files: {args.log_dir}")
    if report.violation is not None and _is_header_key_mismatch(report.violation):
        wrong = _wrong_key(args.log_dir, key, args.checkpoint)
        if wrong is not None:
            raise UsageError(wrong)
    if args.json:
        print(
            _dumps(ca.report_as_dict(report) if result is None else {**ca.report_as_dict(report), "span": result.span})
        )
    else:
        cp = ca.load_checkpoint(args.checkpoint) if args.checkpoint is not None and report.ok else None
        _print_report(report, cp, sys.stdout)
        if result is not None and (args.since is not None or args.state is not None):
            _print_span(result, sys.stdout)
        if args.state is not None and report.ok and result is not None and result.span["end"] is not None:
            print(_printable(f"state:      {args.state} now pins the head"))
        if _ends_in_torn_tail(args.log_dir, report):
            print(_TORN_TAIL_ADVICE)
    return EXIT_OK if report.ok else EXIT_VIOLATION


def _verify_span(args: argparse.Namespace, key: ca.KeyHandle) -> ca.SpanResult:
    if args.checkpoint is not None and (args.since is not None or args.state is not None):
        raise UsageError("--checkpoint cannot be combined with --since or --state (they pin a record already)")
    jobs = 1 if args.jobs is None else args.jobs

    def run(counters: bytearray | None) -> ca.SpanResult:
        if args.state is not None:
            return ca.verify_with_state(args.log_dir, key, args.state, jobs=jobs, forensic=args.forensic,
                                        progress=counters)  # fmt: skip
        return ca.verify_span(args.log_dir, key, args.forensic, checkpoint=args.checkpoint, since=args.since,
                              jobs=jobs, live=args.since is not None, progress=counters)  # fmt: skip

    # A bar for walks of the whole log; one from a checkpoint is over in a moment.
    whole = args.since is None and (args.state is None or not os.path.lexists(args.state))
    show = whole and not args.json and sys.stderr.isatty()
    return _with_progress(args.log_dir, run) if show else run(None)


_TORN_TAIL_ADVICE = ("the last record is incomplete: a writer crashed or is still writing; "
                     "opening the log for writing, e.g. `corvane-audit append`, cuts it")  # fmt: skip


def _ends_in_torn_tail(log_dir: str, report: ca.VerifyReport) -> bool:
    # A torn tail is the only corrupt record without a record_id.
    torn = [v["segment_index"] for v in _violations(report) if v["kind"] == "RecordCorrupt" and v["record_id"] is None]
    return bool(torn) and torn[-1] == ca.Reader.open(log_dir).segments()[-1]


def _is_header_key_mismatch(violation: ca.ViolationDict) -> bool:
    return violation["kind"] == "KeyIdMismatch" and violation["record_id"] is None


def _wrong_key(log_dir: str, key: ca.KeyHandle, checkpoint_file: str | None) -> str | None:
    """Why the key does not fit, each key_id labelled by where it came from;
    None when neither the log's headers nor the checkpoint show another key."""
    given = key.key_id_hex()
    log_id = _log_key_id(log_dir)
    taken = None
    if checkpoint_file is not None:
        taken = str(ca.load_checkpoint(checkpoint_file).get("key_id", ""))
        taken = None if taken.lower() == given else taken
    message = None
    if log_id is not None and log_id != given:
        message = f"this log was written with key_id {log_id}; the given key's id is {given}"
    if taken is None:
        return message
    if message is not None:
        return f"{message}; checkpoint {checkpoint_file} was taken with key_id {taken}"
    as_log = ", as is this log's" if log_id == given else ""
    return f"checkpoint {checkpoint_file} was taken with key_id {taken}; the given key's id is {given}{as_log}"


def _log_key_id(log_dir: str) -> str | None:
    """The key_id that every segment header of the log carries, or None when
    they differ or a header does not check out (the verifier says why)."""
    found = set()
    for index in ca.Reader.open(log_dir).segments():
        header = _read_header(os.path.join(log_dir, f"audit-{index:04d}.cbor"))
        if header is None:
            return None
        found.add(header[8:40].hex())  # magic, version, index, then the key_id
    return found.pop() if len(found) == 1 else None


def _read_header(path: str) -> bytes | None:
    """The 80-byte segment header at `path` if its magic and CRC-32 hold."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None
        header = os.pread(fd, 80, 0)
    except OSError:
        return None
    finally:
        os.close(fd)
    if len(header) != 80 or header[:4] != b"CVAU":
        return None
    return header if zlib.crc32(header[:72]) == int.from_bytes(header[72:76], "little") else None


def cmd_checkpoint(args: argparse.Namespace) -> int:
    if args.sign is not None:
        return _checkpoint_signed(args)
    if args.origin is not None:
        raise UsageError("--origin is the first line of a signed note: it needs --sign FILE")
    key = _load_key(args)
    try:
        cp = ca.checkpoint(args.log_dir, key, args.observed_at)
    except ca.VerificationFailed:
        wrong = _wrong_key(args.log_dir, key, None)
        if wrong is not None:
            raise UsageError(wrong) from None
        raise
    if args.output is None or args.output == "-":
        print(json.dumps(cp, indent=2))
    else:
        ca.save_checkpoint(cp, args.output)
        where = _position(cp["segment"], cp["record_id"])
        print(_printable(f"wrote {args.output}: head {where} {cp['hmac']}"))
    return EXIT_OK


def cmd_show(args: argparse.Namespace) -> int:
    reader = ca.Reader.open(args.log_dir)
    records = reader.follow(args.interval) if args.follow else iter(reader)
    line = _record_json if args.json else _record_line
    # A follower is mostly stopped by a service manager's SIGTERM: end as on
    # Ctrl-C, so the reader's temporary files go too.
    on_term = args.follow and threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGTERM, signal.default_int_handler) if on_term else None
    try:
        for record in records:
            print(line(record), flush=args.follow)
    except KeyboardInterrupt:
        if not args.follow:
            raise
    finally:
        if on_term:
            signal.signal(signal.SIGTERM, signal.SIG_DFL if previous is None else previous)
    return EXIT_OK


def cmd_append(args: argparse.Namespace) -> int:
    try:
        payload = json.loads(args.payload) if args.payload is not None else {}
    except json.JSONDecodeError as exc:
        raise UsageError(f"--payload is not valid JSON: {exc}") from exc
    except RecursionError as exc:
        raise UsageError("--payload is nested too deeply: a record allows 16 nesting levels") from exc
    except ValueError as exc:  # an integer past the interpreter's digit limit
        raise UsageError("--payload holds an integer out of range: payload integers are 64-bit") from exc
    if not isinstance(payload, dict):
        raise UsageError("--payload must be a JSON object")
    key = _load_key(args)
    with ca.Writer.open(args.log_dir, key, args.session, args.segment_size) as writer:
        try:
            record_id = writer.append({"actor": args.actor, "event": args.event, "payload": payload})
        except TypeError as exc:  # a payload value the log cannot hold (null, a float)
            raise UsageError(f"--payload: {exc}") from exc
        except UnicodeEncodeError as exc:  # "\ud800" in a JSON string: not text a record can hold
            raise UsageError("--payload holds a lone surrogate (\\u escape), which is not valid UTF-8") from exc
        writer.flush()
    segment = ca.Reader.open(args.log_dir).segments()[-1]
    print(f"appended {_position(segment, record_id)}")
    return EXIT_OK


def cmd_keygen(args: argparse.Namespace) -> int:
    if args.signing is not None:
        return _keygen_signing(args)
    key_hex = secrets.token_hex(32)
    if args.output is None:
        print(key_hex)
        return EXIT_OK
    # Owner-only, and never over an existing key: losing one orphans its logs.
    fd = os.open(args.output, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(key_hex + "\n")
    key_id = ca.KeyHandle.from_hex(key_hex).key_id_hex()
    print(f"wrote {args.output}: key_id {key_id}")
    return EXIT_OK


# ---------------------------------------------------------------------------
# Signed checkpoints


def _keygen_signing(args: argparse.Namespace) -> int:
    if args.output is None:
        raise UsageError("keygen --signing needs -o FILE: a signing key is never printed")
    try:
        key = ca.SigningKey.generate(args.signing)
    except ca.NoteError as exc:
        raise UsageError(f"--signing: {exc}") from exc
    key.save(args.output)
    print(key.verifier.encode())
    return EXIT_OK


def _trusted_key(text: str) -> ca.VerifierKey:
    """A verifier key given as its text, or the name of a file holding it."""
    try:
        return ca.VerifierKey.parse(text)
    except ca.NoteError as exc:
        if not os.path.isfile(text):
            raise UsageError(f"--trust {text}: {exc}") from exc
    try:
        with open(text, encoding="ascii") as f:
            return ca.VerifierKey.parse(f.read(4096))
    except (OSError, UnicodeDecodeError) as exc:
        raise UsageError(f"cannot read verifier key file {text}: {_reason(exc)}") from exc
    except ca.NoteError as exc:
        raise UsageError(f"verifier key file {text}: {exc}") from exc


def _checkpoint_signed(args: argparse.Namespace) -> int:
    signing_key = ca.SigningKey.load(args.sign)
    note = ca.checkpoint(args.log_dir, _load_key(args), args.observed_at, sign=signing_key, origin=args.origin)
    if args.output is None:
        print(note, end="")
        return EXIT_OK
    ca.save_checkpoint(note, args.output)
    cp = ca.open_checkpoint(note, [signing_key.verifier]).checkpoint
    print(
        f"wrote {args.output}: head {_position(cp['segment'], cp['record_id'])} {cp['hmac']}, "
        f"signed by {signing_key.verifier.name}"
    )
    return EXIT_OK


def _verify_signed(args: argparse.Namespace) -> int:
    if not args.trust:
        raise UsageError("--anchors needs --trust VERIFIER_KEY")
    if (args.checkpoint is None) == (args.anchors is None):
        raise UsageError("--trust needs one of --checkpoint NOTE or --anchors DIR")
    trusted = [_trusted_key(t) for t in args.trust]
    key = _load_key(args)
    series = None
    if args.anchors is not None:
        try:
            series = ca.check_anchors(args.anchors, trusted, key.key_id_hex(), args.anchor_interval)
        except OSError as exc:
            raise UsageError(f"cannot list anchors in {args.anchors}: {_reason(exc)}") from exc
        if series.furthest is None:
            why = f"; {series.refused[0][0]}: {series.refused[0][1]}" if series.refused else ""
            raise UsageError(f"no valid signed note of this log in {args.anchors} ({len(series.refused)} refused{why})")
        head = series.furthest
    else:
        head = ca.load_signed_checkpoint(args.checkpoint, trusted)
    report = ca.verify(args.log_dir, key, forensic=args.forensic, checkpoint=head, trust=trusted)
    if args.json:
        out = ca.report_as_dict(report)
        out["checkpoint"] = dict(head.checkpoint, origin=head.origin)
        if series is not None:
            out["anchors"] = {
                "valid": series.valid,
                "refused": [list(r) for r in series.refused],
                "newest_file": series.newest_file,
                "age_seconds": round(series.age_seconds, 3),
                "verified_against": series.furthest_file,
                "gaps": [list(g) for g in series.gaps],
                "regressions": [list(r) for r in series.regressions],
            }
        print(_dumps(out))
    else:
        _print_report(report, head.checkpoint, sys.stdout)
        if series is not None:
            _print_anchors(series, args.anchors, args.anchor_interval, sys.stdout)
    # A head that went back is a cut, even where the log agrees with the note verified against.
    return EXIT_OK if report.ok and (series is None or not series.regressions) else EXIT_VIOLATION


def _print_anchors(series: ca.AnchorSeries, directory: str, interval: float, out: TextIO) -> None:
    lines = [f"anchors:    {_count(series.valid, 'valid note')} in {directory}, {len(series.refused)} refused"]
    lines += [f"refused:    {name}: {why}" for name, why in series.refused[:5]]
    if len(series.refused) > 5:
        lines.append(f"refused:    ... and {len(series.refused) - 5} more")
    assert series.newest is not None
    lines.append(
        f"newest:     {series.newest_file}, observed at {series.newest.checkpoint['observed_at']}, "
        f"{series.age_seconds:.1f} s old"
    )
    if series.furthest_file != series.newest_file:
        lines.append(f"verified:   against {series.furthest_file}, the first note of the furthest head")
    lines += [f"went back:  {name}: {what}" for name, what in series.regressions[:20]]
    limit = 2 * interval
    if not series.gaps:
        lines.append(f"gaps:       none longer than {limit:g} s")
    for start, end, seconds in series.gaps[:20]:
        lines.append(f"gap:        {start} to {end}: {seconds:.1f} s without a note (limit {limit:g} s)")
    if len(series.gaps) > 20:
        lines.append(f"gap:        ... and {len(series.gaps) - 20} more")
    for line in lines:
        print(_printable(line), file=out)


# ---------------------------------------------------------------------------
# Parser

_DESCRIPTION = """\
Write, read and verify tamper-evident audit logs.

A log is a directory of segment files whose records are MACed with a
32-byte key and chained to one another. `verify` proves, with the key, that
no stored record was edited, inserted, reordered or removed. A checkpoint,
handed to a party that does not control the log, also proves later that
nothing was cut off the end.
"""

_EPILOG = """\
keys (for verify, checkpoint, append), in this order of precedence:
  --key-file PATH            a file holding the key as 64 hex characters
  --keychain SERVICE[:ACCOUNT]
                             the system key store (macOS Keychain, Secret
                             Service on Linux); a random key is created there
                             on first use; ACCOUNT defaults to "default"
  --key-env VAR              an environment variable holding 64 hex
                             characters (default CORVANE_AUDIT_KEY_HEX)

exit status:
  0  success; for verify: the log verified
  1  the log does not verify, or its data is damaged
  2  usage error, bad key or checkpoint, I/O error

examples:
  corvane-audit keygen -o audit.key
  corvane-audit append /var/log/app-audit --key-file audit.key --actor alice --event login
  corvane-audit verify /var/log/app-audit --key-file audit.key
  corvane-audit checkpoint /var/log/app-audit --key-file audit.key -o head.json
  corvane-audit verify /var/log/app-audit --key-file audit.key --checkpoint head.json
  corvane-audit verify /var/log/app-audit --key-file audit.key --state /var/lib/audit-check/head.json
  corvane-audit show /var/log/app-audit --follow
"""


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:  # not a number, or more digits than the interpreter converts
        value = 0
    if not 0 < value < 1 << 64:
        shown = text if len(text) <= 40 else text[:37] + "..."
        raise argparse.ArgumentTypeError(f"expected a positive integer below 2^64, got {shown!r}")
    return value


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= 256:
        raise argparse.ArgumentTypeError(f"expected a number of threads from 0 to 256, got {text!r}")
    return value


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, got {text!r}")
    return value


# fmt: off
# One option per statement, its help text aligned beneath it: a table kept compact.
def build_parser() -> argparse.ArgumentParser:
    keys = _Parser(add_help=False)
    group = keys.add_argument_group("key")
    choice = group.add_mutually_exclusive_group()
    choice.add_argument("--key-env", metavar="VAR", default="CORVANE_AUDIT_KEY_HEX",
                        help="read the key as 64 hex characters from VAR (default: %(default)s)")
    choice.add_argument("--key-file", metavar="PATH", help="read the key as 64 hex characters from PATH")
    choice.add_argument("--keychain", metavar="SERVICE[:ACCOUNT]",
                        help="load the key from the system key store, creating it on first use")

    parser = _Parser(prog=PROG, description=_DESCRIPTION, epilog=_EPILOG,
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version",
                        version=f"{PROG} {ca.__version__} (log format {ca.format_version()}, core {ca.core_version()})")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=_Parser)

    def command(name: str, help: str, description: str, *, with_key: bool) -> argparse.ArgumentParser:
        return commands.add_parser(name, help=help, description=description, parents=[keys] if with_key else [],
                                   formatter_class=argparse.RawDescriptionHelpFormatter)

    p = command("verify", "verify a log with its key",
                "Verify every record and segment of LOG_DIR with the key and print the verdict.\n"
                "Exit 0 when the log verifies, 1 when it does not.", with_key=True)
    p.add_argument("log_dir", metavar="LOG_DIR")
    p.add_argument("--checkpoint", metavar="FILE",
                   help="a checkpoint file taken earlier: also prove that the pinned record is still "
                        "there with the same MAC (nothing rewritten, nothing cut off the end)")
    p.add_argument("--forensic", action="store_true",
                   help="keep going after the first violation and list every one")
    p.add_argument("--json", action="store_true", help="print the report as one JSON object")
    p.add_argument("--trust", metavar="VERIFIER_KEY", action="append", default=[],
                   help="a verifier key (or a file holding one) whose signed notes are believed; "
                        "with it, --checkpoint names a signed note (may be repeated)")
    p.add_argument("--anchors", metavar="DIR",
                   help="verify with the newest valid signed note in DIR (needs --trust) and report "
                        "its age and any gap in the series; a head that went back fails (exit 1)")
    p.add_argument("--anchor-interval", metavar="SECONDS", type=_positive_float, default=10.0,
                   help="the anchoring interval: gaps longer than twice this are reported (default: %(default)s)")
    start = p.add_mutually_exclusive_group()
    start.add_argument("--since", metavar="CHECKPOINT_FILE",
                       help="trust the record this checkpoint pins and verify only what follows it (it must "
                            "still be there with the same MAC); safe while a writer appends")
    start.add_argument("--state", metavar="FILE",
                       help="like --since with the checkpoint in FILE (everything when FILE does not exist); "
                            "when the log verifies, FILE is replaced atomically by a checkpoint of the new "
                            "head. Keep FILE where the log's writer cannot change it")
    p.add_argument("--jobs", metavar="N", type=_jobs,
                   help="verify segments on N threads (0: one per CPU); the verdict does not depend on it")
    p.set_defaults(run=cmd_verify)

    p = command("checkpoint", "pin the chain head of a verified log",
                "Verify LOG_DIR, then print its chain head as a checkpoint (JSON).\n"
                "Give the checkpoint to a party that does not control the log; a copy\n"
                "kept beside the log proves nothing.", with_key=True)
    p.add_argument("log_dir", metavar="LOG_DIR")
    p.add_argument("-o", "--output", metavar="FILE", help="write the checkpoint to FILE (atomically) instead")
    p.add_argument("--observed-at", metavar="TEXT",
                   help="free text stored in the checkpoint (default: the current UTC time)")
    p.add_argument("--sign", metavar="FILE",
                   help="write a signed note instead of JSON, signed with the key in FILE (from keygen --signing)")
    p.add_argument("--origin", metavar="TEXT",
                   help="the signed note's first line (default: corvane-audit/<key_id hex>)")
    p.set_defaults(run=cmd_checkpoint)

    p = command("show", "print the records of a log (no key needed)",
                "Print every record of LOG_DIR, one per line. Reading needs no key and\n"
                "proves nothing; use verify for that.", with_key=False)
    p.add_argument("log_dir", metavar="LOG_DIR")
    p.add_argument("--json", action="store_true",
                   help="print JSON lines: every field of each record, bytes as lowercase hex")
    p.add_argument("-f", "--follow", action="store_true",
                   help="keep printing records as they are appended, until interrupted")
    p.add_argument("--interval", metavar="SECONDS", type=_positive_float, default=0.25,
                   help="how often --follow looks for new records (default: %(default)s)")
    p.set_defaults(run=cmd_show)

    p = command("append", "append one record",
                "Append one record with the current time to LOG_DIR (created if missing)\n"
                "and make it durable. Prints its position, s<segment>r<record_id>.", with_key=True)
    p.add_argument("log_dir", metavar="LOG_DIR")
    p.add_argument("--actor", required=True, help="who acted")
    p.add_argument("--event", required=True, help="what happened")
    p.add_argument("--payload", metavar="JSON",
                   help="a JSON object of details; values: strings, integers, booleans, arrays, objects")
    p.add_argument("--session", metavar="HEX", help="32 hex characters (default: a random session id)")
    p.add_argument("--segment-size", metavar="BYTES", type=_positive_int,
                   help="rotate to a new segment file past this size (default: 64 MiB)")
    p.set_defaults(run=cmd_append)

    p = command("keygen", "print a fresh random key",
                "Print a fresh random 32-byte key as 64 hex characters.", with_key=False)
    p.add_argument("-o", "--output", metavar="FILE",
                   help="write the key to FILE instead, readable by its owner only; never overwrites")
    p.add_argument("--signing", metavar="NAME",
                   help="make an Ed25519 signing key named NAME for signed checkpoints instead: written "
                        "to -o FILE (required), its verifier key printed")
    p.set_defaults(run=cmd_keygen)
    return parser
# fmt: on


def main(argv: Sequence[str] | None = None) -> int:
    log_dir = ""
    for stream in (sys.stdout, sys.stderr):
        # What the terminal cannot encode is shown escaped, never an error
        # after half a report.
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors="backslashreplace")
    try:
        args = build_parser().parse_args(argv)
        _check_text_arguments(args)
        log_dir = getattr(args, "log_dir", "")
        status: int = args.run(args)
        return status
    except UsageError as exc:
        return _fail(str(exc), EXIT_ERROR)
    except ca.VerificationFailed as exc:  # damaged data, or a refused checkpoint
        return _fail(str(exc), EXIT_VIOLATION)
    except ca.IoFailure as exc:
        # The native texts carry the system's reason but not always the path.
        message = str(exc)
        return _fail(message if not log_dir or log_dir in message else f"{log_dir}: {message}", EXIT_ERROR)
    except ca.CorvaneAuditError as exc:
        return _fail(str(exc), EXIT_ERROR)
    except OSError as exc:
        if isinstance(exc, BrokenPipeError):
            return _closed_stdout()
        where = f"{exc.filename}: " if exc.filename else ""
        return _fail(f"{where}{_reason(exc)}", EXIT_ERROR)
    except KeyboardInterrupt:
        return 130
    except Exception as exc:  # a bug, or input no check above foresaw: still one line
        return _fail(f"unexpected {type(exc).__name__}: {exc}", EXIT_ERROR)


def _fail(message: str, status: int) -> int:
    print(f"{PROG}: {_printable(message)}", file=sys.stderr)
    return status


def _closed_stdout() -> int:
    # The reader went away (`show | head`). Point stdout at /dev/null so the
    # interpreter's final flush does not fail again.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
    return EXIT_ERROR


if __name__ == "__main__":
    raise SystemExit(main())
