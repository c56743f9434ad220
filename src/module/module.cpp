// Module initialisation: the module object, its four functions and __all__.
#include "module/entry.hpp"
#include "module/errors.hpp"
#include "module/python.hpp"

namespace rust {

namespace {

// The METH_FASTCALL | METH_KEYWORDS functions are stored as PyCFunction, as the
// method table type requires; the interpreter calls them with their real type.
template <auto Fn>
PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Fn));
}

PyMethodDef functions[] = {
    {"forward_int", as_cfunction<entry::forward_int>(), METH_FASTCALL | METH_KEYWORDS,
     "forward_int(x, xp, fp)\n--\n\n"},
    {"forward_float", as_cfunction<entry::forward_float>(), METH_FASTCALL | METH_KEYWORDS,
     "forward_float(x, xp, fp)\n--\n\n"},
    {"inverse_int", as_cfunction<entry::inverse_int>(), METH_FASTCALL | METH_KEYWORDS,
     "inverse_int(f, xp, fp, method=None)\n--\n\n"},
    {"inverse_float", as_cfunction<entry::inverse_float>(), METH_FASTCALL | METH_KEYWORDS,
     "inverse_float(f, xp, fp, method=None)\n--\n\n"},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "rust",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Adds one function to the module and its name to __all__ (made on first need).
void add_function(PyObject* module, PyMethodDef* def) {
    py::Ref name_of_module = py::check(PyUnicode_FromString("rust"));
    py::Ref function = py::check(PyCFunction_NewEx(def, module, name_of_module.get()));
    py::Ref name = py::check(PyObject_GetAttrString(function.get(), "__name__"));
    py::Ref all = py::Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw py::ErrorAlreadySet{};
        }
        PyErr_Clear();
        all = py::check(PyList_New(0));
        py::check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    py::check_status(PyList_Append(all.get(), name.get()));
    py::check_status(PyObject_SetAttr(module, name.get(), function.get()));
}

// Kept for later initialisations in the same process; only a complete module
// is stored, so a failed initialisation is retried from scratch.
PyObject* the_module = nullptr;

PyObject* init() {
    if (the_module != nullptr) {
        Py_INCREF(the_module);
        return the_module;
    }
    return errors::guarded([]() -> PyObject* {
        py::Ref module = py::check(PyModule_Create(&module_def));
        // Some interpreters leave an empty definition docstring unset.
        py::Ref empty = py::check(PyUnicode_FromString(""));
        py::check_status(PyObject_SetAttrString(module.get(), "__doc__", empty.get()));
        for (PyMethodDef& def : functions) {
            add_function(module.get(), &def);
        }
        the_module = module.get();
        Py_INCREF(the_module);
        return module.release();
    });
}

}  // namespace

}  // namespace rust

// PyMODINIT_FUNC gives the C linkage and the export itself.
PyMODINIT_FUNC PyInit_rust(void) { return rust::init(); }
