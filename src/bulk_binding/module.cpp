// mirabex_bulk: files of HL7 messages to JSON Lines on worker threads that
// run detached from the interpreter, and an iterator over a file's
// messages. Beside the mirabex module, built from the same core.
#include <Python.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "binding/call_wrapper.hpp"
#include "binding/conversions.hpp"
#include "binding/refs.hpp"
#include "bulk_binding/message_error.hpp"
#include "bulk_binding/records_iterator.hpp"
#include "core/bulk_conversion.hpp"

namespace mirabex::bulk {

namespace {

struct ModuleState {
  PyObject* failure_class;   // MessageError
  PyObject* iterator_class;  // RecordsIterator
};

ModuleState& state_of(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// None keeps the default; anything else must be a bool.
bool read_option(PyObject* value, const char* name, bool& option) {
  if (value == nullptr || value == Py_None) return true;
  if (!PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be a bool or None, not %T", name, value);
    return false;
  }
  option = value == Py_True;
  return true;
}

bool read_conversion(PyObject* validation, PyObject* strict, PyObject* escaping,
                     ConversionOptions& options) {
  return read_option(validation, "validation_enabled", options.validation_enabled) &&
         read_option(strict, "strict_validation", options.strict_validation) &&
         read_option(escaping, "escaping_enabled", options.escaping_enabled);
}

// A path's bytes for opening and its text for reports (names that are not
// UTF-8 shown with backslash escapes).
bool read_path(PyObject* object, std::string& path, std::string& label) {
  PyObject* converted = nullptr;
  if (!PyUnicode_FSConverter(object, &converted)) return false;
  OwnedRef bytes = OwnedRef::consume(converted);
  path.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  OwnedRef text = OwnedRef::consume(PyUnicode_DecodeFSDefaultAndSize(
      path.data(), static_cast<Py_ssize_t>(path.size())));
  if (!text) return false;
  OwnedRef utf8 = OwnedRef::consume(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace"));
  if (!utf8) return false;
  label.assign(PyBytes_AS_STRING(utf8.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(utf8.get())));
  return true;
}

// Paths, or open descriptors (standard input is 0), which read as "-".
bool read_inputs(PyObject* paths, std::vector<InputSource>& inputs) {
  OwnedRef items = OwnedRef::consume(PySequence_Fast(paths, "paths must be a sequence"));
  if (!items) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    InputSource input;
    if (PyLong_Check(item)) {
      input.fd = PyLong_AsInt(item);
      if (input.fd == -1 && PyErr_Occurred()) return false;
      input.label = "-";
    } else if (!read_path(item, input.path, input.label)) {
      return false;
    }
    inputs.push_back(std::move(input));
  }
  return true;
}

class OpenedFile {
 public:
  OpenedFile() = default;
  OpenedFile(const OpenedFile&) = delete;
  OpenedFile& operator=(const OpenedFile&) = delete;
  ~OpenedFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  // An int is a descriptor the caller keeps; anything else a path to create.
  bool open_for_writing(PyObject* target, int& fd) {
    if (PyLong_Check(target)) {
      fd = PyLong_AsInt(target);
      return !(fd == -1 && PyErr_Occurred());
    }
    std::string path;
    std::string label;
    if (!read_path(target, path, label)) return false;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, target);
      return false;
    }
    fd = fd_;
    return true;
  }

