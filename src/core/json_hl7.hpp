// JsonHl7: a list of records and the assembly of HL7 v2 message text from
// it. Records come from Python objects (the binding) or from a JSON file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "core/errors.hpp"
#include "core/escape.hpp"
#include "core/large_allocator.hpp"
#include "core/record_list.hpp"

namespace mirabex {

// Assembled texts longer than this are refused, whatever was written: a
// record of a few keys may otherwise ask for gigabytes of separators.
inline constexpr std::uint64_t kMaxAssembledSize = std::uint64_t{1} << 30;

// An assembled message text in memory of its own.
struct AssembledText {
  LargeBuffer memory;
  std::size_t size = 0;

  std::string_view text() const { return {memory.data(), size}; }
};

// Memory that assembly writes its text into, which the caller may own: a
// Python str written in place saves copying the text once written.
class TextMemory {
 public:
  virtual ~TextMemory() = default;
  // Memory of `size` bytes whose first `kept` bytes are those the memory
  // held before (nothing on the first call). Throws std::bad_alloc when
  // there is none.
  virtual char* resize(std::size_t kept, std::size_t size) = 0;
};

class JsonHl7 {
 public:
  explicit JsonHl7(RecordList records);

  static std::variant<JsonHl7, Hl7Error> from_file(const std::string& path);

  const RecordList& records() const { return records_; }
  const Hl7EscapeHandler& escape_handler() const { return *escape_handler_; }

  // The message text: one line per record, joined by line feeds, values
  // escaped when escape is set.
  std::variant<std::string, Hl7Error> convert(bool escape) const;
  // The same text, without the copy into a string.
  std::variant<AssembledText, Hl7Error> assemble(bool escape) const;
  // The same text written into the memory, which holds it from its first
  // byte: its size, or the error, with nothing of the memory to use.
  std::variant<std::size_t, Hl7Error> assemble_into(bool escape, TextMemory& memory) const;

 private:
  // The text written into the memory. A limited write throws PastSizeLimit
  // (a type of the assembly's own) when the text may pass
  // kMaxAssembledSize.
  std::variant<std::size_t, Hl7Error> write_text(const Hl7EscapeHandler* handler,
                                                 TextMemory& memory, bool limited) const;

  RecordList records_;
  const Hl7EscapeHandler* escape_handler_;
};

}  // namespace mirabex
