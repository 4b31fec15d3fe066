#include "native_matrices.hpp"

#include <tbb/task_arena.h>

#include "tarvo/tarvo.hpp"  // native_distances

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

}  // namespace tarvo
