// The line between Python and C++: no C++ exception may reach the
// interpreter. Calls into the library go through `call_library`, which turns
// anything thrown into a CodecError; every module function body runs inside
// `python_entry`, which turns a stray allocation failure in the binding itself
// into MemoryError.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "kvn/error.hpp"
#include "py_support.hpp"

namespace kelvane::binding {

template <class F>
auto call_library(F&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return kvn::other_error(kvn::kOutOfMemory);
  } catch (const std::length_error&) {
    return kvn::other_error(kvn::kOutOfMemory);
  } catch (const std::exception& e) {
    return kvn::other_error(e.what());
  } catch (...) {
    return kvn::other_error("unknown internal error");
  }
}

template <class F>
PyObject* python_entry(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown internal error");
    return nullptr;
  }
}

// A new bytes object holding a copy of `data`.
inline PyObject* bytes_from(const kvn::Bytes& data) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                   static_cast<Py_ssize_t>(data.size()));
}

}  // namespace kelvane::binding
