"""verify() and checkpoint() over path objects, and checkpoint files."""

from __future__ import annotations

import json
import os
import stat
import tempfile
from collections.abc import Iterable, Mapping
from typing import Any, NamedTuple, cast, overload

from corvane_audit import _native, _note
from corvane_audit._clock import utc_timestamp
from corvane_audit._log import fspath_str
from corvane_audit._types import CheckpointDict, SpanDict, StrPath, ViolationDict

# A checkpoint file is a few hundred bytes; anything far larger is not one,
# and is not worth reading into memory to find out.
_MAX_CHECKPOINT_FILE = 1 << 16


def verify(
    log_dir: StrPath,
    key: _native.KeyHandle,
    forensic: bool = False,
    raise_on_violation: bool = False,
    checkpoint: Mapping[str, Any] | StrPath | _note.Head | None = None,
    trust: Iterable[_note.VerifierKey] | None = None,
    *,
    since: Mapping[str, Any] | StrPath | None = None,
    jobs: int | None = None,
    live: bool = False,
) -> _native.VerifyReport:
    """Verify the log directory with the key and return a report.

    ``checkpoint`` is None, a checkpoint dict, or the path of a checkpoint
    file written by ``save_checkpoint`` (or ``corvane-audit checkpoint -o``).
    With a checkpoint the report also proves that the log still holds the
    pinned record with the same MAC: nothing was rewritten or cut off. A
    malformed checkpoint raises ``ArgumentError``; a file is named in the
    message. With ``raise_on_violation`` a failing log raises the
    ``VerificationFailed`` subclass of its first violation.

    With ``trust`` (verifier keys), ``checkpoint`` is the path of a signed
    note: one whose signature does not hold under one of those keys raises
    ``NoteError`` before the log is read. A ``Head`` (from
    ``open_checkpoint``) is used as it is.

    ``since``, ``jobs`` and ``live`` are those of ``verify_span``, whose
    report this returns when any of them is given.
    """
    if isinstance(checkpoint, _note.Head):  # opened, so its signature held
        checkpoint = dict(checkpoint.checkpoint)
    elif trust is not None:
        if checkpoint is None or isinstance(checkpoint, Mapping):
            raise _native.ArgumentError("trusted keys were given but no signed note to check")
        checkpoint = dict(_note.load_signed_checkpoint(checkpoint, list(trust)).checkpoint)
    if since is not None or jobs is not None or live:
        return verify_span(
            log_dir,
            key,
            forensic,
            raise_on_violation,
            checkpoint,
            since=since,
            jobs=1 if jobs is None else jobs,
            live=live,
        ).report
    path = fspath_str(log_dir)
    if checkpoint is None or isinstance(checkpoint, dict):
        return _native.verify(path, key, forensic, raise_on_violation, checkpoint)
    if isinstance(checkpoint, Mapping):
        return _native.verify(path, key, forensic, raise_on_violation, dict(checkpoint))
    file = fspath_str(checkpoint)
    loaded = load_checkpoint(file)
    try:
        return _native.verify(path, key, forensic, raise_on_violation, dict(loaded))
    except _native.CheckpointKeyMismatchError:
        raise
    except _native.ArgumentError as exc:
        # The dict came from the file: say which file is malformed.
        raise _native.ArgumentError(f"checkpoint file {file}: {exc}") from exc


class SpanResult(NamedTuple):
    """A report and what its walk covered (``SpanDict``)."""

    report: _native.VerifyReport
    span: SpanDict


def _checkpoint_dict(value: Mapping[str, Any] | StrPath) -> tuple[dict[str, Any], str | None]:
    """A checkpoint argument as a dict, and the file it came from, if any."""
    if isinstance(value, Mapping):
        return dict(value), None
    file = fspath_str(value)
    return dict(load_checkpoint(file)), file


