// Work spread over the oneTBB pool, stopping at the first error.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

#include "tarvo/error.hpp"  // Result

namespace tarvo {

// One item of the work; `stop` turns true once another item has failed.
using PoolItem = std::function<Result<void>(std::size_t item, const std::atomic<bool>& stop)>;

// Runs work(0..count-1) on the pool. The first error recorded wins; once one is
// recorded no task starts another item.
Result<void> run_in_parallel(std::size_t count, const PoolItem& work);

// Runs `work` with the parallel loops inside it using at most `threads` threads
// (the calling one included); 0 leaves the pool's default, one per processor.
void run_on_threads(std::size_t threads, const std::function<void()>& work);

}  // namespace tarvo
