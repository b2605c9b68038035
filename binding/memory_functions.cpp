// compress, decompress, info and detect_format: the functions on bytes in
// memory. Each converts its arguments first, then makes one call into the
// library on plain C++ values, then builds the Python result.

// Python.h comes first, as the interpreter requires.
#include "py_support.hpp"

#include <optional>
#include <string>

#include "arguments.hpp"
#include "boundary.hpp"
#include "codec/codec.hpp"
#include "functions.hpp"
#include "kvn/container.hpp"

namespace kelvane::binding {

namespace {

constexpr const char* kCompressParams[] = {"data", "mode", "format", "level", "turbo"};
constexpr const char* kDataParam[] = {"data"};

constexpr Signature kCompress{"compress", kCompressParams, 1};
constexpr Signature kDecompress{"decompress", kDataParam, 1};
constexpr Signature kInfo{"info", kDataParam, 1};
constexpr Signature kDetectFormat{"detect_format", kDataParam, 1};

std::string with_prefix(const char* prefix, const kvn::CodecError& error) {
  return std::string(prefix) + error.what();
}

// The library side of compress. A turbo call always builds a "fast"
// container and leaves the level to the turbo join.
kvn::Result<kvn::Bytes> compress_bytes(kvn::ByteSpan data, std::uint8_t mode, std::uint8_t format,
                                       std::optional<std::int32_t> level, bool turbo) {
  return call_library([&]() -> kvn::Result<kvn::Bytes> {
    kvn::Bytes sink;
    if (turbo) {
      mode = static_cast<std::uint8_t>(kvn::CompressionMode::Fast);
      level.reset();
    }
    KVN_RETURN_IF_ERROR(codec::compress_with_all_options(data, mode, format, level, turbo, sink));
    return sink;
  });
}

// The header checks of the reader, then the extent of the metadata section;
// the payload is not looked at.
kvn::Result<codec::ContainerHeader> read_info(kvn::ByteSpan data) {
  return call_library([&]() -> kvn::Result<codec::ContainerHeader> {
    KVN_ASSIGN_OR_RETURN(codec::ContainerHeader header, codec::read_header(data));
    KVN_RETURN_ERROR_IF(data.size() - kvn::HEADER_SIZE < header.section_length(), UnexpectedEof,
                        "failed to fill whole buffer");
    return header;
  });
}

bool set_item(PyObject* dict, const char* key, PyObject* owned_value) {
  PyRef value(owned_value);
  if (!value) return false;
  PyRef name(PyUnicode_FromString(key));
  return name && PyDict_SetItem(dict, name.get(), value.get()) == 0;
}

PyObject* str_from(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* info_dict(const codec::ContainerHeader& header) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  const bool brotli = (header.flags & kvn::FLAG_BROTLI) != 0;
  if (!set_item(dict.get(), "mode", str_from(kvn::mode_name(header.mode))) ||
      !set_item(dict.get(), "format", str_from(kvn::format_name(header.format))) ||
      !set_item(dict.get(), "original_size", PyLong_FromUnsignedLongLong(header.original_size)) ||
      !set_item(dict.get(), "compressed_size",
                PyLong_FromUnsignedLongLong(header.compressed_size)) ||
      !set_item(dict.get(), "crc32", PyLong_FromUnsignedLongLong(header.crc32)) ||
      !set_item(dict.get(), "entropy_coder", str_from(brotli ? "brotli" : "zstd"))) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace

PyObject* py_compress(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return python_entry([&]() -> PyObject* {
    PyObject* slot[5];
    if (!match_arguments(kCompress, args, nargs, kwnames, slot)) return nullptr;
    kvn::ByteSpan data;
    std::string_view mode_text = "fast";
    std::string_view format_text = "auto";
    std::optional<std::int32_t> level;
    bool turbo = false;
    if (!convert_bytes("data", slot[0], data)) return nullptr;
    if (slot[1] != nullptr && !convert_text("mode", slot[1], mode_text)) return nullptr;
    if (slot[2] != nullptr && !convert_text("format", slot[2], format_text)) return nullptr;
    if (!convert_level("level", slot[3], level)) return nullptr;
    if (slot[4] != nullptr && !convert_bool("turbo", slot[4], turbo)) return nullptr;

    std::uint8_t mode = 0;
    std::uint8_t format = 0;
    if (!parse_mode(mode_text, mode) || !parse_format(format_text, format)) return nullptr;

    kvn::Result<kvn::Bytes> container = compress_bytes(data, mode, format, level, turbo);

    if (!container)
      return raise_error(PyExc_ValueError, with_prefix("compression failed: ", container.error()));
    return bytes_from(*container);
  });
}

PyObject* py_decompress(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return python_entry([&]() -> PyObject* {
    PyObject* slot[1];
    kvn::ByteSpan data;
    if (!match_arguments(kDecompress, args, nargs, kwnames, slot) ||
        !convert_bytes("data", slot[0], data)) {
      return nullptr;
    }

    kvn::Result<kvn::Bytes> restored = call_library(
        [&]() -> kvn::Result<kvn::Bytes> { return codec::decompress_from_slice(data); });

    if (!restored)
      return raise_error(PyExc_ValueError, with_prefix("decompression failed: ", restored.error()));
    return bytes_from(*restored);
  });
}

PyObject* py_info(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return python_entry([&]() -> PyObject* {
    PyObject* slot[1];
    kvn::ByteSpan data;
    if (!match_arguments(kInfo, args, nargs, kwnames, slot) ||
        !convert_bytes("data", slot[0], data)) {
      return nullptr;
    }

    kvn::Result<codec::ContainerHeader> header = read_info(data);

    if (!header)
      return raise_error(PyExc_ValueError, with_prefix("invalid .kvn data: ", header.error()));
    return info_dict(*header);
  });
}

PyObject* py_detect_format(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return python_entry([&]() -> PyObject* {
    PyObject* slot[1];
    kvn::ByteSpan data;
    if (!match_arguments(kDetectFormat, args, nargs, kwnames, slot) ||
        !convert_bytes("data", slot[0], data)) {
      return nullptr;
    }

    const kvn::FormatHint hint = codec::auto_detect_format(data);

    return str_from(kvn::format_name(hint));
  });
}

}  // namespace kelvane::binding
