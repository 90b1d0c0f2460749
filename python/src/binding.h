// Shared machinery of the extension: owned references, the thread binding
// and borrow flag of the stateful classes, the process-wide exception
// classes and types, and the mapping of core errors to exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "corvane/errors.h"
#include "corvane/key.h"
#include "corvane/report.h"

namespace corvane {
struct StoredRecord;
}

namespace corvane::py {

// ---------------------------------------------------------------------------
// No C++ exception may cross into the interpreter: every function, method and
// slot of the module is entered through Guarded<fn>::call, which turns an
// allocation failure into MemoryError and anything else into RuntimeError.
// (Deallocation, traversal and clearing only release memory: they cannot
// throw and stay unwrapped.)

template <auto Fn>
struct Guarded;

template <typename R, typename... Args, R (*Fn)(Args...)>
struct Guarded<Fn> {
  static R call(Args... args) noexcept {
    try {
      return Fn(args...);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (...) {
      PyErr_SetString(PyExc_RuntimeError, "internal error in corvane_audit._native");
    }
    if constexpr (std::is_pointer_v<R>) {
      return nullptr;
    } else {
      return -1;
    }
  }
};

// The guarded entry point, cast as a method table or a slot table wants it.
template <auto Fn>
PyCFunction guarded_method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Guarded<Fn>::call));
}
template <auto Fn>
void* guarded_slot() {
  return reinterpret_cast<void*>(&Guarded<Fn>::call);
}

