// The user's mapping text: which native chain goes with which model chain, and
// which chains take part at all; and the same notation written back.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarvo/error.hpp"  // Result
#include "tarvo/model.hpp"  // OrderedMap, Structure

namespace tarvo {

// Native chain id -> model chain id, in insertion order.
using ChainMapping = OrderedMap<std::string, std::string>;

struct MappingSpec {
  ChainMapping fixed;
  std::optional<std::vector<std::string>> model_chains;
  std::optional<std::vector<std::string>> native_chains;
};

// Two sides of native chains scored as one interface, e.g. an antibody's H and
// L chains (the receptor) against its antigen A: the text "HL:A".
struct ChainGroups {
  std::string text;  // as the caller wrote it; the interface's name
  std::vector<std::string> receptor;
  std::vector<std::string> ligand;
};

// How chain lists are written: one character per chain ("AB"), or ids joined by
// "," ("AA,B2") once some id of either structure is longer.
enum class ChainText { OneCharacter, Comma };

ChainText chain_text(const Structure& model, const Structure& native);

// Reads either form: a text holding "," is in the comma form. A "*" leaves a
// chain to the search: last on either side it frees every chain of both
// structures, elsewhere the chains of its own side. Each chain is named once.
Result<MappingSpec> format_mapping(const std::optional<std::string>& text);
// Reads "RECEPTOR:LIGAND" in either form ("HL:A", "H1,L1:AG"); no text, or an
// empty one, means no groups.
Result<std::optional<ChainGroups>> format_groups(const std::optional<std::string>& text);
std::string format_mapping_string(const ChainMapping& mapping, ChainText form = ChainText::OneCharacter);
// The first character of `id` that the notation cannot hold (',', ':', '*' or
// white space), if any: such an id can be named in no mapping text or interface name.
std::optional<char> unnamable_character(std::string_view id);
// The name of the interface of two native chains: "AB", or "A,BC".
std::string interface_name(std::string_view native1, std::string_view native2, ChainText form);

}  // namespace tarvo
