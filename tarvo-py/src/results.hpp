// Core results as new Python dictionaries, in the key orders callers see.
#pragma once

#include "py_ref.hpp"

#include <array>
#include <cstddef>
#include <string_view>

#include "tarvo/batch.hpp"  // BatchOutcome
#include "tarvo/run.hpp"    // RunResult
#include "tarvo/tarvo.hpp"  // InterfaceResult

namespace tarvo::py {

// The fixed keys of the result dicts.
inline constexpr std::array<std::string_view, 32> kResultKeys = {
    "model", "native", "model_index", "ok", "result", "error", "best_mapping_str", "best_tarvo",
    "GlobalTarvo", "best_result", "best_mapping", "missing_interfaces", "mapping_exact", "mapping_gap",
    "Tarvo", "F1", "iRMSD", "LRMSD", "fnat", "nat_correct", "nat_total", "fnonnat", "nonnat_count",
    "model_total", "clashes", "len1", "len2", "class1", "class2", "chain1", "chain2", "is_het"};

// One of kResultKeys, found by its name when the module is compiled.
struct ResultKey {
  consteval ResultKey(const char* name) : index(0) {  // NOLINT: implicit, from a literal
    while (kResultKeys.at(index) != name) ++index;  // past the end: not a constant, a compile error
  }
  std::size_t index;
};

// The fixed keys, made once per call and interned: every dict of a batch holds
// the same key objects, so no key is made per dict, Python compares keys by
// identity, and marshal (the worker pipes) sends each key once per message.
class ResultKeys {
 public:
  ResultKeys();  // false, with an exception set, when a key could not be made
  explicit operator bool() const { return static_cast<bool>(objects_.back()); }
  PyObject* operator[](ResultKey key) const { return objects_[key.index].get(); }

 private:
  std::array<PyRef, kResultKeys.size()> objects_;  // made in order: the last one made means all were
};

PyRef interface_dict(const InterfaceResult& result, const ResultKeys& keys);
PyRef run_result_dict(const RunResult& result, const ResultKeys& keys);
PyRef outcome_dict(const BatchOutcome& outcome, const ResultKeys& keys);

}  // namespace tarvo::py
