#include "core/bulk_conversion.hpp"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "core/charset.hpp"
#include "core/message_stream.hpp"

namespace mirabex {

namespace {

// Whole messages of one file, as the reader cut them, and what the file's
// reading ended with when these are its last.
struct Batch {
  std::size_t sequence = 0;
  std::size_t file_index = 0;
  MessageBatch messages;
  std::uint64_t bytes = 0;  // of the file read since the previous batch
  std::optional<MessageFailure> file_failure;
};


struct ConvertedBatch {
  std::string output;
  std::vector<MessageFailure> failures;
  std::optional<MessageFailure> file_failure;
  std::size_t messages = 0;
  std::uint64_t bytes = 0;
};

// The hand-over between the reader, the workers and the writer. At most
// max_in_flight batches exist between being read and being written.
class Pipeline {
  template <class Buffer>
  static Buffer take_spare(std::vector<Buffer>& spares) {
    if (spares.empty()) return Buffer();
    Buffer buffer = std::move(spares.back());
    spares.pop_back();
    return buffer;
  }

 public:
  explicit Pipeline(std::size_t max_in_flight) : max_in_flight_(max_in_flight) {}

  // Waits for room; false when the run is stopping.
  bool push(Batch batch) {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return in_flight_ < max_in_flight_ || stopping_; });
    if (stopping_) return false;
    batch.sequence = pushed_++;
    ++in_flight_;
    work_queue_.push_back(std::move(batch));
    work_ready_.notify_one();
    return true;
  }

  void close_input() {
    std::lock_guard lock(mutex_);
    input_closed_ = true;
    work_ready_.notify_all();
    results_ready_.notify_all();
  }

  // The next batch to convert; none once the input is done or the run stops.
  std::optional<Batch> pop() {
    std::unique_lock lock(mutex_);
    work_ready_.wait(lock, [&] { return !work_queue_.empty() || input_closed_ || stopping_; });
    if (stopping_ || work_queue_.empty()) return std::nullopt;
    Batch batch = std::move(work_queue_.front());
    work_queue_.pop_front();
    return batch;
  }

  void complete(std::size_t sequence, ConvertedBatch converted) {
    std::lock_guard lock(mutex_);
    completed_.emplace(sequence, std::move(converted));
    results_ready_.notify_one();
  }

  // The converted batches in the order they were read; none once all are
  // written or the run stops.
  std::optional<ConvertedBatch> next_in_order() {
    std::unique_lock lock(mutex_);
    results_ready_.wait(lock, [&] {
      return completed_.contains(written_) || (input_closed_ && written_ == pushed_) || stopping_;
    });
    const auto found = completed_.find(written_);
    if (stopping_ || found == completed_.end()) return std::nullopt;
    ConvertedBatch converted = std::move(found->second);
    completed_.erase(found);
    ++written_;
    --in_flight_;
    room_.notify_one();
    return converted;
  }

  // Buffers come back once used, so the next batch finds its memory already
  // mapped instead of faulting in fresh pages.
  void give_back_text(MessageBatch batch) {
    batch.clear();
    std::lock_guard lock(mutex_);
    spare_texts_.push_back(std::move(batch));
  }
  MessageBatch spare_text() {
    std::lock_guard lock(mutex_);
    return take_spare(spare_texts_);
  }
  void give_back_output(std::string output) {
    output.clear();
    std::lock_guard lock(mutex_);
    spare_outputs_.push_back(std::move(output));
  }
  std::string spare_output() {
    std::lock_guard lock(mutex_);
    return take_spare(spare_outputs_);
  }

