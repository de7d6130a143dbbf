#include "bulk_binding/records_iterator.hpp"

#include <cerrno>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>

#include "binding/call_wrapper.hpp"
#include "binding/conversions.hpp"
#include "binding/refs.hpp"
#include "bulk_binding/message_error.hpp"
#include "core/charset.hpp"
#include "core/hl7_json.hpp"
#include "core/message_stream.hpp"

namespace mirabex::bulk {

namespace {

// A message taken from the stream, decoded, or why it could not be.
struct TakenMessage {
  std::size_t number = 0;
  std::uint64_t offset = 0;
  std::string text;
  std::optional<std::string> error;
};

// The native part of an iterator. Threads take messages one at a time
// under the mutex, which is only ever waited for detached from the
// interpreter, so a thread holding it can always attach again.
struct ReaderState {
  ReaderState(const std::string& path, std::string file_label, MessageDecoder message_decoder,
              ConversionOptions conversion)
      : reader(path, -1, message_decoder.reads_utf8_bom()),
        decoder(std::move(message_decoder)),
        label(std::move(file_label)),
        options(conversion) {}

  // The next message; none at the end of the stream. A failed read is an
  // OSError at that point (errno in read_error).
  std::optional<TakenMessage> take() {
    while (next == batch.messages.size()) {
      batch.clear();
      next = 0;
      if (!reader.read_more(batch)) {
        if (reader.error()) read_error = reader.error()->os_error();
        return std::nullopt;
      }
    }
    const MessageSpan& span = batch.messages[next++];
    TakenMessage message;
    message.number = span.number;
    message.offset = span.offset;
    const auto decoded = decoder.decode(batch.text_of(span));
    if (const auto* error = std::get_if<Hl7Error>(&decoded)) {
      message.error = error->display();
    } else {
      message.text = std::get<std::string_view>(decoded);
    }
    return message;
  }

  std::mutex mutex;
  MessageReader reader;
  MessageDecoder decoder;
  MessageBatch batch;
  std::size_t next = 0;
  int read_error = 0;
  std::string label;
  ConversionOptions options;
};

struct RecordsIterator {
  PyObject_HEAD ReaderState* state;
  PyObject* failure_class;
};

RecordsIterator* as_iterator(PyObject* self) { return reinterpret_cast<RecordsIterator*>(self); }

void raise_failure(PyObject* failure_class, const ReaderState& state, const TakenMessage& message,
                   const std::string& text) {
  OwnedRef error = message_error(failure_class, state.label, message.number, message.offset, text,
                                 false);
  if (error) PyErr_SetObject(failure_class, error.get());
}

// (number, offset, records) for a message that converts.
PyObject* converted(const ReaderState& state, TakenMessage& message, PyObject* failure_class) {
  const Hl7Json hl7(std::move(message.text), state.options.validation_enabled,
                    state.options.strict_validation, state.options.escaping_enabled);
  if (auto error = hl7.validate_before_conversion()) {
    raise_failure(failure_class, state, message, error->display());
    return nullptr;
  }
  OwnedRef records = message_records(hl7, hl7.conversion_handler());
  if (!records) return nullptr;
  return Py_BuildValue("(nKO)", static_cast<Py_ssize_t>(message.number),
                       static_cast<unsigned long long>(message.offset), records.get());
}

PyObject* next_message(PyObject* self) {
  return call_guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    RecordsIterator* iterator = as_iterator(self);
    ReaderState& state = *iterator->state;
    std::optional<TakenMessage> message;
    int read_error = 0;
    {
      Detached detached;
      std::lock_guard lock(state.mutex);
      message = state.take();
      read_error = std::exchange(state.read_error, 0);
    }
    if (read_error != 0) {
      errno = read_error;
      return PyErr_SetFromErrno(PyExc_OSError);
    }
    if (!message) return nullptr;  // the end: StopIteration
    if (message->error) {
      raise_failure(iterator->failure_class, state, *message, *message->error);
      return nullptr;
    }
    return converted(state, *message, iterator->failure_class);
  });
}

void dealloc(PyObject* self) {
  RecordsIterator* iterator = as_iterator(self);
  delete iterator->state;
  Py_XDECREF(iterator->failure_class);
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyType_Slot iterator_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(next_message)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_doc, const_cast<char*>("The records of a file's messages, one message at a time.")},
    {0, nullptr},
};

PyType_Spec iterator_spec = {
    .name = "mirabex_bulk.RecordsIterator",
    .basicsize = sizeof(RecordsIterator),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = iterator_slots,
};

}  // namespace

OwnedRef create_records_iterator_class() {
  return OwnedRef::consume(PyType_FromSpec(&iterator_spec));
}

OwnedRef open_records_iterator(Borrowed iterator_class, Borrowed failure_class,
                               const std::string& path, std::string label,
                               const std::string& encoding, ConversionOptions options) {
  auto decoder = MessageDecoder::create(encoding);
  if (const auto* error = std::get_if<std::string>(&decoder)) {
    PyErr_SetString(PyExc_LookupError, error->c_str());
    return {};
  }
  auto state = std::make_unique<ReaderState>(path, std::move(label),
                                             std::get<MessageDecoder>(std::move(decoder)), options);
  std::optional<IoError> open_error;
  {
    Detached detached;
    open_error = state->reader.open();
  }
  if (open_error) {
    if (open_error->os_error() == 0) {
      PyErr_SetString(PyExc_ValueError, open_error->display().c_str());
      return {};
    }
    errno = open_error->os_error();
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    return {};
  }
  auto* type = reinterpret_cast<PyTypeObject*>(iterator_class.get());
  OwnedRef self = OwnedRef::consume(
      reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0));
  if (!self) return {};
  as_iterator(self.get())->state = state.release();
  as_iterator(self.get())->failure_class = OwnedRef::own(failure_class).release();
  return self;
}

}  // namespace mirabex::bulk
