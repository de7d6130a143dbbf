// The streaming splitter: any bytes, cut into chunks of a size the input's
// first byte picks, must give exactly the messages of the plain splitter
// that reads the whole text at once, each offset pointing at its message's
// first byte.
#include <string>
#include <vector>

#include "../tests/cpp/message_stream_reference.hpp"
#include "core/message_stream.hpp"
#include "fuzz_check.hpp"

extern "C" int MIRABEX_FUZZ_ENTRY(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t chunk = 1 + data[0] % 17;
  const std::string_view bytes = mirabex::fuzz::as_text(data + 1, size - 1);
  mirabex::MessageSplitter splitter;
  mirabex::MessageBatch batch;
  for (std::size_t at = 0; at < bytes.size(); at += chunk) {
    splitter.feed(bytes.substr(at, chunk), batch);
  }
  splitter.finish(batch);
  const std::vector<std::string> expected = mirabex::testing_support::reference_split(bytes);
  FUZZ_CHECK(batch.messages.size() == expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const mirabex::MessageSpan& span = batch.messages[i];
    FUZZ_CHECK(batch.text_of(span) == expected[i]);
    FUZZ_CHECK(span.number == i + 1);
    FUZZ_CHECK(span.offset < bytes.size() && bytes[span.offset] == expected[i].front());
  }
  FUZZ_CHECK(splitter.bytes_seen() == bytes.size());
  return 0;
}
