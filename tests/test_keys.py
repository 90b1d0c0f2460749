"""KeyHandle: the four key sources, key_id and repr.

The keychain tests need a real Secret Service: run them through
tools/with-keyring.sh (`make test-keyring`), which sets CORVANE_KEYRING_TESTS.
"""

from __future__ import annotations

import ctypes
import json
import os
import subprocess
import sys
import uuid
from pathlib import Path
from typing import Any

import pytest

from conftest import raised_in_thread
from corvane_audit import _native

KeyHandle = _native.KeyHandle
KEY = bytes(range(32))
KEY_HEX = KEY.hex()
# b3sum of the 32 bytes 00 01 .. 1f
KEY_ID = "e528e95798037df410543d9f31e396ecdd458d71b157d6014398bae32fb56c65"
REPO = Path(__file__).resolve().parent.parent
WITH_KEYRING = REPO / "tools" / "with-keyring.sh"

needs_keyring = [pytest.mark.keyring, pytest.mark.skipif(os.environ.get("CORVANE_KEYRING_TESTS") != "1",
                                                         reason="needs tools/with-keyring.sh")]


def test_key_id_is_blake3_of_the_key_and_repr_shows_it() -> None:
    k = KeyHandle.from_bytes(KEY)
    assert k.key_id_hex() == KEY_ID
    assert repr(k) == f"KeyHandle(key_id={KEY_ID})"
    assert KeyHandle.from_bytes(type("B", (bytes,), {})(KEY)).key_id_hex() == KEY_ID


@pytest.mark.parametrize("text", [f"\t\r\x0b\x0c{KEY_HEX.upper()}\x85",
                                  f"\u00a0\u3000{KEY_HEX[:10] + KEY_HEX[10:].upper()}\u2028"])
def test_from_hex_trims_unicode_whitespace_and_takes_either_case(text: str) -> None:
    assert KeyHandle.from_hex(text).key_id_hex() == KEY_ID


HEX = "KeyHandle.from_hex: "
BAD = HEX + "bad hex at byte {}: invalid digit found in string"
NOT_SET = "env var {} not set; either set it or pick a different KeyHandle source"


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: KeyHandle.from_hex(KEY_HEX[:63]), HEX + "expected 64 hex chars (32 bytes); got 63"),
        (lambda: KeyHandle.from_hex("\u00a0" * 3), HEX + "expected 64 hex chars (32 bytes); got 0"),
        (lambda: KeyHandle.from_hex("abcdg" + "0" * 59), BAD.format(2)),
        # é is two UTF-8 bytes: positions 6 and 7, key byte 3.
        (lambda: KeyHandle.from_hex("0" * 6 + "é" + "0" * 56), BAD.format(3)),
        (lambda: KeyHandle.from_hex("0" * 62 + "+f"), BAD.format(31)),
        (lambda: KeyHandle.from_hex("0" * 31 + " " + "0" * 32), BAD.format(15)),
        (lambda: KeyHandle.from_bytes(b"k" * 31), "KeyHandle.from_bytes requires 32 bytes; got 31"),
        (lambda: KeyHandle.from_bytes(b"k" * 33), "KeyHandle.from_bytes requires 32 bytes; got 33"),
        (lambda: KeyHandle.from_env(), NOT_SET.format("CORVANE_AUDIT_KEY_HEX")),
        (lambda: KeyHandle.from_env("CORVANE_TEST_NOT_UTF8"), NOT_SET.format("CORVANE_TEST_NOT_UTF8")),
        (lambda: KeyHandle.from_env("CORVANE_TEST_SHORT"),
         "env var CORVANE_TEST_SHORT: expected 64 hex chars (32 bytes); got 32"),
    ],
)
def test_bad_keys_are_refused_with_their_reason(monkeypatch: pytest.MonkeyPatch, call: Any, message: str) -> None:
    monkeypatch.delenv("CORVANE_AUDIT_KEY_HEX", raising=False)
    monkeypatch.setitem(os.environb, b"CORVANE_TEST_NOT_UTF8", b"\xff" * 64)
    monkeypatch.setenv("CORVANE_TEST_SHORT", "00" * 16)
    with pytest.raises(_native.ArgumentError) as e:
        call()
    assert e.value.args == (message,)


