// Micro-benchmarks of the core stages, without Python: records from HL7
// text, validation, and assembly back to text, on realistic messages and on
// the shapes that could turn quadratic, each at growing sizes. Time per
// byte (bytes_per_second) should stay flat as the size grows.
//
//   build/bench/core_bench --benchmark_min_time=0.2
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/hl7_json.hpp"
#include "core/json_hl7.hpp"
#include "core/segments.hpp"
#include "core/utils.hpp"
#include "test_support.hpp"

namespace mirabex {
namespace {

constexpr std::string_view kHeader =
    "MSH|^~\\&|LAB|HOSP|EHR|HOSP|20240101120000||ORU^R01^ORU_R01|1|P|2.5.1";

constexpr std::string_view kBody[] = {
    "PID|1||555-44-4444^^^MRN~8876^^^SSN||EVERYWOMAN^EVE^E^^^^L|JONES|19620320|F|||"
    "153 FERNWOOD DR.^^STATESVILLE^OH^35292||(206)3345232|(206)752-121||||AC555444444",
    "ORC|RE|845439^GHH OE|1045813^GHH LAB||CM||||200202150730|||555-55-5555^PRIMARY^PATRICIA P",
    "OBR|1|845439^GHH OE|1045813^GHH LAB|15545^GLUCOSE|||200202150730|||||||||"
    "555-55-5555^PRIMARY^PATRICIA P^^^^MD^^|||||||||F||||||444-44-4444^HIPPOCRATES^HOWARD H^^^^MD",
    "OBX|1|SN|1554-5^GLUCOSE^POST 12H CFST:MCNC:PT:SER/PLAS:QN||^182|mg/dl|70_105|H|||F",
    "NTE|1||Patient fasting \\T\\ resting\\F\\ see note \\X0D\\ for details",
};

// The sample messages, as the Python benchmark takes them.
const std::vector<testing_support::SampleMessage>& samples() {
  static const auto loaded = testing_support::sample_messages();
  return loaded;
}

enum Shape { kMessage, kSampleLines, kRepetitions, kBase64Field, kDenseEscapes };

// A message of about `size` bytes in the given shape, lines separated by CR.
std::string message(Shape shape, std::size_t size) {
  std::string text(kHeader);
  switch (shape) {
    case kMessage:
      for (std::size_t i = 0; text.size() < size; ++i) {
        text += '\r';
        text += kBody[i % std::size(kBody)];
      }
      break;
    case kSampleLines:  // the real messages' lines after the header, in turn
      for (std::size_t i = 0; text.size() < size; ++i) {
        const std::string sample = replace_eof(samples()[i % samples().size()].text);
        text += '\r';
        text += std::string_view(sample).substr(sample.find('\r') + 1);
      }
      break;
    case kRepetitions:
      text += "\rPID|a^b";
      while (text.size() < size) text += "~a^b";
      break;
    case kBase64Field:
      text += "\rOBX|1|ED|PDF^Report||^application^pdf^Base64^";
      for (std::size_t i = 0; text.size() < size; ++i) {
        text += "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[i % 64];
      }
      break;
    case kDenseEscapes:
      for (std::size_t i = 0; text.size() < size; ++i) {
        text += "\rNTE|" + std::to_string(i) + "|";
        for (int k = 0; k < 10; ++k) text += "A\\F\\B\\T\\C\\X0D\\D\\E\\\\R\\x";
      }
      break;
  }
  return text;
}

Hl7Json converter(Shape shape, std::size_t size) {
  return Hl7Json(message(shape, size), false, false, true);
}

// Visits every record entry of every line, as the binding does when it
// builds the dicts.
std::size_t visit_records(const Hl7Json& hl7) {
  std::size_t bytes = 0;
  Hl7Segment segment;
  for (std::string_view line : hl7.lines()) {
    segment.parse(line, hl7.conversion_handler());
    for_each_record_entry(segment,
                          [&](const Position&, std::string_view value) { bytes += value.size(); });
  }
  return bytes;
}

RecordList records_of(const Hl7Json& hl7) {
  RecordList records;
  Hl7Segment segment;
  char key[Position::kMaxTextSize];
  for (std::string_view line : hl7.lines()) {
    segment.parse(line, hl7.conversion_handler());
    records.begin_record();
    for_each_record_entry(segment, [&](const Position& position, std::string_view value) {
      records.add(std::string_view(key, position.write_text(key)), value);
    });
    records.add(kSegmentNameKey, segment.name());
    records.end_record();
  }
  return records;
}

void BM_Records(benchmark::State& state, Shape shape) {
  const Hl7Json hl7 = converter(shape, static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(visit_records(hl7));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * hl7.hl7_string().size()));
}

void BM_Validation(benchmark::State& state, Shape shape) {
  const Hl7Json hl7 = converter(shape, static_cast<std::size_t>(state.range(0)));
  if (hl7.validate(false, true)) state.SkipWithError("the message does not validate");
  for (auto _ : state) benchmark::DoNotOptimize(hl7.validate(false, true));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * hl7.hl7_string().size()));
}

