// The all-atom matrices between native chains, computed once however many
// models are scored against the native.
#pragma once

#include <map>
#include <mutex>
#include <utility>

#include "geometry.hpp"  // DistanceMatrix
#include "model.hpp"     // Chain

namespace tarvo {

// Safe to share between the threads of a batch. Entries are keyed by the
// chains' addresses, so one instance serves one loaded native structure.
class NativeMatrices {
 public:
  // native_distances(first, second), computed on first use.
  const DistanceMatrix& between(const Chain& first, const Chain& second);

 private:
  struct Entry {
    std::once_flag once;
    DistanceMatrix matrix;
  };
  std::mutex mutex_;
  std::map<std::pair<const Chain*, const Chain*>, Entry> entries_;
};

}  // namespace tarvo