@pytest.mark.parametrize("call", [lambda: KeyHandle.from_bytes(bytearray(32)),
                                  lambda: KeyHandle.from_hex(KEY_HEX.encode()), lambda: KeyHandle.from_env(b"VAR"),
                                  lambda: KeyHandle.from_keychain("svc", None)])
def test_wrong_argument_types_raise_type_error(call: Any) -> None:
    with pytest.raises(TypeError):
        call()


def test_from_env_reads_the_named_or_default_variable(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("CORVANE_AUDIT_KEY_HEX", f" {KEY_HEX}\n")
    monkeypatch.setenv("CORVANE_TEST_KEY", "ab" * 32)
    assert KeyHandle.from_env().key_id_hex() == KEY_ID
    assert KeyHandle.from_env(var_name="CORVANE_TEST_KEY").key_id_hex() == KeyHandle.from_bytes(b"\xab" * 32).key_id_hex()


def test_key_handles_cross_threads() -> None:
    made_here = KeyHandle.from_hex(KEY_HEX)
    seen: list[object] = []
    assert raised_in_thread(lambda: seen.extend([made_here.key_id_hex(), KeyHandle.from_bytes(KEY)])) is None
    assert seen[0] == KEY_ID and isinstance(seen[1], KeyHandle) and seen[1].key_id_hex() == KEY_ID


@pytest.mark.parametrize(("service", "account", "shown"), [("", "default", '""'), ("svc", "", '"svc"')])
def test_from_keychain_refuses_empty_names_before_touching_the_store(service: str, account: str, shown: str) -> None:
    with pytest.raises(_native.IoFailure) as e:
        KeyHandle.from_keychain(service, account)
    (message,) = e.value.args
    assert message.startswith(f'loading keychain entry service={shown} account="{account}": OS keychain backend error: ')


# --- against a real Secret Service ---------------------------------------------------------------


class Libsecret:
    """Reads and writes entries under the module's schema, as another tool could."""

    def __init__(self) -> None:
        class Attribute(ctypes.Structure):
            _fields_ = [("name", ctypes.c_char_p), ("type", ctypes.c_int)]

        class Schema(ctypes.Structure):
            _fields_ = [("name", ctypes.c_char_p), ("flags", ctypes.c_int), ("attributes", Attribute * 32),
                        ("reserved", ctypes.c_int), ("reserved_ptrs", ctypes.c_void_p * 7)]

        self.lib = lib = ctypes.CDLL("libsecret-1.so.0")
        lib.secret_value_new.restype = ctypes.c_void_p
        lib.secret_value_new.argtypes = [ctypes.c_char_p, ctypes.c_ssize_t, ctypes.c_char_p]
        lib.secret_value_get.restype = ctypes.c_void_p
        lib.secret_value_get.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_size_t)]
        lib.secret_value_unref.argtypes = [ctypes.c_void_p]
        lib.secret_password_lookup_binary_sync.restype = ctypes.c_void_p
        self.schema = Schema(b"org.corvane.audit.Key", 0)
        for i, name in enumerate([b"service", b"account", b"application"]):
            self.schema.attributes[i] = Attribute(name, 0)

    def _attrs(self, service: str, account: str) -> tuple[bytes | None, ...]:
        return (b"service", service.encode(), b"account", account.encode(), b"application", b"corvane-audit", None)

    def store(self, service: str, account: str, secret: bytes) -> None:
        value = self.lib.secret_value_new(secret, len(secret), b"text/plain")
        error = ctypes.c_void_p()
        ok = self.lib.secret_password_store_binary_sync(ctypes.byref(self.schema), b"default", b"test entry",
                                                        ctypes.c_void_p(value), None, ctypes.byref(error),
                                                        *self._attrs(service, account))
        self.lib.secret_value_unref(value)
        assert ok and not error.value

    def lookup(self, service: str, account: str) -> bytes | None:
        error = ctypes.c_void_p()
        value = self.lib.secret_password_lookup_binary_sync(
            ctypes.byref(self.schema), None, ctypes.byref(error), *self._attrs(service, account)
        )
        assert not error.value
        if not value:
            return None
        size = ctypes.c_size_t()
        data = ctypes.string_at(self.lib.secret_value_get(value, ctypes.byref(size)), size.value)
        self.lib.secret_value_unref(value)
        return data


