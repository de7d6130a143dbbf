// Python objects from the core's results: str from UTF-8 views, dicts from
// parsed segments, lists of records from a message.
#pragma once

#include <Python.h>

#include <string_view>

#include "binding/known_key_index.hpp"
#include "binding/refs.hpp"
#include "core/hl7_json.hpp"
#include "core/json_hl7.hpp"
#include "core/segments.hpp"

namespace mirabex {

// A str holding the UTF-8 text. Text that is all ASCII is copied straight
// into a compact ASCII str.
OwnedRef make_str(std::string_view text);

// The str of a position key. Keys of common positions are made once per
// process and shared.
OwnedRef position_key_str(const Position& key);

// The key strs that position_key_str made, and the segment name key of
// records.
extern KnownKeyIndex known_keys;

// The facts and text size of a key str that position_key_str made, or of
// the segment name key of records, found by identity: nothing for any
// other object.
[[gnu::always_inline]] inline const KnownKeyIndex::Key* find_known_key(Borrowed key) {
  return known_keys.find(key.get());
}

// A dict of the segment's record, keys in record order.
OwnedRef record_dict(const Hl7Segment& segment);

// A list of the records of every line of the message, parsed with the
// handler (escaping) or without it.
OwnedRef message_records(const Hl7Json& message, const Hl7EscapeHandler* handler);

}  // namespace mirabex
