#include "results.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace tarvo::py {

namespace {

// Stores `value` under `key` (borrowed); false (exception set) if either could not be made.
bool set_item(PyObject* dict, PyObject* key, PyRef value) {
  return key && value && PyDict_SetItem(dict, key, value.get()) == 0;
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
    if (!set_item(dict.get(), new_str(key).get(), make_value(value))) return {};
  return dict;
}

}  // namespace

ResultKeys::ResultKeys() {
  for (std::size_t index = 0; index < kResultKeys.size(); ++index) {
    PyObject* object = new_str(kResultKeys[index]).release();
    if (!object) return;
    PyUnicode_InternInPlace(&object);
    objects_[index] = PyRef(object);
  }
}

PyRef interface_dict(const InterfaceResult& r, const ResultKeys& keys) {
  PyRef dict(PyDict_New());
  PyObject* d = dict.get();  // borrowed from `dict`
  bool ok = d && set_item(d, keys["Tarvo"], new_float(r.Tarvo)) && set_item(d, keys["F1"], new_float(r.F1)) &&
            set_item(d, keys["iRMSD"], new_float(r.iRMSD)) && set_item(d, keys["LRMSD"], new_float(r.LRMSD)) &&
            set_item(d, keys["fnat"], new_float(r.fnat)) &&
            set_item(d, keys["nat_correct"], new_int(r.nat_correct)) &&
            set_item(d, keys["nat_total"], new_int(r.nat_total)) &&
            set_item(d, keys["fnonnat"], new_float(r.fnonnat)) &&
            set_item(d, keys["nonnat_count"], new_int(r.nonnat_count)) &&
            set_item(d, keys["model_total"], new_int(r.model_total)) &&
            set_item(d, keys["clashes"], new_int(r.clashes)) && set_item(d, keys["len1"], new_int(r.len1)) &&
            set_item(d, keys["len2"], new_int(r.len2)) && set_item(d, keys["class1"], new_str(r.class1)) &&
            set_item(d, keys["class2"], new_str(r.class2)) && set_item(d, keys["chain1"], new_str(r.chain1)) &&
            set_item(d, keys["chain2"], new_str(r.chain2)) &&
            set_item(d, keys["is_het"], new_bool(false));  // hetero interfaces never get this far
  return ok ? std::move(dict) : PyRef();
}

PyRef run_result_dict(const RunResult& r, const ResultKeys& keys) {
  auto interface = [&](const InterfaceResult& result) { return interface_dict(result, keys); };
  PyRef dict(PyDict_New());
  PyObject* d = dict.get();  // borrowed from `dict`
  bool ok = d && set_item(d, keys["model"], new_path_str(r.model)) &&
            set_item(d, keys["native"], new_path_str(r.native)) &&
            set_item(d, keys["best_mapping_str"], new_str(r.best_mapping_str)) &&
            set_item(d, keys["best_tarvo"], new_float(r.best_tarvo)) &&
            set_item(d, keys["GlobalTarvo"], new_float(r.GlobalTarvo)) &&
            set_item(d, keys["best_result"], dict_of(r.best_result, interface)) &&
            set_item(d, keys["best_mapping"], dict_of(r.best_mapping, new_str)) &&
            set_item(d, keys["missing_interfaces"], list_of(r.missing_interfaces)) &&
            set_item(d, keys["mapping_exact"], new_bool(r.mapping_exact)) &&
            set_item(d, keys["mapping_gap"], new_float(r.mapping_gap));
  return ok ? std::move(dict) : PyRef();
}

PyRef outcome_dict(const BatchOutcome& outcome, const ResultKeys& keys) {
  PyRef dict(PyDict_New());
  PyObject* d = dict.get();  // borrowed from `dict`
  bool ok = d && set_item(d, keys["model"], new_path_str(outcome.model)) &&
            set_item(d, keys["native"], new_path_str(outcome.native)) &&
            (!outcome.model_index ||
             set_item(d, keys["model_index"], PyRef(PyLong_FromSize_t(*outcome.model_index)))) &&
            set_item(d, keys["ok"], new_bool(outcome.result.has_value())) &&
            (outcome.result ? set_item(d, keys["result"], run_result_dict(*outcome.result, keys))
                            : set_item(d, keys["error"], new_path_str(outcome.result.error().message())));
  return ok ? std::move(dict) : PyRef();
}

}  // namespace tarvo::py
