// Argument handling shared by every function of the module: matching the
// fast-call vector and keyword names to a parameter table, the converters of
// each parameter kind, and the mode and format names.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "kvn/bytes.hpp"
#include "py_support.hpp"

namespace kelvane::binding {

// One function's parameters in order; the first `required` have no default.
struct Signature {
  const char* function;  // "compress", used as "compress()" in messages
  std::span<const char* const> params;
  std::size_t required;
};

// Puts each supplied argument (borrowed) into slots[i] for params[i], NULL
// where absent. On a matching error raises TypeError and returns false.
bool match_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** slots);

// Converters. Each returns false with the Python error set; a TypeError is
// re-raised as "argument '<param>': <message>", any other error passes
// unchanged.
bool convert_bytes(const char* param, PyObject* obj, kvn::ByteSpan& out);
bool convert_text(const char* param, PyObject* obj, std::string_view& out);
// NULL or None: no level.
bool convert_level(const char* param, PyObject* obj, std::optional<std::int32_t>& out);
bool convert_bool(const char* param, PyObject* obj, bool& out);

// "max", "balanced", "fast" in any case; otherwise raises ValueError.
bool parse_mode(std::string_view name, std::uint8_t& mode);
// The format argument of compress: a FormatHint value or FORMAT_AUTO;
// otherwise raises ValueError.
bool parse_format(std::string_view name, std::uint8_t& format);

}  // namespace kelvane::binding
