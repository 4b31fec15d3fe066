#include "native_matrices.hpp"

#include <tbb/parallel_for_each.h>
#include <tbb/task_arena.h>

#include <new>
#include <stdexcept>
#include <vector>

#include "tarvo/tarvo.hpp"  // native_distances
#include "near_chains.hpp"    // near_pairs

namespace tarvo {

const DistanceMatrix* NativeMatrices::between(const Chain& first, const Chain& second) {
  Entry* entry;
  {
    const std::lock_guard lock(mutex_);
    entry = &entries_[{&first, &second}];
  }
  // Isolated: while this thread waits for the matrix's own parallel rows it must
  // not take up another model's task that waits for this very entry.
  std::call_once(entry->once, [&] {
    tbb::this_task_arena::isolate([&] {
      DistanceMatrix matrix = native_distances(first, second);
      if (matrix.stored() > 0) entry->matrix = std::move(matrix);
    });
  });
  return entry->matrix ? &*entry->matrix : nullptr;
}

void NativeMatrices::prepare(const Structure& native, float reach) {
  std::vector<const Chain*> chains;
  for (const auto& [id, chain] : native.chains) chains.push_back(&chain);
  const auto pairs = near_pairs(chains, reach);
  // A matrix beyond the memory left is not this call's failure: the search asks
  // for it again, where running out of memory is the pair's error.
  try {
    tbb::parallel_for_each(pairs.begin(), pairs.end(),
                           [&](const auto& pair) { between(*chains[pair.first], *chains[pair.second]); });
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
}

}  // namespace tarvo
