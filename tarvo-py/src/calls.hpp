// The arguments of the scoring functions, bound and converted once into the
// core's typed values. Each reader returns nothing with a Python exception set.
#pragma once

#include "py_ref.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "search.hpp"  // ScoreOptions

namespace tarvo::py {

struct ScoreCall {
  std::string model;
  std::string native;
  ScoreOptions options;
};

struct ScorePairsCall {
  std::vector<std::pair<std::string, std::string>> pairs;
  ScoreOptions options;
};

struct ScoreOneVsManyCall {
  std::string native;
  std::vector<std::string> models;
  ScoreOptions options;
};

// A mapping or groups text that does not parse is kept in the options as its
// error: the core reports it where it reports every other error of a run.
std::optional<ScoreCall> read_score_call(PyObject* args, PyObject* kwargs);
std::optional<ScorePairsCall> read_score_pairs_call(PyObject* args, PyObject* kwargs);
std::optional<ScoreOneVsManyCall> read_score_one_vs_many_call(PyObject* args, PyObject* kwargs);

}  // namespace tarvo::py
