"""verify() and checkpoint() over path objects, and checkpoint files."""

from __future__ import annotations

import json
import os
import stat
import tempfile
from collections.abc import Mapping
from typing import Any, cast

from corvane_audit import _native
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
    checkpoint: Mapping[str, Any] | StrPath | None = None,
) -> _native.VerifyReport:
    """Verify the log directory with the key and return a report.

    ``checkpoint`` is None, a checkpoint dict, or the path of a checkpoint
    file written by ``save_checkpoint`` (or ``corvane-audit checkpoint -o``).
    With a checkpoint the report also proves that the log still holds the
    pinned record with the same MAC: nothing was rewritten or cut off. A
    malformed checkpoint raises ``ArgumentError``; a file is named in the
    message. With ``raise_on_violation`` a failing log raises the
    ``VerificationFailed`` subclass of its first violation.
    """
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


def checkpoint(log_dir: StrPath, key: _native.KeyHandle, observed_at: str | None = None) -> CheckpointDict:
    """Verify the log and return its chain head as a checkpoint dict.

    ``observed_at`` is free text kept in the checkpoint (default: the current
    UTC time). Hand the checkpoint to a party that does not control the log;
    a copy kept beside the log proves nothing, since both can be rewritten.
    """
    text = utc_timestamp() if observed_at is None else observed_at
    return _native.checkpoint(fspath_str(log_dir), key, text)


def save_checkpoint(cp: Mapping[str, Any], path: StrPath) -> None:
    """Write a checkpoint as JSON, atomically: readers see the old file or
    the new one, never a part, and the new one survives a crash once this
    returns.

    A symbolic link is written through: its target is replaced, by a
    temporary file made beside it. A path that names anything but a regular
    file (a directory, a device, a FIFO) raises ``ArgumentError``.
    """
    file = fspath_str(path)
    try:
        mode = _regular_file_mode(os.stat(file), file, "cannot write checkpoint to")
    except FileNotFoundError:
        mode = 0o644  # a checkpoint is no secret; it is meant to be handed out
    # The temporary file goes beside the link's target, never beside the link
    # or into the system's temporary directory: a rename within one directory
    # replaces the target and never crosses file systems.
    target = os.path.realpath(file)
    directory = os.path.dirname(target)
    data = (json.dumps(dict(cp), indent=2) + "\n").encode()
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
