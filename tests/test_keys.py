# KeyHandle's four sources; the keychain tests need tools/with-keyring.sh (`make test-keyring`).

import ctypes
import json
import os
import subprocess
import sys
import uuid
from pathlib import Path
from typing import Any

import pytest

from conftest import child_env, raised_in_thread, raises
from corvane_audit import _native
from corvane_audit._native import ArgumentError, IoFailure

KeyHandle = _native.KeyHandle
KEY_HEX = bytes(range(32)).hex()
KEY_ID = "e528e95798037df410543d9f31e396ecdd458d71b157d6014398bae32fb56c65"  # b3sum of 00 01 .. 1f
HEX = "KeyHandle.from_hex: "
BAD = HEX + "bad hex at byte {}: invalid digit found in string"
NOT_SET = "env var {} not set; either set it or pick a different KeyHandle source"
WITH_KEYRING = str(Path(__file__).resolve().parent.parent / "tools" / "with-keyring.sh")


@pytest.mark.parametrize("make", [
    lambda: KeyHandle.from_bytes(type("B", (bytes,), {})(range(32))),
    lambda: KeyHandle.from_hex(f"\t\r\x0b\x0c{KEY_HEX.upper()}\x85"),  # Unicode whitespace trimmed, either case
    lambda: KeyHandle.from_env(),  # a named variable: the command line's --key-env
])  # fmt: skip
def test_key_sources_and_key_id(monkeypatch, make):
    monkeypatch.setenv("CORVANE_AUDIT_KEY_HEX", f" {KEY_HEX}\n")
    key, seen = make(), []
    assert raised_in_thread(lambda: seen.append(key.key_id_hex())) is None  # key handles cross threads
    assert (seen, repr(key)) == ([KEY_ID], f"KeyHandle(key_id={KEY_ID})")


KEYCHAIN = 'loading keychain entry service={} account="{}": OS keychain backend error: '


@pytest.mark.parametrize("call, exc, message", [
    (lambda: KeyHandle.from_hex(KEY_HEX[:63]), ArgumentError, HEX + "expected 64 hex chars (32 bytes); got 63"),
    (lambda: KeyHandle.from_hex("abcdg" + "0" * 59), ArgumentError, BAD.format(2)),
    (lambda: KeyHandle.from_hex("0" * 6 + "é" + "0" * 56), ArgumentError, BAD.format(3)),  # é: two bytes, key byte 3
    (lambda: KeyHandle.from_bytes(b"k" * 31), ArgumentError, "KeyHandle.from_bytes requires 32 bytes; got 31"),
    (lambda: KeyHandle.from_env(), ArgumentError, NOT_SET.format("CORVANE_AUDIT_KEY_HEX")),
    (lambda: KeyHandle.from_env("CORVANE_TEST_NOT_UTF8"), ArgumentError, NOT_SET.format("CORVANE_TEST_NOT_UTF8")),
    # Empty names are refused before the store is asked.
    (lambda: KeyHandle.from_keychain("", "default"), IoFailure, KEYCHAIN.format('""', "default")),
])  # fmt: skip
def test_bad_keys_are_refused_with_their_reason(monkeypatch, call, exc, message):
    monkeypatch.delenv("CORVANE_AUDIT_KEY_HEX", raising=False)
    monkeypatch.setitem(os.environb, b"CORVANE_TEST_NOT_UTF8", b"\xff" * 64)
    assert len((e := raises(exc, call)).args) == 1 and str(e).startswith(message)


def libsecret(fn: str, *args: Any) -> Any:
    func = getattr(ctypes.CDLL("libsecret-1.so.0"), fn)
    func.restype = ctypes.c_void_p
    return func(*args)


# The raw entry another tool finds under the module's schema and attributes, or None.
def stored(service: str) -> bytes | None:
    class Attribute(ctypes.Structure):
        _fields_ = [("name", ctypes.c_char_p), ("type", ctypes.c_int)]

    class Schema(ctypes.Structure):
        _fields_ = [("name", ctypes.c_char_p), ("flags", ctypes.c_int), ("attributes", Attribute * 32),
                    ("reserved", ctypes.c_int), ("reserved_ptrs", ctypes.c_void_p * 7)]  # fmt: skip

    names = (Attribute * 32)(*(Attribute(n, 0) for n in (b"service", b"account", b"application")))
    schema, error, size = Schema(b"org.corvane.audit.Key", 0, names), ctypes.c_void_p(), ctypes.c_size_t()
    value = ctypes.c_void_p(libsecret("secret_password_lookup_binary_sync", ctypes.byref(schema), None,
                                      ctypes.byref(error), b"service", service.encode(), b"account", b"default",
                                      b"application", b"corvane-audit", None))  # fmt: skip
    assert not error.value
    return ctypes.string_at(libsecret("secret_value_get", value, ctypes.byref(size)), size.value) if value else None


# The key_id the command line loads from the keychain (or its error), with a keyring session of its own: a record
# appended to a log in tmp_path (verify refuses a directory without one), then the log verified.
def keychain_elsewhere(tmp_path: Path, account: str, password: str = "right") -> str:
    env = child_env(CORVANE_KEYRING_DIR=str(tmp_path / "keyring"), CORVANE_KEYRING_PASSWORD=password)
    script = ('set -e; "$0" -m corvane_audit append . --actor a --event e --keychain "$1" >/dev/null; '
              'exec "$0" -m corvane_audit verify . --json --keychain "$1"')  # fmt: skip
    argv = [WITH_KEYRING, "sh", "-c", script, sys.executable, f"svc:{account}"]
    run = subprocess.run(argv, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    return str(json.loads(run.stdout)["key_id_hex"]) if run.returncode == 0 else run.stderr.splitlines()[-1]


@pytest.mark.keyring
@pytest.mark.skipif(os.environ.get("CORVANE_KEYRING_TESTS") != "1", reason="needs tools/with-keyring.sh")
class TestKeychain:
    def test_creates_a_raw_key_on_first_use_and_returns_it_again(self):
        service = f"corvane-test-{uuid.uuid4()}"
        assert stored(service) is None
        first = KeyHandle.from_keychain(service).key_id_hex()
        assert KeyHandle.from_bytes(stored(service) or b"").key_id_hex() == first == KeyHandle.from_keychain(
            service, account="default").key_id_hex()  # fmt: skip
        assert KeyHandle.from_keychain(service, "other").key_id_hex() != first

    def test_entry_persists_across_sessions_and_a_locked_keyring_changes_nothing(self, tmp_path):
        key_id = keychain_elsewhere(tmp_path, "default")
        assert len(key_id) == 64 and keychain_elsewhere(tmp_path, "default") == key_id
        files = {p.name: p.read_bytes() for p in (tmp_path / "keyring").rglob("*.keyring")}
        prefix = 'corvane-audit: .: loading keychain entry service="svc" account='
        locked = keychain_elsewhere(tmp_path, "default", "wrong")
        assert locked == prefix + '"default": OS keychain backend error: keyring is locked'
        assert keychain_elsewhere(tmp_path, "new", "wrong").startswith(prefix + '"new": OS keychain backend error: ')
        assert files and {p.name: p.read_bytes() for p in (tmp_path / "keyring").rglob("*.keyring")} == files
        assert keychain_elsewhere(tmp_path, "default") == key_id
