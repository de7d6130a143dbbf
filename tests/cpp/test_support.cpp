#include "test_support.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace mirabex::testing_support {

std::vector<SampleMessage> sample_messages() {
  std::vector<SampleMessage> messages;
  for (const auto& entry : std::filesystem::directory_iterator(MIRABEX_TEST_DATA "/corpus")) {
    if (entry.path().extension() != ".hl7") continue;
    std::ifstream file(entry.path(), std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    messages.push_back({entry.path().filename().string(), content.str()});
  }
  std::ranges::sort(messages, {}, &SampleMessage::name);
  return messages;
}

}  // namespace mirabex::testing_support
