#include "core/message_stream.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "core/utils.hpp"

namespace mirabex {

namespace {

constexpr char kMllpStart = '\x0b';
constexpr char kMllpEnd = '\x1c';
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kHeaderStart = "MSH|";

// Bytes the splitter must look at: line breaks and MLLP framing.
constexpr std::array<bool, 256> kSpecialBytes = [] {
  std::array<bool, 256> table{};
  table['\r'] = table['\n'] = table[static_cast<unsigned char>(kMllpStart)] =
      table[static_cast<unsigned char>(kMllpEnd)] = true;
  return table;
}();

constexpr std::array<bool, 128> kAsciiWhiteSpace = [] {
  std::array<bool, 128> table{};
  for (const char c : {'\t', '\n', '\v', '\f', '\r', '\x1c', '\x1d', '\x1e', '\x1f', ' '}) {
    table[static_cast<unsigned char>(c)] = true;
  }
  return table;
}();

// The segment name is the text before the first field separator.
bool is_batch_line(std::string_view line) {
  if (line.size() < 3 || (line.size() > 3 && line[3] != '|')) return false;
  const std::string_view name = line.substr(0, 3);
  return name == "BHS" || name == "BTS" || name == "FHS" || name == "FTS";
}

// True when any of the eight bytes is a line break or an MLLP byte. All
// four are below 0x20: most words are ruled out by that test alone.
bool holds_special_byte(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHighs = 0x8080808080808080u;
  if (((word - kOnes * 0x20) & ~word & kHighs) == 0) return false;
  const auto zero_byte = [](std::uint64_t x) { return (x - kOnes) & ~x & kHighs; };
  return (zero_byte(word ^ (kOnes * '\r')) | zero_byte(word ^ (kOnes * '\n')) |
          zero_byte(word ^ (kOnes * 0x0b)) | zero_byte(word ^ (kOnes * 0x1c))) != 0;
}

std::size_t plain_run_length(std::string_view bytes) {
  std::size_t i = 0;
  for (std::uint64_t word; i + 8 <= bytes.size(); i += 8) {
    std::memcpy(&word, bytes.data() + i, sizeof word);
    if (holds_special_byte(word)) break;
  }
  while (i < bytes.size() && !kSpecialBytes[static_cast<unsigned char>(bytes[i])]) ++i;
  return i;
}

}  // namespace

bool is_blank_line(std::string_view line) {
  std::size_t pos = 0;
  while (pos < line.size()) {
    const auto byte = static_cast<unsigned char>(line[pos]);
    if (byte < 0x80) {
      if (!kAsciiWhiteSpace[byte]) return false;
      ++pos;
      continue;
    }
    const Utf8Char c = decode_utf8(line, pos);
    if (!c.valid || !is_unicode_white_space(c.code)) return false;
    pos += c.length;
  }
  return true;
}

void MessageSplitter::feed(std::string_view bytes, MessageBatch& batch) {
  if (bom_pending_) feed_bom_prefix(bytes);
  while (!bytes.empty()) {
    const std::size_t run = plain_run_length(bytes);
    if (run != 0) append_to_line(bytes.substr(0, run));
    position_ += run;
    if (run == bytes.size()) return;
    const char special = bytes[run];
    if (special == '\r' || special == '\n') end_line(batch);
    ++position_;
    bytes.remove_prefix(run + 1);
  }
}

// The mark may arrive split across chunks: bytes that match it so far are
// held back until it is complete or proves not to be one.
void MessageSplitter::feed_bom_prefix(std::string_view& bytes) {
  while (bom_pending_ && !bytes.empty()) {
    if (bytes.front() == kUtf8Bom[bom_matched_]) {
      bytes.remove_prefix(1);
      ++position_;
      bom_pending_ = ++bom_matched_ < kUtf8Bom.size();
      continue;
    }
    bom_pending_ = false;
    position_ = 0;
    if (bom_matched_ != 0) append_to_line(kUtf8Bom.substr(0, bom_matched_));
    position_ = bom_matched_;
  }
}

void MessageSplitter::append_to_line(std::string_view run) {
  if (!line_started_) {
    line_started_ = true;
    line_offset_ = position_;
    if (message_open_) message_ += '\n';
    line_start_ = message_.size();
  }
  message_ += run;
}

void MessageSplitter::end_line(MessageBatch& batch) {
  if (!line_started_) return;
  line_started_ = false;
  const std::string_view line = std::string_view(message_).substr(line_start_);
  if (is_batch_line(line) || is_blank_line(line)) {
    message_.resize(message_open_ ? line_start_ - 1 : 0);
    return;
  }
  if (!message_open_) {
    message_open_ = true;
    message_offset_ = line_offset_;
    return;
  }
  if (line.starts_with(kHeaderStart)) {
    complete_message(line_start_ - 1, batch);
    message_.erase(0, line_start_);
    message_offset_ = line_offset_;
  }
}

void MessageSplitter::complete_message(std::size_t size, MessageBatch& batch) {
  batch.messages.push_back(MessageSpan{.begin = batch.text.size(),
                                       .size = size,
                                       .offset = message_offset_,
                                       .number = ++messages_completed_});
  batch.text.append(message_, 0, size);
}

void MessageSplitter::finish(MessageBatch& batch) {
  if (bom_pending_) {
    bom_pending_ = false;
    position_ = 0;
    if (bom_matched_ != 0) append_to_line(kUtf8Bom.substr(0, bom_matched_));
    position_ = bom_matched_;
  }
  end_line(batch);
  if (!message_open_) return;
  complete_message(message_.size(), batch);
  message_.clear();
  message_open_ = false;
}

MessageReader::MessageReader(std::string path, int fd, bool strip_utf8_bom)
    : path_(std::move(path)), fd_(fd), splitter_(strip_utf8_bom) {}

MessageReader::~MessageReader() {
  if (owns_fd_) ::close(fd_);
}

std::optional<IoError> MessageReader::open() {
  if (path_.empty()) return std::nullopt;
  // The system would read the name only up to the NUL: another file.
  if (path_.find('\0') != std::string::npos) {
    return IoError::described("file name contained an unexpected NUL byte");
  }
  fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return IoError::from_errno(errno);
  owns_fd_ = true;
  ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::nullopt;
}

bool MessageReader::read_more(MessageBatch& batch) {
  const std::size_t before = batch.messages.size();
  if (chunk_.empty()) chunk_.resize(kChunkSize);
  while (!done_ && batch.messages.size() == before) {
    const ssize_t got = ::read(fd_, chunk_.data(), chunk_.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      // A message cut short by the failure is not handed out.
      error_ = IoError::from_errno(errno);
      done_ = true;
    } else if (got == 0) {
      splitter_.finish(batch);
      done_ = true;
    } else {
      splitter_.feed(std::string_view(chunk_.data(), static_cast<std::size_t>(got)), batch);
    }
  }
  return batch.messages.size() != before;
}

}  // namespace mirabex
