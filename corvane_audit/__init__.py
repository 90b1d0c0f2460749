"""Tamper-evident, append-only audit log."""

from corvane_audit._native import core_version, format_version

__version__ = "0.3.0"

__all__ = ["__version__", "core_version", "format_version"]
