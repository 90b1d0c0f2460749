"""The library from a type-checked application (the tests run mypy --strict on it).

CORVANE_AUDIT_KEY_HEX=$(corvane-audit keygen) python examples/typed_usage.py LOG_DIR
"""

from __future__ import annotations

import logging
import sys
from pathlib import Path

import corvane_audit
from corvane_audit import (
    AuditHandler,
    CheckpointDict,
    KeyHandle,
    Reader,
    RecordDict,
    VerificationFailed,
    VerifyReport,
    ViolationDict,
    Writer,
)


def write(log_dir: Path, key: KeyHandle) -> int:
    with Writer.open(log_dir, key, segment_size_bytes=1 << 20) as writer:
        writer.append({"actor": "user:alice", "event": "login", "payload": {"ip": "10.0.0.1", "mfa": True}})
        last: int = writer.append({"actor": "user:alice", "event": "logout"})
        action: str = writer.recovery_action()
        print(f"{writer!r} after {action} recovery")
    return last


def log_through_logging(log_dir: Path, key: KeyHandle) -> None:
    handler = AuditHandler(log_dir, key, actor_attr="user")
    logger = logging.getLogger("example.audit")
    logger.addHandler(handler)
    logger.warning("role.grant", extra={"user": "user:bob", "role": "admin", "ratio": 0.5})
    logger.removeHandler(handler)
    handler.close()


def read(log_dir: Path) -> list[str]:
    lines: list[str] = []
    for record in Reader.open(log_dir):
        r: RecordDict = record
        lines.append(f"s{r['segment_index']}r{r['record_id']} {r['actor']} {r['event']} {r['hmac'].hex()[:8]}")
    return lines


def check(log_dir: Path, key: KeyHandle, checkpoint_file: Path) -> bool:
    cp: CheckpointDict = corvane_audit.checkpoint(log_dir, key)
    corvane_audit.save_checkpoint(cp, checkpoint_file)
    report: VerifyReport = corvane_audit.verify(log_dir, key, checkpoint=checkpoint_file)
    first: ViolationDict | None = report.violation
    if first is not None:
        print(first["kind"], first["record_id"], first["message"])
    try:
        corvane_audit.verify(str(log_dir), key, raise_on_violation=True, checkpoint=cp)
    except VerificationFailed as exc:
        print(f"does not verify: {exc}")
        return False
    return report.ok


def main() -> int:
    log_dir = Path(sys.argv[1])
    key = KeyHandle.from_env()
    write(log_dir, key)
    log_through_logging(log_dir, key)
    print("\n".join(read(log_dir)))
    return 0 if check(log_dir, key, log_dir.with_suffix(".checkpoint.json")) else 1


if __name__ == "__main__":
    raise SystemExit(main())
