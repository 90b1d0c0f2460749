// Writer: wraps one core writer. open parses the session id and keeps the
// recovery outcome; append turns a record dict into an AppendRecord.
#include "corvane/writer.h"

#include <optional>

#include "binding.h"
#include "convert.h"

namespace corvane::py {

namespace {

constexpr const char* kTypeName = "corvane_audit._native.Writer";

struct WriterObject {
  PyObject_HEAD struct State {
    ObjectGuard guard;
    std::optional<Writer> writer;  // empty once closed
    RecoveryAction action = RecoveryAction::kFresh;
    std::uint64_t truncated_bytes = 0;
    AppendRecord scratch;  // reused so appends do not reallocate its strings
    // Called after every `hook_every` appends (0: never); see set_append_hook.
    std::uint64_t hook_every = 0;
    std::uint64_t hook_left = 0;
    Ref hook;
  } state;
};

WriterObject::State& state_of(PyObject* self) { return reinterpret_cast<WriterObject*>(self)->state; }

std::nullptr_t closed() { return raise(Exc::kArgumentError, "Writer is closed"); }

bool parse_session_id(PyObject* text, SessionId* out) {
  Py_ssize_t len = 0;
  const char* utf8 = utf8_of(text, &len);
  if (utf8 == nullptr) return false;
  const auto failure = decode_hex_exact(std::string_view(utf8, static_cast<std::size_t>(len)), *out);
  if (!failure) return true;
  if (failure->wrong_length) {
    raise(Exc::kArgumentError, "session_id_hex must be 32 hex chars; got " + std::to_string(failure->value));
  } else {
    raise(Exc::kArgumentError,
          "session_id_hex bad hex at byte " + std::to_string(failure->value) + ": invalid digit found in string");
  }
  return false;
}

PyObject* open(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"log_dir", "key", "session_id_hex", "segment_size_bytes", nullptr};
  PyObject* dir_obj = nullptr;
  PyObject* key_obj = nullptr;
  PyObject* session_obj = nullptr;
  PyObject* size_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UO!|UO:open", const_cast<char**>(kwlist), &dir_obj,
                                   type_of(Cls::kKeyHandle), &key_obj, &session_obj, &size_obj)) {
    return nullptr;
  }
  std::string dir;
  if (!path_from_str(dir_obj, &dir)) return nullptr;
  const KeyHandle key = *key_of(key_obj);
  std::optional<std::uint64_t> segment_size;
  if (size_obj != Py_None) {
    Ref index(PyNumber_Index(size_obj));
    if (!index) return nullptr;
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    segment_size = v;
  }
  SessionId session{};
  if (session_obj != nullptr && !parse_session_id(session_obj, &session)) return nullptr;

  auto opened = Writer::open(dir, key, session, segment_size.value_or(kDefaultSegmentSizeBytes));
  if (!opened) return raise_writer_error(opened.error());

  auto* self = alloc_instance<WriterObject>(type_of(Cls::kWriter));
  if (self == nullptr) return nullptr;
  self->state.guard.bind_to_current_thread();
  self->state.writer.emplace(std::move(opened->writer));
  self->state.action = opened->action;
  self->state.truncated_bytes = opened->truncated_bytes;
  return reinterpret_cast<PyObject*>(self);
}

// Interned keys of the record dict, made once.
PyObject* record_key(int which) {
  static PyObject* keys[6] = {};
  static const char* const names[6] = {"actor", "event", "ts_wall", "ts_mono_delta", "schema_version", "payload"};
  if (keys[which] == nullptr) keys[which] = PyUnicode_InternFromString(names[which]);
  return keys[which];
}
enum { kActor, kEvent, kTsWall, kTsMonoDelta, kSchemaVersion, kPayload };

// The value under `which`, without consulting a subclass's __getitem__ or
// __missing__; null and no error when absent.
PyObject* lookup(PyObject* record, int which, bool* failed) {
  PyObject* name = record_key(which);
  if (name == nullptr) {
    *failed = true;
    return nullptr;
  }
  PyObject* value = PyDict_GetItemWithError(record, name);
  if (value == nullptr && PyErr_Occurred()) *failed = true;
  return value;
}

