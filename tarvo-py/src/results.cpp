#include "results.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace tarvo::py {

namespace {

// Stores `value` under `key`; false (exception set) if either could not be made.
bool set_item(PyObject* dict, std::string_view key, PyRef value) {
  if (!value) return false;
  PyRef key_object = new_str(key);
  return key_object && PyDict_SetItem(dict, key_object.get(), value.get()) == 0;
}

PyRef new_float(double value) { return PyRef(PyFloat_FromDouble(value)); }
PyRef new_int(unsigned long long value) { return PyRef(PyLong_FromUnsignedLongLong(value)); }
PyRef new_bool(bool value) { return PyRef(PyBool_FromLong(value)); }

// A new list of `texts`, in order.
PyRef list_of(const std::vector<std::string>& texts) {
  PyRef list(PyList_New(0));
  if (!list) return {};
  for (const auto& text : texts) {
    PyRef item = new_str(text);
    if (!item || PyList_Append(list.get(), item.get()) != 0) return {};
  }
  return list;
}

// A new dict of `map`'s entries in map order, each value made by make_value.
template <class Map, class MakeValue>
PyRef dict_of(const Map& map, MakeValue make_value) {
  PyRef dict(PyDict_New());
  if (!dict) return {};
  for (const auto& [key, value] : map)
    if (!set_item(dict.get(), key, make_value(value))) return {};
  return dict;
}

}  // namespace

PyRef interface_dict(const InterfaceResult& r) {
  PyRef dict(PyDict_New());
  PyObject* d = dict.get();  // borrowed from `dict`
  bool ok = d && set_item(d, "Tarvo", new_float(r.Tarvo)) && set_item(d, "F1", new_float(r.F1)) &&
            set_item(d, "iRMSD", new_float(r.iRMSD)) && set_item(d, "LRMSD", new_float(r.LRMSD)) &&
            set_item(d, "fnat", new_float(r.fnat)) && set_item(d, "nat_correct", new_int(r.nat_correct)) &&
            set_item(d, "nat_total", new_int(r.nat_total)) && set_item(d, "fnonnat", new_float(r.fnonnat)) &&
            set_item(d, "nonnat_count", new_int(r.nonnat_count)) &&
            set_item(d, "model_total", new_int(r.model_total)) && set_item(d, "clashes", new_int(r.clashes)) &&
            set_item(d, "len1", new_int(r.len1)) && set_item(d, "len2", new_int(r.len2)) &&
            set_item(d, "class1", new_str(r.class1)) && set_item(d, "class2", new_str(r.class2)) &&
            set_item(d, "chain1", new_str(r.chain1)) && set_item(d, "chain2", new_str(r.chain2)) &&
            set_item(d, "is_het", new_bool(false));  // hetero interfaces never get this far
  return ok ? std::move(dict) : PyRef();
}

PyRef run_result_dict(const RunResult& r) {
  PyRef dict(PyDict_New());
  PyObject* d = dict.get();  // borrowed from `dict`
  bool ok = d && set_item(d, "model", new_path_str(r.model)) && set_item(d, "native", new_path_str(r.native)) &&
            set_item(d, "best_mapping_str", new_str(r.best_mapping_str)) &&
            set_item(d, "best_tarvo", new_float(r.best_tarvo)) &&
            set_item(d, "GlobalTarvo", new_float(r.GlobalTarvo)) &&
            set_item(d, "best_result", dict_of(r.best_result, interface_dict)) &&
            set_item(d, "best_mapping", dict_of(r.best_mapping, new_str)) &&
            set_item(d, "missing_interfaces", list_of(r.missing_interfaces)) &&
            set_item(d, "mapping_exact", new_bool(r.mapping_exact)) &&
            set_item(d, "mapping_gap", new_float(r.mapping_gap));
  return ok ? std::move(dict) : PyRef();
}

PyRef outcome_dict(const BatchOutcome& outcome) {
  PyRef dict(PyDict_New());
  PyObject* d = dict.get();  // borrowed from `dict`
  bool ok = d && set_item(d, "model", new_path_str(outcome.model)) &&
            set_item(d, "native", new_path_str(outcome.native)) &&
            (!outcome.model_index || set_item(d, "model_index", PyRef(PyLong_FromSize_t(*outcome.model_index)))) &&
            set_item(d, "ok", new_bool(outcome.result.has_value())) &&
            (outcome.result ? set_item(d, "result", run_result_dict(*outcome.result))
                            : set_item(d, "error", new_path_str(outcome.result.error().message())));
  return ok ? std::move(dict) : PyRef();
}

}  // namespace tarvo::py