def verify_span(
    log_dir: StrPath,
    key: _native.KeyHandle,
    forensic: bool = False,
    raise_on_violation: bool = False,
    checkpoint: Mapping[str, Any] | StrPath | None = None,
    *,
    since: Mapping[str, Any] | StrPath | None = None,
    jobs: int = 1,
    live: bool = False,
    progress: bytearray | None = None,
) -> SpanResult:
    """Verify as ``verify`` does; return the report and what was proved.

    ``since`` (a checkpoint dict or file) starts at the record it pins: it
    must still be there with the pinned MAC, and everything after it is
    verified; nothing before it is read, so the cost is what was appended
    since. ``jobs`` walks segments on that many threads (0: one per CPU)
    with the same report as one walk. ``live`` verifies up to the size the
    last segment had when its walk started: a record a writer is appending
    right then is pending, not damage. The interpreter lock is released
    while the log is read.
    """
    path = fspath_str(log_dir)
    files: dict[str, str] = {}
    loaded: dict[str, dict[str, Any] | None] = {"checkpoint": None, "since": None}
    for name, value in (("checkpoint", checkpoint), ("since", since)):
        if value is not None:
            loaded[name], file = _checkpoint_dict(value)
            if file is not None:
                files[name] = file
    try:
        report, span = _native.verify_span(
            path,
            key,
            forensic,
            raise_on_violation,
            loaded["checkpoint"],
            since=loaded["since"],
            jobs=jobs,
            live=live,
            progress=progress,
        )
    except _native.CheckpointKeyMismatchError:
        raise
    except _native.ArgumentError as exc:
        # The binding names the argument a malformed dict was given as.
        file = files.get(getattr(exc, "argument", ""))
        if file is None:
            raise
        raise _native.ArgumentError(f"checkpoint file {file}: {exc}") from exc
    return SpanResult(report, span)


def head_checkpoint(result: SpanResult, observed_at: str | None = None) -> CheckpointDict | None:
    """A checkpoint of the head a verification that passed ended on, with the
    offset of its frame; None when it failed or walked no record."""
    report, end = result.report, result.span["end"]
    if not report.ok or end is None or report.final_hmac_hex is None:
        return None
    return {
        "format": "corvane-audit-checkpoint/v1",
        "key_id": report.key_id_hex,
        "segment": end["segment"],
        "record_id": end["record_id"],
        "hmac": report.final_hmac_hex,
        "observed_at": utc_timestamp() if observed_at is None else observed_at,
        "offset": end["offset"],
    }


def verify_with_state(
    log_dir: StrPath, key: _native.KeyHandle, state: StrPath, *, jobs: int = 1, forensic: bool = False,
    progress: bytearray | None = None,
) -> SpanResult:  # fmt: skip
    """Verify what was appended since the checkpoint in ``state`` (all of the
    log when the file does not exist yet), live, and when the log verifies
    replace ``state`` atomically with a checkpoint of the new head.

    The state file is a trust anchor: keep it where the log's writer cannot
    change it, or a rewritten log can come with a matching state."""
    file = fspath_str(state)
    since = file if os.path.lexists(file) else None
    result = verify_span(log_dir, key, forensic, since=since, jobs=jobs, live=True, progress=progress)
    head = head_checkpoint(result)
    if head is not None:
        save_checkpoint(head, file)
    return result


@overload
def checkpoint(
    log_dir: StrPath,
    key: _native.KeyHandle,
    observed_at: str | None = None,
    *,
    sign: None = None,
    origin: str | None = None,
) -> CheckpointDict: ...
@overload
def checkpoint(
    log_dir: StrPath,
    key: _native.KeyHandle,
    observed_at: str | None = None,
    *,
    sign: _note.SigningKey,
    origin: str | None = None,
) -> str: ...
def checkpoint(
    log_dir: StrPath,
    key: _native.KeyHandle,
    observed_at: str | None = None,
    *,
    sign: _note.SigningKey | None = None,
    origin: str | None = None,
) -> CheckpointDict | str:
    """Verify the log and return its chain head as a checkpoint dict.

    ``observed_at`` is free text kept in the checkpoint (default: the current
    UTC time). Hand the checkpoint to a party that does not control the log;
    a copy kept beside the log proves nothing, since both can be rewritten.

    With ``sign`` (a ``SigningKey``) the result is the checkpoint as a
    signed note (text) instead, whose first line is ``origin`` (default
    ``corvane-audit/<key_id hex>``); anyone holding the verifier key can
    check it, and nobody without the signing key can forge one.

    A dict also carries the ``offset`` of the head's frame, so that
    ``verify(since=...)`` finds it without walking its segment; readers that
    do not know the key ignore it.
    """
    text = utc_timestamp() if observed_at is None else observed_at
    if sign is not None:
        # Refuse a text the note cannot carry before the log is read.
        _note.check_field("observed_at", text)
        if origin is not None:
            _note.check_field("origin", origin)
    path = fspath_str(log_dir)
    cp = _native.checkpoint(path, key, text)
    if sign is not None:
        return _note.sign_checkpoint(cp, sign, origin)
    try:
        _, span = _native.verify_span(path, key, since=dict(cp), live=True)
    except _native.CorvaneAuditError:
        return cp  # the offset is a convenience; the checkpoint stands without it
    if span["start"] is not None:
        cp["offset"] = span["start"]["offset"]
    return cp


