// Fuzz target for the structure reader: any bytes must give a Structure that
// keeps the model's invariants, or an error with a display text; never a
// crash, a hang or a read outside the buffer.
//
// The first input byte chooses the options (".gz" path, small-molecule mode,
// model index, chain filter); the rest is the file content. Linked with a
// libFuzzer-style engine's main, or built with TARVO_FUZZ_STANDALONE as a plain
// driver that runs the files named on its command line (AFL++ uses it with @@,
// see scripts/fuzz.sh).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "tarvo/reader.hpp"  // load_structure_from_bytes

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

void check_invariants(const tarvo::Structure& structure) {
  for (const auto& [id, chain] : structure.chains) {
    check(id == chain.id);
    check(!chain.residues.empty());
    for (const tarvo::Residue& residue : chain.residues) {
      check(!residue.atoms.empty());
      std::unordered_set<std::string_view> names;
      for (const tarvo::Atom& atom : residue.atoms) check(names.insert(atom.name).second);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t options = data[0];
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string path = options & 0x10 ? "fuzz.pdb.gz" : "fuzz.pdb";
  std::vector<std::string> chains;
  if (options & 0x08) chains = {"A", "B"};
  auto structure = tarvo::load_structure_from_bytes(path, bytes, chains, options & 0x02,
                                                    (options >> 2) & 1);
  if (structure)
    check_invariants(*structure);
  else
    check(!structure.error().message().empty());
  return 0;
}

#ifdef TARVO_FUZZ_STANDALONE
#include <fstream>
#include <iterator>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
  }
  return 0;
}
#endif
