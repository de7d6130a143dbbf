// The one way into the module from Python: binding and converting call
// arguments with the exact error texts callers see, the per-object access
// guard, the mapping of errors to exceptions, and the net that turns any
// C++ exception into a Python exception instead of a crash.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "binding/access_counter.hpp"
#include "binding/once.hpp"
#include "binding/refs.hpp"
#include "core/errors.hpp"

namespace mirabex {

// ---- Process-wide values made once --------------------------------------

// Returns the value, making it with make() (an OwnedRef, empty with an
// exception set on failure) if no thread has yet. The cell keeps the value
// for the life of the process, so callers only borrow it. Threads that
// arrive while another makes it detach from the interpreter while they wait.
template <class Make>
Borrowed once_python_value(OnceCell<PyObject*>& cell, Make&& make) {
  if (const auto* value = cell.get()) return Borrowed(*value);
  PyThreadState* detached = nullptr;
  auto [value, ok] = cell.get_or_make(
      [&] {
        PyObject* made = make().release();  // the cell keeps it
        return std::pair<PyObject*, bool>(made, made != nullptr);
      },
      [&] { detached = PyEval_SaveThread(); }, [&] { PyEval_RestoreThread(detached); });
  return ok ? Borrowed(value) : Borrowed();
}

// An interned str made once per process.
Borrowed interned_name(OnceCell<PyObject*>& cell, const char* text);

// ---- Errors ----------------------------------------------------------------

// An unexpected condition inside the module's own code. The call wrapper
// turns it into PanicException.
class InternalFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The class of internal failures, derived from BaseException, made once.
Borrowed panic_exception_class();

// Raises PanicException with the text (a fixed text when there is none).
void raise_panic(const char* text);

// Raises the built-in Exception with the error's display text.
void raise_hl7_error(const Hl7Error& error);

// "'{type}' object is not an instance of '{expected}'".
void raise_type_conversion_error(PyObject* object, std::string_view expected);

// Tags the current exception with "while processing '{parameter}'".
void add_parameter_note(std::string_view parameter);

// Sets the Python exception for the C++ exception being handled. Call it
// only inside a catch block.
void report_internal_failure() noexcept;

// Runs body, returning failure with an exception set if it throws.
template <class Result, class Body>
Result call_guarded(Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    report_internal_failure();
    return failure;
  }
}

// ---- Arguments ---------------------------------------------------------------

// The parameters of one callable. Every parameter may be given by position
// or by keyword; the required ones come first.
struct ArgumentDescriptor {
  std::string_view class_name;
  std::string_view function_name;
  std::span<const std::string_view> parameters;
  std::size_t required;

  std::string full_name() const;  // "Hl7Json.validate()"
};

// The arguments of one call in parameter order; a parameter that was not
// given has an empty slot. Slots hold strong references for the call.
struct BoundArguments {
  static constexpr std::size_t kMaxParameters = 4;
  std::array<OwnedRef, kMaxParameters> slots;

  PyObject* operator[](std::size_t i) const { return slots[i].get(); }
};

// Method calls: a vector of positional arguments, then the values of the
// keywords named in kwnames. False with TypeError set on failure.
bool bind_arguments(const ArgumentDescriptor& descriptor, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, BoundArguments& bound);
// Constructors: a tuple and a dict (or nullptr).
bool bind_arguments(const ArgumentDescriptor& descriptor, PyObject* args, PyObject* kwargs,
                    BoundArguments& bound);

// Holds an object's critical section for a scope, an exception leaving it
// included. Without the free-threaded build there is nothing to hold.
class CriticalSection {
 public:
  explicit CriticalSection([[maybe_unused]] PyObject* object) {
#ifdef Py_GIL_DISABLED
    PyCriticalSection_Begin(&section_, object);
#endif
  }
  ~CriticalSection() {
#ifdef Py_GIL_DISABLED
    PyCriticalSection_End(&section_);
#endif
  }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
#ifdef Py_GIL_DISABLED
  PyCriticalSection section_;
#endif
};

