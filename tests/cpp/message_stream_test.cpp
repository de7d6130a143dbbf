// The streaming splitter against a plain reference that reads the whole
// text at once, on the sample messages in every framing and every chunking.
#include "core/message_stream.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "message_stream_reference.hpp"
#include "test_support.hpp"

namespace mirabex {
namespace {

using testing_support::reference_split;
using testing_support::sample_messages;

std::vector<std::string> split_in_chunks(std::string_view bytes, std::size_t chunk,
                                         std::vector<MessageSpan>* spans = nullptr) {
  MessageSplitter splitter;
  MessageBatch batch;
  for (std::size_t at = 0; at < bytes.size(); at += chunk) {
    splitter.feed(bytes.substr(at, chunk), batch);
  }
  splitter.finish(batch);
  std::vector<std::string> messages;
  for (const MessageSpan& span : batch.messages) messages.emplace_back(batch.text_of(span));
  if (spans != nullptr) *spans = batch.messages;
  return messages;
}

struct SplitCase {
  const char* name;
  std::string input;
  std::vector<std::string> messages;
};

class SplitMessages : public ::testing::TestWithParam<SplitCase> {};

std::string case_name(const ::testing::TestParamInfo<SplitCase>& param_info) {
  return param_info.param.name;
}

TEST_P(SplitMessages, InEveryChunking) {
  const SplitCase& c = GetParam();
  EXPECT_EQ(reference_split(c.input), c.messages);
  for (const std::size_t chunk : {1, 2, 3, 5, 4096}) {
    EXPECT_EQ(split_in_chunks(c.input, chunk), c.messages) << "chunk " << chunk;
  }
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Rules, SplitMessages,
    ::testing::Values(
        SplitCase{"empty", "", {}},
        SplitCase{"only_blank_lines", "\r\n \r\n\t\r", {}},
        SplitCase{"one_message_cr", "MSH|a\rPID|1\r", {"MSH|a\nPID|1"}},
        SplitCase{"no_final_break", "MSH|a\rPID|1", {"MSH|a\nPID|1"}},
        SplitCase{"two_messages_lf", "MSH|a\nPID|1\nMSH|b\n", {"MSH|a\nPID|1", "MSH|b"}},
        SplitCase{"lf_cr", "MSH|a\n\rMSH|b\n\r", {"MSH|a", "MSH|b"}},
        SplitCase{"bom", "\xEF\xBB\xBFMSH|a\rPID|1", {"MSH|a\nPID|1"}},
        SplitCase{"bom_after_mllp_stays", "\x0b\xEF\xBB\xBFMSH|a", {"\xEF\xBB\xBFMSH|a"}},
        SplitCase{"partial_bom_stays", "\xEF\xBBMSH|a", {"\xEF\xBBMSH|a"}},
        SplitCase{"partial_bom_alone", "\xEF\xBB", {"\xEF\xBB"}},
        SplitCase{"lines_before_first_header", "PID|x\rEVN|y\rMSH|a", {"PID|x\nEVN|y", "MSH|a"}},
        SplitCase{"mllp",
                  "\x0bMSH|a\rPID|b\r\x1c\r\x0bMSH|c\r\x1c\r",
                  {"MSH|a\nPID|b", "MSH|c"}},
        SplitCase{"mllp_bytes_anywhere", "M\x0bSH|a\rPID|1\rM\x1cSH|b", {"MSH|a\nPID|1", "MSH|b"}},
        SplitCase{"batch_lines", "FHS|x\rBHS\rMSH|a\rBTS|1\rFTS|1", {"MSH|a"}},
        SplitCase{"batch_name_needs_bar", "BHSX|1\rMSH|a\rBTSY", {"BHSX|1", "MSH|a\nBTSY"}},
        SplitCase{"header_needs_bar", "MSH\rPID|1\rMSHX|2", {"MSH\nPID|1\nMSHX|2"}},
        SplitCase{"unicode_blank", "MSH|a\r\xC2\xA0\xE3\x80\x80\r\x1f \x0c\rPID", {"MSH|a\nPID"}},
        SplitCase{"not_utf8_not_blank", "MSH|a\r\xA0\r", {"MSH|a\n\xA0"}},
        SplitCase{"nul_kept", "MSH|a\0b\r"s, {"MSH|a\0b"s}}),
    case_name);

// Each framing writes segments and messages its own way.
struct Framing {
  const char* name;
  std::string (*frame)(const std::vector<std::string>& segments, std::size_t index);
  const char* before_all;
  const char* after_all;
};

std::string joined(const std::vector<std::string>& segments, const char* end) {
  std::string out;
  for (const auto& segment : segments) out += segment + end;
  return out;
}

const Framing kFramings[] = {
    {"cr", [](const auto& s, std::size_t) { return joined(s, "\r"); }, "", ""},
    {"lf", [](const auto& s, std::size_t) { return joined(s, "\n"); }, "", ""},
    {"crlf", [](const auto& s, std::size_t) { return joined(s, "\r\n"); }, "", ""},
    {"mllp", [](const auto& s, std::size_t) { return "\x0b" + joined(s, "\r") + "\x1c\r"; }, "", ""},
    {"batch", [](const auto& s, std::size_t) { return joined(s, "\r"); },
     "FHS|^~\\&|A\rBHS|^~\\&|A\r", "BTS|22\rFTS|1\r"},
    {"mixed",
     [](const auto& s, std::size_t i) {
       switch (i % 4) {
         case 0: return "\x0b" + joined(s, "\r") + "\x1c\r";
         case 1: return joined(s, "\r\n") + "\r\n";
         case 2: return joined(s, "\n");
         default: return joined(s, "\r") + " \r";
       }
     },
     "\xEF\xBB\xBF", "\n\n"},
};

std::vector<std::string> segments_of(std::string_view text) {
  std::vector<std::string> segments;
  std::string line;
  for (const char c : text) {
    if (c == '\r' || c == '\n') {
      if (!line.empty()) segments.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) segments.push_back(line);
  return segments;
}

TEST(SplitSampleMessages, EveryFramingEveryChunkingGivesTheReferenceMessages) {
  const auto samples = sample_messages();
  for (const Framing& framing : kFramings) {
    std::string stream = framing.before_all;
    std::size_t index = 0;
    for (const auto& sample : samples) stream += framing.frame(segments_of(sample.text), index++);
    stream += framing.after_all;
    const std::vector<std::string> expected = reference_split(stream);
    ASSERT_GE(expected.size(), samples.size()) << framing.name;
    for (const std::size_t chunk : {1, 7, 64, 1000, 65536}) {
      std::vector<MessageSpan> spans;
      EXPECT_EQ(split_in_chunks(stream, chunk, &spans), expected)
          << framing.name << ", chunk " << chunk;
      // Each offset points at the message's first line in the stream.
      for (std::size_t i = 0; i < spans.size(); ++i) {
        const std::string_view first_line = std::string_view(expected[i]).substr(
            0, expected[i].find('\n'));
        EXPECT_EQ(std::string_view(stream).substr(spans[i].offset, first_line.size()), first_line)
            << framing.name << ", message " << spans[i].number;
      }
    }
  }
}

// Offsets point at each message's first kept byte, past MLLP framing and a
// byte-order mark; numbers count from 1.
TEST(SplitSampleMessages, OffsetsAndNumbers) {
  const std::string stream = "\xEF\xBB\xBFMSH|a\r\r\x0bMSH|b\r\x1c\r\nPID|x\nMSH|c";
  std::vector<MessageSpan> spans;
  for (const std::size_t chunk : {1, 2, 100}) {
    split_in_chunks(stream, chunk, &spans);
    ASSERT_EQ(spans.size(), 3u);
    EXPECT_EQ(spans[0].offset, 3u);
    EXPECT_EQ(spans[1].offset, 11u);
    EXPECT_EQ(spans[2].offset, stream.find("MSH|c"));
    for (std::size_t i = 0; i < spans.size(); ++i) EXPECT_EQ(spans[i].number, i + 1);
  }
}

std::string temporary_file(std::string_view content) {
  char path[] = "/tmp/mirabex_stream_XXXXXX";
  const int fd = ::mkstemp(path);
  EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  ::close(fd);
  return path;
}

TEST(MessageReader, ReadsAFileLargerThanAChunkOneMessageAtATime) {
  std::string content;
  std::vector<std::string> expected;
  for (std::size_t i = 0; content.size() < 3 * MessageReader::kChunkSize; ++i) {
    const std::string message = "MSH|^~\\&|" + std::to_string(i) + "\nPID|" + std::string(i % 500, 'x');
    expected.push_back(message);
    content += "\x0b" + message + "\r\x1c\r";
  }
  const std::string path = temporary_file(content);
  MessageReader reader(path, -1);
  ASSERT_FALSE(reader.open().has_value());
  MessageBatch batch;
  std::vector<std::string> got;
  while (reader.read_more(batch)) {
    for (const MessageSpan& span : batch.messages) got.emplace_back(batch.text_of(span));
    EXPECT_LE(batch.text.size(), MessageReader::kChunkSize + 1000);
    batch.clear();
  }
  EXPECT_FALSE(reader.error().has_value());
  EXPECT_EQ(reader.bytes_read(), content.size());
  EXPECT_EQ(got, expected);
  std::remove(path.c_str());
}

TEST(MessageReader, AMissingFileIsAnError) {
  MessageReader reader("/nonexistent/mirabex.hl7", -1);
  const auto error = reader.open();
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->display(), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace mirabex