def save_checkpoint(cp: Mapping[str, Any] | str, path: StrPath) -> None:
    """Write a checkpoint, atomically: readers see the old file or the new
    one, never a part, and the new one survives a crash once this returns.
    A dict is written as JSON, a signed note (str) as it is.

    A symbolic link is written through: its target is replaced, by a
    temporary file made beside it. A path that names anything but a regular
    file (a directory, a device, a FIFO) raises ``ArgumentError``.
    """
    data = cp.encode() if isinstance(cp, str) else (json.dumps(dict(cp), indent=2) + "\n").encode()
    write_atomically(fspath_str(path), data)


def write_atomically(file: str, data: bytes) -> None:
    """Replace the regular file at ``file`` (through a link, its target) with
    ``data`` through a synced temporary file beside it."""
    try:
        mode = _regular_file_mode(os.stat(file), file, "cannot write checkpoint to")
    except FileNotFoundError:
        mode = 0o644  # a checkpoint is no secret; it is meant to be handed out
    # The temporary file goes beside the link's target, never beside the link
    # or into the system's temporary directory: a rename within one directory
    # replaces the target and never crosses file systems.
    target = os.path.realpath(file)
    directory = os.path.dirname(target)
    fd, temp = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fchmod(f.fileno(), mode)
            os.fsync(f.fileno())
        os.replace(temp, target)
    except BaseException:
        try:
            os.unlink(temp)
        except FileNotFoundError:
            pass
        raise
    _fsync_dir(directory)


def _regular_file_mode(st: os.stat_result, file: str, doing: str) -> int:
    if not stat.S_ISREG(st.st_mode):
        raise _native.ArgumentError(f"{doing} {file}: not a regular file")
    return stat.S_IMODE(st.st_mode)


def _fsync_dir(directory: str) -> None:
    fd = os.open(directory, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def load_checkpoint(path: StrPath) -> CheckpointDict:
    """Read a checkpoint file back as a dict.

    An unreadable file, or one that is not a JSON object, raises
    ``ArgumentError`` naming the file. The fields themselves are checked
    when the dict is passed to ``verify``.
    """
    file = fspath_str(path)
    try:
        # Non-blocking, so that a FIFO is refused instead of waited on.
        fd = os.open(file, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as exc:
        raise _native.ArgumentError(f"cannot read checkpoint file {file}: {exc.strerror or exc}") from exc
    with os.fdopen(fd, "rb") as f:
        _regular_file_mode(os.fstat(fd), file, "cannot read checkpoint file")
        try:
            data = f.read(_MAX_CHECKPOINT_FILE + 1)
        except OSError as exc:
            raise _native.ArgumentError(f"cannot read checkpoint file {file}: {exc.strerror or exc}") from exc
    if len(data) > _MAX_CHECKPOINT_FILE:
        raise _native.ArgumentError(f"checkpoint file {file}: too large to be a checkpoint")
    if b"\n\n\xe2\x80\x94 " in data:
        raise _native.ArgumentError(f"checkpoint file {file}: a signed note; give the verifier keys to trust")
    try:
        value = json.loads(data)
    except RecursionError as exc:
        raise _native.ArgumentError(f"checkpoint file {file}: not a checkpoint (JSON nested too deeply)") from exc
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise _native.ArgumentError(f"checkpoint file {file}: not valid JSON ({exc})") from exc
    except ValueError as exc:  # an integer past the interpreter's digit limit
        raise _native.ArgumentError(f"checkpoint file {file}: not a checkpoint (a number too long)") from exc
    if not isinstance(value, dict):
        raise _native.ArgumentError(f"checkpoint file {file}: expected a JSON object")
    return cast(CheckpointDict, value)


def report_as_dict(report: _native.VerifyReport) -> dict[str, Any]:
    """A report as a plain, JSON-ready dict with the properties' names."""
    violations: list[ViolationDict] = list(report.additional_violations)
    return {
        "ok": report.ok,
        "compact": report.compact,
        "verdict_kind": report.verdict_kind,
        "log_dir": report.log_dir,
        "key_id_hex": report.key_id_hex,
        "segments_inspected": report.segments_inspected,
        "records_inspected": report.records_inspected,
        "final_hmac_hex": report.final_hmac_hex,
        "violation": report.violation,
        "additional_violations": violations,
    }
