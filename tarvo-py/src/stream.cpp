#include "stream.hpp"

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <stop_token>
#include <utility>
#include <vector>

#include "tarvo/batch.hpp"
#include "tarvo/pool.hpp"  // run_on_threads
#include "calls.hpp"
#include "errors.hpp"
#include "module_state.hpp"
#include "released.hpp"
#include "results.hpp"

namespace tarvo::py {

namespace {

// Python is woken once this many files are ready to hand on (or all that are
// left): waking it for each one, about every 0.1 ms, took as much processor time
// as the pool lost, and for every 32 `tarvo rank` still ran 1 % slower than for
// every 128 (small pairs on two cores, a wake every 30 ms). Fewer are handed on
// when the signal poll comes round first, so slow files still go on within it.
constexpr std::size_t kFilesPerWake = 128;

// Shared by the iterator and the work on the module's helper and pool threads,
// so that whichever lets go of it last frees it.
struct Scoring {
  explicit Scoring(ScoreOneVsManyCall&& given)
      : call(std::move(given)), finished(call.models.size()), ready(call.models.size(), 0) {}

  const ScoreOneVsManyCall call;
  std::mutex lock;
  std::condition_variable progressed;
  std::vector<std::vector<BatchOutcome>> finished;  // each model file's outcomes, once ready
  std::vector<char> ready;
  std::size_t handed = 0;     // model files handed on to Python, which takes them in input order
  std::size_t ready_end = 0;  // the end of the ready files from `handed` on
  bool news = false;          // kFilesPerWake files are ready to hand on, or the work has ended
  bool done = false;          // the work has ended; with `fault` set when it threw
  std::exception_ptr fault;
  std::stop_source stop;

  void take(std::size_t item, std::vector<BatchOutcome>&& outcomes) {
    std::lock_guard hold(lock);
    finished[item] = std::move(outcomes);
    ready[item] = 1;
    while (ready_end < ready.size() && ready[ready_end]) ++ready_end;
    if (!news && (ready_end - handed >= kFilesPerWake || ready_end == ready.size())) {
      news = true;
      progressed.notify_one();
    }
  }

  void end(std::exception_ptr thrown) {
    std::lock_guard hold(lock);
    fault = std::move(thrown);
    done = news = true;
    progressed.notify_all();
  }
};

void start(const std::shared_ptr<Scoring>& scoring, std::size_t threads) {
  run_on_helper([scoring, threads] {
    std::exception_ptr thrown;
    try {
      run_on_threads(threads, [&] {
        const ScoreOneVsManyCall& call = scoring->call;
        score_one_vs_many_each(
            call.native, call.models, call.options,
            [&](std::size_t item, std::vector<BatchOutcome>&& outcomes) { scoring->take(item, std::move(outcomes)); },
            scoring->stop.get_token(), call.all_models);
      });
    } catch (...) {
      thrown = std::current_exception();
    }
    scoring->end(std::move(thrown));
  });
}

// What an iterator object owns besides its module: the scoring, and the result
// keys that every dict it makes shares.
struct Held {
  std::shared_ptr<Scoring> scoring;
  ResultKeys keys;
};

struct PyStream {
  PyObject_HEAD
  Held* held;        // owned; null only while the object is being made
  PyObject* module;  // strong reference to the module that made the object
};

PyStream& as_stream(PyObject* self) { return *reinterpret_cast<PyStream*>(self); }
const ModuleState& state_of(PyObject* self) { return module_state(as_stream(self).module); }

PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "cannot create 'OutcomeStream' instances: call iter_score_one_vs_many");
  return nullptr;
}

// The ready files not handed on yet, in input order, each with its index.
std::vector<std::pair<std::size_t, std::vector<BatchOutcome>>> ready_files(Scoring& scoring) {
  std::vector<std::pair<std::size_t, std::vector<BatchOutcome>>> files;
  for (; scoring.handed < scoring.ready_end; ++scoring.handed)
    files.emplace_back(scoring.handed, std::move(scoring.finished[scoring.handed]));
  scoring.news = scoring.done;
  return files;
}

