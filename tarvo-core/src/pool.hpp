// Work spread over the oneTBB pool, stopping at the first error.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

#include "error.hpp"  // Result

namespace tarvo {

// One item of the work; `stop` turns true once another item has failed.
using PoolItem = std::function<Result<void>(std::size_t item, const std::atomic<bool>& stop)>;

// Runs work(0..count-1) on the pool. The first error recorded wins; once one is
// recorded no task starts another item.
Result<void> run_in_parallel(std::size_t count, const PoolItem& work);

}  // namespace tarvo
