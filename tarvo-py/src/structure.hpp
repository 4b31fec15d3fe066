// The Python class Structure: an opaque, immutable core Structure made by load_PDB.
#pragma once

#include "py_ref.hpp"

#include "tarvo/model.hpp"
#include "module_state.hpp"

namespace tarvo::py {

// A new class object; each module object makes its own.
PyRef make_structure_type();

// A new Structure object of `module`'s class owning `structure`. The object
// keeps a reference to the module, whose state its methods use.
PyRef wrap_structure(PyObject* module, Structure&& structure);

// The core structure inside `object`, or nullptr when it is not a Structure object.
const Structure* core_structure(const ModuleState& state, PyObject* object);

}  // namespace tarvo::py
