// Messages out of a stream of bytes: captures from interface engines hold
// many messages, some framed for MLLP or wrapped in batches. The splitter
// takes the bytes in chunks of any size and completes one message at a time,
// so memory is bounded by the largest message, not by the stream.
//
// The rules: every CR and every LF ends a line; MLLP bytes (0x0B, 0x1C) are
// removed wherever they are; blank lines and batch or file header and
// trailer lines (BHS, BTS, FHS, FTS) are left out; a line starting with
// "MSH|" starts a message, and the lines before the first one form a message
// of their own. A message's text is its lines joined by LF.
//
// The splitter works on bytes: it serves any encoding in which CR, LF, the
// MLLP bytes and the letters of MSH| are single bytes that never occur
// inside another character (ASCII, UTF-8, the ISO 8859 and Windows code
// pages, and the common East Asian multi-byte sets).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/errors.hpp"

namespace mirabex {

// Where a message sits in a batch and where it came from.
struct MessageSpan {
  std::size_t begin = 0;     // in the batch's text
  std::size_t size = 0;
  std::uint64_t offset = 0;  // of the message's first byte in the stream
  std::size_t number = 0;    // of the message in its stream, from 1
};

// Messages one after another in one buffer.
struct MessageBatch {
  std::string text;
  std::vector<MessageSpan> messages;

  std::string_view text_of(const MessageSpan& message) const {
    return std::string_view(text).substr(message.begin, message.size);
  }
  void clear() {
    text.clear();
    messages.clear();
  }
};

class MessageSplitter {
 public:
  // A leading UTF-8 byte-order mark is removed unless the stream is read in
  // an encoding where those bytes are text.
  explicit MessageSplitter(bool strip_utf8_bom = true) : bom_pending_(strip_utf8_bom) {}

  // Takes the next bytes of the stream; every message they complete is
  // appended to the batch.
  void feed(std::string_view bytes, MessageBatch& batch);
  // The stream has ended: its last message is appended to the batch.
  void finish(MessageBatch& batch);

  std::uint64_t bytes_seen() const { return position_; }
  std::size_t messages_completed() const { return messages_completed_; }

 private:
  void feed_bom_prefix(std::string_view& bytes);
  void append_to_line(std::string_view run);
  void end_line(MessageBatch& batch);
  void complete_message(std::size_t size, MessageBatch& batch);

  std::string message_;            // the current message, its last line still open
  std::size_t line_start_ = 0;     // of the open line in message_
  std::uint64_t line_offset_ = 0;  // of the open line's first byte in the stream
  std::uint64_t message_offset_ = 0;
  bool line_started_ = false;      // the open line holds a byte (possibly one removed)
  bool message_open_ = false;      // message_ holds at least one kept line
  std::uint64_t position_ = 0;     // bytes of the stream seen so far
  std::size_t messages_completed_ = 0;
  bool bom_pending_;
  std::size_t bom_matched_ = 0;
};

// True when the line holds nothing but white space (as Python's str.isspace
// counts it: Unicode White_Space and the ASCII separators 0x1C to 0x1F).
// Bytes that are not UTF-8 are not white space.
bool is_blank_line(std::string_view line);

// Reads a stream in chunks and hands out its messages one at a time.
class MessageReader {
 public:
  static constexpr std::size_t kChunkSize = 256 * 1024;

  // Reads the file at path, or the open descriptor fd when path is empty
  // (which stays open: the caller owns it).
  MessageReader(std::string path, int fd, bool strip_utf8_bom = true);
  ~MessageReader();
  MessageReader(const MessageReader&) = delete;
  MessageReader& operator=(const MessageReader&) = delete;

  // Opens the file; the error when it cannot be opened.
  std::optional<IoError> open();

  // Reads until at least one more message is complete or the stream ends,
  // appending to the batch. False once nothing more is to come; the error of
  // a failed read is then in error().
  bool read_more(MessageBatch& batch);
  const std::optional<IoError>& error() const { return error_; }
  std::uint64_t bytes_read() const { return splitter_.bytes_seen(); }

 private:
  std::string path_;
  int fd_;
  bool owns_fd_ = false;
  bool done_ = false;
  std::optional<IoError> error_;
  std::string chunk_;
  MessageSplitter splitter_;
};

}  // namespace mirabex
