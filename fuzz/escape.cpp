// Escaping and unescaping with the default handler: the round trip, the
// sizes each side promises, and the agreement of the variants.
#include <memory>
#include <string>

#include "core/hl7_json.hpp"
#include "fuzz_check.hpp"

namespace {

using namespace mirabex;

// Escaped text holds no delimiter, no white space escape writes and no line
// break: only the escape character, which opens and closes sequences.
void check_escaped(const Hl7EscapeHandler& handler, std::string_view text) {
  const std::string escaped = handler.escape(text);
  FUZZ_CHECK(handler.escaped_size(text) == escaped.size());
  FUZZ_CHECK(escaped.find_first_of("|^~& \t\r\n") == std::string::npos);
  FUZZ_CHECK(handler.unescape(escaped) == text);

  // From a byte in the middle on, as the assembly writes a value that needs
  // escaping after copying its plain start.
  const std::size_t first = text.size() / 2;
  const std::size_t size = first + handler.escaped_size(text.substr(first));
  std::string written(text.substr(0, first));
  written.resize(size + Hl7EscapeHandler::kEscapeIntoPadding);
  const char* end = handler.escape_into(text, first, written.data() + first);
  FUZZ_CHECK(end == written.data() + size);
  written.resize(size);
  FUZZ_CHECK(written == std::string(text.substr(0, first)) + handler.escape(text.substr(first)));
}

void check_unescaped(const Hl7EscapeHandler& handler, std::string_view text) {
  const std::string plain = handler.unescape(text);
  FUZZ_CHECK(plain.size() <= text.size());
  FUZZ_CHECK(handler.has_escape(text) == (text.find('\\') != std::string_view::npos));
  if (!handler.has_escape(text)) FUZZ_CHECK(plain == text);

  // Exactly text.size() bytes, so that a write past them is caught.
  const auto buffer = std::make_unique<char[]>(text.size());
  const std::size_t length = handler.unescape_into(text, buffer.get());
  FUZZ_CHECK(std::string_view(buffer.get(), length) == plain);

  const auto components = handler.parse_field_with_escaping(text);
  FUZZ_CHECK(!components.empty());
  std::string joined = components.front();
  for (std::size_t i = 1; i < components.size(); ++i) joined += '^' + components[i];
  FUZZ_CHECK(joined == plain);
}

}  // namespace

extern "C" int MIRABEX_FUZZ_ENTRY(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  const Hl7EscapeHandler& handler = default_escape_handler();
  check_escaped(handler, text);
  check_unescaped(handler, text);
  return 0;
}