std::string quoted_key(int which) {
  static const char* const names[6] = {"actor", "event", "ts_wall", "ts_mono_delta", "schema_version", "payload"};
  return std::string("\"") + names[which] + "\"";
}

bool read_text(PyObject* record, int which, bool required, std::string* out) {
  bool failed = false;
  PyObject* value = lookup(record, which, &failed);
  if (failed) return false;
  if (value == nullptr) {
    if (required) {
      raise(Exc::kArgumentError, "record dict is missing required key " + quoted_key(which));
      return false;
    }
    return true;  // the caller's default stands
  }
  if (!PyUnicode_Check(value)) {
    raise_type_error("record[" + quoted_key(which) + "] must be a str");
    return false;
  }
  Py_ssize_t len = 0;
  const char* utf8 = utf8_of(value, &len);
  if (utf8 == nullptr) return false;
  out->assign(utf8, static_cast<std::size_t>(len));
  return true;
}

bool read_u64(PyObject* record, int which, std::uint64_t* out) {
  bool failed = false;
  PyObject* value = lookup(record, which, &failed);
  if (failed) return false;
  if (value == nullptr) return true;
  if (!PyLong_Check(value)) {
    raise_type_error("record[" + quoted_key(which) + "] must be an int");
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(value);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool record_from_dict(PyObject* record, AppendRecord* r) {
  r->ts_wall.assign("1970-01-01T00:00:00.000Z");
  r->ts_mono_delta = 0;
  std::uint64_t schema_version = 1;
  if (!read_text(record, kActor, true, &r->actor) || !read_text(record, kEvent, true, &r->event) ||
      !read_text(record, kTsWall, false, &r->ts_wall) || !read_u64(record, kTsMonoDelta, &r->ts_mono_delta) ||
      !read_u64(record, kSchemaVersion, &schema_version)) {
    return false;
  }
  // Only the low 32 bits are kept, as the field is 32 bits wide.
  r->schema_version = static_cast<std::uint32_t>(schema_version);
  bool failed = false;
  PyObject* payload = lookup(record, kPayload, &failed);
  if (failed) return false;
  if (payload == nullptr) {
    r->payload = PayloadMap();
    return true;
  }
  if (!PyDict_Check(payload)) {
    raise_type_error("'payload' must be a dict if provided");
    return false;
  }
  return payload_from_dict(payload, &r->payload);
}

PyObject* append_record(PyObject* self, PyObject* record) {
  auto& st = state_of(self);
  BorrowGuard borrow(st.guard, Borrow::kExclusive, kTypeName);
  if (!borrow) return nullptr;
  if (!st.writer) return closed();
  if (!PyDict_Check(record)) return raise_type_error("Writer.append expects a dict");
  if (!record_from_dict(record, &st.scratch)) return nullptr;
  auto id = st.writer->append(st.scratch);
  if (!id) return raise_writer_error(id.error());
  return PyLong_FromUnsignedLongLong(*id);
}

// The hook runs once the append is complete and its borrow released, so it
// may flush the writer. It cannot fail the append that triggered it: an
// exception it raises is reported as unraisable.
PyObject* append(PyObject* self, PyObject* record) {
  PyObject* id = append_record(self, record);
  auto& st = state_of(self);
  if (id != nullptr && st.hook_every != 0 && --st.hook_left == 0) {
    st.hook_left = st.hook_every;
    Ref hook = Ref::borrowed(st.hook.get());
    Ref done(PyObject_CallNoArgs(hook.get()));
    if (!done) PyErr_WriteUnraisable(hook.get());
  }
  return id;
}

PyObject* set_append_hook(PyObject* self, PyObject* args) {
  unsigned long long every = 0;
  PyObject* hook = nullptr;
  if (!PyArg_ParseTuple(args, "KO:set_append_hook", &every, &hook)) return nullptr;
  if (hook != Py_None && !PyCallable_Check(hook)) return raise_type_error("set_append_hook expects a callable or None");
  auto& st = state_of(self);
  BorrowGuard borrow(st.guard, Borrow::kExclusive, kTypeName);
  if (!borrow) return nullptr;
  if (!st.writer) return closed();
  const bool on = every != 0 && hook != Py_None;
  st.hook = on ? Ref::borrowed(hook) : Ref();
  st.hook_every = on ? every : 0;
  st.hook_left = st.hook_every;
  Py_RETURN_NONE;
}

// The one method open to any thread: it touches nothing but the hook's
// counter, and every call of this module holds the interpreter lock, so it
// cannot interleave with an append.
PyObject* hook_next_append(PyObject* self, PyObject*) {
  auto& st = state_of(self);
  if (st.hook_every != 0) st.hook_left = 1;
  Py_RETURN_NONE;
}

PyObject* flush(PyObject* self, PyObject*) {
  auto& st = state_of(self);
  BorrowGuard borrow(st.guard, Borrow::kExclusive, kTypeName);
  if (!borrow) return nullptr;
  if (!st.writer) return closed();
  if (auto r = st.writer->flush(); !r) return raise_writer_error(r.error());
  Py_RETURN_NONE;
}

// Takes the writer out (the object is closed from here on, whatever
// happens), flushes it, releases it, then reports a failed flush.
bool close_writer(WriterObject::State& st) {
  if (!st.writer) return true;
  std::optional<Writer> writer = std::move(st.writer);
  st.writer.reset();
  auto flushed = writer->flush();
  writer.reset();
  if (!flushed) {
    raise_writer_error(flushed.error());
    return false;
  }
  return true;
}

PyObject* close(PyObject* self, PyObject*) {
  auto& st = state_of(self);
  BorrowGuard borrow(st.guard, Borrow::kExclusive, kTypeName);
  if (!borrow) return nullptr;
  if (!close_writer(st)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* enter(PyObject* self, PyObject*) {
  auto& st = state_of(self);
  BorrowGuard borrow(st.guard, Borrow::kShared, kTypeName);
  if (!borrow) return nullptr;
  return Py_NewRef(self);
}

PyObject* exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"_exc_type", "_exc_value", "_traceback", nullptr};
  PyObject* ignored[3] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOO:__exit__", const_cast<char**>(kwlist), &ignored[0], &ignored[1],
                                   &ignored[2])) {
    return nullptr;
  }
  auto& st = state_of(self);
  BorrowGuard borrow(st.guard, Borrow::kExclusive, kTypeName);
  if (!borrow) return nullptr;
  if (!close_writer(st)) return nullptr;
  Py_RETURN_FALSE;
}

