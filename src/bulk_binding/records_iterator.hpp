// The iterator over a file's messages that mirabex_bulk.iter_records
// returns: each message's records, read in chunks in bounded memory.
#pragma once

#include <Python.h>

#include <string>

#include "binding/refs.hpp"
#include "core/json_writer.hpp"

namespace mirabex::bulk {

// The iterator class, made once per module (empty, with an exception set,
// on failure).
OwnedRef create_records_iterator_class();

// A new iterator over the file's messages, or empty with OSError set when
// it cannot be opened (or LookupError for an unknown encoding). failure_class
// is the exception raised for a message that fails.
OwnedRef open_records_iterator(Borrowed iterator_class, Borrowed failure_class,
                               const std::string& path, std::string label,
                               const std::string& encoding, ConversionOptions options);

}  // namespace mirabex::bulk
