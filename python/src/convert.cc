#include "convert.h"

#include "corvane/record.h"

namespace corvane::py {

namespace {

// The record map sits at depth 0, its payload map at depth 1; no item may
// sit at MAX_CBOR_DEPTH or deeper, or no reader could decode the record.
constexpr unsigned kPayloadDepth = 1;

bool too_deep() {
  raise(Exc::kArgumentError, "payload nested too deeply: a record allows 16 nesting levels");
  return false;
}

bool value_from_object(PyObject* obj, unsigned depth, PayloadValue* out);

bool map_from_dict(PyObject* dict, unsigned depth, PayloadMap* out) {
  if (PyDict_Size(dict) > 0 && depth + 1 >= MAX_CBOR_DEPTH) return too_deep();
  std::vector<PayloadMap::Entry> entries;
  entries.reserve(static_cast<std::size_t>(PyDict_Size(dict)));
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      raise_type_error("payload keys must be str");
      return false;
    }
    Py_ssize_t len = 0;
    const char* utf8 = utf8_of(key, &len);
    if (utf8 == nullptr) return false;
    std::string text(utf8, static_cast<std::size_t>(len));
    // Converting may run Python code (a failing int's repr); hold the value.
    Ref held = Ref::borrowed(value);
    PayloadValue converted;
    if (!value_from_object(held.get(), depth + 1, &converted)) return false;
    entries.emplace_back(std::move(text), std::move(converted));
  }
  *out = PayloadMap::from_unsorted(std::move(entries));
  return true;
}

bool int_from_object(PyObject* obj, PayloadValue* out) {
  const unsigned long long u = PyLong_AsUnsignedLongLong(obj);
  if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
    *out = PayloadValue::uint(u);
    return true;
  }
  PyErr_Clear();
  const long long n = PyLong_AsLongLong(obj);
  if (!(n == -1 && PyErr_Occurred()) && n < 0) {
    *out = PayloadValue::nint(n);
    return true;
  }
  PyErr_Clear();
  Ref repr(PyObject_Repr(obj));
  if (!repr) return false;
  Py_ssize_t len = 0;
  const char* text = utf8_of(repr.get(), &len);
  if (text == nullptr) return false;
  raise(Exc::kArgumentError, "payload int out of range: " + std::string(text, static_cast<std::size_t>(len)));
  return false;
}

bool value_from_object(PyObject* obj, unsigned depth, PayloadValue* out) {
  if (depth >= MAX_CBOR_DEPTH) return too_deep();
  // bool first: it is an int subclass but must stay a boolean.
  if (PyBool_Check(obj)) {
    *out = PayloadValue::boolean(obj == Py_True);
    return true;
  }
  if (PyLong_Check(obj)) return int_from_object(obj, out);
  if (PyFloat_Check(obj)) {
    // The message is part of the interface: callers match on it.
    raise_type_error("payload floats are not supported in v0.1 (canonical encoding rules)");
    return false;
  }
  if (PyUnicode_Check(obj)) {
    Py_ssize_t len = 0;
    const char* utf8 = utf8_of(obj, &len);
    if (utf8 == nullptr) return false;
    *out = PayloadValue::text(std::string(utf8, static_cast<std::size_t>(len)));
    return true;
  }
  if (PyBytes_Check(obj)) {
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &len) != 0) return false;
    const auto* p = reinterpret_cast<const std::uint8_t*>(data);
    *out = PayloadValue::bytes(Bytes(p, p + len));
    return true;
  }
  if (PyDict_Check(obj)) {
    PayloadMap map;
    if (!map_from_dict(obj, depth, &map)) return false;
    *out = PayloadValue::map(std::move(map));
    return true;
  }
  if (PyList_Check(obj)) {
    const Py_ssize_t initial = PyList_Size(obj);
    if (initial > 0 && depth + 1 >= MAX_CBOR_DEPTH) return too_deep();
    PayloadArray items;
    items.reserve(static_cast<std::size_t>(initial));
    // By index, up to the smaller of the length at the start and now: an
    // element's conversion may have shrunk the list.
    for (Py_ssize_t i = 0; i < initial && i < PyList_Size(obj); ++i) {
      Ref item = Ref::borrowed(PyList_GetItem(obj, i));
      if (!item) return false;
      PayloadValue converted;
      if (!value_from_object(item.get(), depth + 1, &converted)) return false;
      items.push_back(std::move(converted));
    }
    *out = PayloadValue::array(std::move(items));
    return true;
  }
  Ref name(PyType_GetName(Py_TYPE(obj)));
  if (!name) return false;
  Py_ssize_t len = 0;
  const char* text = utf8_of(name.get(), &len);
  if (text == nullptr) return false;
  raise_type_error("unsupported payload value type: " + std::string(text, static_cast<std::size_t>(len)));
  return false;
}

}  // namespace

bool payload_from_dict(PyObject* dict, PayloadMap* out) { return map_from_dict(dict, kPayloadDepth, out); }

}  // namespace corvane::py
