#include "released.hpp"

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <string_view>

namespace tarvo::py {

namespace {

// Signals are looked at this often while the work runs: Ctrl-C acts within it.
constexpr auto kSignalPoll = std::chrono::milliseconds(50);

}  // namespace

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
