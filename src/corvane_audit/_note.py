"""Signed checkpoints in the signed-note format.

A note is a UTF-8 text body, an empty line, and one signature line per
signer: ``— <name> <base64 of the 4-byte key hash and the signature>``. Keys
are Ed25519 and travel in the format's own encodings:

- verifier key: ``<name>+<key hash, 8 hex>+<base64 of 0x01 and the 32-byte public key>``
- signing key:  ``PRIVATE+KEY+<name>+<key hash, 8 hex>+<base64 of 0x01 and the 32-byte seed>``

where the key hash is the first 4 bytes of SHA-256 over the name, a newline,
the type byte 0x01 and the public key. The body of a signed checkpoint is
the origin line followed by ``segment``, ``record_id``, ``hmac``, ``key_id``
and ``observed_at`` lines.

Notes are read from places an attacker may write to: parsing is bounded in
size, accepts no control character but the newline, and wants every line in
its exact form. The signature is checked before anything in the body is
believed.
"""

from __future__ import annotations

import base64
import binascii
import hashlib
import os
import re
import secrets
import stat
from collections.abc import Iterable
from typing import NamedTuple

from corvane_audit import _native
from corvane_audit._types import CheckpointDict, StrPath

MAX_NOTE_BYTES = 1 << 16
_TOO_LARGE = f"too large to be a signed note (over {MAX_NOTE_BYTES} bytes)"
MAX_SIGNATURES = 100
MAX_FIELD_CHARS = 1024  # origin and observed_at
_KEY_FILE_MAX = 4096
_ALG_ED25519 = 0x01
_SIG_PREFIX = "\u2014 "  # an em dash and a blank
_CHECKPOINT_FORMAT = "corvane-audit-checkpoint/v1"
_PRIVATE_PREFIX = "PRIVATE+KEY+"

# Every C0 and C1 control character and DEL, except the newline.
_CONTROL = re.compile("[\x00-\x09\x0b-\x1f\x7f-\x9f]")
_HEX64 = re.compile("[0-9a-f]{64}")
_DECIMAL = re.compile("0|[1-9][0-9]{0,19}")
_HASH8 = re.compile("[0-9a-f]{8}")


class NoteError(_native.ArgumentError):
    """A signed note or key that is malformed, unsigned, untrusted or altered.

    ``reason`` is the message without the file it names, if it names one."""

    def __init__(self, message: str, reason: str | None = None) -> None:
        super().__init__(message)
        self.reason = message if reason is None else reason


class Head(NamedTuple):
    """The body of a signed checkpoint: a log's chain head."""

    origin: str
    checkpoint: CheckpointDict


def _key_hash(name: str, public_key: bytes) -> int:
    digest = hashlib.sha256(name.encode() + b"\n" + bytes([_ALG_ED25519]) + public_key).digest()
    return int.from_bytes(digest[:4], "big")


def _check_name(name: str, what: str) -> None:
    if not name or "+" in name or any(c.isspace() for c in name) or _CONTROL.search(name) or len(name) > 256:
        raise NoteError(f"{what}: a key name must be 1 to 256 characters without '+', blanks or control characters")


def _b64decode(text: str) -> bytes | None:
    """Strict base64: only the canonical form of its bytes, so that a note
    altered in any character is refused even where the alphabet's spare
    bits would decode to the same bytes."""
    try:
        data = base64.b64decode(text, validate=True)
    except (binascii.Error, ValueError):
        return None
    return data if base64.b64encode(data).decode("ascii") == text else None


def _key_fields(text: str, what: str, expected: str) -> tuple[str, str, bytes]:
    """``<name>+<hash>+<base64>`` of either key encoding: the name, the hash
    text and the 32 key bytes (checked to be an Ed25519 key)."""
    name, _, rest = text.partition("+")
    hash_hex, _, key64 = rest.partition("+")
    data = _b64decode(key64)
    if not name or not _HASH8.fullmatch(hash_hex) or data is None:
        raise NoteError(f"not a {what}: expected {expected}")
    if len(data) != 33 or data[0] != _ALG_ED25519:
        raise NoteError(f"{what}: not an Ed25519 key (type byte 0x01 and 32 bytes)")
    return name, hash_hex, data[1:]


