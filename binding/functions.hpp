// The six module functions, fast call with keywords, bound to the module.
#pragma once

#include "py_support.hpp"

namespace kelvane::binding {

PyObject* py_compress(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_decompress(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
PyObject* py_compress_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* py_decompress_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* py_info(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_detect_format(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

}  // namespace kelvane::binding
