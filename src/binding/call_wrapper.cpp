#include "binding/call_wrapper.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace mirabex {

namespace {

OnceCell<PyObject*> panic_exception_cell;
OnceCell<PyObject*> add_note_name_cell;

[[noreturn]] void end_process(const char* message) noexcept {
  std::fputs(message, stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

void raise_panic(const char* text) {
  const Borrowed panic = panic_exception_class();
  const char* message = text != nullptr && *text != '\0' ? text : "internal failure in mirabex";
  OwnedRef value = OwnedRef::consume(PyUnicode_FromString(message));
  if (!value) return;
  PyErr_SetObject(panic.get(), value.get());
}

namespace {

void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

const char* was_or_were(std::size_t count) { return count == 1 ? "was" : "were"; }

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string quoted_list(std::span<const std::string_view> names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) list += names.size() > 2 ? ", " : " ";
    if (i > 0 && i + 1 == names.size()) list += "and ";
    list += "'";
    list += names[i];
    list += "'";
  }
  return list;
}

void raise_too_many_positional(const ArgumentDescriptor& descriptor, std::size_t given) {
  const std::size_t count = descriptor.parameters.size();
  std::string message = descriptor.full_name() + " takes ";
  if (descriptor.required == count) {
    message += std::to_string(count);
  } else {
    message += "from " + std::to_string(descriptor.required) + " to " + std::to_string(count);
  }
  message +=
      " positional arguments but " + std::to_string(given) + " " + was_or_were(given) + " given";
  raise_type_error(message);
}

void raise_unexpected_keyword(const ArgumentDescriptor& descriptor, PyObject* name) {
  OwnedRef text = OwnedRef::consume(PyObject_Str(name));
  if (!text) return;
  OwnedRef message = OwnedRef::consume(PyUnicode_FromFormat(
      "%s got an unexpected keyword argument '%U'", descriptor.full_name().c_str(), text.get()));
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

// The slot of the parameter that name names, or npos.
std::size_t parameter_index(const ArgumentDescriptor& descriptor, PyObject* name) {
  if (!PyUnicode_Check(name)) return std::string_view::npos;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return std::string_view::npos;
  }
  const std::string_view key(text, static_cast<std::size_t>(size));
  for (std::size_t i = 0; i < descriptor.parameters.size(); ++i) {
    if (descriptor.parameters[i] == key) return i;
  }
  return std::string_view::npos;
}

bool bind_positional(const ArgumentDescriptor& descriptor, PyObject* const* args, std::size_t count,
                     BoundArguments& bound) {
  if (count > descriptor.parameters.size()) {
    raise_too_many_positional(descriptor, count);
    return false;
  }
  for (std::size_t i = 0; i < count; ++i) bound.slots[i] = OwnedRef::own(args[i]);
  return true;
}

bool bind_keyword(const ArgumentDescriptor& descriptor, PyObject* name, PyObject* value,
                  BoundArguments& bound) {
  const std::size_t index = parameter_index(descriptor, name);
  if (index == std::string_view::npos) {
    raise_unexpected_keyword(descriptor, name);
    return false;
  }
  if (bound.slots[index]) {
    raise_type_error(descriptor.full_name() + " got multiple values for argument '" +
                     std::string(descriptor.parameters[index]) + "'");
    return false;
  }
  bound.slots[index] = OwnedRef::own(value);
  return true;
}

bool check_required(const ArgumentDescriptor& descriptor, const BoundArguments& bound) {
  std::array<std::string_view, BoundArguments::kMaxParameters> missing{};
  std::size_t missing_count = 0;
  for (std::size_t i = 0; i < descriptor.required; ++i) {
    if (!bound.slots[i]) missing[missing_count++] = descriptor.parameters[i];
  }
  if (missing_count == 0) return true;
  raise_type_error(descriptor.full_name() + " missing " + std::to_string(missing_count) +
                   " required positional " + (missing_count == 1 ? "argument" : "arguments") +
                   ": " + quoted_list(std::span(missing).first(missing_count)));
  return false;
}

std::string type_qualified_name(PyObject* object) {
  OwnedRef name = OwnedRef::consume(PyType_GetQualName(Py_TYPE(object)));
  const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return text;
}

bool type_is_numpy_bool(PyTypeObject* type) {
  OwnedRef module = OwnedRef::consume(PyType_GetModuleName(type));
  OwnedRef name = OwnedRef::consume(PyType_GetName(type));
  if (!module || !name || !PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_EqualToUTF8(module.get(), "numpy") &&
         (PyUnicode_EqualToUTF8(name.get(), "bool_") || PyUnicode_EqualToUTF8(name.get(), "bool"));
}

// numpy's bool scalars convert through their type's truth-value slot.
std::optional<bool> numpy_bool_value(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  auto truth = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
  if (truth == nullptr) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                 reinterpret_cast<PyObject*>(type));
    return std::nullopt;
  }
  const int value = truth(object);
  if (value < 0) return std::nullopt;
  return value != 0;
}

}  // namespace

