#include "binding.h"

#include <array>

namespace corvane::py {

namespace {

// Raised when a thread-bound object is used from another thread. Derived
// from BaseException so that a broad `except Exception` does not hide the
// misuse.
PyObject* g_wrong_thread = nullptr;

}  // namespace

PyObject* wrong_thread_class() {
  if (g_wrong_thread == nullptr) {
    g_wrong_thread = PyErr_NewException("corvane_audit._native.WrongThreadError", PyExc_BaseException, nullptr);
  }
  return g_wrong_thread;
}

namespace {

std::array<PyTypeObject*, static_cast<std::size_t>(Cls::kCount)> g_types{};

}  // namespace

void ObjectGuard::bind_to_current_thread() { thread = PyThread_get_thread_ident(); }

BorrowGuard::BorrowGuard(ObjectGuard& guard, Borrow kind, const char* type_name) {
  if (guard.thread != PyThread_get_thread_ident()) {
    PyObject* cls = wrong_thread_class();
    if (cls != nullptr) {
      PyErr_SetString(cls, (std::string(type_name) + " is unsendable, but sent to another thread").c_str());
    }
    return;
  }
  if (kind == Borrow::kExclusive) {
    if (guard.borrow != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return;
    }
    guard.borrow = -1;
  } else {
    if (guard.borrow < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return;
    }
    ++guard.borrow;
  }
  guard_ = &guard;
  kind_ = kind;
}

BorrowGuard::~BorrowGuard() {
  if (guard_ == nullptr) return;
  if (kind_ == Borrow::kExclusive) {
    guard_->borrow = 0;
  } else {
    --guard_->borrow;
  }
}

PyTypeObject* type_of(Cls which) { return g_types[static_cast<std::size_t>(which)]; }

PyTypeObject* ensure_type(Cls which, PyType_Spec* shape) {
  PyTypeObject*& slot = g_types[static_cast<std::size_t>(which)];
  if (slot == nullptr) slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(shape));
  return slot;
}

const char* utf8_of(PyObject* str, Py_ssize_t* len) { return PyUnicode_AsUTF8AndSize(str, len); }

bool text_of(PyObject* str, std::string* out) {
  Py_ssize_t len = 0;
  if (const char* utf8 = utf8_of(str, &len)) {
    out->assign(utf8, static_cast<std::size_t>(len));
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
  PyErr_Clear();
  Ref bytes(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  char* data = nullptr;
  if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &len) != 0) return false;
  out->assign(data, static_cast<std::size_t>(len));
  return true;
}

bool path_from_str(PyObject* str, std::string* out) {
  Ref encoded(PyUnicode_EncodeFSDefault(str));
  if (!encoded) return false;
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &data, &len) != 0) return false;
  out->assign(data, static_cast<std::size_t>(len));
  return true;
}

PyObject* str_from(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* bytes_from(const void* data, std::size_t len) {
  return PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(len));
}

namespace {

// Unicode White_Space, as UTF-8 sequences: the ASCII ones are handled first.
bool whitespace_at(std::string_view s, std::size_t i, std::size_t* len) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) {
    *len = 1;
    return true;
  }
  static constexpr std::string_view kMultiByte[] = {
      "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83",
      "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
      "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
  };
  for (std::string_view ws : kMultiByte) {
    if (s.substr(i).starts_with(ws)) {
      *len = ws.size();
      return true;
    }
  }
  return false;
}

bool whitespace_ending_at(std::string_view s, std::size_t end, std::size_t* len) {
  for (std::size_t n = 1; n <= 3 && n <= end; ++n) {
    std::size_t found = 0;
    if (whitespace_at(s, end - n, &found) && found == n) {
      *len = n;
      return true;
    }
  }
  return false;
}

}  // namespace

std::string_view strip_unicode_whitespace(std::string_view text) {
  std::size_t begin = 0, end = text.size(), n = 0;
  while (begin < end && whitespace_at(text.substr(0, end), begin, &n)) begin += n;
  while (end > begin && whitespace_ending_at(text.substr(0, end), end, &n)) end -= n;
  return text.substr(begin, end - begin);
}

}  // namespace corvane::py

namespace corvane::py {

std::optional<HexFailure> decode_hex_exact(std::string_view text, std::span<std::uint8_t> out) {
  const auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  const std::string_view trimmed = strip_unicode_whitespace(text);
  if (trimmed.size() != 2 * out.size()) return HexFailure{true, trimmed.size()};
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int hi = digit(trimmed[2 * i]);
    const int lo = digit(trimmed[2 * i + 1]);
    if (hi < 0 || lo < 0) return HexFailure{false, i};
    out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  return std::nullopt;
}

}  // namespace corvane::py
