// The extension module _tarvo_rs: its definition, its execution step and the
// functions it offers. The interpreter lock is held for every call.
#include "py_ref.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "batch.hpp"
#include "convert.hpp"
#include "mapping.hpp"
#include "reader.hpp"  // load_structure
#include "results.hpp"
#include "structure.hpp"

namespace tarvo::py {

namespace {

// The five options of ScoreOptions, in signature order from parameter `first`.
bool convert_options(const BoundArgs& bound, std::size_t first, ScoreOptions& options) {
  return convert(bound, first, extract_flag, options.no_align) &&
         convert(bound, first + 1, extract_flag, options.capri_peptide) &&
         convert(bound, first + 2, extract_flag, options.small_molecule) &&
         convert(bound, first + 3, extract_optional_text, options.mapping) &&
         convert(bound, first + 4, extract_count, options.allowed_mismatches);
}

PyRef outcome_list(const std::vector<BatchOutcome>& outcomes) {
  PyRef list(PyList_New(0));
  if (!list) return {};
  for (const BatchOutcome& outcome : outcomes) {
    PyRef item = outcome_dict(outcome);
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

PyRef pair_tuple(PyRef first, PyRef second) {
  if (!first || !second) return {};
  PyRef tuple(PyTuple_New(2));
  if (!tuple) return {};
  PyTuple_SetItem(tuple.get(), 0, first.release());  // steals
  PyTuple_SetItem(tuple.get(), 1, second.release());
  return tuple;
}

// Keyed by the two native chain ids, so multi-character mmCIF ids stay whole.
PyRef native_interfaces_result(const NativeInterfacesRun& run) {
  PyRef mapping(PyDict_New());
  if (!mapping) return {};
  for (const auto& [name, interface] : run.interfaces) {
    PyRef key = pair_tuple(new_str(interface.native1), new_str(interface.native2));
    PyRef value = interface_dict(interface.result);
    if (!key || !value || PyDict_SetItem(mapping.get(), key.get(), value.get()) < 0) return {};
  }
  return pair_tuple(std::move(mapping), PyRef(PyFloat_FromDouble(run.total)));
}

PyObject* load_pdb(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr std::array<const char*, 4> names{"path", "chains", "small_molecule", "n_model"};
    auto bound = bind_arguments("load_PDB", names, 1, args, kwargs);
    std::string path;
    std::vector<std::string> chains;
    bool small_molecule = false;
    std::uint64_t n_model = 0;
    if (!bound || !convert(*bound, 0, extract_text, path) || !convert(*bound, 1, extract_text_list, chains) ||
        !convert(*bound, 2, extract_flag, small_molecule) || !convert(*bound, 3, extract_count, n_model))
      return nullptr;
    Result<Structure> loaded = load_structure(path, chains, small_molecule, n_model);
    if (!loaded) return to_pyerr(loaded.error());
    loaded->id = path;
    return wrap_structure(std::move(*loaded)).release();
  });
}

PyObject* run_on_all_native_interfaces(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr std::array<const char*, 6> names{"model",    "native",        "chain_map",
                                                      "no_align", "capri_peptide", "low_memory"};
    auto bound = bind_arguments("run_on_all_native_interfaces", names, 3, args, kwargs);
    if (!bound) return nullptr;
    const Structure* model = nullptr;
    const Structure* native = nullptr;
    PyObject* chain_map_dict = bound->values[2];  // borrowed
    bool no_align = false, capri_peptide = false, low_memory = false;
    if (!convert(*bound, 0, extract_structure, model) || !convert(*bound, 1, extract_structure, native))
      return nullptr;
    if (!has_type_flag(chain_map_dict, Py_TPFLAGS_DICT_SUBCLASS)) {
      raise_not_instance(chain_map_dict, "dict");
      note_parameter("chain_map");
      return nullptr;
    }
    // low_memory is checked like every flag but has no effect: results are always complete.
    if (!convert(*bound, 3, extract_flag, no_align) || !convert(*bound, 4, extract_flag, capri_peptide) ||
        !convert(*bound, 5, extract_flag, low_memory))
      return nullptr;
    ChainMapping chain_map;
    if (!read_chain_map(chain_map_dict, chain_map)) return nullptr;
    Result<NativeInterfacesRun> run = run_on_native_interfaces(*model, *native, chain_map, no_align, capri_peptide);
    if (!run) return to_pyerr(run.error());
    return native_interfaces_result(*run).release();
  });
}

PyObject* score(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr std::array<const char*, 7> names{
        "model", "native", "no_align", "capri_peptide", "small_molecule", "mapping", "allowed_mismatches"};
    auto bound = bind_arguments("score", names, 2, args, kwargs);
    std::string model, native;
    ScoreOptions options;
    if (!bound || !convert(*bound, 0, extract_text, model) || !convert(*bound, 1, extract_text, native) ||
        !convert_options(*bound, 2, options))
      return nullptr;
    Result<RunResult> result = score_pair(model, native, options);
    if (!result) return to_pyerr(result.error());
    return run_result_dict(*result).release();
  });
}