  void stop() {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    room_.notify_all();
    work_ready_.notify_all();
    results_ready_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable room_;
  std::condition_variable work_ready_;
  std::condition_variable results_ready_;
  std::deque<Batch> work_queue_;
  std::map<std::size_t, ConvertedBatch> completed_;
  std::vector<MessageBatch> spare_texts_;
  std::vector<std::string> spare_outputs_;
  const std::size_t max_in_flight_;
  std::size_t in_flight_ = 0;
  std::size_t pushed_ = 0;
  std::size_t written_ = 0;
  bool input_closed_ = false;
  bool stopping_ = false;
};

void append_decimal(std::uint64_t n, std::string& out) {
  char digits[20];
  const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
  out.append(digits, static_cast<std::size_t>(end - digits));
}

// 0, or the errno of the failed write.
int write_fully(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

MessageFailure file_failure(const InputSource& input, std::string error, bool unreadable) {
  return MessageFailure{.file = input.label,
                        .message = 0,
                        .offset = 0,
                        .error = std::move(error),
                        .unreadable = unreadable};
}

// The system's text alone, as for any file a command cannot read.
std::string file_error_text(const IoError& error) {
  return error.os_error() != 0 ? std::strerror(error.os_error()) : error.display();
}

// Reads every input in turn and hands its messages on in batches.
class Reader {
 public:
  Reader(const std::vector<InputSource>& inputs, const BulkOptions& options, bool strip_utf8_bom,
         Pipeline& pipeline)
      : inputs_(inputs), options_(options), strip_utf8_bom_(strip_utf8_bom), pipeline_(pipeline) {}

  void run() {
    for (std::size_t index = 0; index < inputs_.size(); ++index) {
      if (!read_file(index)) break;
    }
    pipeline_.close_input();
  }

 private:
  Batch batch_of_file(std::size_t index) {
    Batch batch;
    batch.file_index = index;
    batch.messages = pipeline_.spare_text();
    // A batch is handed on once it holds batch_bytes, after the read that
    // took it there: room for both up front, so the text is not moved and
    // its pages faulted in twice as it grows.
    batch.messages.text.reserve(options_.batch_bytes + MessageReader::kChunkSize);
    return batch;
  }

  bool read_file(std::size_t index) {
    const InputSource& input = inputs_[index];
    MessageReader reader(input.path, input.fd, strip_utf8_bom_);
    Batch batch = batch_of_file(index);
    if (auto error = reader.open()) {
      batch.file_failure = file_failure(input, file_error_text(*error), true);
      return pipeline_.push(std::move(batch));
    }
    std::uint64_t handed_on = 0;
    bool any_message = false;
    while (reader.read_more(batch.messages)) {
      any_message = true;
      if (batch.messages.text.size() < options_.batch_bytes) continue;
      batch.bytes = reader.bytes_read() - handed_on;
      handed_on = reader.bytes_read();
      if (!pipeline_.push(std::exchange(batch, batch_of_file(index)))) return false;
    }
    batch.bytes = reader.bytes_read() - handed_on;
    if (reader.error()) {
      batch.file_failure = file_failure(input, file_error_text(*reader.error()), true);
    } else if (!any_message) {
      batch.file_failure =
          file_failure(input, Hl7Error(error_kind::EmptyMessage{}).display(), false);
    }
    return pipeline_.push(std::move(batch));
  }

  const std::vector<InputSource>& inputs_;
  const BulkOptions& options_;
  bool strip_utf8_bom_;
  Pipeline& pipeline_;
};

// Converts batches until none is left; one per worker thread.
class Worker {
 public:
  Worker(const std::vector<std::string>& prefixes, const std::vector<InputSource>& inputs,
         const BulkOptions& options, MessageDecoder decoder, Pipeline& pipeline)
      : prefixes_(prefixes),
        inputs_(inputs),
        writer_(options.conversion),
        decoder_(std::move(decoder)),
        pipeline_(pipeline) {}

  void run() {
    while (auto batch = pipeline_.pop()) {
      ConvertedBatch converted = convert(*batch);
      pipeline_.give_back_text(std::move(batch->messages));
      pipeline_.complete(batch->sequence, std::move(converted));
    }
  }

 private:
  ConvertedBatch convert(Batch& batch) {
    ConvertedBatch converted;
    converted.output = pipeline_.spare_output();
    converted.bytes = batch.bytes;
    converted.file_failure = std::move(batch.file_failure);
    // The JSON of real messages takes about 2.7 times their text.
    converted.output.reserve(batch.messages.text.size() * 3 + 4096);
    for (const MessageSpan& span : batch.messages.messages) {
      convert_message(batch, span, converted);
    }
    return converted;
  }

  void convert_message(const Batch& batch, const MessageSpan& span, ConvertedBatch& converted) {
    std::string& out = converted.output;
    const std::size_t mark = out.size();
    const auto fail = [&](const Hl7Error& error) {
      out.resize(mark);
      converted.failures.push_back(MessageFailure{.file = inputs_[batch.file_index].label,
                                                  .message = span.number,
                                                  .offset = span.offset,
                                                  .error = error.display(),
                                                  .unreadable = false});
    };
    const auto decoded = decoder_.decode(batch.messages.text_of(span));
    if (const auto* error = std::get_if<Hl7Error>(&decoded)) return fail(*error);
    out += prefixes_[batch.file_index];
    append_decimal(span.number, out);
    out += ",\"records\":";
    if (auto error = writer_.append_records(std::get<std::string_view>(decoded), out)) {
      return fail(*error);
    }
    out += "}\n";
    ++converted.messages;
  }

  const std::vector<std::string>& prefixes_;
  const std::vector<InputSource>& inputs_;
  RecordsJsonWriter writer_;
  MessageDecoder decoder_;
  Pipeline& pipeline_;
};

// "12,345 messages, 67.8 MB, 150 MB/s" on one line of a terminal, redrawn
// a few times a second.
class ProgressLine {
 public:
  explicit ProgressLine(int fd) : fd_(fd) {}

  bool shown() const { return fd_ >= 0; }

  void update(std::size_t messages, std::uint64_t bytes, bool force) {
    if (fd_ < 0) return;
    const auto now = Clock::now();
    if (!force && now - last_drawn_ < std::chrono::milliseconds(250)) return;
    last_drawn_ = now;
    drawn_ = true;
    const double seconds = std::chrono::duration<double>(now - started_).count();
    const double megabytes = static_cast<double>(bytes) / 1e6;
    char line[128];
    const int length = std::snprintf(line, sizeof line, "\r\x1b[K%zu messages, %.1f MB, %.0f MB/s",
                                     messages, megabytes, seconds > 0 ? megabytes / seconds : 0.0);
    write_fully(fd_, std::string_view(line, static_cast<std::size_t>(length)));
  }

  // Clears the line so that a text line can be written there.
  void clear() {
    if (drawn_) write_fully(fd_, "\r\x1b[K");
  }

  void finish(std::size_t messages, std::uint64_t bytes) {
    if (!drawn_) return;
    update(messages, bytes, true);
    write_fully(fd_, "\n");
  }

 private:
  using Clock = std::chrono::steady_clock;
  int fd_;
  Clock::time_point started_ = Clock::now();
  Clock::time_point last_drawn_{};
  bool drawn_ = false;
};

void append_json_or_null(std::size_t value, bool present, std::string& out) {
  if (present) {
    append_decimal(value, out);
  } else {
    out += "null";
  }
}

// Writes the converted batches in order; the calling thread's part.
class Writer {
 public:
  Writer(const BulkOptions& options, Pipeline& pipeline, BulkSummary& summary)
      : options_(options),
        pipeline_(pipeline),
        summary_(summary),
        progress_(options.progress_fd) {}

  void run() {
    while (auto converted = pipeline_.next_in_order()) {
      if (!write(*converted)) break;
      progress_.update(summary_.messages, summary_.bytes_read, false);
      if (options_.should_stop && options_.should_stop()) {
        summary_.stopped = true;
        pipeline_.stop();
        break;
      }
    }
    progress_.finish(summary_.messages, summary_.bytes_read);
  }

 private:
  bool write(ConvertedBatch& converted) {
    if (const int error = write_fully(options_.output_fd, converted.output)) {
      summary_.fatal = std::string("cannot write the output: ") + std::strerror(error);
      summary_.output_error = error;
      pipeline_.stop();
      return false;
    }
    summary_.messages += converted.messages;
    summary_.bytes_read += converted.bytes;
    summary_.failed_messages += converted.failures.size();
    for (const MessageFailure& failure : converted.failures) report(failure);
    if (converted.file_failure) {
      ++summary_.failed_files;
      report(*converted.file_failure);
    }
    pipeline_.give_back_output(std::move(converted.output));
    return true;
  }

  void report(const MessageFailure& failure) {
    if (options_.on_failure) {
      progress_.clear();
      options_.on_failure(failure);
      return;
    }
    if (options_.failure_format == FailureFormat::kJsonLines) {
      write_fully(options_.failures_fd, failure_json_line(failure));
      return;
    }
    if (options_.failures_fd == options_.progress_fd) progress_.clear();
    write_fully(options_.failures_fd, failure_text_line(failure));
  }

  const BulkOptions& options_;
  Pipeline& pipeline_;
  BulkSummary& summary_;
  ProgressLine progress_;
};

// Runs body, stopping the whole run if it throws (memory exhausted, a
// thread that cannot start): no exception leaves a thread.
template <class Body>
void guarded(Pipeline& pipeline, std::mutex& mutex, std::optional<std::string>& fatal,
             Body&& body) {
  try {
    body();
  } catch (const std::exception& error) {
    std::lock_guard lock(mutex);
    if (!fatal) fatal = error.what();
    pipeline.stop();
  }
}

}  // namespace

std::string json_line_prefix(std::string_view file_label) {
  std::string prefix = "{\"file\":";
  append_json_string(file_label, prefix);
  prefix += ",\"message\":";
  return prefix;
}

std::string failure_json_line(const MessageFailure& failure) {
  std::string line = "{\"file\":";
  append_json_string(failure.file, line);
  line += ",\"message\":";
  append_json_or_null(failure.message, failure.message != 0, line);
  line += ",\"offset\":";
  append_json_or_null(failure.offset, failure.message != 0, line);
  line += ",\"error\":";
  append_json_string(failure.error, line);
  line += "}\n";
  return line;
}

std::string failure_text_line(const MessageFailure& failure) {
  std::string line = failure.file;
  if (failure.message != 0) {
    line += " (message ";
    append_decimal(failure.message, line);
    line += ", byte ";
    append_decimal(failure.offset, line);
    line += ')';
  }
  line += ": ";
  line += failure.error;
  line += '\n';
  return line;
}

BulkSummary convert_to_json_lines(const std::vector<InputSource>& inputs,
                                  const BulkOptions& options) {
  BulkSummary summary;
  auto decoder = MessageDecoder::create(options.encoding);
  if (auto* error = std::get_if<std::string>(&decoder)) {
    summary.fatal = *error;
    return summary;
  }
  const bool strip_utf8_bom = std::get<MessageDecoder>(decoder).reads_utf8_bom();
  std::vector<std::string> prefixes;
  prefixes.reserve(inputs.size());
  for (const InputSource& input : inputs) prefixes.push_back(json_line_prefix(input.label));

  const unsigned jobs = options.jobs == 0 ? 1 : options.jobs;
  Pipeline pipeline(2 * static_cast<std::size_t>(jobs) + 2);
  std::mutex fatal_mutex;
  std::optional<std::string> thread_failure;
  std::vector<std::thread> threads;
  guarded(pipeline, fatal_mutex, thread_failure, [&] {
    threads.emplace_back([&] {
      guarded(pipeline, fatal_mutex, thread_failure,
              [&] { Reader(inputs, options, strip_utf8_bom, pipeline).run(); });
    });
    for (unsigned i = 0; i < jobs; ++i) {
      auto worker_decoder = MessageDecoder::create(options.encoding);
      threads.emplace_back([&, d = std::move(std::get<MessageDecoder>(worker_decoder))]() mutable {
        guarded(pipeline, fatal_mutex, thread_failure,
                [&] { Worker(prefixes, inputs, options, std::move(d), pipeline).run(); });
      });
    }
  });
  guarded(pipeline, fatal_mutex, thread_failure,
          [&] { Writer(options, pipeline, summary).run(); });
  for (std::thread& thread : threads) thread.join();
  if (thread_failure && !summary.fatal) summary.fatal = thread_failure;
  return summary;
}

}  // namespace mirabex
