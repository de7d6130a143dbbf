#include "bulk_binding/message_error.hpp"

namespace mirabex::bulk {

namespace {

OwnedRef utf8_str(std::string_view text) {
  return OwnedRef::consume(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

OwnedRef number_or_none(std::uint64_t value, bool present) {
  if (!present) return OwnedRef::own(Py_None);
  return OwnedRef::consume(PyLong_FromUnsignedLongLong(value));
}

}  // namespace

OwnedRef message_error(PyObject* error_class, std::string_view file, std::size_t message,
                       std::uint64_t offset, std::string_view text, bool unreadable) {
  OwnedRef error_text = utf8_str(text);
  if (!error_text) return {};
  OwnedRef error = OwnedRef::consume(PyObject_CallOneArg(error_class, error_text.get()));
  OwnedRef file_text = utf8_str(file);
  OwnedRef number = number_or_none(message, message != 0);
  OwnedRef position = number_or_none(offset, message != 0);
  if (!error || !file_text || !number || !position ||
      PyObject_SetAttrString(error.get(), "file", file_text.get()) < 0 ||
      PyObject_SetAttrString(error.get(), "message", number.get()) < 0 ||
      PyObject_SetAttrString(error.get(), "offset", position.get()) < 0 ||
      PyObject_SetAttrString(error.get(), "unreadable", unreadable ? Py_True : Py_False) < 0) {
    return {};
  }
  return error;
}

}  // namespace mirabex::bulk
