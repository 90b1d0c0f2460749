// Parsing of the checkpoint dict handed to verify(). Lookups go straight to
// the dict's storage, so a subclass's __getitem__ or __missing__ is never
// called; the first failure is an ArgumentError.
#include "checkpoint_arg.h"

#include "corvane/quote.h"

namespace corvane::py {

namespace {

// The value under `name` (a new reference), or empty: with an exception set
// on failure, without one when the key is absent.
Ref dict_get(PyObject* dict, const char* name) {
  Ref key(PyUnicode_FromString(name));
  if (!key) return Ref();
  return Ref::borrowed(PyDict_GetItemWithError(dict, key.get()));
}

// Sets the ArgumentError of a malformed checkpoint; returns false.
bool refuse(const std::string& message) {
  raise(Exc::kArgumentError, message);
  return false;
}

bool missing_key(const char* name) { return refuse("checkpoint missing key " + debug_quote(name)); }

Ref required_str(PyObject* dict, const char* name) {
  Ref value = dict_get(dict, name);
  if (!value) {
    if (!PyErr_Occurred()) missing_key(name);
    return Ref();
  }
  if (!PyUnicode_Check(value.get())) {
    refuse("checkpoint " + debug_quote(name) + " must be a string");
    return Ref();
  }
  return value;
}

int hex_digit(Py_UCS4 c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

// 32 bytes given as hexadecimal text, either case. Decodes in place as it
// scans, so an overlong string costs no allocation.
bool hex32_field(PyObject* dict, const char* name, std::array<std::uint8_t, 32>* out) {
  Ref value = required_str(dict, name);
  if (!value) return false;
  const Py_ssize_t len = PyUnicode_GetLength(value.get());
  if (len < 0) return false;
  const std::string prefix = std::string("checkpoint ") + name;
  if (len % 2 != 0) return refuse(prefix + " is not valid hex: Odd number of digits");
  for (Py_ssize_t i = 0; i < len; ++i) {
    const Py_UCS4 c = PyUnicode_ReadChar(value.get(), i);
    if (c == static_cast<Py_UCS4>(-1) && PyErr_Occurred()) return false;
    const int digit = hex_digit(c);
    if (digit < 0) {
      return refuse(prefix + " is not valid hex: Invalid character " + debug_char(c) + " at position " +
                    std::to_string(i));
    }
    const auto byte = static_cast<std::size_t>(i / 2);
    if (byte < out->size()) {
      (*out)[byte] = static_cast<std::uint8_t>(i % 2 == 0 ? digit << 4 : (*out)[byte] | digit);
    }
  }
  if (len / 2 != static_cast<Py_ssize_t>(out->size())) {
    return refuse(prefix + " must be 32 bytes, got " + std::to_string(len / 2));
  }
  return true;
}

bool u64_field(PyObject* dict, const char* name, std::uint64_t* out) {
  Ref value = dict_get(dict, name);
  if (!value) return !PyErr_Occurred() && missing_key(name);
  const std::string not_int = "checkpoint " + debug_quote(name) + " must be an integer";
  if (!PyLong_Check(value.get())) return refuse(not_int);
  const unsigned long long v = PyLong_AsUnsignedLongLong(value.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    return refuse(not_int);
  }
  *out = v;
  return true;
}

}  // namespace

bool parse_checkpoint(PyObject* dict, Checkpoint* out) {
  Ref format = required_str(dict, "format");
  if (!format) return false;
  std::string format_text;
  if (!text_of(format.get(), &format_text)) return false;
  if (format_text != kCheckpointFormat) {
    return refuse("unsupported checkpoint format " + debug_quote(format_text) + " (expected " +
                  std::string(kCheckpointFormat) + ")");
  }
  if (!hex32_field(dict, "key_id", &out->key_id) || !hex32_field(dict, "hmac", &out->hmac)) return false;
  std::uint64_t segment = 0;
  if (!u64_field(dict, "segment", &segment)) return false;
  if (segment > 0xFFFF) return refuse("checkpoint \"segment\" exceeds u16");
  out->segment = static_cast<std::uint16_t>(segment);
  if (!u64_field(dict, "record_id", &out->record_id)) return false;
  // Descriptive only: anything but a str reads as empty.
  Ref observed = dict_get(dict, "observed_at");
  if (!observed && PyErr_Occurred()) return false;
  if (observed && PyUnicode_Check(observed.get())) return text_of(observed.get(), &out->observed_at);
  return true;
}

}  // namespace corvane::py