class VerifierKey:
    """A public Ed25519 key that notes are checked against."""

    __slots__ = ("name", "key_hash", "public_key")

    def __init__(self, name: str, public_key: bytes) -> None:
        _check_name(name, "verifier key")
        if len(public_key) != 32:
            raise NoteError("verifier key: an Ed25519 public key is 32 bytes")
        self.name = name
        self.public_key = bytes(public_key)
        self.key_hash = _key_hash(name, self.public_key)

    @classmethod
    def parse(cls, text: str) -> VerifierKey:
        """Parse ``<name>+<hash>+<base64>``, checking the hash."""
        text = text.strip()
        name, hash_hex, raw = _key_fields(text, "verifier key", "<name>+<8 hex digits>+<base64 key>")
        key = cls(name, raw)
        if f"{key.key_hash:08x}" != hash_hex:
            raise NoteError("verifier key: the key hash does not match the name and key")
        return key

    def encode(self) -> str:
        b64 = base64.b64encode(bytes([_ALG_ED25519]) + self.public_key).decode("ascii")
        return f"{self.name}+{self.key_hash:08x}+{b64}"

    def verify(self, message: bytes, signature: bytes) -> bool:
        return _native.ed25519_verify(self.public_key, message, signature)

    def __str__(self) -> str:
        return self.encode()

    def __repr__(self) -> str:
        return f"VerifierKey({self.encode()!r})"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, VerifierKey) and (self.name, self.public_key) == (other.name, other.public_key)

    def __hash__(self) -> int:
        return hash((self.name, self.public_key))


class SigningKey:
    """A private Ed25519 key that signs notes (never printed by ``repr``).

    Made by ``SigningKey.generate`` or ``corvane-audit keygen --signing``;
    read back with ``SigningKey.load``.
    """

    __slots__ = ("_seed", "verifier")

    def __init__(self, name: str, seed: bytes) -> None:
        _check_name(name, "signing key")
        if len(seed) != 32:
            raise NoteError("signing key: an Ed25519 seed is 32 bytes")
        self._seed = bytes(seed)
        self.verifier = VerifierKey(name, _native.ed25519_public_key(self._seed))

    @property
    def name(self) -> str:
        return self.verifier.name

    @classmethod
    def generate(cls, name: str) -> SigningKey:
        return cls(name, secrets.token_bytes(32))

    @classmethod
    def parse(cls, text: str) -> SigningKey:
        """Parse ``PRIVATE+KEY+<name>+<hash>+<base64>``, checking the hash."""
        text = text.strip()
        if not text.startswith(_PRIVATE_PREFIX):
            raise NoteError("not a signing key: expected PRIVATE+KEY+<name>+<8 hex digits>+<base64 key>")
        name, hash_hex, raw = _key_fields(
            text[len(_PRIVATE_PREFIX) :], "signing key", "PRIVATE+KEY+<name>+<8 hex digits>+<base64 key>"
        )
        key = cls(name, raw)
        if f"{key.verifier.key_hash:08x}" != hash_hex:
            raise NoteError("signing key: the key hash does not match the name and key")
        return key

    @classmethod
    def load(cls, path: StrPath) -> SigningKey:
        """Read a key file written by ``save`` (or ``keygen --signing``)."""
        file = os.fsdecode(path)
        try:
            data = _read_small_file(file, _KEY_FILE_MAX)
        except OSError as exc:
            raise NoteError(f"cannot read signing key file {file}: {exc.strerror or exc}") from exc
        if data is None:
            raise NoteError(f"signing key file {file}: too large to be a key")
        try:
            return cls.parse(data.decode("ascii"))
        except UnicodeDecodeError:
            raise NoteError(f"signing key file {file}: not a signing key") from None
        except NoteError as exc:
            raise NoteError(f"signing key file {file}: {exc}") from None

    def encode(self) -> str:
        """The private encoding: a secret, for the key file only."""
        b64 = base64.b64encode(bytes([_ALG_ED25519]) + self._seed).decode("ascii")
        return f"{_PRIVATE_PREFIX}{self.name}+{self.verifier.key_hash:08x}+{b64}"

    def save(self, path: StrPath) -> None:
        """Write the key file readable by its owner only; never overwrites."""
        fd = os.open(os.fsdecode(path), os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        with os.fdopen(fd, "w", encoding="ascii") as f:
            f.write(self.encode() + "\n")
            f.flush()
            os.fsync(f.fileno())

    def sign(self, body: str) -> str:
        """The signed note of ``body`` (one signature, this key's)."""
        _check_body_text(body)
        data = body.encode()
        signature = _native.ed25519_sign(self._seed, data)
        sig64 = base64.b64encode(self.verifier.key_hash.to_bytes(4, "big") + signature).decode("ascii")
        return f"{body}\n{_SIG_PREFIX}{self.name} {sig64}\n"

    def __repr__(self) -> str:
        return f"SigningKey(name={self.name!r}, verifier={self.verifier.encode()!r})"


def _check_body_text(body: str) -> None:
    if not body.endswith("\n") or "\n\n" in body or body.startswith("\n"):
        raise NoteError("a note body is one or more non-empty lines, each ending in a newline")
    if _CONTROL.search(body):
        raise NoteError("a note body cannot hold control characters")


def _read_small_file(file: str, limit: int, follow_links: bool = True) -> bytes | None:
    """The bytes of a regular file, None when it holds more than `limit`.
    Special files are not waited on; without `follow_links` a link planted
    in an untrusted directory is refused."""
    flags = os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | (0 if follow_links else os.O_NOFOLLOW)
    fd = os.open(file, flags)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError(0, "not a regular file", file)
        chunks = []
        size = 0
        while size <= limit:
            chunk = os.read(fd, limit + 1 - size)
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk)
    finally:
        os.close(fd)
    data = b"".join(chunks)
    return None if len(data) > limit else data