// ---------------------------------------------------------------------------
// An owned reference; null when empty.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : p_(owned) {}
  ~Ref() { Py_XDECREF(p_); }
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = other.p_;
      other.p_ = nullptr;
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  static Ref borrowed(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  PyObject* get() const { return p_; }
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Thread binding and borrow flag of Writer, Reader, RecordIter and
// VerifyReport. Every method first takes a borrow: exclusive for methods that
// change the object, shared for those that only read it. A call from another
// thread, or one that re-enters the object through Python code it called
// back, is refused and leaves the object unchanged.

struct ObjectGuard {
  unsigned long thread = 0;  // PyThread_get_thread_ident() of the creator
  int borrow = 0;            // > 0: shared borrows; -1: an exclusive borrow
  void bind_to_current_thread();
};

enum class Borrow { kShared, kExclusive };

class BorrowGuard {
 public:
  // `type_name` names the class in the wrong-thread message.
  BorrowGuard(ObjectGuard& guard, Borrow kind, const char* type_name);
  ~BorrowGuard();
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  // False when refused; the exception is set then.
  explicit operator bool() const { return guard_ != nullptr; }

 private:
  ObjectGuard* guard_ = nullptr;
  Borrow kind_ = Borrow::kShared;
};

// ---------------------------------------------------------------------------
// Exception classes, in the module's attribute order. Each is created once
// per process (its base first) and reused by every later import.

enum class Exc {
  kCorvaneAuditError,
  kIoFailure,
  kArgumentError,
  kRecoveryError,
  kVerificationFailed,
  kChainBreakError,
  kHmacMismatchError,
  kMissingRecordError,
  kRecordCorruptError,
  kHeaderCorruptError,
  kKeyIdMismatchError,
  kSegmentDiscontinuityError,
  kTimestampError,
  kSchemaError,
  kCheckpointMismatchError,
  kCheckpointTruncatedError,
  kCheckpointKeyMismatchError,
  kCount,
};

// The class (a borrowed reference), created on first use; null with an
// exception set if it could not be created.
PyObject* exception_class(Exc which);
const char* exception_name(Exc which);  // "CorvaneAuditError", ...

// Sets `which` with `message` as its single argument; returns nullptr so
// callers can `return raise(...)`.
std::nullptr_t raise(Exc which, std::string_view message);
std::nullptr_t raise_type_error(const std::string& message);

// Core errors, mapped to the module's exceptions with the errors' own texts.
std::nullptr_t raise_io(const IoError& error);
std::nullptr_t raise_writer_error(const WriterError& error);
std::nullptr_t raise_reader_error(const ReaderError& error);
std::nullptr_t raise_verify_error(const VerifyError& error);
std::nullptr_t raise_keychain_error(std::string_view service, std::string_view account, const KeychainError& error);
// Marks a pending ArgumentError as concerning the argument `argument` (its
// attribute "argument"), so the package can say which file it came from
// without reading the message; any other pending error is left alone.
void tag_argument_error(const char* argument);
// The class matching a violation kind.
Exc violation_exception(ViolationKind kind);
// WrongThreadError (a BaseException): a thread-bound object used from
// another thread. Borrowed; null with an exception set if it could not be made.
PyObject* wrong_thread_class();

// ---------------------------------------------------------------------------
// Types of the module, created once per process.

enum class Cls { kKeyHandle, kWriter, kReader, kRecordIter, kVerifyReport, kFollower, kCount };

// The type (borrowed), null before the module's first exec step.
PyTypeObject* type_of(Cls which);
// Creates the type from `shape` unless it exists; returns it (borrowed) or
// null with an exception set.
PyTypeObject* ensure_type(Cls which, PyType_Spec* shape);

// Instances are `struct Obj { PyObject_HEAD; State state; }`: the
// interpreter allocates the memory, the State is constructed in place.
template <typename Obj>
Obj* alloc_instance(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  auto* self = reinterpret_cast<Obj*>(alloc(type, 0));
  if (self == nullptr) return nullptr;
  new (&self->state) typename Obj::State();
  return self;
}

// Destroys the State, frees the memory and drops the type reference that
// every heap-type instance holds. (GC-tracked types untrack first.)
template <typename Obj>
void dealloc_instance(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (PyType_GetFlags(type) & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(obj);
  reinterpret_cast<Obj*>(obj)->state.~State();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(obj);
  Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Small conversions shared by the classes.

// The UTF-8 text of a str (nullptr with the interpreter's error set).
const char* utf8_of(PyObject* str, Py_ssize_t* len);
// The UTF-8 bytes of a str, lone surrogates kept (surrogatepass), so that a
// caller's text still round-trips into messages.
bool text_of(PyObject* str, std::string* out);
// A path argument: the str in the file-system encoding (surrogateescape),
// so names that are not valid UTF-8 survive.
bool path_from_str(PyObject* str, std::string* out);
PyObject* str_from(std::string_view text);  // new reference; replaces invalid UTF-8
PyObject* bytes_from(const void* data, std::size_t len);
// Leading and trailing Unicode White_Space removed.
std::string_view strip_unicode_whitespace(std::string_view text);

// Decodes hexadecimal text (surrounding Unicode whitespace ignored; digits
// in either case) into exactly out.size() bytes. On failure: the trimmed
// text's byte length if it is not twice out.size(), else the index of the
// first byte whose two characters are not both hex digits.
struct HexFailure {
  bool wrong_length;
  std::size_t value;
};
std::optional<HexFailure> decode_hex_exact(std::string_view text, std::span<std::uint8_t> out);

// A record read back as the dict iteration yields (new reference).
PyObject* record_to_python(const StoredRecord& record);

// The shared core key of a KeyHandle object, or null if `obj` is not one.
const KeyHandle* key_of(PyObject* obj);

// Per-class setup, called by the module's exec step in attribute order.
PyType_Spec* keyhandle_spec();
PyType_Spec* writer_spec();
PyType_Spec* reader_spec();
PyType_Spec* recorditer_spec();
PyType_Spec* verifyreport_spec();
PyType_Spec* follower_spec();  // added after the functions
// Module functions added after the classes: verify, then checkpoint.
extern PyMethodDef kVerifyFunctions[];
// Module functions added last, after the design's attributes: Ed25519
// signing and verification for signed checkpoints.
extern PyMethodDef kSigningFunctions[];
// Added after those: verify_span.
extern PyMethodDef kVerifySpanFunctions[];
// A VerifyReport object for `report`, or with `raise_on_violation` the
// exception of its first violation (verify()'s rules).
PyObject* report_or_raise(const VerifyReport& report, bool raise_on_violation);

}  // namespace corvane::py
