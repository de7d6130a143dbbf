// Owned and borrowed references to Python objects, as distinct types.
//
// Rules:
// - A C API call that returns a new reference is wrapped at once in
//   OwnedRef::consume(), which takes that reference over.
// - OwnedRef::own() adds a reference to an object that is only borrowed.
// - release() hands the reference back to the interpreter (a return value,
//   or a "steals" argument such as PyList_SET_ITEM).
// - Borrowed is a plain pointer with a name: it never touches the count.
// Both compile down to a bare pointer.
#pragma once

#include <Python.h>

#include <utility>

namespace mirabex {

class Borrowed {
 public:
  constexpr Borrowed() = default;
  constexpr explicit Borrowed(PyObject* object) : object_(object) {}
  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

class OwnedRef {
 public:
  OwnedRef() = default;
  static OwnedRef consume(PyObject* new_reference) { return OwnedRef(new_reference); }
  static OwnedRef own(PyObject* borrowed) { return OwnedRef(Py_XNewRef(borrowed)); }
  static OwnedRef own(Borrowed borrowed) { return own(borrowed.get()); }

  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  Borrowed borrow() const { return Borrowed(object_); }
  explicit operator bool() const { return object_ != nullptr; }
  [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit OwnedRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace mirabex
