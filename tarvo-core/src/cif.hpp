// mmCIF: the tokens of a line, and the `_atom_site` loop into the builder.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace tarvo {

struct Builder;

// The tokens of one line, split at blanks, tabs and carriage returns; a token
// opening with a quote ends at the same quote followed by a blank, a tab or the
// line end. Invalid UTF-8 becomes U+FFFD.
std::vector<std::string> tokenize_cif_line(std::string_view line);

// Reads the `_atom_site` rows of the chains in `chains` (all when empty) into
// `b`: HETATM rows only with `small_molecule`, a new model whenever the model
// number changes.
Result<void> read_cif(const std::string& path, std::string_view text, std::span<const std::string> chains,
                      bool small_molecule, Builder& b);

}  // namespace tarvo
