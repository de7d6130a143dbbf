// The JsonHl7 class: a list of records assembled into HL7 text on request.
#include "core/json_hl7.hpp"

#include "binding/call_wrapper.hpp"
#include "binding/classes.hpp"
#include "binding/conversions.hpp"
#include "binding/key_text_index.hpp"

namespace mirabex {

namespace {

constexpr std::string_view kJsonDataParameter[] = {"json_data"};
constexpr std::string_view kPathParameter[] = {"path"};
constexpr std::string_view kEscapeParameter[] = {"escape"};

constexpr ArgumentDescriptor kConstructor{"JsonHl7", "__new__", kJsonDataParameter, 1};
constexpr ArgumentDescriptor kFromFile{"JsonHl7", "from_file", kPathParameter, 1};
constexpr ArgumentDescriptor kConvert{"JsonHl7", "_convert_json_to_hl7", kEscapeParameter, 1};

OnceCell<PyObject*> sequence_class_cell;

// collections.abc.Sequence, imported once.
Borrowed sequence_class() {
  return once_python_value(sequence_class_cell, [] {
    OwnedRef module = OwnedRef::consume(PyImport_ImportModule("collections.abc"));
    return module ? OwnedRef::consume(PyObject_GetAttrString(module.get(), "Sequence"))
                  : OwnedRef();
  });
}

// Lists and tuples at once; anything else must be a registered Sequence,
// so dicts, sets, iterators and generators are refused. -1 on error.
int is_sequence(PyObject* object) {
  if (PyList_Check(object) || PyTuple_Check(object)) return 1;
  const Borrowed sequence = sequence_class();
  return sequence ? PyObject_IsInstance(object, sequence.get()) : -1;
}

// Key texts met before in any call, on any thread.
KeyTextIndex key_texts;

// The module's own keys are interned and never freed: they are found by
// address. Keys of other makers are seldom interned.
[[gnu::always_inline]] inline const KeyFacts* own_key_facts(PyObject* key) {
  if (!PyUnicode_CHECK_INTERNED(key)) return nullptr;
  const KnownKeyIndex::Key* own = find_known_key(Borrowed(key));
  return own != nullptr ? &own->facts : nullptr;
}

// Where the text of a compact ASCII str lies: right after its header.
[[gnu::always_inline]] inline const char* in_place_text(PyObject* str) {
  return reinterpret_cast<const char*>(reinterpret_cast<const PyASCIIObject*>(str) + 1);
}

// The text of an exact ASCII str.
[[gnu::always_inline]] inline std::string_view in_place_ascii(PyObject* str) {
  return {in_place_text(str), static_cast<std::size_t>(PyUnicode_GET_LENGTH(str))};
}

// The text of one of the module's own keys, compact ASCII strs, from its
// size in the index: the key object itself is not read.
std::string_view own_key_text(PyObject* key, const KnownKeyIndex::Key& own) {
  return {in_place_text(key), static_cast<std::size_t>(own.text_size)};
}

// Keys of common positions, and the segment name key, are remembered: a
// bounded set, which keys of far positions (a field of thousands of
// repetitions) would only crowd out.
bool worth_remembering(const TextPair& pair) {
  if (pair.position >= kBeyondLimit) return pair.key == kSegmentNameKey;
  const Position position = position_of(pair.position);
  return position.field < 1000 && position.repetition < 32 && position.component < 64;
}

// The records being taken in, and how often their keys were looked for
// among the texts met before, and found.
struct Intake {
  RecordList records;
  std::size_t found = 0;
  std::size_t missed = 0;
  // Keys that are mostly new texts (a record of thousands of fields, more
  // than the index holds) would only pay for looking.
  bool looking = true;
  // Whether every pair came as two ASCII strs.
  bool ascii = true;
  // Keys looked for among the module's own first, found there or not: once
  // the misses are more than a few, and more than a small share, the
  // records are taken for another maker's (whose keys of one character are
  // the module's too: the interpreter shares those strs). Records from
  // Hl7Json hold some keys of the module's that it does not keep (far
  // components of repetitions), a small share.
  std::size_t own_key_hits = 0;
  std::size_t own_key_misses = 0;

  bool keys_look_own() const {
    constexpr std::size_t kFewMisses = 16;
    constexpr std::size_t kHitsPerMiss = 8;
    return own_key_misses < kFewMisses || own_key_misses < own_key_hits / kHitsPerMiss;
  }

