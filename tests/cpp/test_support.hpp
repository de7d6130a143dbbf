// Helpers shared by the core tests: readable descriptions of parse results
// and access to the sample messages.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/segments.hpp"
#include "fuzz/segment_reference.hpp"

namespace mirabex::testing_support {

using segment_reference::describe;
using segment_reference::describe_field;

struct SampleMessage {
  std::string name;
  std::string text;
};

std::vector<SampleMessage> sample_messages();

}  // namespace mirabex::testing_support
