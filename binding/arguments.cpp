#include "arguments.hpp"

#include <climits>
#include <string>
#include <vector>

#include "kvn/container.hpp"

namespace kelvane::binding {

namespace {

std::string call_name(const Signature& sig) { return std::string(sig.function) + "()"; }

const char* was_were(std::size_t n) { return n == 1 ? "was" : "were"; }

// Index of the parameter named by the str `name`, or params.size().
std::size_t find_param(const Signature& sig, PyObject* name) {
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, sig.params[i]) == 0) return i;
  }
  return sig.params.size();
}

bool raise_too_many_positional(const Signature& sig, std::size_t given) {
  std::string msg = call_name(sig) + " takes ";
  if (sig.required < sig.params.size()) {
    msg += "from " + std::to_string(sig.required) + " to " + std::to_string(sig.params.size());
  } else {
    msg += std::to_string(sig.params.size());
  }
  msg += " positional arguments but " + std::to_string(given) + " " + was_were(given) + " given";
  raise_error(PyExc_TypeError, msg);
  return false;
}

bool raise_missing(const Signature& sig, PyObject* const* slots) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(sig.params[i]);
  }
  std::string msg = call_name(sig) + " missing " + std::to_string(missing.size()) +
                    " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                    ": ";
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() == 2) {
        msg += " and ";
      } else {
        msg += i + 1 == missing.size() ? ", and " : ", ";
      }
    }
    msg += "'";
    msg += missing[i];
    msg += "'";
  }
  raise_error(PyExc_TypeError, msg);
  return false;
}

// Called with a conversion error pending: a TypeError becomes
// "argument '<param>': <its message>", anything else stays as it is.
bool rewrap_type_error(const char* param) {
  PyRef exc(take_raised_exception());
  if (!exc) return false;
  if (reinterpret_cast<PyObject*>(Py_TYPE(exc.get())) != PyExc_TypeError) {
    restore_raised_exception(exc.release());
    return false;
  }
  PyRef text(PyObject_Str(exc.get()));
  std::string_view message;
  if (!text || !str_to_utf8(text.get(), message)) return false;
  raise_error(PyExc_TypeError, std::string("argument '") + param + "': " + std::string(message));
  return false;
}

// Raises the converters' TypeError "'<type>' object cannot be converted to '<target>'".
bool raise_cannot_convert(PyObject* obj, const char* target) {
  std::string name;
  if (!type_qualname(Py_TYPE(obj), name)) return false;
  raise_error(PyExc_TypeError, "'" + name + "' object cannot be converted to '" + target + "'");
  return false;
}

bool bytes_value(PyObject* obj, kvn::ByteSpan& out) {
  if (!PyType_IsSubtype(Py_TYPE(obj), &PyBytes_Type)) return raise_cannot_convert(obj, "PyBytes");
  const char* data = PyBytes_AsString(obj);
  if (data == nullptr) return false;
  out = kvn::ByteSpan(reinterpret_cast<const std::uint8_t*>(data),
                      static_cast<std::size_t>(PyBytes_Size(obj)));
  return true;
}

bool text_value(PyObject* obj, std::string_view& out) {
  if (!PyType_IsSubtype(Py_TYPE(obj), &PyUnicode_Type))
    return raise_cannot_convert(obj, "PyString");
  return str_to_utf8(obj, out);
}

bool level_value(PyObject* obj, std::optional<std::int32_t>& out) {
  long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) return false;
  // The driver takes a 32-bit level; wider values fail like the
  // interpreter's own narrowing conversions.
  if (value > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "signed integer is greater than maximum");
    return false;
  }
  if (value < INT32_MIN) {
    PyErr_SetString(PyExc_OverflowError, "signed integer is less than minimum");
    return false;
  }
  out = static_cast<std::int32_t>(value);
  return true;
}

// numpy's boolean scalar (numpy.bool_, numpy.bool) counts as a bool.
bool is_numpy_bool_type(PyTypeObject* type, bool& answer) {
  std::string name;
  if (!type_name(type, name)) return false;
  if (name != "bool_" && name != "bool") {
    answer = false;
    return true;
  }
  std::string module;
  if (!type_module_name(type, module)) return false;
  answer = module == "numpy";
  return true;
}

