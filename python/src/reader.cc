// Reader and RecordIter: key-less access to a log directory. A RecordIter
// walks a snapshot of the segment list and yields each segment's records by
// record_id (0, 1, 2, ... until one is missing). It keeps the current segment
// open and looks ids up in one pass over it, so a segment is read once
// instead of once per record, whatever order its ids are stored in.
#include "corvane/reader.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <vector>

#include "binding.h"
#include "corvane/cbor.h"
#include "corvane/io.h"
#include "corvane/quote.h"

namespace corvane::py {

namespace {

constexpr const char* kReaderName = "corvane_audit._native.Reader";
constexpr const char* kRecordIterName = "corvane_audit._native.RecordIter";

struct ReaderObject {
  PyObject_HEAD struct State {
    ObjectGuard guard;
    std::string dir;  // in the file-system encoding
  } state;
};

struct RecordIterObject {
  PyObject_HEAD struct State {
    ObjectGuard guard;
    std::string dir;
    std::vector<std::uint16_t> segments;  // snapshot taken by iter(reader)
    std::size_t position = 0;             // into `segments`
    std::uint64_t next_record_id = 0;
    // Open on segments[position] once its header passed. After an error it
    // is stale: the retry opens the file afresh and checks its header again,
    // and the lookup goes on where it stood.
    std::optional<SegmentById> segment;
    bool stale = false;
  } state;
};

// ---------------------------------------------------------------------------
// Record dicts.

enum Key : std::size_t {
  kSegmentIndex,
  kRecordId,
  kTsWall,
  kTsMonoDelta,
  kSessionIdHex,
  kActor,
  kEvent,
  kPayload,
  kKeyIdHex,
  kSchemaVersion,
  kPrevHash,
  kPrevHashHex,
  kHmac,
  kHmacHex,
  kKeyCount,
};

constexpr std::array<const char*, kKeyCount> kKeyNames = {
    "segment_index", "record_id",  "ts_wall",        "ts_mono_delta", "session_id_hex", "actor", "event",
    "payload",       "key_id_hex", "schema_version", "prev_hash",     "prev_hash_hex",  "hmac",  "hmac_hex",
};

// Interned key strings, made once per process like the exception classes.
std::array<PyObject*, kKeyCount> g_keys{};

bool ensure_keys() {
  for (std::size_t i = 0; i < kKeyCount; ++i) {
    if (g_keys[i] == nullptr) {
      g_keys[i] = PyUnicode_InternFromString(kKeyNames[i]);
      if (g_keys[i] == nullptr) return false;
    }
  }
  return true;
}

// Stores `value` (a new reference, or null after a failure) under `key`.
bool set_item(PyObject* dict, PyObject* key, PyObject* value) {
  Ref owned(value);
  return owned && PyDict_SetItem(dict, key, owned.get()) == 0;
}

PyObject* payload_to_python(const PayloadValue& value);

PyObject* payload_map_to_python(const PayloadMap& map) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  // PayloadMap iterates in bytewise key order, the order callers see.
  for (const auto& [key, item] : map) {
    Ref py_key(str_from(key));
    if (!py_key || !set_item(dict.get(), py_key.get(), payload_to_python(item))) return nullptr;
  }
  return dict.release();
}

PyObject* payload_to_python(const PayloadValue& value) {
  switch (value.kind()) {
    case PayloadKind::kUint: return PyLong_FromUnsignedLongLong(std::get<0>(value.v));
    case PayloadKind::kNint: return PyLong_FromLongLong(std::get<1>(value.v));
    case PayloadKind::kText: return str_from(std::get<2>(value.v));
    case PayloadKind::kBytes: {
      const Bytes& b = std::get<3>(value.v);
      return bytes_from(b.data(), b.size());
    }
    case PayloadKind::kBool: return PyBool_FromLong(std::get<4>(value.v) ? 1 : 0);
    case PayloadKind::kMap: return payload_map_to_python(std::get<5>(value.v));
    case PayloadKind::kArray: {
      const PayloadArray& items = std::get<6>(value.v);
      Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
      if (!list) return nullptr;
      for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = payload_to_python(items[i]);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals `item`
      }
      return list.release();
    }
  }
  return nullptr;
}

}  // namespace

