#include "binding/conversions.hpp"

#include <atomic>
#include <cassert>
#include <cstdint>
#include <cstring>

#include "binding/call_wrapper.hpp"
#include "binding/known_key_index.hpp"
#include "binding/refs.hpp"

namespace mirabex {

namespace {

// Eight bytes at a time: long texts (whole messages) are common.
bool is_ascii(std::string_view text) {
  std::uint64_t high_bits = 0;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    high_bits |= word;
  }
  for (; i < text.size(); ++i) high_bits |= static_cast<unsigned char>(text[i]);
  return (high_bits & 0x8080808080808080u) == 0;
}

KnownKeyIndex known_keys;

// Lazily made str objects for the keys of common positions. Each slot is
// written once, by whichever thread makes its key first; a thread that
// loses the race drops its own copy. Keys live for the life of the process.
class PositionKeyCache {
 public:
  OwnedRef get(const Position& key) {
    std::atomic<PyObject*>* slot = slot_for(key);
    if (slot == nullptr) return make_key(key);
    PyObject* cached = slot->load(std::memory_order_acquire);
    if (cached == nullptr) {
      OwnedRef made = make_key(key);
      if (!made) return {};
      if (!slot->compare_exchange_strong(cached, made.get(), std::memory_order_acq_rel)) {
        return OwnedRef::own(cached);  // another thread's key won; ours is dropped
      }
      // The slot keeps the reference for the life of the process.
      cached = made.release();
      known_keys.add(cached, position_code(key));
    }
    return OwnedRef::own(cached);
  }

 private:
  static constexpr std::size_t kFields = 256;             // k
  static constexpr std::size_t kSplitFields = 100;        // k.c, k[r], k[r].c
  static constexpr std::size_t kComponents = 32;          // k.c
  static constexpr std::size_t kRepetitions = 16;         // k[r]
  static constexpr std::size_t kRepeatedComponents = 16;  // k[r].c

  // Every cached key has a compact position, so the known-key index can
  // hold it.
  static_assert(kFields <= CompactPosition::kFields);
  static_assert(kComponents <= CompactPosition::kComponents);
  static_assert(kRepetitions <= CompactPosition::kRepetitions);
  static_assert(kRepeatedComponents <= CompactPosition::kComponents);

  static OwnedRef make_key(const Position& key) {
    char text[Position::kMaxTextSize];
    return make_str(std::string_view(text, key.write_text(text)));
  }

  std::atomic<PyObject*>* slot_for(const Position& key) {
    const bool repeated = key.repetition != Position::kNone;
    if (!repeated && key.component == 0) {
      return key.field < kFields ? &plain_[key.field] : nullptr;
    }
    if (key.field >= kSplitFields) return nullptr;
    if (!repeated) {
      return key.component < kComponents ? &components_[key.field][key.component] : nullptr;
    }
    if (key.repetition >= kRepetitions) return nullptr;
    if (key.component == 0) return &repetitions_[key.field][key.repetition];
    if (key.component >= kRepeatedComponents) return nullptr;
    return &repeated_components_[key.field][key.repetition][key.component];
  }

  std::atomic<PyObject*> plain_[kFields] = {};
  std::atomic<PyObject*> components_[kSplitFields][kComponents] = {};
  std::atomic<PyObject*> repetitions_[kSplitFields][kRepetitions] = {};
  std::atomic<PyObject*> repeated_components_[kSplitFields][kRepetitions][kRepeatedComponents] = {};
};

PositionKeyCache position_keys;
OnceCell<PyObject*> segment_name_key_cell;

// Adds key: value to the dict. Each step runs only when the one before it
// succeeded, so that no call meets a pending exception.
bool add_entry(Borrowed dict, OwnedRef key, std::string_view value) {
  if (!key) return false;
  const OwnedRef text = make_str(value);
  return text && PyDict_SetItem(dict.get(), key.get(), text.get()) == 0;
}

}  // namespace

OwnedRef make_str(std::string_view text) {
  if (!is_ascii(text)) {
    return OwnedRef::consume(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
  }
  // One-character values (flags, codes, set ids) are common: CPython keeps
  // a shared str for each Latin-1 character.
  if (text.size() == 1) {
    return OwnedRef::consume(PyUnicode_FromOrdinal(static_cast<unsigned char>(text[0])));
  }
  OwnedRef str = OwnedRef::consume(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
  if (str && !text.empty()) std::memcpy(PyUnicode_1BYTE_DATA(str.get()), text.data(), text.size());
  return str;
}

OwnedRef position_key_str(const Position& key) { return position_keys.get(key); }

bool find_known_key_position(Borrowed key, PositionCode& position) {
  if (const auto* name_key = segment_name_key_cell.get();
      name_key != nullptr && *name_key == key.get()) {
    position = kNoPosition;
    return true;
  }
  return known_keys.find(key.get(), position);
}

OwnedRef record_dict(const Hl7Segment& segment) {
  OwnedRef dict = OwnedRef::consume(PyDict_New());
  if (!dict) return {};
  bool ok = true;
  for_each_record_entry(segment, [&](const Position& key, std::string_view value) {
    if (ok) ok = add_entry(dict.borrow(), position_key_str(key), value);
  });
  if (!ok) return {};
  PyObject* name_key = interned_name(segment_name_key_cell, "segment_name");
  if (name_key == nullptr || !add_entry(dict.borrow(), OwnedRef::own(name_key), segment.name())) {
    return {};
  }
  return dict;
}

OwnedRef message_records(const Hl7Json& message, const Hl7EscapeHandler* handler) {
  const auto count = static_cast<Py_ssize_t>(message.line_count());
  OwnedRef list = OwnedRef::consume(PyList_New(count));
  if (!list) return {};
  Hl7Segment segment;
  Py_ssize_t index = 0;
  for (const std::string_view line : message.lines()) {
    assert(index < count);
    segment.parse(line, handler);
    OwnedRef dict = record_dict(segment);
    if (!dict) return {};
    PyList_SET_ITEM(list.get(), index++, dict.release());
  }
  // Every slot is filled: a list with an empty slot must never escape.
  assert(index == count);
  return list;
}

}  // namespace mirabex