PyRef outcome_pairs(const std::vector<std::pair<std::size_t, std::vector<BatchOutcome>>>& files,
                    const ResultKeys& keys) {
  PyRef list(PyList_New(0));
  if (!list) return {};
  for (const auto& [index, outcomes] : files)
    for (const BatchOutcome& outcome : outcomes) {
      PyRef pair = new_tuple(PyRef(PyLong_FromSize_t(index)), outcome_dict(outcome, keys));
      if (!pair || PyList_Append(list.get(), pair.get()) < 0) return {};
    }
  return list;
}

// Waits, without the interpreter lock and looking at signals, for the next
// files; then gives them as a list of (index, outcome). Nothing, and no
// exception, once every file has been handed on and the work has ended.
PyObject* next_outcomes(PyObject* self) {
  return guarded<PyObject*>(state_of(self), nullptr, [&]() -> PyObject* {
    Held& held = *as_stream(self).held;
    Scoring& scoring = *held.scoring;
    for (bool polled = false;; polled = true) {
      std::unique_lock hold(scoring.lock);
      if (scoring.news || (polled && scoring.ready_end > scoring.handed)) {
        auto files = ready_files(scoring);
        if (!files.empty()) {
          hold.unlock();
          return outcome_pairs(files, held.keys).release();
        }
      }
      if (scoring.done) {
        if (scoring.fault) std::rethrow_exception(scoring.fault);
        if (scoring.handed < scoring.ready.size()) raise_internal(state_of(self), "the scoring ended before its last model");
        return nullptr;
      }
      hold.unlock();
      if (polled && PyErr_CheckSignals() < 0) {
        scoring.stop.request_stop();  // what is left ends soon, as cancelled; dropping the iterator waits for it
        return nullptr;
      }
      wait_released(scoring.lock, scoring.progressed, scoring.news);
    }
  });
}

// Dropping the iterator stops the work and waits for it: no thread keeps
// scoring for outcomes that nobody will take.
void dealloc(PyObject* self) {
  if (Held* held = as_stream(self).held) {
    Scoring& scoring = *held->scoring;
    scoring.stop.request_stop();
    for (;;) {
      std::unique_lock hold(scoring.lock);
      if (scoring.done) break;
      hold.unlock();
      wait_released(scoring.lock, scoring.progressed, scoring.done);
    }
    delete held;
  }
  PyObject* module = as_stream(self).module;
  free_instance(self);
  Py_DecRef(module);
}

constexpr const char* kDoc =
    "Iterator of iter_score_one_vs_many: each step gives the outcomes of the models finished since the "
    "last, in input order, as a list of (input index, outcome) tuples.";

PyType_Slot slots[] = {
    {Py_tp_new, slot_function(refuse_new)},
    {Py_tp_dealloc, slot_function(dealloc)},
    {Py_tp_iter, slot_function(PyObject_SelfIter)},
    {Py_tp_iternext, slot_function(next_outcomes)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec spec = {"_tarvo_rs.OutcomeStream", sizeof(PyStream), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyRef make_outcome_stream_type() { return PyRef(PyType_FromSpec(&spec)); }

PyObject* iter_score_one_vs_many(PyObject* module, PyObject* args, PyObject* kwargs) {
  const ModuleState& state = module_state(module);
  return guarded<PyObject*>(state, nullptr, [&]() -> PyObject* {
    auto call = read_iter_score_one_vs_many_call(args, kwargs);
    if (!call) return nullptr;
    const std::optional<std::size_t> threads = threads_from_environment();
    if (!threads) return nullptr;
    auto held = std::make_unique<Held>(Held{std::make_shared<Scoring>(std::move(*call)), ResultKeys()});
    if (!held->keys) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(state.outcome_stream_type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef object(alloc(type, 0));
    if (!object) return nullptr;
    as_stream(object.get()).module = PyRef::from_borrowed(module).release();
    start(held->scoring, *threads);
    as_stream(object.get()).held = held.release();
    return object.release();
  });
}

}  // namespace tarvo::py
