// verify_span(): incremental, parallel and live verification. Arguments are
// converted and the report built with the interpreter lock held; the walk
// itself runs without it (and on threads of its own with jobs > 1), touching
// no Python object.
#include "corvane/verify_span.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "binding.h"
#include "checkpoint_arg.h"

namespace corvane::py {

namespace {

constexpr const char* kFunc = "verify_span";
constexpr unsigned kMaxJobs = 256;

bool wrong_type(const char* arg, const char* expected, PyObject* got) {
  Ref name(PyType_GetName(Py_TYPE(got)));
  if (name) PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %U", kFunc, arg, expected, name.get());
  return false;
}

bool bool_arg(const char* arg, PyObject* obj, bool* out) {
  if (!PyBool_Check(obj)) return wrong_type(arg, "bool", obj);
  *out = obj == Py_True;
  return true;
}

// A checkpoint dict as verify() parses it; for `since`, also its optional
// "offset", the byte offset of the pinned frame that the package writes.
bool checkpoint_arg(const char* arg, PyObject* obj, std::optional<Checkpoint>* out,
                    std::optional<std::uint64_t>* offset) {
  if (obj == Py_None) return true;
  if (!PyDict_Check(obj)) return wrong_type(arg, "dict or None", obj);
  Checkpoint checkpoint;
  if (!parse_checkpoint(obj, &checkpoint)) return tag_argument_error(arg), false;
  *out = std::move(checkpoint);
  if (offset == nullptr) return true;
  PyObject* value = PyDict_GetItemString(obj, "offset");  // borrowed; absent is fine
  if (value == nullptr) return true;
  const unsigned long long v = PyLong_Check(value) ? PyLong_AsUnsignedLongLong(value) : 0;
  if (!PyLong_Check(value) || (v == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
    PyErr_Clear();
    raise(Exc::kArgumentError, "checkpoint \"offset\" must be an integer");
    return tag_argument_error(arg), false;
  }
  *offset = v;
  return true;
}

// Counters the walk updates while it runs: a writable buffer of two aligned
// unsigned 64-bit values, held until the walk ends.
class ProgressArg {
 public:
  ProgressArg() = default;
  ~ProgressArg() {
    if (held_) PyBuffer_Release(&view_);
  }
  ProgressArg(const ProgressArg&) = delete;
  ProgressArg& operator=(const ProgressArg&) = delete;

  bool take(PyObject* obj) {
    if (obj == Py_None) return true;
    if (PyObject_GetBuffer(obj, &view_, PyBUF_WRITABLE) != 0) return false;
    held_ = true;
    if (view_.len < 16 || reinterpret_cast<std::uintptr_t>(view_.buf) % 8 != 0) {
      raise(Exc::kArgumentError, "progress must be a writable buffer of at least 16 bytes, 8-byte aligned");
      return false;
    }
    return true;
  }
  std::uint64_t* counters() const { return held_ ? static_cast<std::uint64_t*>(view_.buf) : nullptr; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

PyObject* position_dict(const std::optional<RecordPosition>& at) {
  if (!at) return Py_NewRef(Py_None);
  return Py_BuildValue("{s:I,s:K,s:K}", "segment", static_cast<unsigned>(at->segment), "record_id",
                       static_cast<unsigned long long>(at->record_id), "offset",
                       static_cast<unsigned long long>(at->offset));
}

PyObject* optional_str(const std::optional<std::string>& text) { return text ? str_from(*text) : Py_NewRef(Py_None); }

PyObject* span_dict(const VerifySpan& span) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  const auto set = [&](const char* key, PyObject* value) {
    Ref owned(value);
    return owned && PyDict_SetItemString(dict.get(), key, owned.get()) == 0;
  };
  if (!set("start", position_dict(span.start)) || !set("end", position_dict(span.end)) ||
      !set("first_ts_wall", optional_str(span.first_ts_wall)) ||
      !set("last_ts_wall", optional_str(span.last_ts_wall)) ||
      !set("pending_bytes", PyLong_FromUnsignedLongLong(span.pending_bytes))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* verify_span_impl(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"log_dir", "key",  "forensic", "raise_on_violation", "checkpoint",
                                 "since",   "jobs", "live",     "progress",           nullptr};
  PyObject* log_dir_obj = nullptr;
  PyObject* key_obj = nullptr;
  PyObject* forensic_obj = Py_False;
  PyObject* raise_obj = Py_False;
  PyObject* checkpoint_obj = Py_None;
  PyObject* since_obj = Py_None;
  PyObject* jobs_obj = nullptr;
  PyObject* live_obj = Py_False;
  PyObject* progress_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OOO$OOOO:verify_span", const_cast<char**>(kwlist), &log_dir_obj,
                                   &key_obj, &forensic_obj, &raise_obj, &checkpoint_obj, &since_obj, &jobs_obj,
                                   &live_obj, &progress_obj)) {
    return nullptr;
  }
  std::string dir;
  if (!PyUnicode_Check(log_dir_obj)) return wrong_type("log_dir", "str", log_dir_obj), nullptr;
  if (!path_from_str(log_dir_obj, &dir)) return nullptr;
  const KeyHandle* key_ptr = key_of(key_obj);
  if (key_ptr == nullptr) return wrong_type("key", "KeyHandle", key_obj), nullptr;
  const KeyHandle key = *key_ptr;  // shared: outlives the call whatever happens to the object

  SpanOptions options;
  bool raise_on_violation = false;
  if (!bool_arg("forensic", forensic_obj, &options.verify.forensic) ||
      !bool_arg("raise_on_violation", raise_obj, &raise_on_violation) ||
      !checkpoint_arg("checkpoint", checkpoint_obj, &options.verify.checkpoint, nullptr) ||
      !checkpoint_arg("since", since_obj, &options.since, &options.since_offset)) {
    return nullptr;
  }
  if (options.since && options.verify.checkpoint) {
    return raise(Exc::kArgumentError, "checkpoint and since cannot be combined: since already pins a record");
  }
  if (jobs_obj != nullptr) {
    if (!PyLong_Check(jobs_obj) || PyBool_Check(jobs_obj)) return wrong_type("jobs", "int", jobs_obj), nullptr;
    const long jobs = PyLong_AsLong(jobs_obj);
    if (jobs == -1 && PyErr_Occurred()) PyErr_Clear();
    if (jobs < 0 || jobs > static_cast<long>(kMaxJobs)) {
      return raise(Exc::kArgumentError, "jobs must be between 0 (one per CPU) and " + std::to_string(kMaxJobs));
    }
    options.jobs = static_cast<unsigned>(jobs);
  }
  if (!bool_arg("live", live_obj, &options.live)) return nullptr;
  ProgressArg progress;
  if (!progress.take(progress_obj)) return nullptr;
  options.progress = progress.counters();

  std::optional<std::expected<SpanReport, VerifyError>> result;
  bool out_of_memory = false;
  bool failed = false;
  Py_BEGIN_ALLOW_THREADS
      // Nothing may leave this block but by its end: the lock must be taken back.
      try {
    result.emplace(verify_span(dir, key, options));
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  } catch (...) {
    failed = true;
  }
  Py_END_ALLOW_THREADS if (out_of_memory) return PyErr_NoMemory();
  if (failed) return PyErr_SetString(PyExc_RuntimeError, "internal error in corvane_audit._native"), nullptr;
  if (!*result) return raise_verify_error(result->error());

  Ref report(report_or_raise((*result)->report, raise_on_violation));
  if (!report) return nullptr;
  Ref span(span_dict((*result)->span));
  if (!span) return nullptr;
  return PyTuple_Pack(2, report.get(), span.get());
}

}  // namespace

PyMethodDef kVerifySpanFunctions[] = {
    {"verify_span", guarded_method<verify_span_impl>(), METH_VARARGS | METH_KEYWORDS,
     "verify_span(log_dir, key, forensic=False, raise_on_violation=False, checkpoint=None, *, since=None, jobs=1, "
     "live=False, progress=None)\n--\n\n"
     "Verify like `verify`, and return `(report, span)`.\n\n"
     "`since` (a checkpoint dict) starts at the record it pins instead of the\n"
     "log's beginning: that record must be there with the pinned MAC, which\n"
     "must be right for its bytes; everything after it is verified as `verify`\n"
     "does, and nothing before it is read. An \"offset\" key in the dict (the\n"
     "package writes one) lets the record be found without walking its segment.\n\n"
     "`jobs` walks segments on that many threads (0: one per CPU); the report\n"
     "is the one a single walk gives. The interpreter lock is released while\n"
     "the log is read, so other Python threads keep running.\n\n"
     "`live` stops at the size the last segment has when its walk starts; a\n"
     "frame a writer is still appending there is pending, not a torn tail.\n\n"
     "`progress`, a writable buffer of two 8-byte counters, receives bytes and\n"
     "segments walked as the walk goes.\n\n"
     "`span` says what was proved: `start` (the pinned record) and `end` (the\n"
     "record whose MAC is the final head) as `{segment, record_id, offset}`,\n"
     "the first and last `ts_wall` walked, and `pending_bytes`."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace corvane::py