PyObject* recovery_action(PyObject* self, PyObject*) {
  auto& st = state_of(self);
  BorrowGuard borrow(st.guard, Borrow::kShared, kTypeName);
  if (!borrow) return nullptr;
  if (!st.writer) return closed();
  if (auto here = st.writer->check_process(); !here) return raise_writer_error(here.error());
  return PyUnicode_FromString(recovery_action_name(st.action));
}

PyObject* recovery_truncated_bytes(PyObject* self, PyObject*) {
  auto& st = state_of(self);
  BorrowGuard borrow(st.guard, Borrow::kShared, kTypeName);
  if (!borrow) return nullptr;
  if (!st.writer) return closed();
  if (auto here = st.writer->check_process(); !here) return raise_writer_error(here.error());
  return PyLong_FromUnsignedLongLong(st.truncated_bytes);
}

PyObject* last_ts_wall(PyObject* self, PyObject*) {
  auto& st = state_of(self);
  BorrowGuard borrow(st.guard, Borrow::kShared, kTypeName);
  if (!borrow) return nullptr;
  if (!st.writer) return closed();
  const std::optional<std::string>& ts = st.writer->last_ts_wall();
  return str_from(ts ? std::string_view(*ts) : std::string_view());
}

// (segment, record_id, hmac_hex) of the last record written, or None while
// the current segment holds none: what an anchor pins after a flush.
PyObject* head(PyObject* self, PyObject*) {
  auto& st = state_of(self);
  BorrowGuard borrow(st.guard, Borrow::kShared, kTypeName);
  if (!borrow) return nullptr;
  if (!st.writer) return closed();
  const auto h = st.writer->head();
  if (!h) Py_RETURN_NONE;
  Ref mac(str_from(to_hex(h->mac)));
  if (!mac) return nullptr;
  return Py_BuildValue("(HKO)", h->segment, static_cast<unsigned long long>(h->record_id), mac.get());
}

