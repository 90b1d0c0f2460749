"""What every part of the extension shares: versions, text signatures,
constructors and thread binding."""

from __future__ import annotations

from typing import Any, Callable

import pytest

from conftest import raised_in_thread, write_records
from corvane_audit import _native


def test_versions() -> None:
    assert (_native.format_version(), _native.core_version()) == (1, "0.3.0")


@pytest.mark.parametrize("func, signature", [
    (_native.format_version, "()"), (_native.core_version, "()"),
    (_native.verify, "(log_dir, key, forensic=False, raise_on_violation=False, checkpoint=None)"),
    (_native.checkpoint, "(log_dir, key, observed_at)"),
])  # fmt: skip
def test_text_signatures(func: Any, signature: str) -> None:
    assert func.__text_signature__ == signature


@pytest.mark.parametrize("cls", [_native.KeyHandle, _native.Writer, _native.Reader, _native.RecordIter,
                                 _native.VerifyReport])  # fmt: skip
def test_classes_cannot_be_instantiated(cls: Any) -> None:
    with pytest.raises(TypeError):
        cls()


@pytest.mark.parametrize("name, use", [
    ("Writer", lambda w: w.append({"actor": "a", "event": "e"})),
    ("Reader", repr), ("Reader", iter), ("Reader", lambda r: r.segments()),
    ("RecordIter", next), ("RecordIter", iter),
    ("VerifyReport", lambda r: r.ok), ("VerifyReport", repr),  # every property shares one getter
])  # fmt: skip
def test_objects_are_bound_to_their_thread(log_dir: str, key: _native.KeyHandle, name: str,
                                           use: Callable[[Any], object]) -> None:  # fmt: skip
    write_records(log_dir, key, 1)
    reader = _native.Reader.open(log_dir)
    obj = {"Writer": lambda: _native.Writer.open(log_dir, key), "Reader": lambda: reader,
           "RecordIter": lambda: iter(reader), "VerifyReport": lambda: _native.verify(log_dir, key)}[name]()  # fmt: skip
    raised = raised_in_thread(lambda: use(obj))
    assert raised is not None and not isinstance(raised, Exception)
    assert raised.args == (f"corvane_audit._native.{name} is unsendable, but sent to another thread",)
    use(obj)  # still usable here; a RecordIter was left on its one record
