// The Hl7Json class: an HL7 v2 message converted to records on request.
#include "core/hl7_json.hpp"

#include "binding/call_wrapper.hpp"
#include "binding/classes.hpp"
#include "binding/conversions.hpp"

namespace mirabex {

namespace {

constexpr std::string_view kConstructorParameters[] = {"hl7_string", "validation_enabled",
                                                       "strict_validation", "escaping_enabled"};
constexpr std::string_view kFromFileParameters[] = {"path", "validation_enabled",
                                                    "strict_validation", "escaping_enabled"};
constexpr std::string_view kValidateParameters[] = {"strict_mode", "validate_required_fields"};
constexpr std::string_view kSegmentParameters[] = {"seg"};

constexpr ArgumentDescriptor kConstructor{"Hl7Json", "__new__", kConstructorParameters, 1};
constexpr ArgumentDescriptor kFromFile{"Hl7Json", "from_file", kFromFileParameters, 1};
constexpr ArgumentDescriptor kValidate{"Hl7Json", "validate", kValidateParameters, 2};
constexpr ArgumentDescriptor kSplitSegment{"Hl7Json", "_split_hl7_seg_to_json", kSegmentParameters,
                                           1};
constexpr ArgumentDescriptor kSplitSegmentWithEscaping{
    "Hl7Json", "_split_hl7_seg_to_json_with_escaping", kSegmentParameters, 1};

struct Options {
  std::optional<bool> validation_enabled;
  std::optional<bool> strict_validation;
  std::optional<bool> escaping_enabled;
};

// The three options follow the text (or path) argument.
bool extract_options(const BoundArguments& bound, Options& options) {
  return extract_optional_bool(bound[1], "validation_enabled", options.validation_enabled) &&
         extract_optional_bool(bound[2], "strict_validation", options.strict_validation) &&
         extract_optional_bool(bound[3], "escaping_enabled", options.escaping_enabled);
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArguments bound;
    if (!bind_arguments(kConstructor, args, kwargs, bound)) return nullptr;
    const auto text = extract_text(bound[0], "hl7_string");
    Options options;
    if (!text || !extract_options(bound, options)) return nullptr;
    return create_instance(type, Hl7Json(std::string(*text), options.validation_enabled,
                                         options.strict_validation, options.escaping_enabled));
  });
}

PyObject* from_file(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return call_guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArguments bound;
    if (!bind_arguments(kFromFile, args, nargsf, kwnames, bound)) return nullptr;
    const auto path = extract_text(bound[0], "path");
    Options options;
    if (!path || !extract_options(bound, options)) return nullptr;
    PyTypeObject* type = class_for_instances(kHl7JsonClass);
    std::variant<Hl7Json, Hl7Error> loaded = [&] {
      Detached detached;
      return Hl7Json::from_file(std::string(*path), options.validation_enabled,
                                options.strict_validation, options.escaping_enabled);
    }();
    return create_instance_or_raise(type, std::move(loaded));
  });
}

// Runs a check of the message detached from the interpreter (it reads only
// the object's own text) and raises the error it finds.
template <class Check>
bool passes(Check&& check) {
  std::optional<Hl7Error> error;
  {
    Detached detached;
    error = check();
  }
  if (error) raise_hl7_error(*error);
  return !error;
}

PyObject* convert_message(const Hl7Json& message) {
  if (message.validation_enabled() &&
      !passes([&] { return message.validate_before_conversion(); })) {
    return nullptr;
  }
  return message_records(message, message.conversion_handler()).release();
}

PyObject* convert_hl7_to_json(PyObject* self, PyObject*) {
  return call_guarded<PyObject*>(
      nullptr, [&] { return with_shared_access<Hl7Json>(self, convert_message); });
}

PyObject* get_hl7_json(PyObject* self, void*) { return convert_hl7_to_json(self, nullptr); }

PyObject* validate(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return call_guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArguments bound;
    if (!bind_arguments(kValidate, args, nargsf, kwnames, bound)) return nullptr;
    std::optional<bool> strict_mode;
    std::optional<bool> required_fields;
    if (!extract_optional_bool(bound[0], "strict_mode", strict_mode) ||
        !extract_optional_bool(bound[1], "validate_required_fields", required_fields)) {
      return nullptr;
    }
    return with_shared_access<Hl7Json>(self, [&](const Hl7Json& message) -> PyObject* {
      if (!passes([&] { return message.validate(strict_mode, required_fields); })) return nullptr;
      return Py_NewRef(Py_None);
    });
  });
}