PyObject* repr(PyObject* self) {
  auto& st = state_of(self);
  BorrowGuard borrow(st.guard, Borrow::kShared, kTypeName);
  if (!borrow) return nullptr;
  return PyUnicode_FromString(st.writer ? "Writer(open)" : "Writer(closed)");
}

PyMethodDef kMethods[] = {
    {"open", guarded_method<open>(), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "open(log_dir, key, session_id_hex=\"00000000000000000000000000000000\", segment_size_bytes=None)\n--\n\n"
     "Open (or recover) an audit-log directory and return a Writer.\n\n"
     "`session_id_hex` is a 32-character hex string (a UUID version 4 with the\n"
     "dashes removed) and defaults to all zeros; callers should generate a real\n"
     "session id from `uuid.uuid4()`."},
    {"append", guarded_method<append>(), METH_O,
     "append($self, record)\n--\n\nAppend one record dict; returns the assigned record_id."},
    {"flush", guarded_method<flush>(), METH_NOARGS,
     "flush($self)\n--\n\nForce durable writes (F_FULLFSYNC on macOS, fsync elsewhere) of the\n"
     "segment file and the log directory."},
    {"close", guarded_method<close>(), METH_NOARGS, "close($self)\n--\n\nFlush, then drop the underlying writer."},
    {"__enter__", guarded_method<enter>(), METH_NOARGS, "__enter__($self)\n--\n\nReturn self."},
    {"__exit__", guarded_method<exit>(), METH_VARARGS | METH_KEYWORDS,
     "__exit__($self, _exc_type=None, _exc_value=None, _traceback=None)\n--\n\nFlush, then close."},
    {"recovery_action", guarded_method<recovery_action>(), METH_NOARGS,
     "recovery_action($self)\n--\n\n"
     "What open did: \"Fresh\", \"Resumed\", \"Repaired\" or \"OpenedNextAfterFinalized\"."},
    {"recovery_truncated_bytes", guarded_method<recovery_truncated_bytes>(), METH_NOARGS,
     "recovery_truncated_bytes($self)\n--\n\nBytes cut from the tail during `Repaired` recovery (0 otherwise)."},
    {"last_ts_wall", guarded_method<last_ts_wall>(), METH_NOARGS,
     "last_ts_wall($self)\n--\n\n"
     "ts_wall of the log's last record (finalization records included), or ''\n"
     "when the log holds none. append refuses a ts_wall more than 60 s earlier."},
    {"head", guarded_method<head>(), METH_NOARGS,
     "head($self)\n--\n\n"
     "`(segment, record_id, hmac_hex)` of the last record written to the current\n"
     "segment, or None while it holds none. Durable once `flush` has returned."},
    {"set_append_hook", guarded_method<set_append_hook>(), METH_VARARGS,
     "set_append_hook($self, every, hook, /)\n--\n\n"
     "Call `hook()` after every `every` appends, once each append is complete;\n"
     "`every` 0 or `hook` None removes it. An exception the hook raises is\n"
     "reported as unraisable and never fails the append."},
    {"hook_next_append", guarded_method<hook_next_append>(), METH_NOARGS,
     "hook_next_append($self)\n--\n\n"
     "Make the next append call the hook (and start its count again). Unlike\n"
     "every other method, this one may be called from any thread."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Wraps the core writer: appends records to an audit-log directory.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<WriterObject>)},
    {Py_tp_repr, guarded_slot<repr>()},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    kTypeName, sizeof(WriterObject),
    0,         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyType_Spec* writer_spec() { return &kSpec; }

}  // namespace corvane::py