PyObject* score_one_vs_many(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr std::array<const char*, 7> names{
        "native", "models", "no_align", "capri_peptide", "small_molecule", "mapping", "allowed_mismatches"};
    auto bound = bind_arguments("score_one_vs_many", names, 2, args, kwargs);
    std::string native;
    std::vector<std::string> models;
    ScoreOptions options;
    if (!bound || !convert(*bound, 0, extract_text, native) || !convert(*bound, 1, extract_text_list, models) ||
        !convert_options(*bound, 2, options))
      return nullptr;
    return outcome_list(tarvo::score_one_vs_many(native, models, options)).release();
  });
}

PyObject* score_pairs(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr std::array<const char*, 6> names{
        "pairs", "no_align", "capri_peptide", "small_molecule", "mapping", "allowed_mismatches"};
    auto bound = bind_arguments("score_pairs", names, 1, args, kwargs);
    std::vector<std::pair<std::string, std::string>> pairs;
    ScoreOptions options;
    if (!bound || !convert(*bound, 0, extract_pair_list, pairs) || !convert_options(*bound, 1, options))
      return nullptr;
    return outcome_list(tarvo::score_pairs(pairs, options)).release();
  });
}

PyObject* version(PyObject*, PyObject*) {
  return guarded<PyObject*>(nullptr, [] { return new_str(TARVO_VERSION).release(); });
}

template <class Fn>
PyCFunction as_cfunction(Fn* fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

// Added in this order after Structure; each docstring is "signature\n--\n\nbody".
PyMethodDef functions[] = {
    {"load_PDB", as_cfunction(load_pdb), kKeywords,
     "load_PDB(path, chains=..., small_molecule=False, n_model=0)\n--\n\n"
     "Drop-in `load_PDB(path, chains=[], small_molecule=False, n_model=0)`."},
    {"run_on_all_native_interfaces", as_cfunction(run_on_all_native_interfaces), kKeywords,
     "run_on_all_native_interfaces(model, native, chain_map, no_align=False, capri_peptide=False, "
     "low_memory=False)\n--\n\n"
     "Drop-in for the reference's `run_on_all_native_interfaces(model, native, chain_map, no_align, "
     "capri_peptide, low_memory)`, returning `(result_mapping, total_tarvo)`. `chain_map` goes from "
     "native chain to model chain, as in the reference. `low_memory` is accepted for compatibility "
     "and ignored, since full results are always returned. The insertion order of `chain_map` is "
     "preserved."},
    {"score", as_cfunction(score), kKeywords,
     "score(model, native, no_align=False, capri_peptide=False, small_molecule=False, mapping=None, "
     "allowed_mismatches=0)\n--\n\n"
     "New API: full single model-vs-native scoring (the CLI's job), returning a result dict."},
    {"score_one_vs_many", as_cfunction(score_one_vs_many), kKeywords,
     "score_one_vs_many(native, models, no_align=False, capri_peptide=False, small_molecule=False, "
     "mapping=None, allowed_mismatches=0)\n--\n\n"
     "New API: score MANY models against ONE native, in parallel (model ranking)."},
    {"score_pairs", as_cfunction(score_pairs), kKeywords,
     "score_pairs(pairs, no_align=False, capri_peptide=False, small_molecule=False, mapping=None, "
     "allowed_mismatches=0)\n--\n\n"
     "New API: score arbitrary (model, native) pairs, in parallel."},
    {"version", version, METH_NOARGS, "version()\n--\n\n"},
};

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

bool add_function(PyObject* module, PyObject* module_name, PyMethodDef& def) {
  PyRef function(PyCFunction_NewEx(&def, module, module_name));
  if (!function) return false;
  PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
  return name && add_item(module, name.get(), function.get());
}

int exec_module(PyObject* module) {
  return guarded(-1, [&] {
    PyRef module_type = type_of(module);
    if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(module_type.get()), &PyModule_Type)) {
      raise_not_instance(module, "module");
      return -1;
    }
    PyObject* structure = structure_type();  // borrowed
    PyRef structure_name = new_str("Structure");
    if (!internal_error_type() || !structure || !structure_name ||
        !add_item(module, structure_name.get(), structure))
      return -1;
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef& def : functions)
      if (!add_function(module, module_name.get(), def)) return -1;
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_tarvo_rs", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace tarvo::py

PyMODINIT_FUNC PyInit__tarvo_rs() { return PyModuleDef_Init(&tarvo::py::module_def); }
