// Fixed-column PDB records built in the tests, and loading them from memory.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <string_view>
#include <vector>

#include "tarvo/reader.hpp"

namespace tarvo {

// One PDB atom record in fixed columns; fields are given at their exact widths.
struct Rec {
  std::string record = "ATOM  ";
  std::string name = " CA ";  // columns 13-16
  char alt = ' ';
  std::string residue = "ALA";
  char chain = 'A';
  std::string number = "   1";  // columns 23-26
  char insertion = ' ';
  std::string x = "   1.000", y = "   2.000", z = "   3.000";
  std::string occupancy = "  1.00";
  std::string element = " C";

  std::string line() const {
    return record + "    1 " + name + alt + residue + " " + chain + number + insertion + "   " + x +
           y + z + occupancy + " 20.00" + std::string(10, ' ') + element;
  }
};

inline Rec atom(char chain, std::string number, std::string name = " CA ", std::string residue = "ALA") {
  Rec r;
  r.chain = chain;
  r.number = std::move(number);
  r.name = std::move(name);
  r.residue = std::move(residue);
  return r;
}

inline std::string lines(std::initializer_list<std::string> parts) {
  std::string text;
  for (const std::string& part : parts) text += part + "\n";
  return text;
}

struct Options {
  std::vector<std::string> chains;
  bool small_molecule = false;
  std::size_t n_model = 0;
  std::string path = "t.pdb";
};

inline Result<Structure> load(std::string_view bytes, const Options& o = {}) {
  return load_structure_from_bytes(o.path, bytes, o.chains, o.small_molecule, o.n_model);
}

inline Structure load_ok(std::string_view bytes, const Options& o = {}) {
  auto s = load(bytes, o);
  if (!s) ADD_FAILURE() << s.error().message();
  return s ? std::move(*s) : Structure{};
}

inline std::string error_of(std::string_view bytes, const Options& o = {}) {
  auto s = load(bytes, o);
  return s ? "<loaded>" : s.error().message();
}

inline std::size_t atom_count(const Structure& s) {
  std::size_t n = 0;
  for (const auto& [id, chain] : s.chains)
    for (const Residue& r : chain.residues) n += r.atoms.size();
  return n;
}

// Level 0 stores the text uncompressed, so that a member's size follows the text's.
inline std::string gzip(std::string_view data, int level = 6) {
  z_stream zs{};
  deflateInit2(&zs, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, data.size()), '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = data.size();
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = out.size();
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

inline std::string examples(const char* name) { return std::string(TARVO_EXAMPLES_DIR) + "/" + name; }

inline const std::string kUnknown =
    "unrecognized structure format for t.pdb: not valid PDB or mmCIF (no `_atom_site.` mmCIF tags "
    "and no ATOM/HETATM records found)";

}  // namespace tarvo
