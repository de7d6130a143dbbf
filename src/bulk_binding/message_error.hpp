// MessageError objects: a failed message (or file) as Python sees it.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "binding/refs.hpp"

namespace mirabex::bulk {

// A new MessageError with the error text, and file, message and offset set
// (message and offset None for a whole file, message 0), and unreadable.
OwnedRef message_error(PyObject* error_class, std::string_view file, std::size_t message,
                       std::uint64_t offset, std::string_view text, bool unreadable);

}  // namespace mirabex::bulk
