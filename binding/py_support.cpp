#include "py_support.hpp"

namespace kelvane::binding {

PyObject* text_to_str(std::string_view utf8) {
  return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace");
}

std::nullptr_t raise_error(PyObject* type, std::string_view utf8) {
  PyRef message(text_to_str(utf8));
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

bool str_to_utf8(PyObject* str, std::string_view& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

namespace {

bool name_object_to_utf8(PyObject* owned_name, std::string& out) {
  PyRef name(owned_name);
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    PyErr_SetString(PyExc_TypeError, "type name is not a str");
    return false;
  }
  std::string_view text;
  if (!str_to_utf8(name.get(), text)) return false;
  out.assign(text);
  return true;
}

}  // namespace

bool type_qualname(PyTypeObject* type, std::string& out) {
  return name_object_to_utf8(PyType_GetQualName(type), out);
}

bool type_name(PyTypeObject* type, std::string& out) {
  return name_object_to_utf8(PyType_GetName(type), out);
}

bool type_module_name(PyTypeObject* type, std::string& out) {
#if PY_VERSION_HEX >= 0x030D0000
  return name_object_to_utf8(PyType_GetModuleName(type), out);
#else
  // What PyType_GetModuleName reads on newer interpreters: the type's
  // __module__ (the dict entry for heap types, the tp_name prefix otherwise).
  return name_object_to_utf8(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"), out);
#endif
}

PyObject* take_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

void restore_raised_exception(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  if (exc == nullptr) return;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Py_INCREF(type);
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

bool lower_text(std::string_view utf8, std::string& out) {
  // An exact str, so no subclass can change what lower() does.
  PyRef str(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict"));
  if (!str) return false;
  PyRef lowered(PyObject_CallMethod(str.get(), "lower", nullptr));
  if (!lowered) return false;
  std::string_view text;
  if (!str_to_utf8(lowered.get(), text)) return false;
  out.assign(text);
  return true;
}

}  // namespace kelvane::binding
