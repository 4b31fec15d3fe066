// PDB fixed-column records into the builder.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "tarvo/error.hpp"

namespace tarvo {

struct Builder;
class InflatingGzip;

// Reads the ATOM records (and HETATM with `small_molecule`) of the chains in
// `chains` (all when empty) into `b`, a new model at each MODEL record that has
// atom records; only the builder's wanted model is read, and reading stops
// after it. The result says whether the text has an ATOM/HETATM line at
// all (which makes it PDB).
// `ascii_text` says that every byte of `text` is ASCII, so no line needs the check.
// With `arriving`, `text` is what has arrived of it so far, and lines are
// taken from it as they arrive; the text has no carriage return.
Result<bool> read_pdb(const std::string& path, std::string_view text, bool ascii_text,
                      std::span<const std::string> chains, bool small_molecule, Builder& b,
                      InflatingGzip* arriving = nullptr);

}  // namespace tarvo
