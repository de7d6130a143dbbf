// The module root: the module's definition, its two entry points, and the
// creation and registration of its classes.
#include <Python.h>

#include <array>
#include <cstdint>

#include "binding/call_wrapper.hpp"
#include "binding/classes.hpp"

namespace mirabex {

namespace {

OnceCell<PyObject*> all_name_cell;

OwnedRef create_class(const ClassDefinition& definition) {
  std::array<PyType_Slot, 7> legacy_slots{};
  std::size_t count = 0;
  if (definition.doc != nullptr && *definition.doc != '\0') {
    legacy_slots[count++] = {Py_tp_doc, const_cast<char*>(definition.doc)};
  }
  legacy_slots[count++] = {Py_tp_new, reinterpret_cast<void*>(definition.constructor)};
  legacy_slots[count++] = {Py_tp_methods, definition.methods};
  legacy_slots[count++] = {Py_tp_getset, definition.properties};
  legacy_slots[count++] = {Py_tp_base, &PyBaseObject_Type};
  legacy_slots[count++] = {Py_tp_dealloc, reinterpret_cast<void*>(definition.dealloc)};
  legacy_slots[count] = {0, nullptr};

  PySlot slots[] = {
      PySlot_PTR_STATIC(Py_tp_name, definition.type_name),
      PySlot_PTR(Py_tp_flags, Py_TPFLAGS_DEFAULT),
      PySlot_PTR(Py_tp_slots, legacy_slots.data()),
      PySlot_PTR(Py_tp_basicsize, definition.instance_size),
      PySlot{},
  };
  return OwnedRef::consume(PyType_FromSlots(slots));
}

// Adds the class to the module and its name to the module's __all__.
bool add_class(PyObject* module, const ClassDefinition& definition) {
  const Borrowed class_object_ = class_object(definition);
  if (!class_object_) return false;
  OwnedRef name = OwnedRef::consume(PyUnicode_FromString(definition.name));
  const Borrowed all_name = interned_name(all_name_cell, "__all__");
  if (!name || !all_name) return false;

  // The module is fresh: __all__ is the list the first call made, if any.
  OwnedRef all = OwnedRef::consume(PyObject_GetAttr(module, all_name.get()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = OwnedRef::consume(PyList_New(0));
    if (!all || PyObject_SetAttr(module, all_name.get(), all.get()) < 0) return false;
  }
  if (PyList_Append(all.get(), name.get()) < 0) {
    PyErr_Clear();
    throw InternalFailure("could not append __name__ to __all__");
  }
  return PyObject_SetAttr(module, name.get(), class_object_.get()) == 0;
}

int exec_module(PyObject* module) {
  // The interpreter made the module (there is no creation slot).
  return call_guarded<int>(-1, [&] {
    const bool added = add_class(module, kHl7JsonClass) && add_class(module, kJsonHl7Class);
    return added ? 0 : -1;
  });
}

// The module is built against one interpreter ABI: the free-threaded one when
// Py_GIL_DISABLED is set, else the default one. The record names it, with
// no build or ABI version checks.
PyABIInfo abi_info = {1, 0,
#ifdef Py_GIL_DISABLED
                      PyABIInfo_FREETHREADED,
#else
                      PyABIInfo_GIL,
#endif
                      0, 0};

PySlot make_slot(std::uint16_t id, std::uint16_t flags, void* data) {
  PySlot slot{};
  slot.sl_id = id;
  slot.sl_flags = flags;
  slot.sl_ptr = data;
  return slot;
}

PySlot function_slot(std::uint16_t id, void (*function)()) {
  PySlot slot{};
  slot.sl_id = id;
  slot.sl_func = function;
  return slot;
}

// Both entry points describe the module by these slots.
PySlot module_slots[] = {
    function_slot(Py_mod_exec, reinterpret_cast<void (*)()>(exec_module)),
    make_slot(Py_mod_abi, PySlot_STATIC, &abi_info),
    make_slot(Py_mod_gil, PySlot_INTPTR, Py_MOD_GIL_NOT_USED),
    make_slot(Py_mod_name, PySlot_STATIC, const_cast<char*>("mirabex")),
    make_slot(Py_mod_doc, PySlot_STATIC, const_cast<char*>("")),
    PySlot{},
};

PyModuleDef_Slot legacy_module_slots[] = {
    {Py_slot_subslots, module_slots},
    {0, nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "mirabex",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = legacy_module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

// No once-only guard: two threads that both find the class missing each
// create one, and the one stored first is kept.
Borrowed class_object(const ClassDefinition& definition) {
  PyObject* cached = definition.cache->load(std::memory_order_acquire);
  if (cached != nullptr) return Borrowed(cached);
  OwnedRef created = create_class(definition);
  if (!created) return {};
  if (definition.cache->compare_exchange_strong(cached, created.get(), std::memory_order_acq_rel)) {
    return Borrowed(created.release());  // the cache keeps it for the life of the process
  }
  return Borrowed(cached);
}

PyTypeObject* class_for_instances(const ClassDefinition& definition) {
  const Borrowed type = class_object(definition);
  if (!type) {
    PyErr_WriteUnraisable(nullptr);
    throw InternalFailure(std::string("failed to create type object for `") + definition.name +
                          "`");
  }
  return reinterpret_cast<PyTypeObject*>(type.get());
}

}  // namespace mirabex

PyMODEXPORT_FUNC PyModExport_mirabex(void) { return mirabex::module_slots; }

PyMODINIT_FUNC PyInit_mirabex(void) { return PyModuleDef_Init(&mirabex::module_definition); }
