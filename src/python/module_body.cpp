#include "module_body.hpp"

#include "owned_ref.hpp"

namespace csv_mendle::python {

int require_module(PyObject* module) {
  if (PyModule_Check(module)) return 0;
  OwnedRef name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(module)));
  if (name) {
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'module'", name.get());
  }
  return -1;
}

int add_function(PyObject* module, PyMethodDef& definition) {
  OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  OwnedRef function =
      OwnedRef::steal(PyCMethod_New(&definition, module, module_name.get(), nullptr));
  if (!function) return -1;
  return PyModule_AddObjectRef(module, definition.ml_name, function.get());
}

int add_type(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return -1;
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

int add_text(PyObject* module, const char* name, const char* text) {
  OwnedRef value = OwnedRef::steal(PyUnicode_FromString(text));
  if (!value) return -1;
  return PyModule_AddObjectRef(module, name, value.get());
}

int add_public_names(PyObject* module, std::span<const char* const> names) {
  OwnedRef list = OwnedRef::steal(PyList_New(0));
  if (!list) return -1;
  for (const char* name : names) {
    OwnedRef text = OwnedRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(list.get(), text.get()) < 0) return -1;
  }
  return PyModule_AddObjectRef(module, "__all__", list.get());
}

}  // namespace csv_mendle::python