  void note_miss() {
    constexpr std::size_t kTrial = 1024;
    if (++missed == kTrial && found < kTrial) looking = false;
  }
};

// Adds a pair of which the key is an exact ASCII str, its text read in
// place (ascii_text), and its hash kept by the interpreter once it has
// served as a dict key: a key met before is taken from an index.
[[gnu::always_inline]] inline void add_pair(PyObject* key, std::string_view key_text,
                                            std::string_view value_text, LeadBytes value_lead,
                                            Intake& intake) {
  RecordList& records = intake.records;
  if (const KeyFacts* own = own_key_facts(key)) {
    records.add_lasting_key(key_text, value_text, *own, value_lead);
    return;
  }
  const Py_hash_t hash = PyUnstable_Unicode_GET_CACHED_HASH(key);
  if (hash == -1 || !intake.looking) [[unlikely]] {
    records.add(key_text, value_text, value_lead);
    return;
  }
  const auto hash_bits = static_cast<std::uint64_t>(hash);
  if (const KeyTextIndex::Entry* known = key_texts.find(hash_bits, key_text)) {
    ++intake.found;
    records.add_lasting_key(known->text(), value_text, known->facts(), value_lead);
    return;
  }
  intake.note_miss();
  const TextPair& added = records.add(key_text, value_text, value_lead);
  if (worth_remembering(added)) key_texts.add(hash_bits, added.key, {added.position, added.order});
}

// The text of an exact str that is ASCII, read in place; nothing for any
// other object. Exact strs are compact: the text follows the header, so
// the bytes before it are readable (LeadBytes::kReadable).
static_assert(sizeof(PyASCIIObject) >= TextArena::kShortText);
[[gnu::always_inline]] inline std::optional<std::string_view> ascii_text(PyObject* object) {
  if (!PyUnicode_CheckExact(object) || !PyUnicode_IS_ASCII(object)) return std::nullopt;
  return in_place_ascii(object);
}

// Whether both objects are exact strs that are ASCII, checked without a
// branch between them.
[[gnu::always_inline]] inline bool ascii_strs(PyObject* a, PyObject* b) {
  if (!((Py_TYPE(a) == &PyUnicode_Type) & (Py_TYPE(b) == &PyUnicode_Type))) return false;
  return PyUnicode_IS_ASCII(a) & PyUnicode_IS_ASCII(b);
}

// A pair of which the key is one of the module's own, found by its address
// before anything of it is read, and the value an ASCII str: the pairs of
// records from Hl7Json. False, having added nothing, for any other pair.
[[gnu::always_inline]] inline bool add_own_key_pair(PyObject* key, PyObject* value,
                                                    Intake& intake) {
  const KnownKeyIndex::Key* own = find_known_key(Borrowed(key));
  if (own == nullptr) [[unlikely]] {
    ++intake.own_key_misses;
    return false;
  }
  const auto value_text = ascii_text(value);
  if (!value_text) [[unlikely]] return false;
  intake.records.add_lasting_key(own_key_text(key, *own), *value_text, own->facts,
                                 LeadBytes::kReadable);
  return true;
}

// Starts loading the entry of the key texts met before where the key will
// be looked for.
[[gnu::always_inline]] inline void prefetch_text_entry(PyObject* key) {
  if (!PyUnicode_CheckExact(key)) return;
  const Py_hash_t hash = PyUnstable_Unicode_GET_CACHED_HASH(key);
  if (hash != -1) key_texts.prefetch(static_cast<std::uint64_t>(hash));
}

// A pair of which one side is not an ASCII str: reading its text may run
// the interpreter, which may change the dict, so both are held meanwhile.
bool add_held_pair(Borrowed key, Borrowed value, Intake& intake) {
  intake.ascii = false;
  const OwnedRef held_key = OwnedRef::own(key);
  const OwnedRef held_value = OwnedRef::own(value);
  const auto key_text = str_text(held_key.get());
  const auto value_text = key_text ? str_text(held_value.get()) : std::nullopt;
  if (!value_text) return false;
  if (const auto in_place = ascii_text(held_key.get())) {
    add_pair(held_key.get(), *in_place, *value_text, LeadBytes::kUnknown, intake);
  } else {
    intake.records.add(*key_text, *value_text);
  }
  return true;
}

// The rest of a dict's pairs from the first one whose reading may run the
// interpreter (or let another thread in): a change made meanwhile ends the
// reading. The pairs before it are those of the open record; `position` is
// past it.
bool add_items_with_care(PyObject* dict, Py_ssize_t initial_size, Py_ssize_t position,
                         PyObject* key, PyObject* value, Intake& intake) {
  auto delivered = static_cast<Py_ssize_t>(intake.records.open_record_size());
  do {
    if (++delivered > initial_size) {
      raise_panic("dictionary keys changed during iteration");
      return false;
    }
    const auto key_text = ascii_text(key);
    const auto value_text = key_text ? ascii_text(value) : std::nullopt;
    if (value_text) {
      add_pair(key, *key_text, *value_text, LeadBytes::kReadable, intake);
    } else if (!add_held_pair(Borrowed(key), Borrowed(value), intake)) {
      return false;
    }
    if (PyDict_GET_SIZE(dict) != initial_size) {
      raise_panic("dictionary changed size during iteration");
      return false;
    }
  } while (PyDict_Next(dict, &position, &key, &value));
  return true;
}

// The rest of a dict's pairs from one whose key is not known to be the
// module's own: the next pair is read ahead, so that the index entry its
// key will be looked for in is on its way meanwhile (keys from json.loads
// and the like are many objects, their entries far apart).
[[gnu::noinline]] bool add_items_reading_ahead(PyObject* dict, Py_ssize_t position, PyObject* key,
                                               PyObject* value, Intake& intake) {
  for (;;) {
    const Py_ssize_t past_pair = position;
    // Set by PyDict_Next when there is a next pair.
    PyObject* next_key;
    PyObject* next_value;
    const bool more = PyDict_Next(dict, &position, &next_key, &next_value);
    if (more) prefetch_text_entry(next_key);
    if (!ascii_strs(key, value)) [[unlikely]] {
      return add_items_with_care(dict, PyDict_GET_SIZE(dict), past_pair, key, value, intake);
    }
    add_pair(key, in_place_ascii(key), in_place_ascii(value), LeadBytes::kReadable, intake);
    if (!more) return true;
    key = next_key;
    value = next_value;
  }
}

// The dict's pairs, read under its critical section. While both sides of
// every pair are ASCII strs nothing but this loop runs, so the dict cannot
// change; the first other pair hands the rest to the careful reading.
bool add_dict_items(PyObject* dict, Intake& intake) {
  Py_ssize_t position = 0;
  Py_ssize_t delivered = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  // Keys are looked for among the module's own first, until one is not:
  // the pairs delivered so far are the hits.
  const bool look_own = intake.keys_look_own();
  while (PyDict_Next(dict, &position, &key, &value)) {
    if (!look_own || !add_own_key_pair(key, value, intake)) {
      intake.own_key_hits += static_cast<std::size_t>(delivered);
      return add_items_reading_ahead(dict, position, key, value, intake);
    }
    ++delivered;
  }
  intake.own_key_hits += static_cast<std::size_t>(delivered);
  return true;
}

bool record_from_dict(PyObject* dict, Intake& intake) {
  intake.records.begin_record();
  {
    const CriticalSection held(dict);
    if (!add_dict_items(dict, intake)) return false;
  }
  intake.records.end_record();
  return true;
}

// Sizes the records for a list or tuple of dicts at once, from the dicts'
// sizes: only a hint, as the dicts may change while they are read.
void reserve_for(PyObject* sequence, RecordList& records) {
  if (!PyList_Check(sequence) && !PyTuple_Check(sequence)) return;
  Py_ssize_t count = 0;
  std::size_t pairs = 0;
  Py_BEGIN_CRITICAL_SECTION(sequence);
  count = PySequence_Fast_GET_SIZE(sequence);
  PyObject** const items = PySequence_Fast_ITEMS(sequence);
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (PyDict_Check(items[i])) pairs += static_cast<std::size_t>(PyDict_GET_SIZE(items[i]));
  }
  Py_END_CRITICAL_SECTION();
  records.reserve(static_cast<std::size_t>(count), pairs);
}

bool records_from_sequence(PyObject* sequence, Intake& intake) {
  reserve_for(sequence, intake.records);
  OwnedRef iterator = OwnedRef::consume(PyObject_GetIter(sequence));
  if (!iterator) return false;
  for (;;) {
    PyObject* next = nullptr;
    const int status = PyIter_NextItem(iterator.get(), &next);
    if (status <= 0) return status == 0;
    OwnedRef item = OwnedRef::consume(next);
    if (!PyDict_Check(item.get())) {
      raise_type_conversion_error(item.get(), "dict");
      return false;
    }
    if (!record_from_dict(item.get(), intake)) return false;
  }
}

// Every failure, whatever raised it, is reported for the argument.
std::optional<RecordList> records_from_python(PyObject* json_data) {
  Intake intake;
  bool ok = false;
  if (PyUnicode_Check(json_data)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
  } else if (const int sequence = is_sequence(json_data); sequence == 0) {
    raise_type_conversion_error(json_data, "Sequence");
  } else if (sequence > 0) {
    ok = records_from_sequence(json_data, intake);
  }
  if (!ok) {
    add_parameter_note("json_data");
    return std::nullopt;
  }
  intake.records.set_values_ascii(intake.ascii);
  return std::move(intake.records);
}

PyObject* records_to_python(const JsonHl7& message) {
  const RecordList& records = message.records();
  OwnedRef list = OwnedRef::consume(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < records.size(); ++i) {
    OwnedRef dict = OwnedRef::consume(PyDict_New());
    if (!dict) return nullptr;
    for (const TextPair& pair : records[i]) {
      const OwnedRef key = make_str(pair.key);
      const OwnedRef value = key ? make_str(pair.value) : OwnedRef();
      if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
  }
  return list.release();
}

// Text memory that is a compact ASCII str, written in place: for records
// whose values are all ASCII, so that the text needs neither a copy nor a
// check once written.
class AsciiStrMemory final : public TextMemory {
 public:
  char* resize(std::size_t, std::size_t size) override {
    if (!resize_str(static_cast<Py_ssize_t>(size))) {
      PyErr_Clear();
      throw std::bad_alloc();
    }
    return reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str_.get()));
  }

