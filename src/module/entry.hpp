// The four entry points, with the METH_FASTCALL | METH_KEYWORDS signature.
#pragma once

#include "module/python.hpp"

namespace rust::entry {

PyObject* forward_int(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* forward_float(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* inverse_int(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* inverse_float(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace rust::entry
