// The extension module _tarvo_rs: its definition, its state, its execution step
// and the functions it offers. Arguments are converted and results built with
// the interpreter lock held; the core work in between runs without it.
#include "py_ref.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarvo/batch.hpp"
#include "tarvo/interfaces.hpp"  // run_on_native_interfaces, unlike_pairs
#include "tarvo/reader.hpp"      // load_structure
#include "calls.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "released.hpp"
#include "results.hpp"
#include "stream.hpp"
#include "structure.hpp"

namespace tarvo::py {

namespace {

PyRef outcome_list(const std::vector<BatchOutcome>& outcomes) {
  ResultKeys keys;
  PyRef list(keys ? PyList_New(0) : nullptr);
  if (!list) return {};
  for (const BatchOutcome& outcome : outcomes) {
    PyRef item = outcome_dict(outcome, keys);
    if (!item || PyList_Append(list.get(), item.get()) < 0) return {};
  }
  return list;
}

bool read_chain_map(PyObject* dict, ChainMapping& chain_map) {
  Py_ssize_t pos = 0;
  PyObject* key;    // borrowed
  PyObject* value;  // borrowed
  while (PyDict_Next(dict, &pos, &key, &value)) {
    std::string native_chain, model_chain;
    if (!extract_text(key, native_chain) || !extract_text(value, model_chain)) return false;
    chain_map.insert_or_assign(std::move(native_chain), std::move(model_chain));
  }
  return true;
}

// Keyed by the two native chain ids, so multi-character mmCIF ids stay whole.
PyRef native_interfaces_result(const NativeInterfacesRun& run) {
  ResultKeys keys;
  PyRef mapping(keys ? PyDict_New() : nullptr);
  if (!mapping) return {};
  for (const NativeInterface& interface : run.interfaces) {
    PyRef key = new_tuple(new_str(interface.native1), new_str(interface.native2));
    PyRef value = interface_dict(interface.result, keys);
    if (!key || !value || PyDict_SetItem(mapping.get(), key.get(), value.get()) < 0) return {};
  }
  return new_tuple(std::move(mapping), PyRef(PyFloat_FromDouble(run.total)));
}

PyObject* load_pdb(PyObject* module, PyObject* args, PyObject* kwargs) {
  const ModuleState& state = module_state(module);
  return guarded<PyObject*>(state, nullptr, [&]() -> PyObject* {
    static constexpr std::array<const char*, 4> names{"path", "chains", "small_molecule", "n_model"};
    auto bound = bind_arguments("load_PDB", names, 1, args, kwargs);
    std::string path;
    std::vector<std::string> chains;
    bool small_molecule = false;
    std::uint64_t n_model = 0;
    if (!bound || !convert(*bound, 0, extract_path, path) || !convert(*bound, 1, extract_text_list, chains) ||
        !convert(*bound, 2, extract_flag, small_molecule) || !convert(*bound, 3, extract_count, n_model))
      return nullptr;
    auto loaded = run_released(
        [&](std::stop_token stop) { return load_structure(path, chains, small_molecule, n_model, std::move(stop)); });
    if (!loaded) return nullptr;
    if (!*loaded) return to_pyerr(state, loaded->error());
    (*loaded)->id = path;
    return wrap_structure(module, std::move(**loaded)).release();
  });
}

PyObject* run_on_all_native_interfaces(PyObject* module, PyObject* args, PyObject* kwargs) {
  const ModuleState& state = module_state(module);
  auto structure = [&](PyObject* object, const Structure*& out) { return extract_structure(state, object, out); };
  return guarded<PyObject*>(state, nullptr, [&]() -> PyObject* {
    static constexpr std::array<const char*, 6> names{"model",    "native",        "chain_map",
                                                      "no_align", "capri_peptide", "low_memory"};
    auto bound = bind_arguments("run_on_all_native_interfaces", names, 3, args, kwargs);
    if (!bound) return nullptr;
    const Structure* model = nullptr;
    const Structure* native = nullptr;
    PyObject* chain_map_dict = bound->values[2];  // borrowed
    bool no_align = false, capri_peptide = false, low_memory = false;
    if (!convert(*bound, 0, structure, model) || !convert(*bound, 1, structure, native))
      return nullptr;
    if (!has_type_flag(chain_map_dict, Py_TPFLAGS_DICT_SUBCLASS)) {
      raise_not_instance(chain_map_dict, "dict");
      note_parameter("chain_map");
      return nullptr;
    }
    // low_memory is checked like every flag but has no effect: results are always
    // complete. It stays for callers written against the interface this function keeps.
    if (!convert(*bound, 3, extract_flag, no_align) || !convert(*bound, 4, extract_flag, capri_peptide) ||
        !convert(*bound, 5, extract_flag, low_memory))
      return nullptr;
    ChainMapping chain_map;
    if (!read_chain_map(chain_map_dict, chain_map)) return nullptr;
    auto run = run_released([&](std::stop_token) {
      return within_resources(
          [&] { return run_on_native_interfaces(*model, *native, chain_map, no_align, capri_peptide); },
          [] { return TarvoError{err::Mapping{"out of memory while scoring the interfaces of the chain mapping"}}; });
    });
    if (!run) return nullptr;
    if (!*run) return to_pyerr(state, run->error());
    return native_interfaces_result(**run).release();
  });
}

PyObject* unlike_fixed_pairs(PyObject* module, PyObject* args, PyObject* kwargs) {
  const ModuleState& state = module_state(module);
  auto structure = [&](PyObject* object, const Structure*& out) { return extract_structure(state, object, out); };
  return guarded<PyObject*>(state, nullptr, [&]() -> PyObject* {
    static constexpr std::array<const char*, 4> names{"model", "native", "mapping", "allowed_mismatches"};
    auto bound = bind_arguments("unlike_fixed_pairs", names, 3, args, kwargs);
    const Structure* model = nullptr;
    const Structure* native = nullptr;
    std::string text;
    std::uint64_t allowed_mismatches = 0;
    if (!bound || !convert(*bound, 0, structure, model) || !convert(*bound, 1, structure, native) ||
        !convert(*bound, 2, extract_text, text) || !convert(*bound, 3, extract_count, allowed_mismatches))
      return nullptr;
    auto spec = format_mapping(text);
    if (!spec) return to_pyerr(state, spec.error());
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    for (const UnlikePair& pair : unlike_pairs(*model, *native, spec->fixed, allowed_mismatches)) {
      PyRef row = new_tuple(new_str(pair.native), new_str(pair.model), PyRef(PyLong_FromSize_t(pair.mismatches)));
      if (!row || PyList_Append(list.get(), row.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* score(PyObject* module, PyObject* args, PyObject* kwargs) {
  const ModuleState& state = module_state(module);
  return guarded<PyObject*>(state, nullptr, [&]() -> PyObject* {
    auto call = read_score_call(args, kwargs);
    if (!call) return nullptr;
    if (!call->options) return to_pyerr(state, call->options.error());
    auto result = run_released([&](std::stop_token stop) {
      return score_pair(call->model, call->native, *call->options, std::move(stop));
    });
    if (!result) return nullptr;
    if (!*result) return to_pyerr(state, result->error());
    ResultKeys keys;
    return keys ? run_result_dict(**result, keys).release() : nullptr;
  });
}

PyObject* score_one_vs_many(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(module_state(module), nullptr, [&]() -> PyObject* {
    auto call = read_score_one_vs_many_call(args, kwargs);
    if (!call) return nullptr;
    auto outcomes = run_released([&](std::stop_token stop) {
      return tarvo::score_one_vs_many(call->native, call->models, call->options, std::move(stop), call->all_models);
    });
    return outcomes ? outcome_list(*outcomes).release() : nullptr;
  });
}

PyObject* score_pairs(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(module_state(module), nullptr, [&]() -> PyObject* {
    auto call = read_score_pairs_call(args, kwargs);
    if (!call) return nullptr;
    auto outcomes = run_released([&](std::stop_token stop) {
      return tarvo::score_pairs(call->pairs, call->options, std::move(stop), call->all_models);
    });
    return outcomes ? outcome_list(*outcomes).release() : nullptr;
  });
}

// The options of a call read as the named function reads them, a text that does
// not parse kept as its error; nothing, with an exception set, for a bad argument.
const Result<ScoreOptions>* read_options(std::string_view function, PyObject* args, PyObject* kwargs,
                                         std::optional<Result<ScoreOptions>>& out) {
  if (function == "score") {
    if (auto call = read_score_call(args, kwargs)) out = std::move(call->options);
  } else if (function == "score_pairs") {
    if (auto call = read_score_pairs_call(args, kwargs)) out = std::move(call->options);
  } else if (function == "score_one_vs_many") {
    if (auto call = read_score_one_vs_many_call(args, kwargs)) out = std::move(call->options);
  } else {
    PyErr_SetString(PyExc_ValueError,
                    "check_arguments: function must be 'score', 'score_pairs' or 'score_one_vs_many'");
  }
  return out ? &*out : nullptr;
}

PyObject* check_arguments(PyObject* module, PyObject* args, PyObject* kwargs) {
  const ModuleState& state = module_state(module);
  return guarded<PyObject*>(state, nullptr, [&]() -> PyObject* {
    if (PyTuple_Size(args) < 1) {
      PyErr_SetString(PyExc_TypeError, "check_arguments() missing 1 required positional argument: 'function'");
      return nullptr;
    }
    std::string function;
    if (!extract_text(PyTuple_GetItem(args, 0), function)) {
      note_parameter("function");
      return nullptr;
    }
    PyRef rest(PyTuple_GetSlice(args, 1, PyTuple_Size(args)));
    std::optional<Result<ScoreOptions>> options;
    if (!rest || !read_options(function, rest.get(), kwargs, options)) return nullptr;
    if (!*options) return to_pyerr(state, options->error());
    return PyRef::from_borrowed(Py_None).release();
  });
}

PyObject* version(PyObject* module, PyObject*) {
  return guarded<PyObject*>(module_state(module), nullptr, [] { return new_str(TARVO_VERSION).release(); });
}

template <class Fn>
PyCFunction as_cfunction(Fn* fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

// Added in this order after Structure; each docstring is "signature\n--\n\nbody",
// those of the scoring functions made from their option table at start.
PyMethodDef functions[] = {
    {"load_PDB", as_cfunction(load_pdb), kKeywords,
     "load_PDB(path, chains=..., small_molecule=False, n_model=0)\n--\n\n"
     "Reads a PDB or mmCIF file (plain or gzip) into a Structure: the chains listed in `chains` (all "
     "when empty) of model `n_model` (0-based), hetero records too with `small_molecule`."},
    {"run_on_all_native_interfaces", as_cfunction(run_on_all_native_interfaces), kKeywords,
     "run_on_all_native_interfaces(model, native, chain_map, no_align=False, capri_peptide=False, "
     "low_memory=False)\n--\n\n"
     "Scores every native interface under the chain mapping `chain_map` (native chain -> model chain, "
     "in its insertion order) and returns `(result_mapping, total_tarvo)`. `low_memory` is accepted "
     "for callers of the interface this function keeps, and has no effect: results are always complete."},
    {"score", as_cfunction(score), kKeywords, nullptr},
    {"score_one_vs_many", as_cfunction(score_one_vs_many), kKeywords, nullptr},
    {"score_pairs", as_cfunction(score_pairs), kKeywords, nullptr},
    {"version", version, METH_NOARGS, "version()\n--\n\n"},
};

void fill_scoring_docs() {
  for (PyMethodDef& def : functions)
    if (const char* doc = scoring_doc(def.ml_name)) def.ml_doc = doc;
}

// An attribute of the module but not one of the contents listed in __all__.
PyMethodDef check_arguments_def = {
    "check_arguments", as_cfunction(check_arguments), kKeywords,
    "check_arguments(function, /, *args, **kwargs)\n--\n\n"
    "Reads `args` and `kwargs` exactly as the scoring function named `function` ('score', "
    "'score_pairs' or 'score_one_vs_many') would, without reading any file or scoring, and raises "
    "what that call raises for its arguments: TypeError, ValueError or OverflowError for a bad "
    "argument, MappingError for a mapping or groups text that does not parse. Returns None."};

// Unlisted too: score_one_vs_many's streaming form, for callers that hand outcomes on as they come.
PyMethodDef iter_score_one_vs_many_def = {"iter_score_one_vs_many", as_cfunction(iter_score_one_vs_many), kKeywords,
                                          nullptr};

PyMethodDef unlike_fixed_pairs_def = {
    "unlike_fixed_pairs", as_cfunction(unlike_fixed_pairs), kKeywords,
    "unlike_fixed_pairs(model, native, mapping, allowed_mismatches=0)\n--\n\n"
    "The pairs that the mapping text fixes between the Structures `model` and `native` whose "
    "sequences differ at more than `allowed_mismatches` positions, so that the search would not have "
    "paired them: a list of (native chain, model chain, mismatches) tuples, in the text's order."};

// Appends `name` to the module's __all__ (made on first use), then sets the attribute.
bool add_item(PyObject* module, PyObject* name, PyObject* item) {
  PyRef all_name = new_str("__all__");
  if (!all_name) return false;
  PyRef all(PyObject_GetAttr(module, all_name.get()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttr(module, all_name.get(), all.get()) < 0) return false;
  }
  return PyList_Append(all.get(), name) == 0 && PyObject_SetAttr(module, name, item) == 0;
}

// A built-in function bound to the module; listed in __all__ when `listed`.
bool add_function(PyObject* module, PyObject* module_name, PyMethodDef& def, bool listed) {
  PyRef function(PyCFunction_NewEx(&def, module, module_name));
  if (!function) return false;
  PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  return listed ? add_item(module, name.get(), function.get())
                : PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  int failed = 0;
  module_state(module).for_each_reference([&](PyObject* reference) {
    if (reference && !failed) failed = visit(reference, arg);
  });
  return failed;
}

int clear_module(PyObject* module) {
  module_state(module).for_each_reference([](PyObject*& reference) { Py_DecRef(std::exchange(reference, nullptr)); });
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

int exec_module(PyObject* module) {
  PyRef module_type = type_of(module);
  if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(module_type.get()), &PyModule_Type)) {
    raise_not_instance(module, "module");
    return -1;
  }
  ModuleState& state = module_state(module);
  return guarded(state, -1, [&] {
    if (!make_error_classes(module, state)) return -1;
    state.structure_type = make_structure_type().release();
    PyRef structure_name = new_str("Structure");
    if (!state.structure_type || !structure_name || !add_item(module, structure_name.get(), state.structure_type))
      return -1;
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    state.outcome_stream_type = make_outcome_stream_type().release();
    if (!state.outcome_stream_type) return -1;
    fill_scoring_docs();
    for (PyMethodDef& def : functions)
      if (!add_function(module, module_name.get(), def, true)) return -1;
    PyRef options = scoring_option_table();
    if (!options || PyObject_SetAttrString(module, "score_options", options.get()) < 0) return -1;
    iter_score_one_vs_many_def.ml_doc = scoring_doc(iter_score_one_vs_many_def.ml_name);
    return add_function(module, module_name.get(), check_arguments_def, false) &&
                   add_function(module, module_name.get(), iter_score_one_vs_many_def, false) &&
                   add_function(module, module_name.get(), unlike_fixed_pairs_def, false)
               ? 0
               : -1;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

constexpr const char* kModuleDoc =
    "Interface quality scores of predicted macromolecular complexes against their native structure.\n\n"
    "score(model, native) scores one pair of structure files; score_pairs and score_one_vs_many score "
    "many in parallel, each item keeping its own result or error. load_PDB and "
    "run_on_all_native_interfaces score a chain mapping the caller gives. Errors of reading and "
    "scoring raise subclasses of TarvoError (each also a RuntimeError, or a ValueError for the "
    "small-molecule refusal).";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_tarvo_rs", kModuleDoc, sizeof(ModuleState), nullptr, module_slots,
    traverse_module, clear_module, free_module,
};

}  // namespace

ModuleState& module_state(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

}  // namespace tarvo::py

PyMODINIT_FUNC PyInit__tarvo_rs() { return PyModuleDef_Init(&tarvo::py::module_def); }