# ---------------------------------------------------------------------------
# Opening a note


def open_note(note: bytes | str, trusted: Iterable[VerifierKey]) -> str:
    """The body of ``note`` once a trusted key's signature over it holds.

    Signatures from keys not in ``trusted`` are skipped; one bad signature
    from a trusted key refuses the note. Raises ``NoteError`` saying why:
    malformed, not signed, not signed by a trusted key, or altered.
    """
    data = note.encode() if isinstance(note, str) else note
    if len(data) > MAX_NOTE_BYTES:
        raise NoteError(_TOO_LARGE)
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise NoteError(f"not valid UTF-8 at byte {exc.start}") from None
    if bad := _CONTROL.search(text):
        line_no = text.count("\n", 0, bad.start()) + 1
        raise NoteError(f"line {line_no} holds a control character (U+{ord(bad.group()):04X})")
    split = text.rfind("\n\n")
    if split < 0:
        if any(line.startswith(_SIG_PREFIX) for line in text.split("\n")):
            raise NoteError("malformed: no empty line between the body and its signatures")
        raise NoteError("not signed: no signature lines")
    body, signatures = text[: split + 1], text[split + 2 :]
    if not signatures:
        raise NoteError("not signed: no signature lines after the empty line")
    if not signatures.endswith("\n"):
        raise NoteError("malformed: the last signature line does not end with a newline")
    lines = signatures[:-1].split("\n")
    if len(lines) > MAX_SIGNATURES:
        raise NoteError(f"malformed: more than {MAX_SIGNATURES} signature lines")
    by_id = {(k.name, k.key_hash): k for k in trusted}
    seen: set[tuple[str, int]] = set()
    verified = 0
    signers = []
    for number, line in enumerate(lines, 1):
        if not line.startswith(_SIG_PREFIX):
            raise NoteError(f'malformed: signature line {number} does not start with "\u2014 "')
        name, _, sig64 = line[len(_SIG_PREFIX) :].partition(" ")
        raw = _b64decode(sig64) if sig64 else None
        if not name or "+" in name or any(c.isspace() for c in name) or raw is None or len(raw) < 5:
            raise NoteError(f"malformed: signature line {number} is not a name and a base64 signature")
        key_hash = int.from_bytes(raw[:4], "big")
        if (name, key_hash) in seen:
            raise NoteError(f"malformed: two signatures by {name}+{key_hash:08x}")
        seen.add((name, key_hash))
        signers.append(f"{name}+{key_hash:08x}")
        key = by_id.get((name, key_hash))
        if key is None:
            continue
        if not key.verify(body.encode(), raw[4:]):
            raise NoteError(
                f"the signature by {name}+{key_hash:08x} does not verify: "
                "the note was altered or the signature is not genuine"
            )
        verified += 1
    if verified == 0:
        raise NoteError(f"not signed by a trusted key (signed by {', '.join(signers)})")
    return body


