// KeyHandle: a shared reference to an immutable core key. The key bytes are
// never handed back to Python; the last holder (this object, a writer or a
// running verification) wipes them.
#include <array>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "binding.h"
#include "corvane/keychain.h"

namespace corvane::py {

namespace {

struct KeyHandleObject {
  PyObject_HEAD struct State {
    KeyHandle key;
  } state;
};

constexpr const char* kDefaultEnvVar = "CORVANE_AUDIT_KEY_HEX";

// Parses 64 hexadecimal characters into `out`; on failure wipes it and
// returns the message.
std::optional<std::string> parse_key_hex(std::string_view text, std::array<std::uint8_t, 32>& out) {
  const auto failure = decode_hex_exact(text, out);
  if (!failure) return std::nullopt;
  secure_wipe(out.data(), out.size());
  if (failure->wrong_length) return "expected 64 hex chars (32 bytes); got " + std::to_string(failure->value);
  return "bad hex at byte " + std::to_string(failure->value) + ": invalid digit found in string";
}

PyObject* wrap(KeyHandle key) {
  auto* self = alloc_instance<KeyHandleObject>(type_of(Cls::kKeyHandle));
  if (self == nullptr) return nullptr;
  self->state.key = std::move(key);
  return reinterpret_cast<PyObject*>(self);
}

// Builds an in-memory key from parsed bytes and wipes the local copy.
PyObject* wrap_bytes(std::array<std::uint8_t, 32>& bytes) {
  KeyHandle key = make_in_memory_key(bytes);
  secure_wipe(bytes.data(), bytes.size());
  return wrap(std::move(key));
}

PyObject* from_bytes(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"bytes", nullptr};
  PyObject* data = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "S:from_bytes", const_cast<char**>(kwlist), &data)) {
    return nullptr;
  }
  char* buf = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(data, &buf, &len) != 0) return nullptr;
  if (len != 32)
    return raise(Exc::kArgumentError, "KeyHandle.from_bytes requires 32 bytes; got " + std::to_string(len));
  std::array<std::uint8_t, 32> bytes;
  std::memcpy(bytes.data(), buf, 32);
  return wrap_bytes(bytes);
}

PyObject* from_hex(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"hex_str", nullptr};
  PyObject* text = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:from_hex", const_cast<char**>(kwlist), &text)) return nullptr;
  Py_ssize_t len = 0;
  const char* utf8 = utf8_of(text, &len);
  if (utf8 == nullptr) return nullptr;
  std::array<std::uint8_t, 32> bytes;
  if (auto err = parse_key_hex(std::string_view(utf8, static_cast<std::size_t>(len)), bytes)) {
    return raise(Exc::kArgumentError, "KeyHandle.from_hex: " + *err);
  }
  return wrap_bytes(bytes);
}

PyObject* from_env(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"var_name", nullptr};
  PyObject* name_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|U:from_env", const_cast<char**>(kwlist), &name_obj)) {
    return nullptr;
  }
  std::string name = kDefaultEnvVar;
  if (name_obj != nullptr) {
    Py_ssize_t len = 0;
    const char* utf8 = utf8_of(name_obj, &len);
    if (utf8 == nullptr) return nullptr;
    name.assign(utf8, static_cast<std::size_t>(len));
  }
  const std::string not_set = "env var " + name + " not set; either set it or pick a different KeyHandle source";
  // A name holding NUL cannot be set in the environment.
  const char* value = name.find('\0') == std::string::npos ? std::getenv(name.c_str()) : nullptr;
  if (value == nullptr) return raise(Exc::kArgumentError, not_set);
  // The value must be valid Unicode (UTF-8) to be read at all.
  Ref decoded(PyUnicode_DecodeUTF8(value, static_cast<Py_ssize_t>(std::strlen(value)), "strict"));
  if (!decoded) {
    PyErr_Clear();
    return raise(Exc::kArgumentError, not_set);
  }
  std::array<std::uint8_t, 32> bytes;
  if (auto err = parse_key_hex(value, bytes)) return raise(Exc::kArgumentError, "env var " + name + ": " + *err);
  return wrap_bytes(bytes);
}

PyObject* from_keychain(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"service", "account", nullptr};
  PyObject* service_obj = nullptr;
  PyObject* account_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|U:from_keychain", const_cast<char**>(kwlist), &service_obj,
                                   &account_obj)) {
    return nullptr;
  }
  Py_ssize_t len = 0;
  const char* utf8 = utf8_of(service_obj, &len);
  if (utf8 == nullptr) return nullptr;
  const std::string service(utf8, static_cast<std::size_t>(len));
  std::string account = "default";
  if (account_obj != nullptr) {
    utf8 = utf8_of(account_obj, &len);
    if (utf8 == nullptr) return nullptr;
    account.assign(utf8, static_cast<std::size_t>(len));
  }
  auto key = load_or_create_keychain_key(platform_key_store(), service, account);
  if (!key) return raise_keychain_error(service, account, key.error());
  return wrap(std::move(*key));
}

PyObject* key_id_hex(PyObject* self, PyObject*) {
  const KeyHandle& key = reinterpret_cast<KeyHandleObject*>(self)->state.key;
  return str_from(to_hex(key->key_id()));
}

PyObject* repr(PyObject* self) {
  const KeyHandle& key = reinterpret_cast<KeyHandleObject*>(self)->state.key;
  return str_from("KeyHandle(key_id=" + to_hex(key->key_id()) + ")");
}

PyMethodDef kMethods[] = {
    {"from_bytes", guarded_method<from_bytes>(), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_bytes(bytes)\n--\n\nBuild a KeyHandle from 32 raw bytes."},
    {"from_hex", guarded_method<from_hex>(), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_hex(hex_str)\n--\n\nBuild a KeyHandle from a 64-character hex string."},
    {"from_env", guarded_method<from_env>(), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_env(var_name=\"CORVANE_AUDIT_KEY_HEX\")\n--\n\n"
     "Build a KeyHandle from an environment variable containing 64 hex chars\n"
     "(default: CORVANE_AUDIT_KEY_HEX)."},
    {"from_keychain", guarded_method<from_keychain>(), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_keychain(service, account=\"default\")\n--\n\n"
     "Build a KeyHandle backed by the macOS Keychain, creating a fresh random key\n"
     "on first use. On other platforms the platform's own credential store stands\n"
     "behind it (the Secret Service on Linux)."},
    {"key_id_hex", guarded_method<key_id_hex>(), METH_NOARGS,
     "key_id_hex($self)\n--\n\nLowercase hex of the BLAKE3-256 key fingerprint."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("A shared reference to an HMAC key.\n\n"
                                  "The same KeyHandle can be passed to a Writer and to any number of\n"
                                  "verifications without copying the key material; the key bytes are wiped\n"
                                  "when the last holder lets go.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<KeyHandleObject>)},
    {Py_tp_repr, guarded_slot<repr>()},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "corvane_audit._native.KeyHandle",
    sizeof(KeyHandleObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyType_Spec* keyhandle_spec() { return &kSpec; }

const KeyHandle* key_of(PyObject* obj) {
  PyTypeObject* type = type_of(Cls::kKeyHandle);
  if (type == nullptr || !PyObject_TypeCheck(obj, type)) return nullptr;
  return &reinterpret_cast<KeyHandleObject*>(obj)->state.key;
}

}  // namespace corvane::py
