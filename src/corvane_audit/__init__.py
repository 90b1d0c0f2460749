"""Tamper-evident, append-only audit log.

Records are appended to a log directory by a ``Writer``, each one MACed
under a 32-byte key (``KeyHandle``) and chained to the one before it.
``verify`` proves with the key that nothing stored was edited, inserted,
reordered or removed; a ``checkpoint`` handed to another party also proves,
later, that nothing was cut off the end. ``Reader`` reads records without
the key, and ``AuditHandler`` feeds the log from the ``logging`` module.

The native classes and functions stay available in ``corvane_audit._native``;
the ones here add path objects, default session ids and timestamps, and
checkpoint files.
"""

from corvane_audit._anchor import Anchor, AnchoredWriter, AnchorSeries, AnchorStats, DirectorySink, check_anchors
from corvane_audit._clock import RecordClock, utc_timestamp
from corvane_audit._handler import AuditHandler
from corvane_audit._log import Reader, Writer
from corvane_audit._native import (
    ArgumentError,
    ChainBreakError,
    CheckpointKeyMismatchError,
    CheckpointMismatchError,
    CheckpointTruncatedError,
    CorvaneAuditError,
    Follower,
    HeaderCorruptError,
    HmacMismatchError,
    IoFailure,
    KeyHandle,
    KeyIdMismatchError,
    MissingRecordError,
    RecordCorruptError,
    RecordIter,
    RecoveryError,
    SchemaError,
    SegmentDiscontinuityError,
    TimestampError,
    VerificationFailed,
    VerifyReport,
    WrongThreadError,
    core_version,
    format_version,
)
from corvane_audit._note import (
    Head,
    NoteError,
    SigningKey,
    VerifierKey,
    load_signed_checkpoint,
    open_checkpoint,
    sign_checkpoint,
)
from corvane_audit._pickling import register as _register_pickling
from corvane_audit._types import (
    AppendRecordDict,
    CheckpointDict,
    PositionDict,
    RecordDict,
    SpanDict,
    StrPath,
    ViolationDict,
)
from corvane_audit._verify import (
    SpanResult,
    checkpoint,
    head_checkpoint,
    load_checkpoint,
    report_as_dict,
    save_checkpoint,
    verify,
    verify_span,
    verify_with_state,
)

_register_pickling()

__version__ = core_version()  # one number for the package and the core

__all__ = [
    "__version__",
    # keys, writing, reading
    "KeyHandle",
    "Writer",
    "Reader",
    "RecordIter",
    "Follower",
    "RecordClock",
    "utc_timestamp",
    "AuditHandler",
    # verification and checkpoints
    "verify",
    "VerifyReport",
    "verify_span",
    "SpanResult",
    "verify_with_state",
    "head_checkpoint",
    "report_as_dict",
    "checkpoint",
    "save_checkpoint",
    "load_checkpoint",
    # signed checkpoints and anchoring
    "SigningKey",
    "VerifierKey",
    "Head",
    "NoteError",
    "sign_checkpoint",
    "open_checkpoint",
    "load_signed_checkpoint",
    "Anchor",
    "AnchoredWriter",
    "AnchorStats",
    "DirectorySink",
    "AnchorSeries",
    "check_anchors",
    # dict shapes
    "AppendRecordDict",
    "RecordDict",
    "ViolationDict",
    "CheckpointDict",
    "SpanDict",
    "PositionDict",
    "StrPath",
    # versions
    "core_version",
    "format_version",
    # exceptions
    "CorvaneAuditError",
    "IoFailure",
    "ArgumentError",
    "RecoveryError",
    "VerificationFailed",
    "ChainBreakError",
    "HmacMismatchError",
    "MissingRecordError",
    "RecordCorruptError",
    "HeaderCorruptError",
    "KeyIdMismatchError",
    "SegmentDiscontinuityError",
    "TimestampError",
    "SchemaError",
    "CheckpointMismatchError",
    "CheckpointTruncatedError",
    "CheckpointKeyMismatchError",
    "WrongThreadError",
]