 private:
  int fd_ = -1;
};

// Runs the conversion detached from the interpreter. The calling thread
// attaches for a moment between batches, to let signal handlers run (an
// interrupt stops the run, its exception set), and to hand each failure to
// report (a callable, or None). A report that raises stops the run too.
BulkSummary run_detached(const std::vector<InputSource>& inputs, BulkOptions& options,
                         PyObject* report, PyObject* error_class, bool& raised) {
  PyThreadState* thread_state = PyEval_SaveThread();
  const auto attached = [&](auto&& body) {
    PyEval_RestoreThread(thread_state);
    body();
    thread_state = PyEval_SaveThread();
  };
  options.should_stop = [&] {
    if (!raised) attached([&] { raised = PyErr_CheckSignals() < 0; });
    return raised;
  };
  if (report != nullptr) {
    options.on_failure = [&](const MessageFailure& failure) {
      if (raised) return;
      attached([&] {
        OwnedRef error = message_error(error_class, failure.file, failure.message, failure.offset,
                                       failure.error, failure.unreadable);
        raised = !error || !OwnedRef::consume(PyObject_CallOneArg(report, error.get()));
      });
    };
  }
  struct Reattach {
    PyThreadState*& state;
    ~Reattach() { PyEval_RestoreThread(state); }
  } reattach{thread_state};
  return convert_to_json_lines(inputs, options);
}

const char* const kConvertKeywords[] = {"paths",
                                        "output",
                                        "errors",
                                        "jobs",
                                        "encoding",
                                        "validation_enabled",
                                        "strict_validation",
                                        "escaping_enabled",
                                        "progress",
                                        nullptr};

PyObject* convert_files(PyObject* module, PyObject* args, PyObject* kwargs) {
  return call_guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* paths = nullptr;
    PyObject* output = nullptr;
    PyObject* errors = Py_None;
    PyObject* jobs = Py_None;
    const char* encoding = "auto";
    PyObject* validation = nullptr;
    PyObject* strict = nullptr;
    PyObject* escaping = nullptr;
    int progress = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOsOOOp:convert_files",
                                     const_cast<char**>(kConvertKeywords), &paths, &output, &errors,
                                     &jobs, &encoding, &validation, &strict, &escaping, &progress)) {
      return nullptr;
    }
    BulkOptions options;
    options.encoding = encoding;
    if (!read_conversion(validation, strict, escaping, options.conversion)) return nullptr;
    if (jobs == Py_None) {
      options.jobs = std::max(1u, std::thread::hardware_concurrency());
    } else {
      const long count = PyLong_AsLong(jobs);
      if (count == -1 && PyErr_Occurred()) return nullptr;
      if (count < 1 || count > 1024) {
        PyErr_SetString(PyExc_ValueError, "jobs must be from 1 to 1024");
        return nullptr;
      }
      options.jobs = static_cast<unsigned>(count);
    }
    std::vector<InputSource> inputs;
    if (!read_inputs(paths, inputs)) return nullptr;
    OpenedFile output_file;
    OpenedFile errors_file;
    if (!output_file.open_for_writing(output, options.output_fd)) return nullptr;
    PyObject* report = nullptr;
    if (PyCallable_Check(errors)) {
      report = errors;
    } else if (errors != Py_None) {
      if (!errors_file.open_for_writing(errors, options.failures_fd)) return nullptr;
      options.failure_format = FailureFormat::kJsonLines;
    }
    if (progress) options.progress_fd = 2;
    bool raised = false;
    const BulkSummary summary =
        run_detached(inputs, options, report, state_of(module).failure_class, raised);
    if (raised) return nullptr;
    if (summary.output_error != 0) {
      errno = summary.output_error;
      return PyErr_SetFromErrno(PyExc_OSError);
    }
    if (summary.fatal) {
      PyErr_SetString(PyExc_LookupError, summary.fatal->c_str());
      return nullptr;
    }
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(summary.messages),
                         static_cast<Py_ssize_t>(summary.failed_messages + summary.failed_files));
  });
}

const char* const kIterKeywords[] = {"path", "encoding", "validation_enabled", "strict_validation",
                                     "escaping_enabled", nullptr};