PyObject* record_to_python(const StoredRecord& r) {
  if (!ensure_keys()) return nullptr;
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool ok = set_item(d, g_keys[kSegmentIndex], PyLong_FromUnsignedLong(r.segment_index)) &&
                  set_item(d, g_keys[kRecordId], PyLong_FromUnsignedLongLong(r.record_id)) &&
                  set_item(d, g_keys[kTsWall], str_from(r.ts_wall)) &&
                  set_item(d, g_keys[kTsMonoDelta], PyLong_FromUnsignedLongLong(r.ts_mono_delta)) &&
                  set_item(d, g_keys[kSessionIdHex], str_from(to_hex(r.session_id))) &&
                  set_item(d, g_keys[kActor], str_from(r.actor)) && set_item(d, g_keys[kEvent], str_from(r.event)) &&
                  set_item(d, g_keys[kPayload], payload_map_to_python(r.payload)) &&
                  set_item(d, g_keys[kKeyIdHex], str_from(to_hex(r.key_id))) &&
                  set_item(d, g_keys[kSchemaVersion], PyLong_FromUnsignedLong(r.schema_version)) &&
                  set_item(d, g_keys[kPrevHash], bytes_from(r.prev_hash.data(), r.prev_hash.size())) &&
                  set_item(d, g_keys[kPrevHashHex], str_from(to_hex(r.prev_hash))) &&
                  set_item(d, g_keys[kHmac], bytes_from(r.hmac.data(), r.hmac.size())) &&
                  set_item(d, g_keys[kHmacHex], str_from(to_hex(r.hmac)));
  return ok ? dict.release() : nullptr;
}

