"""Pickling of the native exceptions.

Their ``__module__`` is "_native", which no import can find, so pickle's
default (the class by its qualified name) fails, and with it every error
sent back from a ``multiprocessing`` worker. A reducer registered with
``copyreg`` rebuilds them by name instead; the classes keep their names.
"""

from __future__ import annotations

import copyreg
from typing import Any

from corvane_audit import _native


def _rebuild(name: str, args: tuple[Any, ...]) -> BaseException:
    cls = getattr(_native, name)
    if not (isinstance(cls, type) and issubclass(cls, BaseException)):
        raise TypeError(f"corvane_audit._native.{name} is not an exception class")
    exc: BaseException = cls(*args)
    return exc


def _reduce(exc: BaseException) -> tuple[Any, ...]:
    # The instance dict carries attributes set later, such as __notes__.
    return (_rebuild, (type(exc).__name__, exc.args), exc.__dict__ or None)


def register() -> None:
    for value in vars(_native).values():
        if isinstance(value, type) and issubclass(value, BaseException):
            copyreg.pickle(value, _reduce)
