#include "calls.hpp"

#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <string_view>

#include "convert.hpp"

namespace tarvo::py {

namespace {

// What the options' arguments are read into. The two texts are parsed once every
// argument is converted, so that a bad argument later in the signature is still
// reported as the TypeError it is.
struct OptionArguments {
  ScoreOptions options;
  std::optional<std::string> mapping;
  std::optional<std::string> groups;
};

enum class OptionKind { Flag, Count, Text };  // defaults False, 0 and None

struct ScoringOption {
  const char* name;
  OptionKind kind;
  const char* placeholder;  // the command line's name for the value; nullptr for a flag
  bool (*read)(PyObject* value, OptionArguments& out);
  const char* help;
};

// In signature order. Adding an option is a row here and its use in the core.
constexpr ScoringOption kScoringOptions[] = {
    {"no_align", OptionKind::Flag, nullptr,
     [](PyObject* value, OptionArguments& out) { return extract_flag(value, out.options.no_align); },
     "pair model and native residues by residue number instead of aligning sequences"},
    {"capri_peptide", OptionKind::Flag, nullptr,
     [](PyObject* value, OptionArguments& out) { return extract_flag(value, out.options.capri_peptide); },
     "peptide criteria: contacts within 4 A instead of 5 A, interface residues by CB (else CA) within "
     "8 A instead of all atoms within 10 A"},
    {"small_molecule", OptionKind::Flag, nullptr,
     [](PyObject* value, OptionArguments& out) { return extract_flag(value, out.options.small_molecule); },
     "read hetero (small-molecule) records too; scoring small-molecule chains is refused with an error "
     "that says so"},
    {"mapping", OptionKind::Text, "TEXT",
     [](PyObject* value, OptionArguments& out) { return extract_optional_text(value, out.mapping); },
     "fix the chain mapping: model chains, ':', native chains, one character per chain or chain ids "
     "joined by ',', '*' as wildcard; e.g. BA:AB maps native A to model B and native B to model A, "
     "B2,AA:A,B maps native A to model B2, AB*:AB* or H,L,*:H,L,* fixes two chains and searches the "
     "rest, :AB scores native chains A and B only"},
    {"allowed_mismatches", OptionKind::Count, "N",
     [](PyObject* value, OptionArguments& out) { return extract_count(value, out.options.allowed_mismatches); },
     "sequence mismatches tolerated for a model chain to stand for a native chain (default: 0)"},
    {"groups", OptionKind::Text, "RECEPTOR:LIGAND",
     [](PyObject* value, OptionArguments& out) { return extract_optional_text(value, out.groups); },
     "one interface between two groups of native chains, e.g. HL:A: antibody chains H and L against "
     "antigen A (H1,L1:AG for longer ids); only these chains are mapped"},
    {"exact", OptionKind::Flag, nullptr,
     [](PyObject* value, OptionArguments& out) { return extract_flag(value, out.options.exact); },
     "fail with the budget error when the mapping cannot be proven best, instead of returning the best "
     "mapping found with a bound on what a better one would add"},
};

// The batch calls' own parameter, after the scoring options.
constexpr const char* kAllModels = "all_models";
constexpr const char* kAllModelsHelp =
    "score every MODEL of each model file as its own entry: one outcome per model, in file order, "
    "each with its 0-based \"model_index\"";

const char* default_text(OptionKind kind) {
  switch (kind) {
    case OptionKind::Flag: return "False";
    case OptionKind::Count: return "0";
    case OptionKind::Text: return "None";
  }
  return "";
}

bool read_options(const BoundArgs& bound, std::size_t first, Result<ScoreOptions>& out) {
  OptionArguments arguments;
  for (std::size_t k = 0; k < std::size(kScoringOptions); ++k)
    if (!convert(bound, first + k, kScoringOptions[k].read, arguments)) return false;
  out = parse_option_texts(std::move(arguments.options), arguments.mapping, arguments.groups);
  return true;
}

// A scoring function: its leading parameters, then every option, then for the
// batch calls all_models.
struct ScoringFunction {
  const char* name;
  std::vector<const char*> parameters;
  std::size_t leading;
  std::string doc;  // "signature\n--\n\nsummary", then each option's help
};

ScoringFunction scoring_function(const char* name, std::initializer_list<const char*> leading,
                                 std::string_view summary, bool batch) {
  ScoringFunction function{name, leading, leading.size(), std::string(name) + '('};
  for (const char* parameter : leading) function.doc += std::string(parameter) + ", ";
  for (const ScoringOption& option : kScoringOptions) {
    function.parameters.push_back(option.name);
    function.doc += std::string(option.name) + '=' + default_text(option.kind) + ", ";
  }
  if (batch) {
    function.parameters.push_back(kAllModels);
    function.doc += std::string(kAllModels) + "=False, ";
  }
  function.doc.resize(function.doc.size() - 2);
  function.doc += ")\n--\n\n" + std::string(summary) + "\n\nOptions:\n";
  for (const ScoringOption& option : kScoringOptions)
    function.doc += "  " + std::string(option.name) + ": " + option.help + '\n';
  if (batch) function.doc += "  " + std::string(kAllModels) + ": " + kAllModelsHelp + '\n';
  return function;
}

const ScoringFunction& score_function() {
  static const ScoringFunction function = scoring_function(
      "score", {"model", "native"},
      "Scores the model file against the native file under the best chain mapping and returns the "
      "result dict. Errors raise subclasses of TarvoError.",
      false);
  return function;
}

const ScoringFunction& score_pairs_function() {
  static const ScoringFunction function = scoring_function(
      "score_pairs", {"pairs"},
      "Scores (model, native) file pairs in parallel and returns one outcome dict per pair, in input "
      "order, holding its result or its error.",
      true);
  return function;
}

const ScoringFunction& score_one_vs_many_function() {
  static const ScoringFunction function = scoring_function(
      "score_one_vs_many", {"native", "models"},
      "Scores many model files against one native file in parallel (model ranking) and returns one "
      "outcome dict per model, in input order, holding its result or its error.",
      true);
  return function;
}

const ScoringFunction& iter_score_one_vs_many_function() {
  static const ScoringFunction function = scoring_function(
      "iter_score_one_vs_many", {"native", "models"},
      "score_one_vs_many as an iterator: the models are scored in parallel in the background, and each "
      "step gives, in input order, the outcomes of the models finished since the last step, as a list "
      "of (input index, outcome) tuples. Dropping the iterator stops the work.",
      true);
  return function;
}

std::optional<BoundArgs> bind(const ScoringFunction& function, PyObject* args, PyObject* kwargs) {
  return bind_arguments(function.name, function.parameters, function.leading, args, kwargs);
}

// all_models is a batch call's last parameter.
bool read_all_models(const BoundArgs& bound, bool& out) {
  return convert(bound, bound.values.size() - 1, extract_flag, out);
}

PyRef option_default(OptionKind kind) {
  switch (kind) {
    case OptionKind::Flag: return PyRef::from_borrowed(Py_False);
    case OptionKind::Count: return PyRef(PyLong_FromLong(0));
    case OptionKind::Text: break;
  }
  return PyRef::from_borrowed(Py_None);
}

std::optional<ScoreOneVsManyCall> read_one_vs_many_call(const ScoringFunction& function, PyObject* args,
                                                        PyObject* kwargs) {
  auto bound = bind(function, args, kwargs);
  ScoreOneVsManyCall call;
  if (!bound || !convert(*bound, 0, extract_path, call.native) ||
      !convert(*bound, 1, extract_path_list, call.models) || !read_options(*bound, 2, call.options) ||
      !read_all_models(*bound, call.all_models))
    return std::nullopt;
  return call;
}

}  // namespace

std::optional<ScoreCall> read_score_call(PyObject* args, PyObject* kwargs) {
  auto bound = bind(score_function(), args, kwargs);
  ScoreCall call;
  if (!bound || !convert(*bound, 0, extract_path, call.model) || !convert(*bound, 1, extract_path, call.native) ||
      !read_options(*bound, 2, call.options))
    return std::nullopt;
  return call;
}

std::optional<ScorePairsCall> read_score_pairs_call(PyObject* args, PyObject* kwargs) {
  auto bound = bind(score_pairs_function(), args, kwargs);
  ScorePairsCall call;
  if (!bound || !convert(*bound, 0, extract_pair_list, call.pairs) || !read_options(*bound, 1, call.options) ||
      !read_all_models(*bound, call.all_models))
    return std::nullopt;
  return call;
}

std::optional<ScoreOneVsManyCall> read_score_one_vs_many_call(PyObject* args, PyObject* kwargs) {
  return read_one_vs_many_call(score_one_vs_many_function(), args, kwargs);
}

std::optional<ScoreOneVsManyCall> read_iter_score_one_vs_many_call(PyObject* args, PyObject* kwargs) {
  return read_one_vs_many_call(iter_score_one_vs_many_function(), args, kwargs);
}

const char* scoring_doc(std::string_view name) {
  for (const ScoringFunction* function : {&score_function(), &score_pairs_function(), &score_one_vs_many_function(),
                                          &iter_score_one_vs_many_function()})
    if (name == function->name) return function->doc.c_str();
  return nullptr;
}

PyRef scoring_option_table() {
  PyRef table(PyTuple_New(static_cast<Py_ssize_t>(std::size(kScoringOptions))));
  if (!table) return {};
  for (std::size_t k = 0; k < std::size(kScoringOptions); ++k) {
    const ScoringOption& option = kScoringOptions[k];
    PyRef row = new_tuple(new_str(option.name), option_default(option.kind),
                          option.placeholder ? new_str(option.placeholder) : PyRef::from_borrowed(Py_None),
                          new_str(option.help));
    if (!row) return {};
    PyTuple_SetItem(table.get(), static_cast<Py_ssize_t>(k), row.release());
  }
  return table;
}

}  // namespace tarvo::py
