// The arguments of the scoring functions, bound and converted once into the
// core's typed values. Each reader returns nothing with a Python exception set.
#pragma once

#include "py_ref.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarvo/error.hpp"  // Result
#include "tarvo/run.hpp"    // ScoreOptions

namespace tarvo::py {

// The options hold a mapping or groups text's parse error: score raises it, and
// each item of a batch reports it, before any file is read.
struct ScoreCall {
  std::string model;
  std::string native;
  Result<ScoreOptions> options;
};

struct ScorePairsCall {
  std::vector<std::pair<std::string, std::string>> pairs;
  Result<ScoreOptions> options;
  bool all_models = false;
};

struct ScoreOneVsManyCall {
  std::string native;
  std::vector<std::string> models;
  Result<ScoreOptions> options;
  bool all_models = false;
};

std::optional<ScoreCall> read_score_call(PyObject* args, PyObject* kwargs);
std::optional<ScorePairsCall> read_score_pairs_call(PyObject* args, PyObject* kwargs);
std::optional<ScoreOneVsManyCall> read_score_one_vs_many_call(PyObject* args, PyObject* kwargs);
std::optional<ScoreOneVsManyCall> read_iter_score_one_vs_many_call(PyObject* args, PyObject* kwargs);

// The docstring of score, score_pairs, score_one_vs_many or iter_score_one_vs_many: the signature with
// every scoring option, the summary, then each option's help; null for another name.
const char* scoring_doc(std::string_view name);

// The scoring options as the module attribute score_options: a tuple of
// (name, default, placeholder, help) tuples in signature order, the placeholder
// None for a flag. The command line builds its flags from it.
PyRef scoring_option_table();

}  // namespace tarvo::py
