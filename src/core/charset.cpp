#include "core/charset.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/utils.hpp"

namespace mirabex {

namespace {

constexpr std::string_view kUtf8 = "UTF-8";
constexpr std::string_view kLatin1 = "ISO-8859-1";
constexpr std::string_view kAscii = "ASCII";

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

// The line (from 1) of the message that holds the byte at position.
std::size_t line_of(std::string_view message, std::size_t position) {
  std::size_t line = 1;
  for (std::size_t i = 0; i < position; ++i) line += message[i] == '\n';
  return line;
}

Hl7Error undecodable(std::string_view message, std::size_t position, std::string_view charset) {
  char byte[5];
  std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned char>(message[position]));
  return error_kind::EncodingError{"byte " + std::string(byte) + " in segment " +
                                   std::to_string(line_of(message, position)) +
                                   " is not valid " + std::string(charset)};
}

// The length of the leading run of ASCII, eight bytes at a time.
std::size_t ascii_prefix(std::string_view text) {
  std::size_t pos = 0;
  for (; pos + 8 <= text.size(); pos += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + pos, sizeof word);
    if ((word & 0x8080808080808080u) != 0) break;
  }
  while (pos < text.size() && static_cast<unsigned char>(text[pos]) < 0x80) ++pos;
  return pos;
}

std::optional<std::size_t> first_invalid_utf8(std::string_view text) {
  std::size_t pos = ascii_prefix(text);
  while (pos < text.size()) {
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ++pos;
      continue;
    }
    const Utf8Char c = decode_utf8(text, pos);
    if (!c.valid) return pos;
    pos += c.length;
  }
  return std::nullopt;
}

std::optional<std::size_t> first_non_ascii(std::string_view text) {
  const std::size_t pos = ascii_prefix(text);
  if (pos == text.size()) return std::nullopt;
  return pos;
}

void widen_latin1(std::string_view text, std::string& out) {
  out.clear();
  out.reserve(text.size() * 2);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | byte >> 6);
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
}

// The character sets whose every byte below 0x80 is that ASCII character
// in every position: the splitter's line breaks and "MSH|" mean what they
// say. Wider sets (UTF-16, UTF-32, the ISO 2022 shifts) are refused.
bool splittable_bytewise(std::string_view charset) {
  iconv_t probe = iconv_open("UTF-8", std::string(charset).c_str());
  if (probe == reinterpret_cast<iconv_t>(-1)) return false;
  char ascii[] = "MSH|^~\\&\r\n\x0b\x1c AZaz09";
  char out[64];
  char* in = ascii;
  std::size_t in_left = sizeof ascii - 1;
  char* written = out;
  std::size_t out_left = sizeof out;
  const bool converted = iconv(probe, &in, &in_left, &written, &out_left) != static_cast<std::size_t>(-1);
  iconv_close(probe);
  return converted && in_left == 0 &&
         std::string_view(out, static_cast<std::size_t>(written - out)) ==
             std::string_view(ascii, sizeof ascii - 1);
}

}  // namespace

std::string charset_key(std::string_view name) {
  std::string key;
  for (const char c : name) {
    if (c == '-' || c == '_' || c == ' ') continue;
    key += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  }
  return key;
}

std::optional<std::string> charset_for_msh18(std::string_view value) {
  value = trimmed(value);
  if (value.empty()) return std::string(kUtf8);
  const std::string key = charset_key(value);
  if (key == "ASCII" || key == "ISOIR6") return std::string(kAscii);
  if (key == "UNICODEUTF8" || key == "UTF8" || key == "ISOIR192") return std::string(kUtf8);
  if (key == "ISOIR100") return std::string(kLatin1);
  if (key.starts_with("8859/")) {
    const std::string part = key.substr(5);
    if (part.empty() || part.size() > 2 || part.find_first_not_of("0123456789") != std::string::npos) {
      return std::nullopt;
    }
    return "ISO-8859-" + part;
  }
  if (key == "GB180302000" || key == "GB18030") return std::string("GB18030");
  if (key == "KSX1001") return std::string("EUC-KR");
  if (key == "BIG5") return std::string("BIG5");
  // Windows code pages, by the names senders give them.
  for (const std::string_view prefix : {"WINDOWS", "CP", "WIN"}) {
    if (key.starts_with(prefix) && key.size() == prefix.size() + 4 &&
        key.compare(prefix.size(), 2, "12") == 0) {
      return "CP" + key.substr(prefix.size());
    }
  }
  return std::nullopt;
}