CHILD = """
import json, sys
from corvane_audit import _native
out = []
for service, account in json.loads(sys.argv[1]):
    try:
        out.append(_native.KeyHandle.from_keychain(service, account).key_id_hex())
    except _native.IoFailure as e:
        out.append("IoFailure: " + e.args[0])
print(json.dumps(out))
"""


def from_keychain_elsewhere(tmp_path: Path, calls: list[tuple[str, str]], env: dict[str, str]) -> list[str]:
    """Runs from_keychain in a fresh process, in a keyring session of its own."""
    argv = [str(WITH_KEYRING), sys.executable, "-c", CHILD, json.dumps(calls)]
    run = subprocess.run(argv, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    result: list[str] = json.loads(run.stdout.splitlines()[-1])
    return result


def child_env(**changes: str) -> dict[str, str]:
    # The very package under test, whether installed or staged by a build.
    return dict(os.environ, PYTHONPATH=str(Path(_native.__file__).parent.parent), **changes)


class TestKeychain:
    pytestmark = needs_keyring

    def test_creates_a_raw_key_on_first_use_and_returns_it_again(self) -> None:
        service = f"corvane-test-{uuid.uuid4()}"
        store = Libsecret()
        assert store.lookup(service, "default") is None
        first = KeyHandle.from_keychain(service)
        stored = store.lookup(service, "default")
        assert stored is not None and len(stored) == 32
        assert KeyHandle.from_bytes(stored).key_id_hex() == first.key_id_hex()
        assert KeyHandle.from_keychain(service, account="default").key_id_hex() == first.key_id_hex()
        assert KeyHandle.from_keychain(service, "other").key_id_hex() != first.key_id_hex()

    def test_entry_of_wrong_length_is_reported_and_left_alone(self) -> None:
        service = f"corvane-test-{uuid.uuid4()}"
        store = Libsecret()
        store.store(service, "default", KEY_HEX.encode())
        for _ in range(2):
            with pytest.raises(_native.IoFailure) as e:
                KeyHandle.from_keychain(service)
            assert e.value.args == (
                f'loading keychain entry service="{service}" account="default": '
                "stored keychain entry is not a valid 32-byte HMAC key: "
                "invalid key length: expected 32 bytes, got 64",
            )
        assert store.lookup(service, "default") == KEY_HEX.encode()

    def test_entry_persists_across_sessions_and_a_locked_keyring_changes_nothing(self, tmp_path: Path) -> None:
        env = child_env(CORVANE_KEYRING_DIR=str(tmp_path / "keyring"), CORVANE_KEYRING_PASSWORD="right")
        (key_id,) = from_keychain_elsewhere(tmp_path, [("svc", "default")], env)
        assert len(key_id) == 64
        assert from_keychain_elsewhere(tmp_path, [("svc", "default")], env) == [key_id]

        stored = {p.name: p.read_bytes() for p in (tmp_path / "keyring").rglob("*.keyring")}
        assert stored
        locked = from_keychain_elsewhere(
            tmp_path, [("svc", "default"), ("svc", "new")], {**env, "CORVANE_KEYRING_PASSWORD": "wrong"}
        )
        prefix = 'IoFailure: loading keychain entry service="svc" account='
        assert locked[0] == prefix + '"default": OS keychain backend error: keyring is locked'
        assert locked[1].startswith(prefix + '"new": OS keychain backend error: ')
        assert {p.name: p.read_bytes() for p in (tmp_path / "keyring").rglob("*.keyring")} == stored
        assert from_keychain_elsewhere(tmp_path, [("svc", "default")], env) == [key_id]