template <bool Escaping>
PyObject* split_segment(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
  return call_guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArguments bound;
    const ArgumentDescriptor& descriptor = Escaping ? kSplitSegmentWithEscaping : kSplitSegment;
    if (!bind_arguments(descriptor, args, nargsf, kwnames, bound)) return nullptr;
    const auto line = extract_text(bound[0], "seg");
    if (!line) return nullptr;
    return with_shared_access<Hl7Json>(self, [&](const Hl7Json& message) {
      const Hl7Segment segment =
          Hl7Segment::from_string(*line, Escaping ? &message.escape_handler() : nullptr);
      return record_dict(segment).release();
    });
  });
}

PyObject* get_hl7_string(PyObject* self, void*) {
  return call_guarded<PyObject*>(nullptr, [&] {
    return with_shared_access<Hl7Json>(
        self, [](const Hl7Json& message) { return make_str(message.hl7_string()).release(); });
  });
}

template <bool (Hl7Json::*Get)() const>
PyObject* get_option(PyObject* self, void*) {
  return call_guarded<PyObject*>(nullptr, [&] {
    return with_shared_access<Hl7Json>(
        self, [](const Hl7Json& message) { return PyBool_FromLong((message.*Get)()); });
  });
}

// The value is converted before the exclusive access is taken, so a value
// that is refused never touches the object.
template <void (Hl7Json::*Set)(bool)>
int set_option(PyObject* self, PyObject* value, void* name) {
  return call_guarded<int>(-1, [&] {
    if (value == nullptr) {
      PyErr_SetString(PyExc_AttributeError, "property has no deleter");
      return -1;
    }
    const auto flag = extract_bool(value, static_cast<const char*>(name));
    if (!flag) return -1;
    return with_exclusive_access<Hl7Json>(self, [&](Hl7Json& message) { (message.*Set)(*flag); });
  });
}

void dealloc(PyObject* self) { destroy_instance<Hl7Json>(self); }

char kValidationEnabled[] = "validation_enabled";
char kStrictValidation[] = "strict_validation";
char kEscapingEnabled[] = "escaping_enabled";

PyGetSetDef properties[] = {
    {"hl7_string", get_hl7_string, nullptr, nullptr, nullptr},
    {kValidationEnabled, get_option<&Hl7Json::validation_enabled>,
     set_option<&Hl7Json::set_validation_enabled>, nullptr, kValidationEnabled},
    {kStrictValidation, get_option<&Hl7Json::strict_validation>,
     set_option<&Hl7Json::set_strict_validation>, nullptr, kStrictValidation},
    {kEscapingEnabled, get_option<&Hl7Json::escaping_enabled>,
     set_option<&Hl7Json::set_escaping_enabled>, nullptr, kEscapingEnabled},
    {"hl7_json", get_hl7_json, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"from_file", as_method(from_file), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_file($cls, path, validation_enabled=None, strict_validation=None, "
     "escaping_enabled=None)\n--\n\n"},
    {"_split_hl7_seg_to_json", as_method(split_segment<false>), METH_FASTCALL | METH_KEYWORDS,
     "_split_hl7_seg_to_json($self, seg)\n--\n\n"},
    {"_split_hl7_seg_to_json_with_escaping", as_method(split_segment<true>),
     METH_FASTCALL | METH_KEYWORDS, "_split_hl7_seg_to_json_with_escaping($self, seg)\n--\n\n"},
    {"_convert_hl7_to_json", as_method(convert_hl7_to_json), METH_NOARGS,
     "_convert_hl7_to_json($self)\n--\n\n"},
    {"validate", as_method(validate), METH_FASTCALL | METH_KEYWORDS,
     "validate($self, strict_mode, validate_required_fields)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

std::atomic<PyObject*> class_cache{nullptr};

}  // namespace

const ClassDefinition kHl7JsonClass{
    .name = "Hl7Json",
    .type_name = "builtins.Hl7Json",
    .doc =
        "Hl7Json(hl7_string, validation_enabled=None, strict_validation=None, "
        "escaping_enabled=None)\n--\n\n",
    .constructor = construct,
    .methods = methods,
    .properties = properties,
    .dealloc = dealloc,
    .instance_size = sizeof(Instance<Hl7Json>),
    .cache = &class_cache,
};

}  // namespace mirabex