PyObject* iter_records(PyObject* module, PyObject* args, PyObject* kwargs) {
  return call_guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* path_object = nullptr;
    const char* encoding = "auto";
    PyObject* validation = nullptr;
    PyObject* strict = nullptr;
    PyObject* escaping = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$sOOO:iter_records",
                                     const_cast<char**>(kIterKeywords), &path_object, &encoding,
                                     &validation, &strict, &escaping)) {
      return nullptr;
    }
    ConversionOptions options;
    if (!read_conversion(validation, strict, escaping, options)) return nullptr;
    std::string path;
    std::string label;
    if (!read_path(path_object, path, label)) return nullptr;
    const ModuleState& state = state_of(module);
    return open_records_iterator(Borrowed(state.iterator_class), Borrowed(state.failure_class),
                                 path, std::move(label), encoding, options)
        .release();
  });
}

const char* const kRecordsJsonKeywords[] = {"message", "validation_enabled", "strict_validation",
                                            "escaping_enabled", nullptr};

// The records of one message as JSON text, written as to-json writes them,
// without a Python object per value.
PyObject* records_json(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* message = nullptr;
    PyObject* validation = nullptr;
    PyObject* strict = nullptr;
    PyObject* escaping = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|$OOO:records_json",
                                     const_cast<char**>(kRecordsJsonKeywords), &message,
                                     &validation, &strict, &escaping)) {
      return nullptr;
    }
    ConversionOptions options;
    if (!read_conversion(validation, strict, escaping, options)) return nullptr;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(message, &size);
    if (text == nullptr) return nullptr;
    RecordsJsonWriter writer(options);
    std::string json;
    if (auto error = writer.append_records(std::string_view(text, static_cast<std::size_t>(size)),
                                           json)) {
      raise_hl7_error(*error);
      return nullptr;
    }
    return make_str(json).release();
  });
}

PyMethodDef module_functions[] = {
    {"convert_files", as_method(convert_files), METH_VARARGS | METH_KEYWORDS,
     "convert_files(paths, output, *, errors=None, jobs=None, encoding='auto', "
     "validation_enabled=None, strict_validation=None, escaping_enabled=None, progress=False)\n--\n\n"
     "Convert every message of the files to one JSON line each, in file order; "
     "return (converted, failed)."},
    {"iter_records", as_method(iter_records), METH_VARARGS | METH_KEYWORDS,
     "iter_records(path, *, encoding='auto', validation_enabled=None, strict_validation=None, "
     "escaping_enabled=None)\n--\n\n"
     "Iterate over (number, offset, records) for each message of the file."},
    {"records_json", as_method(records_json), METH_VARARGS | METH_KEYWORDS,
     "records_json(message, *, validation_enabled=None, strict_validation=None, "
     "escaping_enabled=None)\n--\n\n"
     "The records of one message as JSON text: json.loads of it equals "
     "Hl7Json(message).hl7_json."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  ModuleState& state = state_of(module);
  state.failure_class = PyErr_NewExceptionWithDoc(
      "mirabex_bulk.MessageError",
      "A message that could not be converted; file, message and offset say which.",
      PyExc_Exception, nullptr);
  if (state.failure_class == nullptr) return -1;
  state.iterator_class = create_records_iterator_class().release();
  if (state.iterator_class == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "MessageError", state.failure_class) < 0) return -1;
  return PyModule_AddObjectRef(module, "RecordsIterator", state.iterator_class);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState& state = state_of(module);
  Py_VISIT(state.failure_class);
  Py_VISIT(state.iterator_class);
  return 0;
}

int clear_module(PyObject* module) {
  ModuleState& state = state_of(module);
  Py_CLEAR(state.failure_class);
  Py_CLEAR(state.iterator_class);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "mirabex_bulk",
    .m_doc = "HL7 v2 files to JSON Lines on every core, and their messages one at a time.",
    .m_size = sizeof(ModuleState),
    .m_methods = module_functions,
    .m_slots = module_slots,
    .m_traverse = traverse_module,
    .m_clear = clear_module,
    .m_free = free_module,
};

}  // namespace

}  // namespace mirabex::bulk

PyMODINIT_FUNC PyInit_mirabex_bulk(void) {
  return PyModuleDef_Init(&mirabex::bulk::module_definition);
}