  // The str of the text written, `size` bytes long. Null with an exception
  // set on failure.
  PyObject* finish(std::size_t size) {
    if (!resize_str(static_cast<Py_ssize_t>(size))) return nullptr;
    return str_.release();
  }

 private:
  // The str, `size` characters long, its text kept; a new one the first
  // time. The interpreter lets a str that nothing else has seen be resized.
  bool resize_str(Py_ssize_t size) {
    if (!str_) {
      str_ = OwnedRef::consume(PyUnicode_New(size, 127));
      return static_cast<bool>(str_);
    }
    PyObject* resized = str_.get();
    if (PyUnicode_Resize(&resized, size) < 0) return false;  // the str is left as it was
    static_cast<void>(str_.release());
    str_ = OwnedRef::consume(resized);
    return true;
  }

  OwnedRef str_;
};

PyObject* message_text(const JsonHl7& message, bool escape) {
  if (message.records().values_ascii()) {
    AsciiStrMemory memory;
    const auto size = message.assemble_into(escape, memory);
    if (const auto* error = std::get_if<Hl7Error>(&size)) {
      raise_hl7_error(*error);
      return nullptr;
    }
    return memory.finish(std::get<std::size_t>(size));
  }
  const auto text = message.assemble(escape);
  if (const auto* error = std::get_if<Hl7Error>(&text)) {
    raise_hl7_error(*error);
    return nullptr;
  }
  return make_str(std::get<AssembledText>(text).text()).release();
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArguments bound;
    if (!bind_arguments(kConstructor, args, kwargs, bound)) return nullptr;
    auto records = records_from_python(bound[0]);
    if (!records) return nullptr;
    return create_instance(type, JsonHl7(std::move(*records)));
  });
}

