// Core work run without the interpreter lock, stoppable with Ctrl-C.
#pragma once

#include "py_ref.hpp"

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <type_traits>

#include "tarvo/pool.hpp"  // run_on_threads

namespace tarvo::py {

// The number of pool threads the environment variable TARVO_NUM_THREADS asks
// for; 0 (the pool's default) when it is unset or empty. Nothing, with
// ValueError set, when it is not a whole number of 1 or more.
std::optional<std::size_t> threads_from_environment();

// Hands `task` to a helper thread of the module's own, started once and kept:
// starting a thread for each call, and joining it to the core's pool, cost
// about 0.4 ms, a third of scoring a small pair. A busy helper is never
// waited for: another one starts. A process forked from this one starts afresh.
void run_on_helper(std::function<void()> task);

// What a call's helper hands back. Shared by the caller and the helper, so the
// helper's last touch of it is safe however soon the caller returns.
template <class Value>
struct Handoff {
  std::optional<Value> value;
  std::exception_ptr fault;
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
  std::stop_source stop;
};

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
  auto handoff = std::make_shared<Handoff<std::invoke_result_t<Work, std::stop_token>>>();
  run_on_helper([handoff, threads = *threads, &work] {
    try {
      run_on_threads(threads, [&] { handoff->value.emplace(work(handoff->stop.get_token())); });
    } catch (...) {
      handoff->fault = std::current_exception();
    }
    std::lock_guard hold(handoff->lock);
    handoff->done = true;
    handoff->finished.notify_one();
  });
  bool interrupted = false;
  for (bool finished_now = false; !finished_now;) {
    wait_released(handoff->lock, handoff->finished, handoff->done);
    std::unique_lock hold(handoff->lock);
    finished_now = handoff->done;
    hold.unlock();
    if (!finished_now && !interrupted && PyErr_CheckSignals() < 0) {
      interrupted = true;
      handoff->stop.request_stop();
    }
  }
  if (handoff->fault) std::rethrow_exception(handoff->fault);
  if (interrupted) return std::nullopt;
  return std::move(handoff->value);
}

}  // namespace tarvo::py
