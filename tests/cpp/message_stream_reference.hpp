// The plain way to split a capture into messages: the whole text at once,
// the framing removed, then cut into lines. The streaming splitter must
// give exactly these messages for any chunking.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/message_stream.hpp"

namespace mirabex::testing_support {

inline std::vector<std::string> reference_split(std::string_view bytes) {
  std::string text(bytes);
  if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
  std::erase_if(text, [](char c) { return c == '\x0b' || c == '\x1c'; });
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != '\r' && text[i] != '\n') continue;
    lines.push_back(text.substr(start, i - start));
    if (i + 1 < text.size() && text[i] == '\r' && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  std::vector<std::string> messages;
  bool started = false;
  for (const std::string& line : lines) {
    const std::string name = line.substr(0, line.find('|'));
    if (is_blank_line(line) || name == "BHS" || name == "BTS" || name == "FHS" || name == "FTS") {
      continue;
    }
    if (line.starts_with("MSH|") || !started) {
      messages.emplace_back();
      started = true;
    } else {
      messages.back() += '\n';
    }
    messages.back() += line;
  }
  return messages;
}

}  // namespace mirabex::testing_support