PyObject* from_file(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return call_guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArguments bound;
    if (!bind_arguments(kFromFile, args, nargsf, kwnames, bound)) return nullptr;
    const auto path = extract_text(bound[0], "path");
    if (!path) return nullptr;
    PyTypeObject* type = class_for_instances(kJsonHl7Class);
    std::variant<JsonHl7, Hl7Error> loaded = [&] {
      Detached detached;
      return JsonHl7::from_file(std::string(*path));
    }();
    return create_instance_or_raise(type, std::move(loaded));
  });
}

PyObject* convert_json_to_hl7(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
  return call_guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArguments bound;
    if (!bind_arguments(kConvert, args, nargsf, kwnames, bound)) return nullptr;
    const auto escape = extract_bool(bound[0], "escape");
    if (!escape) return nullptr;
    return with_shared_access<JsonHl7>(
        self, [&](const JsonHl7& message) { return message_text(message, *escape); });
  });
}

template <bool Escape>
PyObject* get_hl7_string(PyObject* self, void*) {
  return call_guarded<PyObject*>(nullptr, [&] {
    return with_shared_access<JsonHl7>(
        self, [](const JsonHl7& message) { return message_text(message, Escape); });
  });
}

PyObject* get_json_data(PyObject* self, void*) {
  return call_guarded<PyObject*>(
      nullptr, [&] { return with_shared_access<JsonHl7>(self, records_to_python); });
}

void dealloc(PyObject* self) { destroy_instance<JsonHl7>(self); }

PyGetSetDef properties[] = {
    {"json_data", get_json_data, nullptr, nullptr, nullptr},
    {"hl7_string", get_hl7_string<true>, nullptr, nullptr, nullptr},
    {"hl7_string_unescaped", get_hl7_string<false>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"from_file", as_method(from_file), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_file($cls, path)\n--\n\n"},
    {"_convert_json_to_hl7", as_method(convert_json_to_hl7), METH_FASTCALL | METH_KEYWORDS,
     "_convert_json_to_hl7($self, escape)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

std::atomic<PyObject*> class_cache{nullptr};

}  // namespace

const ClassDefinition kJsonHl7Class{
    .name = "JsonHl7",
    .type_name = "builtins.JsonHl7",
    .doc = "JsonHl7(json_data)\n--\n\n",
    .constructor = construct,
    .methods = methods,
    .properties = properties,
    .dealloc = dealloc,
    .instance_size = sizeof(Instance<JsonHl7>),
    .cache = &class_cache,
};

}  // namespace mirabex
