// Replays every fuzz corpus input and every saved crasher through its fuzz
// target, so that ordinary builds keep checking what fuzzing once found.
// A broken invariant aborts the run, as it does under the fuzzer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

// Each target compiled with its own entry point name (tests/cpp/CMakeLists.txt).
extern "C" int fuzz_hl7_records(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_validation(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_escape(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_json_reader(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_assembly(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_message_stream(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_json_writer(const std::uint8_t* data, std::size_t size);

namespace mirabex {
namespace {

namespace fs = std::filesystem;

struct FuzzTarget {
  const char* name;
  int (*entry)(const std::uint8_t*, std::size_t);
};

const FuzzTarget kTargets[] = {
    {"hl7_records", fuzz_hl7_records}, {"validation", fuzz_validation},
    {"escape", fuzz_escape},           {"json_reader", fuzz_json_reader},
    {"assembly", fuzz_assembly},       {"message_stream", fuzz_message_stream},
    {"json_writer", fuzz_json_writer},
};

std::vector<fs::path> inputs_of(const FuzzTarget& target) {
  std::vector<fs::path> inputs;
  for (const char* folder : {"corpus", "regressions"}) {
    const fs::path dir = fs::path(MIRABEX_FUZZ_DIR) / folder / target.name;
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
  }
  std::ranges::sort(inputs);
  return inputs;
}

std::vector<std::uint8_t> read_bytes(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

class FuzzReplay : public ::testing::TestWithParam<FuzzTarget> {};

TEST_P(FuzzReplay, EveryCorpusInputAndCrasherPasses) {
  const auto inputs = inputs_of(GetParam());
  ASSERT_FALSE(inputs.empty()) << "no corpus for " << GetParam().name;
  for (const fs::path& path : inputs) {
    const auto bytes = read_bytes(path);
    EXPECT_EQ(GetParam().entry(bytes.data(), bytes.size()), 0) << path;
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(kTargets),
                         [](const auto& target) { return std::string(target.param.name); });

}  // namespace
}  // namespace mirabex
