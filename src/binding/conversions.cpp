#include "binding/conversions.hpp"

#include <atomic>
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
  // The key's str: borrowed when the cache holds it (cached keys live as
  // long as the process), else made into `owned`. nullptr on failure.
  PyObject* get(const PositionKey& key, OwnedRef& owned) {
    std::atomic<PyObject*>* slot = slot_for(key);
    if (slot == nullptr) {
      owned = OwnedRef::consume(make_key(key));
      return owned.get();
    }
    PyObject* cached = slot->load(std::memory_order_acquire);
    if (cached != nullptr) return cached;
    PyObject* made = make_shared_key(key);
    if (made == nullptr) return nullptr;
    if (slot->compare_exchange_strong(cached, made, std::memory_order_acq_rel)) {
      known_keys.add(made, position_code(key));
      return made;
    }
    Py_DECREF(made);
    return cached;
  }

 private:
  static constexpr std::size_t kFields = 256;             // k
  static constexpr std::size_t kSplitFields = 100;        // k.c, k[r], k[r].c
  static constexpr std::size_t kComponents = 32;          // k.c
  static constexpr std::size_t kRepetitions = 16;         // k[r]
  static constexpr std::size_t kRepeatedComponents = 16;  // k[r].c

  static PyObject* make_key(const PositionKey& key) {
    char text[PositionKey::kMaxTextSize];
    return make_str(std::string_view(text, key.write_text(text)));
  }

  // Every thread's records hold the cached keys. On a free-threaded build
  // each reference taken by another thread would be an atomic on the key's
  // one cache line; interned strs are immortal there, so nothing writes to
  // a cached key once it is made (its hash is taken here, before it is
  // shared, for the same reason). PyUnstable_SetImmortal refuses strs. Only
  // the cache's keys, a bounded set, are interned.
  static PyObject* make_shared_key(const PositionKey& key) {
    char text[PositionKey::kMaxTextSize + 1];
    text[key.write_text(text)] = '\0';
    PyObject* made = PyUnicode_InternFromString(text);
    if (made != nullptr && PyObject_Hash(made) == -1) Py_CLEAR(made);
    return made;
  }

  std::atomic<PyObject*>* slot_for(const PositionKey& key) {
    const bool repeated = key.repetition != PositionKey::kNone;
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

bool set_item(PyObject* dict, PyObject* new_key, PyObject* new_value) {
  OwnedRef key = OwnedRef::consume(new_key);
  OwnedRef value = OwnedRef::consume(new_value);
  return key && value && PyDict_SetItem(dict, key.get(), value.get()) == 0;
}

// A str of text known to be ASCII, copied straight into a compact str.
PyObject* make_ascii_str(std::string_view text) {
  // One-character values (flags, codes, set ids) are common: CPython keeps
  // a shared str for each Latin-1 character.
  if (text.size() == 1) return PyUnicode_FromOrdinal(static_cast<unsigned char>(text[0]));
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
  if (str != nullptr && !text.empty()) {
    std::memcpy(PyUnicode_1BYTE_DATA(str), text.data(), text.size());
  }
  return str;
}

// A dict with room for its entries from the start: filled one key at a
// time, a record of 40 entries would be resized three times.
PyObject* new_dict(std::size_t entries) {
#if defined(MIRABEX_HAVE_PRESIZED_DICT)
  return _PyDict_NewPresized(static_cast<Py_ssize_t>(entries));
#else
  static_cast<void>(entries);
  return PyDict_New();
#endif
}

template <PyObject* (*MakeValue)(std::string_view)>
PyObject* record_dict_of(const Hl7Segment& segment) {
  OwnedRef dict = OwnedRef::consume(new_dict(record_entry_count(segment)));
  if (!dict) return nullptr;
  bool ok = true;
  for_each_record_entry(segment, [&](const PositionKey& position, std::string_view text) {
    if (!ok) return;
    OwnedRef value = OwnedRef::consume(MakeValue(text));
    OwnedRef owned_key;
    PyObject* key = position_keys.get(position, owned_key);
    ok = key != nullptr && value && PyDict_SetItem(dict.get(), key, value.get()) == 0;
  });
  PyObject* name_key = interned_name(segment_name_key_cell, "segment_name");
  if (!ok || name_key == nullptr ||
      !set_item(dict.get(), Py_NewRef(name_key), MakeValue(segment.name()))) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace

PyObject* make_str(std::string_view text) {
  if (!is_ascii(text)) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  }
  return make_ascii_str(text);
}

PyObject* position_key_str(const PositionKey& key) {
  OwnedRef owned;
  PyObject* key_str = position_keys.get(key, owned);
  return owned ? owned.release() : Py_XNewRef(key_str);
}

bool find_known_key_position(PyObject* key, PositionCode& position) {
  if (const auto* name_key = segment_name_key_cell.get(); name_key != nullptr && *name_key == key) {
    position = kNoPosition;
    return true;
  }
  return known_keys.find(key, position);
}

PyObject* record_dict(const Hl7Segment& segment) { return record_dict_of<make_str>(segment); }

PyObject* message_records(const Hl7Json& message, const Hl7EscapeHandler* handler) {
  OwnedRef list = OwnedRef::consume(PyList_New(static_cast<Py_ssize_t>(message.line_count())));
  if (!list) return nullptr;
  // Most lines are ASCII, and so is every value cut from them: one check
  // per line instead of one per value.
  const bool ascii_stays_ascii = handler == nullptr || handler->unescapes_ascii_to_ascii();
  Hl7Segment segment;
  Py_ssize_t index = 0;
  for (const std::string_view line : message.lines()) {
    segment.parse(line, handler);
    PyObject* dict = ascii_stays_ascii && is_ascii(line) ? record_dict_of<make_ascii_str>(segment)
                                                         : record_dict_of<make_str>(segment);
    if (dict == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), index++, dict);
  }
  return list.release();
}

}  // namespace mirabex
