// The iterator over a file's messages that mirabex_bulk.iter_records
// returns: each message's records, read in chunks in bounded memory.
#pragma once

#include <Python.h>

#include <string>

#include "core/json_writer.hpp"

namespace mirabex::bulk {

// The iterator class, made once per module (a new reference, or nullptr
// with an exception set).
PyObject* create_records_iterator_class();

// A new iterator over the file's messages, or nullptr with OSError set when
// it cannot be opened (or LookupError for an unknown encoding). failure_class
// is the exception raised for a message that fails.
PyObject* open_records_iterator(PyObject* iterator_class, PyObject* failure_class,
                                const std::string& path, std::string label,
                                const std::string& encoding, ConversionOptions options);

}  // namespace mirabex::bulk
