// Binding a call's arguments to parameter names and converting each argument
// by its kind. Every function returning false has set a Python exception.
#pragma once

#include "py_ref.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "module_state.hpp"

namespace tarvo {
struct Structure;
}

namespace tarvo::py {

// Borrowed references, one per parameter; nullptr for a parameter not given.
struct BoundArgs {
  std::span<const char* const> names;
  std::vector<PyObject*> values;
};

// Binds positional and keyword arguments by the interpreter's usual rules; every
// parameter is positional-or-keyword and the first `required` have no default.
std::optional<BoundArgs> bind_arguments(const char* function, std::span<const char* const> names,
                                        std::size_t required, PyObject* args, PyObject* kwargs);

// TypeError "'{}' object is not an instance of '{}'" (or "'None' is not ...").
void raise_not_instance(PyObject* object, const char* expected);
// Attaches "while processing '{name}'" to the pending exception when it supports notes.
void note_parameter(const char* name);

bool extract_text(PyObject* object, std::string& out);
// A str or os.PathLike, as the bytes the system sees (os.fsencode).
bool extract_path(PyObject* object, std::string& out);
bool extract_optional_text(PyObject* object, std::optional<std::string>& out);
bool extract_flag(PyObject* object, bool& out);
bool extract_count(PyObject* object, std::uint64_t& out);
bool extract_text_list(PyObject* object, std::vector<std::string>& out);
// Any iterable of paths but a str.
bool extract_path_list(PyObject* object, std::vector<std::string>& out);
bool extract_pair_list(PyObject* object, std::vector<std::pair<std::string, std::string>>& out);
bool extract_structure(const ModuleState& state, PyObject* object, const Structure*& out);

// Converts parameter `index` with extract(object, out); one not given keeps the
// default already in `out`. A failure carries the parameter's name as a note.
template <class T, class Extract>
bool convert(const BoundArgs& bound, std::size_t index, Extract extract, T& out) {
  PyObject* value = bound.values[index];  // borrowed
  if (value == nullptr || extract(value, out)) return true;
  note_parameter(bound.names[index]);
  return false;
}

}  // namespace tarvo::py
