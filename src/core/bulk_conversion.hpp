// Files of HL7 messages to JSON Lines on worker threads, in bounded memory.
//
// A reader thread reads each file in chunks and cuts it into batches of
// whole messages; worker threads decode and convert the batches; the
// calling thread writes their lines in input order. Only a fixed number of
// batches is in flight at once, so memory is bounded by that number and the
// largest message, whatever the size of the input. A message that fails
// becomes a failure report and the rest go on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/json_writer.hpp"

namespace mirabex {

// One input: the file at path, or the open descriptor fd when path is empty
// (standard input). label is the name the output gives it.
struct InputSource {
  std::string path;
  int fd = -1;
  std::string label;
};

// A message that could not be converted, or a file that could not be read
// (then message is 0 and offset meaningless).
struct MessageFailure {
  std::string file;
  std::size_t message = 0;
  std::uint64_t offset = 0;
  std::string error;
  bool unreadable = false;  // the file could not be opened or read
};

enum class FailureFormat { kText, kJsonLines };

struct BulkOptions {
  ConversionOptions conversion;
  std::string encoding = "auto";  // or a character set for every message
  unsigned jobs = 1;              // worker threads
  int output_fd = 1;              // JSON Lines
  int failures_fd = 2;
  FailureFormat failure_format = FailureFormat::kText;
  // When set, failures go here (on the calling thread) instead of failures_fd.
  std::function<void(const MessageFailure&)> on_failure;
  int progress_fd = -1;           // a terminal to draw progress on, or -1
  // Asked between batches; true stops the run early (an interrupt).
  std::function<bool()> should_stop;
  std::size_t batch_bytes = 256 << 10;  // message text per batch
};

struct BulkSummary {
  std::size_t messages = 0;        // converted
  std::size_t failed_messages = 0;
  std::size_t failed_files = 0;
  std::uint64_t bytes_read = 0;
  bool stopped = false;            // should_stop said so
  std::optional<std::string> fatal;  // the run could not go on (output failed, bad encoding)
  int output_error = 0;            // the errno of a failed output write
};

BulkSummary convert_to_json_lines(const std::vector<InputSource>& inputs, const BulkOptions& options);

// One output line: {"file":...,"message":N,"records":[...]} and a line feed.
// The prefix is the file's part, made once per file.
std::string json_line_prefix(std::string_view file_label);

// A failure as a JSON line: {"file":...,"message":N,"offset":O,"error":...};
// message and offset are null for a file that could not be read.
std::string failure_json_line(const MessageFailure& failure);
// A failure as a line of text: "FILE (message N, byte O): ERROR", or
// "FILE: ERROR" for a file.
std::string failure_text_line(const MessageFailure& failure);

}  // namespace mirabex
