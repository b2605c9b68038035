// Small helpers over the CPython C API: an owning reference, raising an
// exception from UTF-8 text, type names for messages, and the pending
// exception, with the calls of older interpreters behind version checks.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>

namespace kelvane::binding {

// Owns one strong reference and releases it on scope exit, so that a C++
// unwind or an early return never leaks a Python object.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* owned) noexcept : obj_(owned) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept {
    PyObject* obj = obj_;
    obj_ = nullptr;
    return obj;
  }
  void reset(PyObject* owned = nullptr) noexcept {
    PyObject* old = obj_;
    obj_ = owned;
    Py_XDECREF(old);
  }

 private:
  PyObject* obj_ = nullptr;
};

// A new str from UTF-8 text that may hold NUL bytes; undecodable bytes become
// U+FFFD. NULL with the error set when the interpreter cannot build it.
PyObject* text_to_str(std::string_view utf8);

// Raises `type` with the message `utf8`. Always returns nullptr so callers
// can write `return raise_error(...)`.
std::nullptr_t raise_error(PyObject* type, std::string_view utf8);

// Qualified name, plain name and module name of a type as UTF-8; false with
// the Python error set when the interpreter cannot give them.
bool type_qualname(PyTypeObject* type, std::string& out);
bool type_name(PyTypeObject* type, std::string& out);
bool type_module_name(PyTypeObject* type, std::string& out);

// UTF-8 text of a str object (exact str or subclass); false with the Python
// error set (lone surrogates cannot be encoded).
bool str_to_utf8(PyObject* str, std::string_view& out);

// The pending exception as one object (NULL when none), taken out of the
// interpreter, and putting one back; the same on every supported version.
PyObject* take_raised_exception() noexcept;
void restore_raised_exception(PyObject* exc) noexcept;

// Full Unicode lower-casing of UTF-8 text through str.lower; false with the
// Python error set.
bool lower_text(std::string_view utf8, std::string& out);

}  // namespace kelvane::binding