// One step of iterating a dict that another thread may change, taken under
// the dict's critical section: the next pair as strong references (none at
// the end), and the size the dict had at that step.
struct DictStep {
  OwnedRef key;
  OwnedRef value;
  Py_ssize_t size = 0;
};
inline DictStep next_dict_item(PyObject* dict, Py_ssize_t& position) {
  DictStep step;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_BEGIN_CRITICAL_SECTION(dict);
  step.size = PyDict_GET_SIZE(dict);
  if (PyDict_Next(dict, &position, &key, &value)) {
    step.key = OwnedRef::own(key);
    step.value = OwnedRef::own(value);
  }
  Py_END_CRITICAL_SECTION();
  return step;
}

// str_text for everything but an ASCII str.
std::optional<std::string_view> non_ascii_str_text(PyObject* object);

// The UTF-8 text of a str, valid while the object lives. TypeError for
// anything else, and the encoder's error for a str with lone surrogates.
// ASCII strs, the common case, are their own UTF-8 and are read in place.
inline std::optional<std::string_view> str_text(PyObject* object) {
  if (PyUnicode_Check(object) && PyUnicode_IS_ASCII(object)) {
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
  }
  return non_ascii_str_text(object);
}

// Conversions. On failure the exception is set and tagged with the
// parameter's name, and the result is empty (or false).
std::optional<std::string_view> extract_text(PyObject* object, std::string_view parameter);
std::optional<bool> extract_bool(PyObject* object, std::string_view parameter);
// None and a missing argument both mean "no value".
bool extract_optional_bool(PyObject* object, std::string_view parameter,
                           std::optional<bool>& value);

// Steps away from the interpreter for work that touches no Python object,
// so that other threads run meanwhile.
class Detached {
 public:
  Detached() : state_(PyEval_SaveThread()) {}
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;
  ~Detached() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// A method of any calling convention as the method table stores it.
template <class Function>
PyCFunction as_method(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// ---- Objects -----------------------------------------------------------------

// The memory layout of an instance: the object header, the native state,
// then the access counter.
template <class Native>
struct Instance {
  PyObject_HEAD Native native;
  AccessCounter access;
};

template <class Native>
Instance<Native>* instance_of(PyObject* self) {
  return reinterpret_cast<Instance<Native>*>(self);
}

// Allocates an instance of type through its allocation slot and moves the
// native state in. nullptr with an exception set on failure.
template <class Native>
PyObject* create_instance(PyTypeObject* type, Native&& native) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* instance = instance_of<Native>(self);
  new (&instance->native) Native(std::move(native));
  new (&instance->access) AccessCounter();
  return self;
}

// An instance holding what a loader produced, or the loader's error raised.
template <class Native>
PyObject* create_instance_or_raise(PyTypeObject* type, std::variant<Native, Hl7Error>&& loaded) {
  if (const auto* error = std::get_if<Hl7Error>(&loaded)) {
    raise_hl7_error(*error);
    return nullptr;
  }
  return create_instance(type, std::get<Native>(std::move(loaded)));
}

// Destroys the native state and frees the instance (the deallocation slot).
template <class Native>
void destroy_instance(PyObject* self) {
  auto* instance = instance_of<Native>(self);
  instance->native.~Native();
  instance->access.~AccessCounter();
  PyTypeObject* type = Py_TYPE(self);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

// Runs body(native) under a shared access to the instance.
template <class Native, class Body>
PyObject* with_shared_access(PyObject* self, Body&& body) {
  auto* instance = instance_of<Native>(self);
  SharedAccess access(instance->access);
  if (!access.held()) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return nullptr;
  }
  return body(static_cast<const Native&>(instance->native));
}

// Runs body(native) under an exclusive access to the instance.
template <class Native, class Body>
int with_exclusive_access(PyObject* self, Body&& body) {
  auto* instance = instance_of<Native>(self);
  ExclusiveAccess access(instance->access);
  if (!access.held()) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return -1;
  }
  body(instance->native);
  return 0;
}

}  // namespace mirabex
