// Runs over a given pairing: one interface of two chain pairs, and every
// interface of a caller-given mapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tarvo/error.hpp"         // Result
#include "tarvo/mapping_text.hpp"  // ChainMapping
#include "tarvo/model.hpp"         // Chain, Structure, OrderedMap
#include "tarvo/tarvo.hpp"         // InterfaceResult

namespace tarvo {

Result<std::optional<InterfaceResult>> run_on_chains(const Chain& model1, const Chain& model2,
                                                     const Chain& native1, const Chain& native2,
                                                     bool no_align, bool capri_peptide,
                                                     bool small_molecule);

// One interface of a caller-given mapping, with the two native chain ids it joins.
struct NativeInterface {
  std::string native1;
  std::string native2;
  InterfaceResult result;
};

struct NativeInterfacesRun {
  // In the order of the map's pairs. A list, not a map by name: ids such as "A"
  // and "B,C" would name the same interface as "A,B" and "C".
  std::vector<NativeInterface> interfaces;
  double total = -0.0;
};

// A pair of a chain mapping whose chains the search would not have paired:
// sequences that differ at more than the allowed mismatches. Such pairs are
// scored all the same; callers may want to say so.
struct UnlikePair {
  std::string native;
  std::string model;
  std::size_t mismatches = 0;
};

// The pairs of `mapping` whose chains both exist, are no hetero chains and are
// unlike, in its order.
std::vector<UnlikePair> unlike_pairs(const Structure& model, const Structure& native, const ChainMapping& mapping,
                                     std::uint64_t allowed_mismatches);

Result<NativeInterfacesRun> run_on_native_interfaces(const Structure& model, const Structure& native,
                                                     const ChainMapping& chain_map, bool no_align,
                                                     bool capri_peptide);


}  // namespace tarvo