void BM_Assembly(benchmark::State& state, Shape shape) {
  const Hl7Json hl7 = converter(shape, static_cast<std::size_t>(state.range(0)));
  const JsonHl7 assembler(records_of(hl7));
  for (auto _ : state) benchmark::DoNotOptimize(assembler.convert(true));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * hl7.hl7_string().size()));
}

// The sample messages, as the Python benchmark takes them.
using testing_support::sample_messages;

void BM_SampleRecords(benchmark::State& state) {
  std::vector<Hl7Json> messages;
  std::int64_t bytes = 0;
  for (const auto& sample : sample_messages()) {
    messages.emplace_back(sample.text, false, false, true);
    bytes += static_cast<std::int64_t>(sample.text.size());
  }
  for (auto _ : state) {
    for (const Hl7Json& message : messages) benchmark::DoNotOptimize(visit_records(message));
  }
  state.SetBytesProcessed(state.iterations() * bytes);
}

void BM_SampleAssembly(benchmark::State& state) {
  std::vector<JsonHl7> messages;
  std::int64_t bytes = 0;
  for (const auto& sample : sample_messages()) {
    messages.emplace_back(records_of(Hl7Json(sample.text, false, false, true)));
    bytes += static_cast<std::int64_t>(sample.text.size());
  }
  for (auto _ : state) {
    for (const JsonHl7& message : messages) benchmark::DoNotOptimize(message.convert(true));
  }
  state.SetBytesProcessed(state.iterations() * bytes);
}

// Repetitions stop at 300 KB: past 100000 repetitions a field cannot be
// assembled.
#define SIZES() ->RangeMultiplier(10)->Range(1 << 10, 100 << 20)->Unit(benchmark::kMicrosecond)
BENCHMARK_CAPTURE(BM_Records, message, kMessage) SIZES();
BENCHMARK_CAPTURE(BM_Records, sample_lines, kSampleLines) SIZES();
BENCHMARK_CAPTURE(BM_Records, repetitions, kRepetitions) SIZES();
BENCHMARK_CAPTURE(BM_Records, base64_field, kBase64Field) SIZES();
BENCHMARK_CAPTURE(BM_Records, dense_escapes, kDenseEscapes) SIZES();
BENCHMARK_CAPTURE(BM_Validation, message, kMessage) SIZES();
BENCHMARK_CAPTURE(BM_Validation, sample_lines, kSampleLines) SIZES();
BENCHMARK_CAPTURE(BM_Assembly, message, kMessage) SIZES();
BENCHMARK_CAPTURE(BM_Assembly, repetitions, kRepetitions)
    ->RangeMultiplier(10)
    ->Range(1 << 10, 300 << 10)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Assembly, base64_field, kBase64Field) SIZES();
BENCHMARK_CAPTURE(BM_Assembly, dense_escapes, kDenseEscapes) SIZES();
BENCHMARK(BM_SampleRecords)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SampleAssembly)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace mirabex

BENCHMARK_MAIN();
