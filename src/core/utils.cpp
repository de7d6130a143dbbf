#include "core/utils.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace mirabex {

namespace {

// The three passes of replace_eof as a chain of small state machines, each
// feeding the next, writing over the text it reads. Each stage holds at most
// one character back, so it never writes past what has been read.
class LineBreakNormaliser {
 public:
  explicit LineBreakNormaliser(char* out) : out_(out) {}

  void put(char c) { crlf_stage(c); }

  // Characters that are neither CR nor LF pass every stage unchanged once
  // no stage holds a character back.
  bool holds_nothing() const { return !cr_held_ && !lf_held_; }
  void put_plain_run(const char* run, std::size_t size) {
    std::memmove(out_ + written_, run, size);
    written_ += size;
  }

  std::size_t finish() {
    if (cr_held_) {
      cr_held_ = false;
      lfcr_stage('\r');
    }
    if (lf_held_) {
      lf_held_ = false;
      cr_stage('\n');
    }
    return written_;
  }

 private:
  // CR LF -> LF
  void crlf_stage(char c) {
    if (cr_held_) {
      cr_held_ = false;
      if (c == '\n') {
        lfcr_stage('\n');
        return;
      }
      lfcr_stage('\r');
    }
    if (c == '\r') {
      cr_held_ = true;
    } else {
      lfcr_stage(c);
    }
  }

  // LF CR -> LF
  void lfcr_stage(char c) {
    if (lf_held_) {
      lf_held_ = false;
      cr_stage('\n');
      if (c == '\r') return;
    }
    if (c == '\n') {
      lf_held_ = true;
    } else {
      cr_stage(c);
    }
  }

  // CR -> LF
  void cr_stage(char c) { out_[written_++] = c == '\r' ? '\n' : c; }

  char* out_;
  std::size_t written_ = 0;
  bool cr_held_ = false;
  bool lf_held_ = false;
};

bool is_line_break(char c) { return c == '\r' || c == '\n'; }

}  // namespace

std::string replace_eof(std::string text) {
  const std::size_t first_cr = text.find('\r');
  if (first_cr == std::string::npos) return text;
  // Segments ended by CR alone, the usual form: every CR becomes an LF.
  // Segments are tens of bytes long: a memchr per segment beats a byte loop.
  if (text.find('\n') == std::string::npos) {
    const char* const end = text.data() + text.size();
    for (char* cr = text.data() + first_cr; cr != nullptr;) {
      *cr = '\n';
      cr = static_cast<char*>(std::memchr(cr + 1, '\r', static_cast<std::size_t>(end - cr - 1)));
    }
    return text;
  }
  // Everything before the first CR passes every stage unchanged, except an
  // LF right before it, which the LF CR stage must see.
  const std::size_t start = first_cr > 0 && text[first_cr - 1] == '\n' ? first_cr - 1 : first_cr;
  LineBreakNormaliser normaliser(text.data() + start);
  for (std::size_t i = start; i < text.size();) {
    if (normaliser.holds_nothing() && !is_line_break(text[i])) {
      const auto run_end =
          std::find_if(text.begin() + static_cast<std::ptrdiff_t>(i), text.end(), is_line_break);
      const auto size = static_cast<std::size_t>(run_end - text.begin()) - i;
      normaliser.put_plain_run(text.data() + i, size);
      i += size;
      continue;
    }
    normaliser.put(text[i++]);
  }
  text.resize(start + normaliser.finish());
  return text;
}

void Lines::iterator::advance() {
  const std::size_t lf = rest_.find('\n');
  if (lf == std::string_view::npos) {
    line_ = rest_;
    rest_ = rest_.substr(rest_.size());
    last_ = true;
  } else {
    line_ = rest_.substr(0, lf);
    rest_ = rest_.substr(lf + 1);
  }
}

Lines::iterator& Lines::iterator::operator++() {
  if (last_) {
    done_ = true;
  } else {
    advance();
  }
  return *this;
}

Utf8Char decode_utf8(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
  const auto continuation = [&](std::size_t i) {
    return pos + i < text.size() && (byte(i) & 0xC0) == 0x80;
  };
  const unsigned char lead = byte(0);
  const Utf8Char invalid{lead, 1, false};
  if (lead < 0x80) return {lead, 1, true};
  if (lead < 0xC2) return invalid;
  if (lead < 0xE0) {
    if (!continuation(1)) return invalid;
    return {static_cast<char32_t>((lead & 0x1F) << 6 | (byte(1) & 0x3F)), 2, true};
  }
  if (lead < 0xF0) {
    if (!continuation(1) || !continuation(2)) return invalid;
    const char32_t code = (lead & 0x0F) << 12 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F);
    if (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF)) return invalid;
    return {code, 3, true};
  }
  if (lead < 0xF5) {
    if (!continuation(1) || !continuation(2) || !continuation(3)) return invalid;
    const char32_t code =
        (lead & 0x07) << 18 | (byte(1) & 0x3F) << 12 | (byte(2) & 0x3F) << 6 | (byte(3) & 0x3F);
    if (code < 0x10000 || code > 0x10FFFF) return invalid;
    return {code, 4, true};
  }
  return invalid;
}

bool is_valid_utf8(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ++pos;
      continue;
    }
    const Utf8Char c = decode_utf8(text, pos);
    if (!c.valid) return false;
    pos += c.length;
  }
  return true;
}

// Eight bytes at a time: long texts (whole messages) are common.
bool is_ascii(std::string_view text) {
  std::uint64_t high_bits = 0;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    high_bits |= word;
  }
  for (; i < text.size(); ++i) high_bits |= static_cast<unsigned char>(text[i]);
  return (high_bits & 0x8080808080808080u) == 0;
}

bool is_unicode_white_space(char32_t c) {
  switch (c) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

bool is_blank(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    const Utf8Char c = decode_utf8(text, pos);
    if (!c.valid || !is_unicode_white_space(c.code)) return false;
    pos += c.length;
  }
  return true;
}

namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::variant<std::string, IoError> read_text_file(const std::string& path) {
  // The system would read the name only up to the NUL: another file.
  if (path.find('\0') != std::string::npos) {
    return IoError::described("file name contained an unexpected NUL byte");
  }
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return IoError::from_errno(errno);

  // Room for one byte past a regular file's size lets the read that meets
  // the end of the file return 0 without growing the buffer.
  std::size_t room = 64 * 1024;
  struct stat info {};
  if (::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    room = static_cast<std::size_t>(info.st_size) + 1;
  }
  std::string content(room, '\0');
  std::size_t filled = 0;
  for (;;) {
    if (filled == content.size()) content.resize(content.size() * 2);
    const ssize_t got = ::read(file.get(), content.data() + filled, content.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      return IoError::from_errno(errno);
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  content.resize(filled);
  if (!is_valid_utf8(content)) return IoError::invalid_utf8();
  return content;
}

std::variant<std::string, Hl7Error> read_message_file(const std::string& path) {
  auto content = read_text_file(path);
  if (auto* error = std::get_if<IoError>(&content)) return error_kind::Io{std::move(*error)};
  if (is_blank(std::get<std::string>(content))) return error_kind::EmptyMessage{};
  return std::get<std::string>(std::move(content));
}

}  // namespace mirabex
