// mmCIF: the token stream of the text, and the `_atom_site` loop into the builder.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarvo/error.hpp"

namespace tarvo {

struct Builder;

// The values of a CIF text as the atom-site loop reads them: split at blanks,
// tabs and line ends; a '#' opening a token comments out the rest of its line;
// a value opening with a quote ends at the same quote followed by white space
// or the line end (or at the line end); a ';' opening a line starts a text
// field that ends at the next line opening with ';', its content trimmed.
// Invalid UTF-8 becomes U+FFFD.
std::vector<std::string> tokenize_cif(std::string_view text);

// Reads the `_atom_site` rows of the chains in `chains` (all when empty) into
// `b`: HETATM rows only with `small_molecule` (or when they continue a polymer),
// a new model whenever the model number changes; only the builder's wanted
// model is read, and the rows after it are only counted.
Result<void> read_cif(const std::string& path, std::string_view text, std::span<const std::string> chains,
                      bool small_molecule, Builder& b);

}  // namespace tarvo
