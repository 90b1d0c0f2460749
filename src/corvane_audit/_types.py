"""Typed shapes of the dicts that cross the native boundary.

They exist for type checkers and readers; at run time every one of them is a
plain dict.
"""

from __future__ import annotations

import os
from typing import Any, NotRequired, TypeAlias, TypedDict

StrPath: TypeAlias = str | os.PathLike[str]
"""A log directory or file name: a str or any path object."""


class AppendRecordDict(TypedDict):
    """A record for ``Writer.append``, which refuses other keys (the native writer ignores them)."""

    actor: str
    event: str
    ts_wall: NotRequired[str]
    ts_mono_delta: NotRequired[int]
    schema_version: NotRequired[int]
    payload: NotRequired[dict[str, Any]]


class RecordDict(TypedDict):
    """A stored record as the reader returns it."""

    segment_index: int
    record_id: int
    ts_wall: str
    ts_mono_delta: int
    session_id_hex: str
    actor: str
    event: str
    payload: dict[str, Any]
    key_id_hex: str
    schema_version: int
    prev_hash: bytes
    prev_hash_hex: str
    hmac: bytes
    hmac_hex: str


class ViolationDict(TypedDict):
    """One finding of ``verify``: where the chain stopped holding, and why."""

    kind: str
    segment_index: int
    record_id: int | None
    byte_offset: int
    message: str


class CheckpointDict(TypedDict):
    """The chain head of a verified log, as ``checkpoint`` exports it."""

    format: str
    key_id: str
    segment: int
    record_id: int
    hmac: str
    observed_at: str
    offset: NotRequired[int]  # of the head record's frame: lets verify(since=...) seek to it


class PositionDict(TypedDict):
    """A record's place in the log: segment, record_id and its frame's offset."""

    segment: int
    record_id: int
    offset: int


class SpanDict(TypedDict):
    """What a ``verify_span`` walk covered: the pinned record it started at
    (incremental walks), the record whose MAC is the final chain head, the
    first and last ts_wall walked, and the bytes of a frame a writer was
    still appending at the live horizon."""

    start: PositionDict | None
    end: PositionDict | None
    first_ts_wall: str | None
    last_ts_wall: str | None
    pending_bytes: int