bool bool_value(PyObject* obj, bool& out) {
  if (Py_IS_TYPE(obj, &PyBool_Type)) {
    out = obj == Py_True;
    return true;
  }
  PyTypeObject* type = Py_TYPE(obj);
  bool numpy_bool = false;
  if (!is_numpy_bool_type(type, numpy_bool)) return false;
  if (!numpy_bool) return raise_cannot_convert(obj, "PyBool");
  auto truth = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
  if (truth == nullptr) {
    std::string qualname;
    if (!type_qualname(type, qualname)) return false;
    raise_error(PyExc_TypeError,
                "object of type '" + qualname + "' does not define a '__bool__' conversion");
    return false;
  }
  int value = truth(obj);
  if (value < 0) return false;
  out = value != 0;
  return true;
}

}  // namespace

bool match_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** slots) {
  const std::size_t count = sig.params.size();
  for (std::size_t i = 0; i < count; ++i) slots[i] = nullptr;

  const auto positional = static_cast<std::size_t>(nargs);
  if (positional > count) return raise_too_many_positional(sig, positional);
  for (std::size_t i = 0; i < positional; ++i) slots[i] = args[i];

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    const std::size_t index = find_param(sig, name);
    if (index == count) {
      std::string_view text;
      if (!str_to_utf8(name, text)) return false;
      raise_error(PyExc_TypeError, call_name(sig) + " got an unexpected keyword argument '" +
                                       std::string(text) + "'");
      return false;
    }
    if (slots[index] != nullptr) {
      raise_error(PyExc_TypeError,
                  call_name(sig) + " got multiple values for argument '" + sig.params[index] + "'");
      return false;
    }
    slots[index] = args[nargs + k];
  }

  for (std::size_t i = 0; i < sig.required; ++i) {
    if (slots[i] == nullptr) return raise_missing(sig, slots);
  }
  return true;
}

bool convert_bytes(const char* param, PyObject* obj, kvn::ByteSpan& out) {
  return bytes_value(obj, out) || rewrap_type_error(param);
}

bool convert_text(const char* param, PyObject* obj, std::string_view& out) {
  return text_value(obj, out) || rewrap_type_error(param);
}

bool convert_level(const char* param, PyObject* obj, std::optional<std::int32_t>& out) {
  out.reset();
  if (obj == nullptr || obj == Py_None) return true;
  return level_value(obj, out) || rewrap_type_error(param);
}

bool convert_bool(const char* param, PyObject* obj, bool& out) {
  return bool_value(obj, out) || rewrap_type_error(param);
}

bool parse_mode(std::string_view name, std::uint8_t& mode) {
  std::string lowered;
  if (!lower_text(name, lowered)) return false;
  if (lowered == "max") {
    mode = static_cast<std::uint8_t>(kvn::CompressionMode::Max);
  } else if (lowered == "balanced") {
    mode = static_cast<std::uint8_t>(kvn::CompressionMode::Balanced);
  } else if (lowered == "fast") {
    mode = static_cast<std::uint8_t>(kvn::CompressionMode::Fast);
  } else {
    raise_error(PyExc_ValueError,
                "unknown mode: '" + std::string(name) + "' (expected: fast, balanced, max)");
    return false;
  }
  return true;
}

bool parse_format(std::string_view name, std::uint8_t& format) {
  std::string lowered;
  if (!lower_text(name, lowered)) return false;
  if (lowered.empty() || lowered == "auto" || lowered == "generic") {
    format = kvn::FORMAT_AUTO;
  } else if (lowered == "json") {
    format = static_cast<std::uint8_t>(kvn::FormatHint::Json);
  } else if (lowered == "ndjson" || lowered == "jsonl") {
    format = static_cast<std::uint8_t>(kvn::FormatHint::Ndjson);
  } else {
    raise_error(PyExc_ValueError, "unknown format: '" + std::string(name) +
                                      "' (expected: auto, json, ndjson, generic)");
    return false;
  }
  return true;
}

}  // namespace kelvane::binding
