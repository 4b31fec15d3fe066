#include "released.hpp"

#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <string_view>
#include <thread>

namespace tarvo::py {

namespace {

// Signals are looked at this often while the work runs: Ctrl-C acts within it.
constexpr auto kSignalPoll = std::chrono::milliseconds(50);

// A helper stays awake this long after its task: a script scoring pair after
// pair hands it the next call within it, while waking a sleeping thread costs
// about 0.1 ms, a sixth of scoring a small pair. It yields meanwhile, so the
// processor is anyone's who needs it.
constexpr auto kStayAwake = std::chrono::microseconds(250);

// Helper threads wait here for tasks; the pool is never destroyed, so helpers
// idle at exit hold nothing that is torn down under them.
struct Helpers {
  const pid_t owner = getpid();
  std::mutex lock;
  std::condition_variable wake;
  std::deque<std::function<void()>> tasks;
  std::size_t idle = 0;

  void serve() {
    std::unique_lock hold(lock);
    for (;;) {
      ++idle;
      const auto awake_until = std::chrono::steady_clock::now() + kStayAwake;
      while (tasks.empty() && std::chrono::steady_clock::now() < awake_until) {
        hold.unlock();
        std::this_thread::yield();
        hold.lock();
      }
      // Timed: the untimed wait needs a newer libstdc++ than the wheel's
      // manylinux policy allows.
      while (!wake.wait_for(hold, std::chrono::hours(1), [&] { return !tasks.empty(); })) {
      }
      --idle;
      std::function<void()> task = std::move(tasks.front());
      tasks.pop_front();
      hold.unlock();
      task();
      task = nullptr;
      hold.lock();
    }
  }
};

}  // namespace

void run_on_helper(std::function<void()> task) {
  // Called with the interpreter lock held, so never by two threads at once.
  static Helpers* helpers = new Helpers;
  if (helpers->owner != getpid()) helpers = new Helpers;  // the helpers stayed in the parent
  std::lock_guard hold(helpers->lock);
  helpers->tasks.push_back(std::move(task));
  if (helpers->tasks.size() <= helpers->idle) {
    helpers->wake.notify_one();
    return;
  }
  try {
    std::thread([pool = helpers] { pool->serve(); }).detach();
  } catch (...) {
    helpers->tasks.pop_back();  // no thread will run it: the caller's work must not outlive the call
    throw;
  }
}

std::optional<std::size_t> threads_from_environment() {
  const char* text = std::getenv("TARVO_NUM_THREADS");
  if (text == nullptr || *text == '\0') return 0;
  std::string_view view(text);
  std::size_t threads = 0;
  auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), threads);
  if (error != std::errc() || end != view.data() + view.size() || threads == 0 || threads > 4096) {
    PyErr_Format(PyExc_ValueError, "TARVO_NUM_THREADS must be a whole number from 1 to 4096, not '%s'", text);
    return std::nullopt;
  }
  return threads;
}

void wait_released(std::mutex& lock, std::condition_variable& finished, const bool& done) {
  PyThreadState* saved = PyEval_SaveThread();
  {
    std::unique_lock hold(lock);
    finished.wait_for(hold, kSignalPoll, [&] { return done; });
  }
  PyEval_RestoreThread(saved);
}

}  // namespace tarvo::py
