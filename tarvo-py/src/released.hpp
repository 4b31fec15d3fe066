// Core work run without the interpreter lock, stoppable with Ctrl-C.
#pragma once

#include "py_ref.hpp"

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <type_traits>

#include "pool.hpp"  // run_on_threads

namespace tarvo::py {

// The number of pool threads the environment variable TARVO_NUM_THREADS asks
// for; 0 (the pool's default) when it is unset or empty. Nothing, with
// ValueError set, when it is not a whole number of 1 or more.
std::optional<std::size_t> threads_from_environment();

// Waits with the interpreter lock released until `done` turns true or a short
// while has passed, whichever comes first.
void wait_released(std::mutex& lock, std::condition_variable& finished, const bool& done);

// Runs `work(stop)` on a helper thread while the calling thread waits without
// the interpreter lock, so that other Python threads run meanwhile, and looks at
// signals a few times a second. When a signal handler raises (Ctrl-C gives
// KeyboardInterrupt) the work is asked to stop, waited for and dropped, and
// nothing is returned, with the exception set. `work` must not touch Python objects.
template <class Work>
auto run_released(Work work) -> std::optional<std::invoke_result_t<Work, std::stop_token>> {
  std::optional<std::size_t> threads = threads_from_environment();
  if (!threads) return std::nullopt;
  std::optional<std::invoke_result_t<Work, std::stop_token>> value;
  std::exception_ptr fault;
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
  std::stop_source stop;
  std::jthread helper([&] {
    try {
      run_on_threads(*threads, [&] { value.emplace(work(stop.get_token())); });
    } catch (...) {
      fault = std::current_exception();
    }
    std::lock_guard hold(lock);
    done = true;
    finished.notify_one();
  });
  bool interrupted = false;
  for (bool finished_now = false; !finished_now;) {
    wait_released(lock, finished, done);
    std::unique_lock hold(lock);
    finished_now = done;
    hold.unlock();
    if (!finished_now && !interrupted && PyErr_CheckSignals() < 0) {
      interrupted = true;
      stop.request_stop();
    }
  }
  helper.join();
  if (fault) std::rethrow_exception(fault);
  if (interrupted) return std::nullopt;
  return value;
}

}  // namespace tarvo::py
