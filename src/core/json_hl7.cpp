#include "core/json_hl7.hpp"

#include <algorithm>

#include "core/hl7_json.hpp"
#include "core/json_reader.hpp"
#include "core/utils.hpp"

namespace mirabex {

namespace {

// One or more ASCII digits, after at most one '+', with a value that fits
// in 64 bits. Leading zeros are allowed.
std::optional<std::uint64_t> parse_number(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<Placement> parse_bracket_key(std::string_view key, std::size_t open,
                                           std::size_t close) {
  if (close < open) return std::nullopt;
  const auto field = parse_number(key.substr(0, open));
  const auto repetition = parse_number(key.substr(open + 1, close - open - 1));
  if (!field || !repetition) return std::nullopt;
  // Whatever follows "]" is disregarded unless it starts with ".".
  if (close + 1 == key.size() || key[close + 1] != '.') return Placement{*field, *repetition, 0};
  const auto component = parse_number(key.substr(close + 2));
  if (!component) return std::nullopt;
  return Placement{*field, *repetition, *component};
}

std::optional<Placement> parse_dotted_key(std::string_view key, std::size_t dot) {
  const std::string_view rest = key.substr(dot + 1);
  if (rest.find('.') != std::string_view::npos) return std::nullopt;
  const auto field = parse_number(key.substr(0, dot));
  const auto component = parse_number(rest);
  if (!field || !component) return std::nullopt;
  return Placement{*field, 0, *component};
}

struct PlacedValue {
  Placement placement;
  std::string_view value;
};

bool by_position(const PlacedValue& a, const PlacedValue& b) {
  const Placement& x = a.placement;
  const Placement& y = b.placement;
  if (x.field != y.field) return x.field < y.field;
  if (x.repetition != y.repetition) return x.repetition < y.repetition;
  return x.component < y.component;
}

std::optional<Hl7Error> check_bounds(const Placement& placement, std::string_view segment_name) {
  const auto refuse = [&](std::string_view what, std::uint64_t number) {
    return error_kind::FieldError{std::string(segment_name), placement.field,
                                  std::string(what) + " " + std::to_string(number) +
                                      " exceeds the limit of " + std::to_string(kMaxPosition)};
  };
  if (placement.field > kMaxPosition) return refuse("position", placement.field);
  if (placement.repetition > kMaxPosition) return refuse("repetition", placement.repetition);
  if (placement.component > kMaxPosition) return refuse("component", placement.component);
  return std::nullopt;
}

// Writes one segment line from the placed values of a record, sorted by
// position with the winning value last among equals.
class SegmentWriter {
 public:
  SegmentWriter(std::string& out, const Hl7EscapeHandler* escape, bool is_header)
      : out_(out), escape_(escape), is_header_(is_header) {}

  void write_fields(std::span<const PlacedValue> placed, bool after_name) {
    const auto first_field =
        std::ranges::find_if(placed, [](const PlacedValue& p) { return p.placement.field != 0; });
    placed = placed.subspan(static_cast<std::size_t>(first_field - placed.begin()));
    if (placed.empty()) return;
    const std::uint64_t last_field = placed.back().placement.field;
    for (std::uint64_t field = 1; field <= last_field; ++field) {
      if (after_name || field > 1) out_ += kFieldSeparator;
      const std::size_t count =
          run_length(placed, [&](const Placement& p) { return p.field == field; });
      // The header's encoding characters are written as they are.
      const Hl7EscapeHandler* escape = is_header_ && field == 1 ? nullptr : escape_;
      write_repetitions(placed.first(count), escape);
      placed = placed.subspan(count);
    }
  }

 private:
  template <class SamePart>
  static std::size_t run_length(std::span<const PlacedValue> placed, SamePart&& same) {
    std::size_t count = 0;
    while (count < placed.size() && same(placed[count].placement)) ++count;
    return count;
  }

  void write_value(std::string_view value, const Hl7EscapeHandler* escape) {
    if (escape != nullptr) {
      escape->escape_append(value, out_);
    } else {
      out_ += value;
    }
  }

  void write_repetitions(std::span<const PlacedValue> field, const Hl7EscapeHandler* escape) {
    if (field.empty()) return;
    const std::uint64_t last_repetition = field.back().placement.repetition;
    for (std::uint64_t repetition = 0; repetition <= last_repetition; ++repetition) {
      if (repetition > 0) out_ += kRepetitionSeparator;
      const std::size_t count =
          run_length(field, [&](const Placement& p) { return p.repetition == repetition; });
      write_components(field.first(count), escape);
      field = field.subspan(count);
    }
  }

  // Components 1.. joined; a value for component 0 fills the repetition
  // only when no numbered component is there.
  void write_components(std::span<const PlacedValue> repetition, const Hl7EscapeHandler* escape) {
    if (repetition.empty()) return;
    const std::uint64_t last_component = repetition.back().placement.component;
    if (last_component == 0) {
      write_value(repetition.back().value, escape);
      return;
    }
    for (std::uint64_t component = 1; component <= last_component; ++component) {
      if (component > 1) out_ += kComponentSeparator;
      const auto same = [&](const Placement& p) { return p.component == component; };
      while (!repetition.empty() && repetition.front().placement.component < component) {
        repetition = repetition.subspan(1);
      }
      const std::size_t count = run_length(repetition, same);
      if (count > 0) write_value(repetition[count - 1].value, escape);
      repetition = repetition.subspan(count);
    }
  }

  std::string& out_;
  const Hl7EscapeHandler* escape_;
  bool is_header_;
};

std::optional<Hl7Error> append_segment(const Record& record, const Hl7EscapeHandler* escape,
                                       std::vector<PlacedValue>& placed, std::string& out) {
  const auto name = std::ranges::lower_bound(record, kSegmentNameKey, {},
                                             &std::pair<std::string, std::string>::first);
  const bool has_name = name != record.end() && name->first == kSegmentNameKey;
  const std::string_view segment_name = has_name ? std::string_view(name->second) : "";
  placed.clear();
  for (const auto& [key, value] : record) {
    if (key == kSegmentNameKey) continue;
    const auto placement = parse_position_key(key);
    if (!placement) continue;
    if (auto error = check_bounds(*placement, segment_name)) return error;
    placed.push_back({*placement, value});
  }
  // Stable: among keys naming one position, the one that sorts last wins.
  std::ranges::stable_sort(placed, by_position);
  if (has_name) {
    // Escaped like any value, so that a name cannot inject separators.
    if (escape != nullptr) {
      escape->escape_append(segment_name, out);
    } else {
      out += segment_name;
    }
  }
  SegmentWriter(out, escape, segment_name == "MSH").write_fields(placed, has_name);
  return std::nullopt;
}

}  // namespace

void finish_record(Record& record) {
  std::ranges::stable_sort(record, {}, &std::pair<std::string, std::string>::first);
  // Keep the last pair of each run of equal keys.
  auto write = record.begin();
  for (auto read = record.begin(); read != record.end(); ++read) {
    const auto next = std::next(read);
    if (next != record.end() && next->first == read->first) continue;
    if (write != read) *write = std::move(*read);
    ++write;
  }
  record.erase(write, record.end());
}

std::optional<Placement> parse_position_key(std::string_view key) {
  if (key == kSegmentNameKey) return std::nullopt;
  if (const auto field = parse_number(key)) return Placement{*field, 0, 0};
  const std::size_t open = key.find('[');
  const std::size_t close = key.find(']');
  if (open != std::string_view::npos && close != std::string_view::npos) {
    return parse_bracket_key(key, open, close);
  }
  const std::size_t dot = key.find('.');
  if (dot != std::string_view::npos) return parse_dotted_key(key, dot);
  return std::nullopt;
}

JsonHl7::JsonHl7(RecordList records)
    : records_(std::move(records)), escape_handler_(&default_escape_handler()) {}

std::variant<JsonHl7, Hl7Error> JsonHl7::from_file(const std::string& path) {
  auto content = read_text_file(path);
  if (auto* error = std::get_if<IoError>(&content)) return error_kind::Io{std::move(*error)};
  const auto& text = std::get<std::string>(content);
  if (is_blank(text)) return error_kind::EmptyMessage{};
  auto records = records_from_json(text);
  if (auto* error = std::get_if<Hl7Error>(&records)) return std::move(*error);
  return JsonHl7(std::get<RecordList>(std::move(records)));
}

std::variant<std::string, Hl7Error> JsonHl7::convert(bool escape) const {
  std::size_t size_hint = records_.size();
  for (const Record& record : records_) {
    for (const auto& [key, value] : record) size_hint += value.size() + 1;
  }
  std::string out;
  out.reserve(size_hint);
  std::vector<PlacedValue> placed;
  const Hl7EscapeHandler* handler = escape ? escape_handler_ : nullptr;
  for (std::size_t i = 0; i < records_.size(); ++i) {
    if (i > 0) out += '\n';
    if (auto error = append_segment(records_[i], handler, placed, out)) return std::move(*error);
  }
  return out;
}

}  // namespace mirabex
