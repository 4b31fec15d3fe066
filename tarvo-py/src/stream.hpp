// iter_score_one_vs_many and the iterator it returns: the module's pool scores
// the models in the background while Python takes their outcomes as they come.
#pragma once

#include "py_ref.hpp"

namespace tarvo::py {

// A new class object for the iterators; each module object makes its own.
PyRef make_outcome_stream_type();

PyObject* iter_score_one_vs_many(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace tarvo::py
