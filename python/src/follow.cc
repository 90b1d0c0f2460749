// Follower: reads a growing log from where the last poll stopped, so that a
// follower costs what is appended, not the size of the log.
#include "binding.h"
#include "corvane/follower.h"

namespace corvane::py {

namespace {

constexpr const char* kFollowerName = "corvane_audit._native.Follower";
// Small enough that the dicts of one batch stay in cache.
constexpr Py_ssize_t kDefaultBatch = 64;

struct FollowerObject {
  PyObject_HEAD struct State {
    ObjectGuard guard;
    std::optional<LogFollower> follower;
  } state;
};

PyObject* follower_open(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"log_dir", nullptr};
  PyObject* path_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:open", const_cast<char**>(kwlist), &path_obj)) return nullptr;
  std::string dir;
  if (!path_from_str(path_obj, &dir)) return nullptr;
  auto opened = LogFollower::open(dir);
  if (!opened) return raise_reader_error(opened.error());
  auto* self = alloc_instance<FollowerObject>(type_of(Cls::kFollower));
  if (self == nullptr) return nullptr;
  self->state.guard.bind_to_current_thread();
  self->state.follower.emplace(std::move(*opened));
  return reinterpret_cast<PyObject*>(self);
}

PyObject* follower_poll(PyObject* self, PyObject* args, PyObject* kwargs) {
  auto& state = reinterpret_cast<FollowerObject*>(self)->state;
  BorrowGuard borrow(state.guard, Borrow::kExclusive, kFollowerName);
  if (!borrow) return nullptr;
  static const char* kwlist[] = {"max_records", nullptr};
  Py_ssize_t max = kDefaultBatch;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|n:poll", const_cast<char**>(kwlist), &max)) return nullptr;
  if (max < 1) return raise(Exc::kArgumentError, "max_records must be at least 1");
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  bool failed = false;
  auto polled = state.follower->poll(static_cast<std::size_t>(max), [&](StoredRecord&& record) {
    Ref dict(record_to_python(record));
    failed = !dict || PyList_Append(list.get(), dict.get()) != 0;
    return !failed;
  });
  if (failed) return nullptr;
  // Records read before an error are handed out first; the error stays at
  // the position and is raised by the next poll.
  if (!polled && PyList_Size(list.get()) == 0) return raise_reader_error(polled.error());
  return list.release();
}

PyObject* follower_position(PyObject* self, PyObject*) {
  auto& state = reinterpret_cast<FollowerObject*>(self)->state;
  BorrowGuard borrow(state.guard, Borrow::kShared, kFollowerName);
  if (!borrow) return nullptr;
  return Py_BuildValue("(kK)", static_cast<unsigned long>(state.follower->segment()),
                       static_cast<unsigned long long>(state.follower->offset()));
}

PyMethodDef kFollowerMethods[] = {
    {"open", guarded_method<follower_open>(), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "open(log_dir)\n--\n\n"
     "Start following a log directory from its first record. No key is needed."},
    {"poll", guarded_method<follower_poll>(), METH_VARARGS | METH_KEYWORDS,
     "poll($self, /, max_records=64)\n--\n\n"
     "Return the records (as dicts, at most max_records) that are complete now and\n"
     "were not returned before; an empty list when nothing new is there. A frame\n"
     "still being written at the end of the last segment is left for a later poll;\n"
     "damage anywhere else raises as iteration does."},
    {"position", guarded_method<follower_position>(), METH_NOARGS,
     "position($self)\n--\n\nThe (segment_index, byte_offset) the next poll reads from."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kFollowerSlots[] = {
    {Py_tp_doc, const_cast<char*>("Reads the records appended to a log since the last poll.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<FollowerObject>)},
    {Py_tp_methods, kFollowerMethods},
    {0, nullptr},
};

PyType_Spec kFollowerSpec = {
    kFollowerName,
    sizeof(FollowerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    kFollowerSlots,
};

}  // namespace

PyType_Spec* follower_spec() { return &kFollowerSpec; }

}  // namespace corvane::py
