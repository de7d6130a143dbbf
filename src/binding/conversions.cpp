#include "binding/conversions.hpp"

#include <atomic>
#include <cassert>
#include <cstdint>
#include <cstring>

#include "binding/call_wrapper.hpp"
#include "binding/known_key_index.hpp"
#include "binding/refs.hpp"
#include "core/utils.hpp"

namespace mirabex {

KnownKeyIndex known_keys;

namespace {

// Lazily made str objects for the keys of common positions. Each slot is
// written once, by whichever thread makes its key first; a thread that
// loses the race drops its own copy. Keys live for the life of the process.
class PositionKeyCache {
 public:
  // The key's str: the cache's (cached keys live as long as the process),
  // else one made into `owned`. Empty on failure.
  // Inlined where records are built: most keys are cached.
  [[gnu::always_inline]] Borrowed get(const Position& key, OwnedRef& owned) {
    std::atomic<PyObject*>* slot = slot_for(key);
    if (slot != nullptr) {
      if (PyObject* cached = slot->load(std::memory_order_acquire)) return Borrowed(cached);
    }
    return get_slowly(key, slot, owned);
  }

 private:
  [[gnu::noinline]] Borrowed get_slowly(const Position& key, std::atomic<PyObject*>* slot,
                                        OwnedRef& owned) {
    if (slot == nullptr) {
      owned = make_key(key);
      return owned.borrow();
    }
    PyObject* cached = nullptr;
    OwnedRef made = make_shared_key(key);
    if (!made) return {};
    if (!slot->compare_exchange_strong(cached, made.get(), std::memory_order_acq_rel)) {
      return Borrowed(cached);  // another thread's key won; ours is dropped
    }
    // The slot keeps the reference for the life of the process.
    cached = made.release();
    char text[Position::kMaxTextSize];
    const std::string_view written(text, key.write_text(text));
    known_keys.add(cached, {{position_code(key), key_order(written)}, written.size()});
    return Borrowed(cached);
  }

  static constexpr std::size_t kFields = 256;             // k
  static constexpr std::size_t kSplitFields = 100;        // k.c, k[r], k[r].c
  static constexpr std::size_t kComponents = 32;          // k.c
  static constexpr std::size_t kRepetitions = 16;         // k[r]
  static constexpr std::size_t kRepeatedComponents = 16;  // k[r].c

  static OwnedRef make_key(const Position& key) {
    char text[Position::kMaxTextSize];
    return make_str(std::string_view(text, key.write_text(text)));
  }

  // Every thread's records hold the cached keys. On a free-threaded build
  // each reference taken by another thread would be an atomic on the key's
  // one cache line; interned strs are immortal there, so nothing writes to
  // a cached key once it is made (its hash is taken here, before it is
  // shared, for the same reason). PyUnstable_SetImmortal refuses strs. Only
  // the cache's keys, a bounded set, are interned.
  static OwnedRef make_shared_key(const Position& key) {
    char text[Position::kMaxTextSize + 1];
    text[key.write_text(text)] = '\0';
    OwnedRef made = OwnedRef::consume(PyUnicode_InternFromString(text));
    if (made && PyObject_Hash(made.get()) == -1) return {};
    return made;
  }

  [[gnu::always_inline]] std::atomic<PyObject*>* slot_for(const Position& key) {
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

// The key of every record's segment name, known to the index like the
// position keys.
Borrowed segment_name_key() {
  return once_python_value(segment_name_key_cell, [] {
    const std::string text(kSegmentNameKey);
    OwnedRef made = OwnedRef::consume(PyUnicode_InternFromString(text.c_str()));
    if (made) {
      known_keys.add(made.get(), {{kNoPosition, key_order(kSegmentNameKey)}, text.size()});
    }
    return made;
  });
}

// A str of text known to be ASCII, copied straight into a compact str.
// Inlined where records are built.
[[gnu::always_inline]] inline OwnedRef make_ascii_str(std::string_view text) {
  // One-character values (flags, codes, set ids) are common: CPython keeps
  // a shared str for each Latin-1 character.
  if (text.size() == 1) {
    return OwnedRef::consume(PyUnicode_FromOrdinal(static_cast<unsigned char>(text[0])));
  }
  OwnedRef str = OwnedRef::consume(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
  if (str && !text.empty()) std::memcpy(PyUnicode_1BYTE_DATA(str.get()), text.data(), text.size());
  return str;
}

// A dict with room for its entries from the start: filled one key at a
// time, a record of 40 entries would be resized three times.
OwnedRef new_dict(std::size_t entries) {
#if defined(MIRABEX_HAVE_PRESIZED_DICT)
  return OwnedRef::consume(_PyDict_NewPresized(static_cast<Py_ssize_t>(entries)));
#else
  static_cast<void>(entries);
  return OwnedRef::consume(PyDict_New());
#endif
}

// Adds key: value to the dict. Each step runs only when the one before it
// succeeded, so that no call meets a pending exception.
template <OwnedRef (*MakeValue)(std::string_view)>
[[gnu::always_inline]] inline bool add_entry(Borrowed dict, Borrowed key, std::string_view value) {
  if (!key) return false;
  const OwnedRef text = MakeValue(value);
  return text && PyDict_SetItem(dict.get(), key.get(), text.get()) == 0;
}

template <OwnedRef (*MakeValue)(std::string_view)>
OwnedRef record_dict_of(const Hl7Segment& segment) {
  OwnedRef dict = new_dict(record_entry_count(segment));
  if (!dict) return {};
  bool ok = true;
  // Inlined into each loop of the walk: a call per entry cost about 15
  // instructions.
  const auto add = [&](const Position& position, std::string_view value)
      __attribute__((always_inline)) {
    if (!ok) return;
    OwnedRef owned_key;
    ok = add_entry<MakeValue>(dict.borrow(), position_keys.get(position, owned_key), value);
  };
  for_each_record_entry(segment, add);
  if (!ok) return {};
  const Borrowed name_key = segment_name_key();
  if (!add_entry<MakeValue>(dict.borrow(), name_key, segment.name())) return {};
  return dict;
}

}  // namespace

OwnedRef make_str(std::string_view text) {
  if (!is_ascii(text)) {
    return OwnedRef::consume(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
  }
  return make_ascii_str(text);
}

OwnedRef position_key_str(const Position& key) {
  OwnedRef owned;
  const Borrowed key_str = position_keys.get(key, owned);
  return owned ? std::move(owned) : OwnedRef::own(key_str);
}

OwnedRef record_dict(const Hl7Segment& segment) { return record_dict_of<make_str>(segment); }

OwnedRef message_records(const Hl7Json& message, const Hl7EscapeHandler* handler) {
  const auto count = static_cast<Py_ssize_t>(message.line_count());
  OwnedRef list = OwnedRef::consume(PyList_New(count));
  if (!list) return {};
  // Most lines are ASCII, and so is every value cut from them: one check
  // per line instead of one per value.
  const bool ascii_stays_ascii = handler == nullptr || handler->unescapes_ascii_to_ascii();
  Hl7Segment segment;
  Py_ssize_t index = 0;
  for (const std::string_view line : message.lines()) {
    assert(index < count);
    segment.parse(line, handler);
    OwnedRef dict = ascii_stays_ascii && segment.line_is_ascii()
                        ? record_dict_of<make_ascii_str>(segment)
                        : record_dict_of<make_str>(segment);
    if (!dict) return {};
    PyList_SET_ITEM(list.get(), index++, dict.release());
  }
  // Every slot is filled: a list with an empty slot must never escape.
  assert(index == count);
  return list;
}

}  // namespace mirabex
