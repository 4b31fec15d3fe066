#include "tarvo/pool.hpp"

#include <mutex>
#include <optional>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

namespace tarvo {

Result<void> run_in_parallel(std::size_t count, const PoolItem& work) {
  std::mutex error_lock;
  std::optional<TarvoError> first_error;
  std::atomic<bool> stop{false};
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count, 1),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t i = range.begin(); i != range.end(); ++i) {
                        if (stop.load(std::memory_order_relaxed)) return;
                        Result<void> done = work(i, stop);
                        if (!done) {
                          std::lock_guard lock(error_lock);
                          if (!first_error) first_error = std::move(done.error());
                          stop = true;
                          return;
                        }
                      }
                    });
  if (first_error) return std::unexpected(std::move(*first_error));
  return {};
}

void run_on_threads(std::size_t threads, const std::function<void()>& work) {
  if (threads == 0) return work();
  tbb::task_arena arena(static_cast<int>(threads));
  arena.execute(work);
}

}  // namespace tarvo
