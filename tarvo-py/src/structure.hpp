// The Python class Structure: an opaque, immutable core Structure made by load_PDB.
#pragma once

#include "py_ref.hpp"

#include "model.hpp"

namespace tarvo::py {

// The class object, created on first use and kept for the life of the process
// (a borrowed reference); nullptr with an exception set if creation fails.
PyObject* structure_type();

// A new Structure object owning `structure`.
PyRef wrap_structure(Structure&& structure);

// The core structure inside `object`, or nullptr when it is not a Structure object.
const Structure* core_structure(PyObject* object);

}  // namespace tarvo::py
