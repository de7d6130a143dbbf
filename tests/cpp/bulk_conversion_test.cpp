// The bulk converter end to end: files in, JSON Lines out, on several
// worker threads (run under ThreadSanitizer in the tsan build), against the
// plain composition of splitter and writer one message at a time.
#include "core/bulk_conversion.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "message_stream_reference.hpp"
#include "test_support.hpp"

namespace mirabex {
namespace {

using testing_support::reference_split;
using testing_support::sample_messages;

class TemporaryFile {
 public:
  explicit TemporaryFile(std::string_view content = "") {
    char path[] = "/tmp/mirabex_bulk_XXXXXX";
    const int fd = ::mkstemp(path);
    EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
    path_ = path;
  }
  ~TemporaryFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }
  std::string content() const {
    std::ifstream file(path_, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
  }

 private:
  std::string path_;
};

// Every sample message, each framed in its own way, repeated.
std::string capture(std::size_t repeats) {
  std::string out = "\xEF\xBB\xBF";
  const char* const ends[] = {"\r", "\n", "\r\n"};
  std::size_t i = 0;
  for (std::size_t round = 0; round < repeats; ++round) {
    for (const auto& sample : sample_messages()) {
      std::string text = sample.text;
      for (char& c : text) {
        if (c == '\n') c = '\r';
      }
      if (i % 4 == 3) text = "\x0b" + text + "\x1c\r";
      out += text + ends[i++ % 3];
    }
  }
  return out;
}

std::string plain_json_lines(const std::string& label, const std::string& bytes,
                             ConversionOptions options) {
  RecordsJsonWriter writer(options);
  std::string out;
  std::size_t number = 0;
  for (const std::string& message : reference_split(bytes)) {
    ++number;
    std::string records;
    if (writer.append_records(message, records)) continue;
    out += json_line_prefix(label) + std::to_string(number) + ",\"records\":" + records + "}\n";
  }
  return out;
}

struct RunResult {
  BulkSummary summary;
  std::string output;
  std::string failures;
};

RunResult convert(const std::vector<InputSource>& inputs, BulkOptions options) {
  TemporaryFile output;
  TemporaryFile failures;
  const int out_fd = ::open(output.path().c_str(), O_WRONLY | O_TRUNC);
  const int failures_fd = ::open(failures.path().c_str(), O_WRONLY | O_TRUNC);
  options.output_fd = out_fd;
  options.failures_fd = failures_fd;
  options.failure_format = FailureFormat::kJsonLines;
  RunResult result{convert_to_json_lines(inputs, options), "", ""};
  ::close(out_fd);
  ::close(failures_fd);
  result.output = output.content();
  result.failures = failures.content();
  return result;
}

TEST(BulkConversion, ManyBatchesOnEveryWorkerCountKeepInputOrder) {
  const std::string bytes = capture(8);
  const TemporaryFile file(bytes);
  const std::string expected = plain_json_lines("a.hl7", bytes, {});
  for (const unsigned jobs : {1u, 2u, 4u}) {
    BulkOptions options;
    options.jobs = jobs;
    options.batch_bytes = 4096;
    const RunResult result = convert({{file.path(), -1, "a.hl7"}, {file.path(), -1, "b.hl7"}}, options);
    EXPECT_EQ(result.output, expected + plain_json_lines("b.hl7", bytes, {})) << jobs;
    EXPECT_EQ(result.failures, "");
    EXPECT_EQ(result.summary.messages, 2 * reference_split(bytes).size());
    EXPECT_EQ(result.summary.bytes_read, 2 * bytes.size());
    EXPECT_FALSE(result.summary.fatal.has_value());
  }
}

TEST(BulkConversion, ABadMessageInTheMiddleIsReportedAndTheRestGoOn) {
  const std::string good = capture(3).substr(3);  // no byte-order mark mid-file
  const std::string bad = "MSH|^~\\&|A|B|C|D|20240101||ADT^A01|1|P|2.5\rPID|caf\xE9\r";
  const std::string bytes = good + bad + good;
  const TemporaryFile file(bytes);
  const std::size_t bad_number = reference_split(good).size() + 1;
  BulkOptions options;
  options.jobs = 2;
  options.batch_bytes = 2048;
  const RunResult result = convert({{file.path(), -1, "big.hl7"}}, options);
  EXPECT_EQ(result.failures, "{\"file\":\"big.hl7\",\"message\":" + std::to_string(bad_number) +
                                 ",\"offset\":" + std::to_string(good.size()) +
                                 ",\"error\":\"HL7 encoding error: byte 0xE9 in segment 2 is not "
                                 "valid UTF-8\"}\n");
  EXPECT_EQ(result.summary.failed_messages, 1u);
  EXPECT_EQ(result.summary.messages, bad_number * 2 - 2);
  EXPECT_EQ(result.output.find("\"message\":" + std::to_string(bad_number) + ","),
            std::string::npos);
  EXPECT_NE(result.output.find("\"message\":" + std::to_string(bad_number + 1) + ","),
            std::string::npos);
}

TEST(BulkConversion, ValidationFailuresAndUnreadableFilesAreReported) {
  const TemporaryFile messages("MSH|^~\\&|A|B|C|D|20240101||ADT^A01|1|P|2.5\rPID|1\r"
                               "MSH|^~\\&|A\rPID|1\r");
  const TemporaryFile empty(" \r\n");
  BulkOptions options;
  options.conversion.validation_enabled = true;
  const RunResult result = convert({{"/nonexistent/x.hl7", -1, "x.hl7"},
                          {messages.path(), -1, "m.hl7"},
                          {empty.path(), -1, "e.hl7"}},
                         options);
  EXPECT_EQ(result.failures,
            "{\"file\":\"x.hl7\",\"message\":null,\"offset\":null,\"error\":\"No such file or "
            "directory\"}\n"
            "{\"file\":\"m.hl7\",\"message\":2,\"offset\":49,\"error\":\"HL7 validation failed: "
            "MSH segment must have at least 12 fields\"}\n"
            "{\"file\":\"e.hl7\",\"message\":null,\"offset\":null,\"error\":\"HL7 message is "
            "empty\"}\n");
  EXPECT_EQ(result.summary.messages, 1u);
  EXPECT_EQ(result.summary.failed_messages, 1u);
  EXPECT_EQ(result.summary.failed_files, 2u);
}

TEST(BulkConversion, FailureTextLines) {
  EXPECT_EQ(failure_text_line({"a.hl7", 3, 120, "bad", false}), "a.hl7 (message 3, byte 120): bad\n");
  EXPECT_EQ(failure_text_line({"a.hl7", 0, 0, "gone", true}), "a.hl7: gone\n");
}

TEST(BulkConversion, AClosedOutputStopsTheRun) {
  const TemporaryFile file(capture(20));
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  ::close(pipe_fds[0]);
  BulkOptions options;
  options.jobs = 2;
  options.batch_bytes = 1024;
  options.output_fd = pipe_fds[1];
  std::signal(SIGPIPE, SIG_IGN);
  const BulkSummary summary = convert_to_json_lines({{file.path(), -1, "a"}}, options);
  ::close(pipe_fds[1]);
  EXPECT_EQ(summary.fatal, "cannot write the output: Broken pipe");
}

TEST(BulkConversion, StopsWhenAsked) {
  const TemporaryFile file(capture(20));
  BulkOptions options;
  options.jobs = 2;
  options.batch_bytes = 1024;
  int asked = 0;
  options.should_stop = [&] { return ++asked == 3; };
  const RunResult result = convert({{file.path(), -1, "a"}}, options);
  EXPECT_TRUE(result.summary.stopped);
  EXPECT_LT(result.summary.messages, 20 * sample_messages().size());
  EXPECT_GT(result.summary.messages, 0u);
}

TEST(BulkConversion, AnUnknownEncodingConvertsNothing) {
  BulkOptions options;
  options.encoding = "no-such-set";
  const BulkSummary summary = convert_to_json_lines({{"/nonexistent", -1, "a"}}, options);
  EXPECT_EQ(summary.fatal, "unknown encoding: no-such-set");
}

}  // namespace
}  // namespace mirabex
