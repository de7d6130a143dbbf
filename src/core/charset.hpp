// A message's bytes as UTF-8 text. Captures come in the character set the
// sender chose: named in the message's header (MSH-18) or known to the
// reader. UTF-8 is checked and used as it is, Latin-1 widened here, and
// every other set converted by the C library's iconv.
#pragma once

#include <iconv.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/errors.hpp"

namespace mirabex {

// The iconv name of the character set an MSH-18 value names ("8859/1",
// "UNICODE UTF-8", "CP1252", ...): UTF-8 when the value is empty, nothing
// when the set is unknown or not one the byte-wise splitter can read.
std::optional<std::string> charset_for_msh18(std::string_view value);

// The first repetition of MSH-18 in the message's first line, without
// surrounding spaces; empty when the message has none.
std::string_view msh18_of(std::string_view message);

// Decodes one message at a time. Holds open iconv conversions, so each
// thread needs its own decoder.
class MessageDecoder {
 public:
  static constexpr std::string_view kAuto = "auto";

  // "auto" reads each message's MSH-18; any other name is the set of every
  // message. The error text when the name is unknown to iconv.
  static std::variant<MessageDecoder, std::string> create(std::string_view encoding);

  MessageDecoder(MessageDecoder&&) noexcept = default;
  MessageDecoder& operator=(MessageDecoder&&) noexcept = default;
  ~MessageDecoder();

  // The message as UTF-8 text: the bytes themselves when they are UTF-8
  // already, else a view of the decoder's buffer, valid until the next call.
  std::variant<std::string_view, Hl7Error> decode(std::string_view message);

  // True when the stream may start with a UTF-8 byte-order mark.
  bool reads_utf8_bom() const;

 private:
  explicit MessageDecoder(std::string forced) : forced_(std::move(forced)) {}
  std::variant<std::string_view, Hl7Error> decode_as(std::string_view message,
                                                     const std::string& charset);
  std::variant<std::string_view, Hl7Error> convert(std::string_view message,
                                                   const std::string& charset);

  struct IconvCloser {
    void operator()(void* handle) const { iconv_close(static_cast<iconv_t>(handle)); }
  };
  using IconvHandle = std::unique_ptr<void, IconvCloser>;

  std::string forced_;  // empty: from each message's MSH-18
  std::map<std::string, IconvHandle, std::less<>> conversions_;
  std::string buffer_;
};

// The canonical form of a character set name, for comparing names:
// upper-case, without '-', '_' and spaces.
std::string charset_key(std::string_view name);

}  // namespace mirabex
