#include "structure.hpp"

#include <string>

#include "tarvo/error.hpp"  // quoted, quoted_list
#include "convert.hpp"
#include "errors.hpp"

namespace tarvo::py {

namespace {

struct PyStructure {
  PyObject_HEAD
  Structure* structure;  // owned; null only while the object is being made
  PyObject* module;      // strong reference to the module that made the object
};

PyStructure& as_structure(PyObject* self) { return *reinterpret_cast<PyStructure*>(self); }
const Structure& held(PyObject* self) { return *as_structure(self).structure; }
const ModuleState& state_of(PyObject* self) { return module_state(as_structure(self).module); }

// Instances come only from load_PDB; calling the class is refused.
PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  PyRef qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
  if (module && qualname)
    PyErr_Format(PyExc_TypeError, "cannot create '%U.%U' instances", module.get(), qualname.get());
  return nullptr;
}

void dealloc(PyObject* self) {
  delete as_structure(self).structure;
  PyObject* module = as_structure(self).module;
  free_instance(self);
  Py_DecRef(module);
}

PyObject* repr(PyObject* self) {
  return guarded<PyObject*>(state_of(self), nullptr, [&] {
    const Structure& structure = held(self);
    std::string text = "<tarvo_rs.Structure id=" + quoted(structure.id) +
                       " chains=" + quoted_list(structure.chain_ids()) + ">";
    return new_str(text).release();
  });
}

int contains(PyObject* self, PyObject* chain) {
  return guarded(state_of(self), -1, [&] {
    std::string chain_id;
    if (!extract_text(chain, chain_id)) {
      note_parameter("chain");
      return -1;
    }
    return held(self).chain(chain_id) != nullptr ? 1 : 0;
  });
}

PyObject* get_id(PyObject* self, void*) {
  return guarded<PyObject*>(state_of(self), nullptr, [&] { return new_path_str(held(self).id).release(); });
}

PyObject* chain_ids(PyObject* self, PyObject*) {
  return guarded<PyObject*>(state_of(self), nullptr, [&]() -> PyObject* {
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& [id, chain] : held(self).chains) {
      PyRef text = new_str(id);
      if (!text || PyList_Append(list.get(), text.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyGetSetDef getters[] = {
    {"id", get_id, nullptr, "The structure's id: the path given to load_PDB.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"chain_ids", chain_ids, METH_NOARGS, "chain_ids($self)\n--\n\nChain ids in file order."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kDoc =
    "Opaque parsed structure wrapping the core `Structure`: returned by `load_PDB` and accepted by "
    "`run_on_all_native_interfaces`, where callers of that interface pass a Biopython model object.";

PyType_Slot slots[] = {
    {Py_tp_new, slot_function(refuse_new)},
    {Py_tp_dealloc, slot_function(dealloc)},
    {Py_tp_repr, slot_function(repr)},
    {Py_sq_contains, slot_function(contains)},
    {Py_tp_getset, getters},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

// Not a base type, no __dict__, no weak references.
PyType_Spec spec = {"builtins.Structure", sizeof(PyStructure), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyRef make_structure_type() { return PyRef(PyType_FromSpec(&spec)); }

PyRef wrap_structure(PyObject* module, Structure&& structure) {
  auto* type = reinterpret_cast<PyTypeObject*>(module_state(module).structure_type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyRef object(alloc(type, 0));
  if (!object) return {};
  as_structure(object.get()).structure = new Structure(std::move(structure));
  as_structure(object.get()).module = PyRef::from_borrowed(module).release();
  return object;
}

const Structure* core_structure(const ModuleState& state, PyObject* object) {
  PyRef type = type_of(object);
  if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type.get()),
                        reinterpret_cast<PyTypeObject*>(state.structure_type)))
    return nullptr;
  return as_structure(object).structure;
}

}  // namespace tarvo::py
