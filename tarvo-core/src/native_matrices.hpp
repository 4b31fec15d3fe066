// The all-atom matrices between native chains, computed once however many
// models are scored against the native.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "tarvo/geometry.hpp"  // DistanceMatrix
#include "tarvo/model.hpp"     // Chain

namespace tarvo {

// Safe to share between the threads of a batch. Entries are keyed by the
// chains' addresses, so one instance serves one loaded native structure.
class NativeMatrices {
 public:
  // native_distances(first, second), computed on first use; null when no two
  // of their residues come within 10 Å: no score reads such a matrix, so a
  // large assembly keeps only the matrices of chains that touch.
  const DistanceMatrix* between(const Chain& first, const Chain& second);

  // Computes beforehand, side by side, the matrices of the chains whose boxes
  // come within `reach`, each pair in the order the file gives them: the order
  // a search asks for when the native's chains are its anchors. Stops where
  // memory runs out, leaving the rest to the search.
  void prepare(const Structure& native, float reach);

 private:
  struct Entry {
    std::once_flag once;
    std::optional<DistanceMatrix> matrix;
  };
  std::mutex mutex_;
  std::map<std::pair<const Chain*, const Chain*>, Entry> entries_;
};

}  // namespace tarvo
