// What the module root needs to know of each class, and the class objects
// that members need when they build instances.
#pragma once

#include <Python.h>

#include <atomic>

#include "binding/refs.hpp"

namespace mirabex {

struct ClassDefinition {
  const char* name;       // "Hl7Json"
  const char* type_name;  // "builtins.Hl7Json": the classes report "builtins" as their module
  const char* doc;        // the constructor's text signature
  newfunc constructor;
  PyMethodDef* methods;
  PyGetSetDef* properties;
  destructor dealloc;
  Py_ssize_t instance_size;
  std::atomic<PyObject*>* cache;  // the class object, once created
};

extern const ClassDefinition kHl7JsonClass;
extern const ClassDefinition kJsonHl7Class;

// The class object (borrowed; it lives for the process), created on first
// use. Empty, with an exception set, if the interpreter refuses it.
Borrowed class_object(const ClassDefinition& definition);

// The class object for building an instance outside module initialisation.
// Throws InternalFailure if it cannot be created.
PyTypeObject* class_for_instances(const ClassDefinition& definition);

}  // namespace mirabex
