// The user's mapping text: which native chain goes with which model chain, and
// which chains take part at all.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "error.hpp"  // Result
#include "model.hpp"  // OrderedMap

namespace tarvo {

// Native chain id -> model chain id, in insertion order.
using ChainMapping = OrderedMap<std::string, std::string>;

struct MappingSpec {
  ChainMapping fixed;
  std::optional<std::vector<std::string>> model_chains;
  std::optional<std::vector<std::string>> native_chains;
};

Result<MappingSpec> format_mapping(const std::optional<std::string>& text);
std::string format_mapping_string(const ChainMapping& mapping);

}  // namespace tarvo