std::string_view msh18_of(std::string_view message) {
  std::string_view line = message.substr(0, message.find('\n'));
  if (!line.starts_with("MSH|")) return {};
  // The field separator itself is MSH-1: MSH-18 follows the 17th bar.
  for (int bar = 0; bar < 17; ++bar) {
    const std::size_t at = line.find('|');
    if (at == std::string_view::npos) return {};
    line.remove_prefix(at + 1);
  }
  line = line.substr(0, line.find('|'));
  return trimmed(line.substr(0, line.find('~')));
}

std::variant<MessageDecoder, std::string> MessageDecoder::create(std::string_view encoding) {
  if (encoding == kAuto) return MessageDecoder(std::string());
  const std::string key = charset_key(encoding);
  if (key == "UTF8" || key == "UTF8SIG") return MessageDecoder(std::string(kUtf8));
  if (key == "LATIN1" || key == "ISO88591" || key == "L1") return MessageDecoder(std::string(kLatin1));
  if (key == "ASCII" || key == "USASCII") return MessageDecoder(std::string(kAscii));
  const std::string name(encoding);
  if (!splittable_bytewise(name)) {
    iconv_t probe = iconv_open("UTF-8", name.c_str());
    if (probe == reinterpret_cast<iconv_t>(-1)) return "unknown encoding: " + name;
    iconv_close(probe);
    return "encoding " + name + " is not supported: line breaks and separators must be ASCII bytes";
  }
  return MessageDecoder(name);
}

MessageDecoder::~MessageDecoder() = default;

bool MessageDecoder::reads_utf8_bom() const { return forced_.empty() || forced_ == kUtf8; }

std::variant<std::string_view, Hl7Error> MessageDecoder::decode(std::string_view message) {
  if (!forced_.empty()) return decode_as(message, forced_);
  const std::string_view named = msh18_of(message);
  const auto charset = charset_for_msh18(named);
  if (!charset) {
    return error_kind::EncodingError{"MSH-18 names a character set this reader does not know: " +
                                     std::string(named)};
  }
  return decode_as(message, *charset);
}

std::variant<std::string_view, Hl7Error> MessageDecoder::decode_as(std::string_view message,
                                                                   const std::string& charset) {
  if (charset == kUtf8) {
    if (const auto bad = first_invalid_utf8(message)) return undecodable(message, *bad, kUtf8);
    return message;
  }
  if (charset == kAscii) {
    if (const auto bad = first_non_ascii(message)) return undecodable(message, *bad, kAscii);
    return message;
  }
  if (!first_non_ascii(message)) return message;
  if (charset == kLatin1) {
    widen_latin1(message, buffer_);
    return std::string_view(buffer_);
  }
  return convert(message, charset);
}

std::variant<std::string_view, Hl7Error> MessageDecoder::convert(std::string_view message,
                                                                 const std::string& charset) {
  auto found = conversions_.find(charset);
  if (found == conversions_.end()) {
    if (!splittable_bytewise(charset)) {
      return error_kind::EncodingError{"character set " + charset + " is not supported"};
    }
    iconv_t handle = iconv_open("UTF-8", charset.c_str());
    found = conversions_.emplace(charset, IconvHandle(static_cast<void*>(handle))).first;
  }
  const auto handle = static_cast<iconv_t>(found->second.get());
  iconv(handle, nullptr, nullptr, nullptr, nullptr);
  // Every character set here widens to at most three UTF-8 bytes per byte.
  buffer_.resize(message.size() * 3 + 4);
  char* in = const_cast<char*>(message.data());
  std::size_t in_left = message.size();
  char* out = buffer_.data();
  std::size_t out_left = buffer_.size();
  while (in_left != 0) {
    if (iconv(handle, &in, &in_left, &out, &out_left) != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) {
      const std::size_t written = buffer_.size() - out_left;
      buffer_.resize(buffer_.size() * 2);
      out = buffer_.data() + written;
      out_left = buffer_.size() - written;
      continue;
    }
    return undecodable(message, static_cast<std::size_t>(in - message.data()), charset);
  }
  return std::string_view(buffer_.data(), buffer_.size() - out_left);
}

}  // namespace mirabex