# ---------------------------------------------------------------------------
# Checkpoint bodies


def default_origin(key_id_hex: str) -> str:
    return f"corvane-audit/{key_id_hex}"


def check_field(what: str, value: str) -> None:
    """Refuses a text that a note body line cannot carry."""
    if _CONTROL.search(value) or len(value) > MAX_FIELD_CHARS:
        raise NoteError(
            f"{what} cannot go into a signed note: it holds a control character "
            f"or more than {MAX_FIELD_CHARS} characters"
        )
    if what == "origin" and (not value or value != value.strip()):
        raise NoteError("origin cannot go into a signed note: it is empty or starts or ends with a blank")


def checkpoint_body(cp: CheckpointDict, origin: str) -> str:
    """The note body of a checkpoint dict."""
    check_field("origin", origin)
    check_field("observed_at", cp["observed_at"])
    return (
        f"{origin}\nsegment {cp['segment']}\nrecord_id {cp['record_id']}\nhmac {cp['hmac']}\n"
        f"key_id {cp['key_id']}\nobserved_at {cp['observed_at']}\n"
    )


def parse_checkpoint_body(body: str) -> Head:
    """The origin and checkpoint dict of a note body, every line in its exact form."""
    lines = body.split("\n")
    if lines[-1] != "" or len(lines) != 7:
        raise NoteError(
            f"body: expected 6 lines (origin, segment, record_id, hmac, key_id, observed_at), got {len(lines) - 1}"
        )
    origin = lines[0]
    if not origin or origin != origin.strip() or len(origin) > MAX_FIELD_CHARS:
        raise NoteError("body line 1: expected the origin")

    def field(number: int, name: str, pattern: re.Pattern[str] | None) -> str:
        key, sep, value = lines[number - 1].partition(" ")
        if key != name or not sep or (pattern is not None and not pattern.fullmatch(value)):
            shape = {_DECIMAL: "<number>", _HEX64: "<64 hex digits>", None: "<text>"}[pattern]
            raise NoteError(f'body line {number}: expected "{name} {shape}"')
        return value

    segment = int(field(2, "segment", _DECIMAL))
    record_id = int(field(3, "record_id", _DECIMAL))
    if segment > 0xFFFF or record_id >= 1 << 64:
        raise NoteError("body: segment or record_id out of range")
    hmac_hex = field(4, "hmac", _HEX64)
    key_id = field(5, "key_id", _HEX64)
    observed_at = field(6, "observed_at", None)
    if len(observed_at) > MAX_FIELD_CHARS:
        raise NoteError(f"body line 6: observed_at longer than {MAX_FIELD_CHARS} characters")
    cp: CheckpointDict = {
        "format": _CHECKPOINT_FORMAT,
        "key_id": key_id,
        "segment": segment,
        "record_id": record_id,
        "hmac": hmac_hex,
        "observed_at": observed_at,
    }
    return Head(origin, cp)


def sign_checkpoint(cp: CheckpointDict, key: SigningKey, origin: str | None = None) -> str:
    """A checkpoint dict as a note signed by ``key``."""
    return key.sign(checkpoint_body(cp, default_origin(cp["key_id"]) if origin is None else origin))


def open_checkpoint(note: bytes | str, trusted: Iterable[VerifierKey]) -> Head:
    """The head in a signed checkpoint note, after its signature is checked."""
    return parse_checkpoint_body(open_note(note, trusted))


def load_signed_checkpoint(path: StrPath, trusted: Iterable[VerifierKey], *, follow_links: bool = True) -> Head:
    """Read and open a signed checkpoint file; ``NoteError`` names the file."""
    file = os.fsdecode(path)
    try:
        data = _read_small_file(file, MAX_NOTE_BYTES, follow_links)
    except OSError as exc:
        raise NoteError(f"cannot read signed note {file}: {exc.strerror or exc}") from exc
    if data is None:
        raise NoteError(f"signed note {file}: {_TOO_LARGE}", _TOO_LARGE)
    try:
        return open_checkpoint(data, trusted)
    except NoteError as exc:
        raise NoteError(f"signed note {file}: {exc}", str(exc)) from None