Borrowed interned_name(OnceCell<PyObject*>& cell, const char* text) {
  return once_python_value(cell,
                           [text] { return OwnedRef::consume(PyUnicode_InternFromString(text)); });
}

Borrowed panic_exception_class() {
  const Borrowed panic = once_python_value(panic_exception_cell, [] {
    return OwnedRef::consume(PyErr_NewExceptionWithDoc(
        "mirabex_runtime.PanicException",
        "An internal failure inside mirabex: a fault in the module, not in its input.",
        PyExc_BaseException, nullptr));
  });
  if (!panic) Py_FatalError("Failed to initialize new exception type.");
  return panic;
}

void raise_hl7_error(const Hl7Error& error) {
  PyErr_SetString(PyExc_Exception, error.display().c_str());
}

void raise_type_conversion_error(PyObject* object, std::string_view expected) {
  if (object == Py_None) {
    raise_type_error("'None' is not an instance of '" + std::string(expected) + "'");
    return;
  }
  raise_type_error("'" + type_qualified_name(object) + "' object is not an instance of '" +
                   std::string(expected) + "'");
}

void add_parameter_note(std::string_view parameter) {
  PyObject* exception = PyErr_GetRaisedException();
  if (exception == nullptr) return;
  const Borrowed add_note = interned_name(add_note_name_cell, "add_note");
  OwnedRef note = OwnedRef::consume(PyUnicode_FromFormat(
      "while processing '%.*s'", static_cast<int>(parameter.size()), parameter.data()));
  OwnedRef result;
  if (add_note && note) {
    result = OwnedRef::consume(PyObject_CallMethodOneArg(exception, add_note.get(), note.get()));
  }
  if (!result) PyErr_Clear();  // the note is a courtesy; keep the original error
  PyErr_SetRaisedException(exception);
}

void report_internal_failure() noexcept {
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& failure) {
      raise_panic(failure.what());
    } catch (...) {
      raise_panic(nullptr);
    }
  } catch (...) {
    end_process("uncaught panic at ffi boundary");
  }
}

std::string ArgumentDescriptor::full_name() const {
  std::string name;
  name.reserve(class_name.size() + function_name.size() + 3);
  name += class_name;
  name += '.';
  name += function_name;
  name += "()";
  return name;
}

bool bind_arguments(const ArgumentDescriptor& descriptor, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, BoundArguments& bound) {
  const auto positional = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  if (!bind_positional(descriptor, args, positional, bound)) return false;
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    if (!bind_keyword(descriptor, PyTuple_GET_ITEM(kwnames, i), args[positional + i], bound)) {
      return false;
    }
  }
  return positional >= descriptor.required || check_required(descriptor, bound);
}

bool bind_arguments(const ArgumentDescriptor& descriptor, PyObject* args, PyObject* kwargs,
                    BoundArguments& bound) {
  const auto positional = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  if (!bind_positional(descriptor, &PyTuple_GET_ITEM(args, 0), positional, bound)) return false;
  if (kwargs != nullptr) {
    // A C caller may hand over a dict that another thread changes meanwhile
    // (PyObject_Call): each item is taken whole under the dict's lock.
    Py_ssize_t position = 0;
    for (DictStep step = next_dict_item(kwargs, position); step.key;
         step = next_dict_item(kwargs, position)) {
      if (!bind_keyword(descriptor, step.key.get(), step.value.get(), bound)) return false;
    }
  }
  return positional >= descriptor.required || check_required(descriptor, bound);
}

std::optional<std::string_view> non_ascii_str_text(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    raise_type_conversion_error(object, "str");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return std::nullopt;
  return std::string_view(text, static_cast<std::size_t>(size));
}

std::optional<std::string_view> extract_text(PyObject* object, std::string_view parameter) {
  auto text = str_text(object);
  if (!text) add_parameter_note(parameter);
  return text;
}

std::optional<bool> extract_bool(PyObject* object, std::string_view parameter) {
  std::optional<bool> value;
  if (PyBool_Check(object)) {
    value = object == Py_True;
  } else if (type_is_numpy_bool(Py_TYPE(object))) {
    value = numpy_bool_value(object);
  } else {
    raise_type_conversion_error(object, "bool");
  }
  if (!value) add_parameter_note(parameter);
  return value;
}

bool extract_optional_bool(PyObject* object, std::string_view parameter,
                           std::optional<bool>& value) {
  if (object == nullptr || object == Py_None) {
    value.reset();
    return true;
  }
  value = extract_bool(object, parameter);
  return value.has_value();
}

}  // namespace mirabex