namespace {

// ---------------------------------------------------------------------------
// The walk.

bool is_missing(const IoError& e) { return e.fixed == IoError::Fixed::kNone && e.code == ENOENT; }

// Opens the segment at the current position (again, when stale) and checks
// its header. False with `error` set on failure; true with no segment open
// when its file does not exist.
bool open_segment(RecordIterObject::State& state, ReaderError& error) {
  auto opened = SegmentReader::open(state.dir, state.segments[state.position]);
  if (!opened) {
    if (!is_missing(opened.error())) {
      error = ReaderError::from_io(opened.error());
      return false;
    }
    state.segment.reset();
    return true;
  }
  auto header = opened->check_header();
  if (!header) {
    error = header.error();
    return false;
  }
  if (state.segment) {
    state.segment->reopen(std::move(*opened));
  } else {
    state.segment.emplace(std::move(*opened));
  }
  state.stale = false;
  return true;
}

void move_to_next_segment(RecordIterObject::State& state) {
  state.segment.reset();
  state.stale = false;
  ++state.position;
  state.next_record_id = 0;
}

// ---------------------------------------------------------------------------
// RecordIter.

PyObject* recorditer_iter(PyObject* self) {
  auto& state = reinterpret_cast<RecordIterObject*>(self)->state;
  BorrowGuard borrow(state.guard, Borrow::kShared, kRecordIterName);
  if (!borrow) return nullptr;
  return Py_NewRef(self);
}

PyObject* recorditer_next(PyObject* self) {
  auto& state = reinterpret_cast<RecordIterObject*>(self)->state;
  BorrowGuard borrow(state.guard, Borrow::kExclusive, kRecordIterName);
  if (!borrow) return nullptr;
  while (state.position < state.segments.size()) {
    if (!state.segment || state.stale) {
      ReaderError error;
      if (!open_segment(state, error)) return raise_reader_error(error);
      if (!state.segment) {  // the file is gone: nothing left in it
        move_to_next_segment(state);
        continue;
      }
    }
    auto found = state.segment->find(state.next_record_id);
    if (!found) {
      // The position stays; the retry reopens the file, so a frame completed
      // or a header repaired meanwhile is seen.
      state.stale = true;
      if (found.error().kind == ReaderError::Kind::kRecordNotFound) {
        move_to_next_segment(state);
        continue;
      }
      return raise_reader_error(found.error());
    }
    if (!*found) {
      move_to_next_segment(state);
      continue;
    }
    PyObject* dict = record_to_python(**found);
    if (dict == nullptr) return nullptr;  // not advanced: the next call returns this record
    ++state.next_record_id;
    return dict;
  }
  // Exhausted, for good: let go of the snapshot's last file and buffer.
  state.segment.reset();
  return nullptr;
}

PyType_Slot kRecordIterSlots[] = {
    {Py_tp_doc, const_cast<char*>("Record iterator over a `Reader`.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<RecordIterObject>)},
    {Py_tp_iter, guarded_slot<recorditer_iter>()},
    {Py_tp_iternext, guarded_slot<recorditer_next>()},
    {0, nullptr},
};

PyType_Spec kRecordIterSpec = {
    kRecordIterName,
    sizeof(RecordIterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    kRecordIterSlots,
};

// ---------------------------------------------------------------------------
// Reader.

PyObject* reader_open(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"log_dir", nullptr};
  PyObject* path_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:open", const_cast<char**>(kwlist), &path_obj)) return nullptr;
  std::string dir;
  if (!path_from_str(path_obj, &dir)) return nullptr;
  // Proves the directory can be listed; never creates it.
  auto listed = list_dir(dir);
  if (!listed) return raise_io(listed.error());
  auto* self = alloc_instance<ReaderObject>(type_of(Cls::kReader));
  if (self == nullptr) return nullptr;
  self->state.guard.bind_to_current_thread();
  self->state.dir = std::move(dir);
  return reinterpret_cast<PyObject*>(self);
}

PyObject* reader_segments(PyObject* self, PyObject*) {
  auto& state = reinterpret_cast<ReaderObject*>(self)->state;
  BorrowGuard borrow(state.guard, Borrow::kShared, kReaderName);
  if (!borrow) return nullptr;
  auto segments = reader_list_segments(state.dir);
  if (!segments) return raise_reader_error(segments.error());
  Ref list(PyList_New(static_cast<Py_ssize_t>(segments->size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < segments->size(); ++i) {
    PyObject* index = PyLong_FromUnsignedLong((*segments)[i]);
    if (index == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), index);  // steals `index`
  }
  return list.release();
}

PyObject* reader_iter(PyObject* self) {
  auto& state = reinterpret_cast<ReaderObject*>(self)->state;
  BorrowGuard borrow(state.guard, Borrow::kShared, kReaderName);
  if (!borrow) return nullptr;
  auto segments = reader_list_segments(state.dir);
  if (!segments) return raise_reader_error(segments.error());
  auto* iter = alloc_instance<RecordIterObject>(type_of(Cls::kRecordIter));
  if (iter == nullptr) return nullptr;
  iter->state.guard.bind_to_current_thread();
  iter->state.dir = state.dir;
  iter->state.segments = std::move(*segments);
  return reinterpret_cast<PyObject*>(iter);
}

PyObject* reader_repr(PyObject* self) {
  auto& state = reinterpret_cast<ReaderObject*>(self)->state;
  BorrowGuard borrow(state.guard, Borrow::kShared, kReaderName);
  if (!borrow) return nullptr;
  return str_from("Reader(log_dir=" + debug_quote(state.dir) + ")");
}

PyMethodDef kReaderMethods[] = {
    {"open", guarded_method<reader_open>(), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "open(log_dir)\n--\n\n"
     "Open a log directory for reading. No key is needed: reading proves nothing\n"
     "about authenticity; verification is `verify(path, key)`."},
    {"segments", guarded_method<reader_segments>(), METH_NOARGS,
     "segments($self)\n--\n\nReturn the list of segment indices on disk, ascending."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kReaderSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper around the core's key-less log reader.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<ReaderObject>)},
    {Py_tp_repr, guarded_slot<reader_repr>()},
    {Py_tp_iter, guarded_slot<reader_iter>()},
    {Py_tp_methods, kReaderMethods},
    {0, nullptr},
};

PyType_Spec kReaderSpec = {
    kReaderName,
    sizeof(ReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    kReaderSlots,
};

}  // namespace

PyType_Spec* reader_spec() { return &kReaderSpec; }
PyType_Spec* recorditer_spec() { return &kRecordIterSpec; }

}  // namespace corvane::py
