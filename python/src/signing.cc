// Ed25519 for signed checkpoints: three module functions over the core's
// primitives. The note format itself is text handling in the package.
#include "binding.h"
#include "corvane/ed25519.h"

namespace corvane::py {

namespace {

// The bytes of a bytes object, which must hold exactly N of them; false with
// ArgumentError (naming `what`) or TypeError set otherwise.
template <std::size_t N>
bool exact_bytes(PyObject* obj, const char* what, std::span<const std::uint8_t, N>* out) {
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(obj, &data, &len) != 0) return false;
  if (static_cast<std::size_t>(len) != N) {
    raise(Exc::kArgumentError,
          std::string(what) + " must be " + std::to_string(N) + " bytes; got " + std::to_string(len));
    return false;
  }
  *out = std::span<const std::uint8_t, N>(reinterpret_cast<const std::uint8_t*>(data), N);
  return true;
}

std::span<const std::uint8_t> bytes_view(PyObject* obj) {
  return {reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(obj)), static_cast<std::size_t>(PyBytes_Size(obj))};
}

PyObject* public_key_impl(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"seed", nullptr};
  PyObject* seed_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "S:ed25519_public_key", const_cast<char**>(kwlist), &seed_obj)) {
    return nullptr;
  }
  std::span<const std::uint8_t, 32> seed(static_cast<const std::uint8_t*>(nullptr), 32);
  if (!exact_bytes(seed_obj, "Ed25519 seed", &seed)) return nullptr;
  auto key = ed25519_public_key(seed);
  if (!key) return raise(Exc::kCorvaneAuditError, signing_error_text(key.error()));
  return bytes_from(key->data(), key->size());
}

PyObject* sign_impl(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"seed", "message", nullptr};
  PyObject* seed_obj = nullptr;
  PyObject* message = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "SS:ed25519_sign", const_cast<char**>(kwlist), &seed_obj, &message)) {
    return nullptr;
  }
  std::span<const std::uint8_t, 32> seed(static_cast<const std::uint8_t*>(nullptr), 32);
  if (!exact_bytes(seed_obj, "Ed25519 seed", &seed)) return nullptr;
  auto signature = ed25519_sign(seed, bytes_view(message));
  if (!signature) return raise(Exc::kCorvaneAuditError, signing_error_text(signature.error()));
  return bytes_from(signature->data(), signature->size());
}

PyObject* verify_impl(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"public_key", "message", "signature", nullptr};
  PyObject* key_obj = nullptr;
  PyObject* message = nullptr;
  PyObject* signature_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "SSS:ed25519_verify", const_cast<char**>(kwlist), &key_obj, &message,
                                   &signature_obj)) {
    return nullptr;
  }
  std::span<const std::uint8_t, 32> key(static_cast<const std::uint8_t*>(nullptr), 32);
  if (!exact_bytes(key_obj, "Ed25519 public key", &key)) return nullptr;
  // A signature of the wrong length is simply not a valid one.
  if (PyBytes_Size(signature_obj) != 64) Py_RETURN_FALSE;
  const std::span<const std::uint8_t, 64> signature(
      reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(signature_obj)), 64);
  return PyBool_FromLong(ed25519_verify(key, bytes_view(message), signature) ? 1 : 0);
}

}  // namespace

PyMethodDef kSigningFunctions[] = {
    {"ed25519_public_key", guarded_method<public_key_impl>(), METH_VARARGS | METH_KEYWORDS,
     "ed25519_public_key(seed)\n--\n\nThe 32-byte Ed25519 public key of a 32-byte private key seed."},
    {"ed25519_sign", guarded_method<sign_impl>(), METH_VARARGS | METH_KEYWORDS,
     "ed25519_sign(seed, message)\n--\n\nThe 64-byte Ed25519 signature of `message` under the 32-byte seed."},
    {"ed25519_verify", guarded_method<verify_impl>(), METH_VARARGS | METH_KEYWORDS,
     "ed25519_verify(public_key, message, signature)\n--\n\n"
     "True when `signature` is a valid Ed25519 signature of `message` under\n"
     "the 32-byte `public_key`."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace corvane::py
