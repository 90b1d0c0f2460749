"""verify() and checkpoint() over path objects, and checkpoint files."""

from __future__ import annotations

import json
import os
import tempfile
from collections.abc import Iterable, Mapping
from typing import Any, cast, overload

from corvane_audit import _native, _note
from corvane_audit._clock import utc_timestamp
from corvane_audit._log import fspath_str
from corvane_audit._types import CheckpointDict, StrPath, ViolationDict

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
    """
    path = fspath_str(log_dir)
    if isinstance(checkpoint, _note.Head):  # opened, so its signature held
        return _native.verify(path, key, forensic, raise_on_violation, dict(checkpoint.checkpoint))
    if trust is not None:
        if checkpoint is None or isinstance(checkpoint, Mapping):
            raise _native.ArgumentError("trusted keys were given but no signed note to check")
        head = _note.load_signed_checkpoint(checkpoint, list(trust))
        return _native.verify(path, key, forensic, raise_on_violation, dict(head.checkpoint))
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


@overload
def checkpoint(
    log_dir: StrPath, key: _native.KeyHandle, observed_at: str | None = None, *, sign: None = None,
    origin: str | None = None,
) -> CheckpointDict: ...
@overload
def checkpoint(
    log_dir: StrPath, key: _native.KeyHandle, observed_at: str | None = None, *, sign: _note.SigningKey,
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
    """
    text = utc_timestamp() if observed_at is None else observed_at
    if sign is not None:
        # Refuse a text the note cannot carry before the log is read.
        _note.check_field("observed_at", text)
        if origin is not None:
            _note.check_field("origin", origin)
    cp = _native.checkpoint(fspath_str(log_dir), key, text)
    return cp if sign is None else _note.sign_checkpoint(cp, sign, origin)


def save_checkpoint(cp: Mapping[str, Any] | str, path: StrPath) -> None:
    """Write a checkpoint, atomically: readers see the old file or the new
    one, never a part, and the new one survives a crash once this returns.
    A dict is written as JSON, a signed note (str) as it is."""
    data = cp.encode() if isinstance(cp, str) else (json.dumps(dict(cp), indent=2) + "\n").encode()
    write_atomically(fspath_str(path), data)


def write_atomically(path: str, data: bytes) -> None:
    """Replace ``path`` with ``data`` through a synced temporary file."""
    target = os.path.abspath(path)
    directory = os.path.dirname(target)
    try:
        mode = os.stat(target).st_mode & 0o7777
    except FileNotFoundError:
        mode = 0o644  # a checkpoint is no secret; it is meant to be handed out
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
        with open(file, "rb") as f:
            data = f.read(_MAX_CHECKPOINT_FILE + 1)
    except OSError as exc:
        raise _native.ArgumentError(f"cannot read checkpoint file {file}: {exc.strerror or exc}") from exc
    if len(data) > _MAX_CHECKPOINT_FILE:
        raise _native.ArgumentError(f"checkpoint file {file}: too large to be a checkpoint")
    if b"\n\n\xe2\x80\x94 " in data:
        raise _native.ArgumentError(f"checkpoint file {file}: a signed note; give the verifier keys to trust")
    try:
        value = json.loads(data)
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise _native.ArgumentError(f"checkpoint file {file}: not valid JSON ({exc})") from exc
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
