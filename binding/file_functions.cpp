// compress_file and decompress_file. Both read and check their whole input
// before the output is opened, so the output may name the input: compression
// runs into memory before the output is created, and an output that is the
// input itself is written to a temporary file and renamed into place.

// Python.h comes first, as the interpreter requires.
#include "py_support.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "arguments.hpp"
#include "boundary.hpp"
#include "codec/codec.hpp"
#include "file_io.hpp"
#include "functions.hpp"
#include "kvn/container.hpp"

namespace kelvane::binding {

namespace {

constexpr const char* kCompressFileParams[] = {"input_path", "output_path", "mode", "level",
                                               "turbo"};
constexpr const char* kDecompressFileParams[] = {"input_path", "output_path"};

constexpr Signature kCompressFile{"compress_file", kCompressFileParams, 2};
constexpr Signature kDecompressFile{"decompress_file", kDecompressFileParams, 2};

// Which message a failure of a file call is reported under.
enum class FileStep { Read, Create, Compress, Flush, Open, Decompress, Write };

struct FileFailure {
  FileStep step;
  kvn::CodecError error;
};

using FileOutcome = std::optional<FileFailure>;

FileFailure failed(FileStep step, kvn::CodecError error) { return {step, std::move(error)}; }

std::nullptr_t raise_file_failure(const FileFailure& failure, const std::string& input_path,
                                  const std::string& output_path) {
  const std::string& text = failure.error.what();
  switch (failure.step) {
    case FileStep::Read:
      return raise_error(PyExc_ValueError, "cannot read '" + input_path + "': " + text);
    case FileStep::Create:
      return raise_error(PyExc_ValueError, "cannot create '" + output_path + "': " + text);
    case FileStep::Compress:
      return raise_error(PyExc_ValueError, "compression failed: " + text);
    case FileStep::Flush:
      return raise_error(PyExc_ValueError, "flush failed: " + text);
    case FileStep::Open:
      return raise_error(PyExc_ValueError, "cannot open '" + input_path + "': " + text);
    case FileStep::Decompress:
      return raise_error(PyExc_ValueError, "decompression failed: " + text);
    case FileStep::Write:
      return raise_error(PyExc_ValueError, "cannot write '" + output_path + "': " + text);
  }
  return raise_error(PyExc_SystemError, "unknown file step");
}

// Compresses the input held in memory, then writes the container: header
// and metadata section gathered in the writer's buffer, the payload after.
FileOutcome compress_to_file(const fileio::WholeFile& input, const std::string& output_path,
                             std::uint8_t mode, std::optional<std::int32_t> level, bool turbo) {
  const kvn::ByteSpan data(input.data);
  const auto hint = static_cast<std::uint8_t>(codec::auto_detect_format(data));
  kvn::Bytes container;
  kvn::Status compressed = call_library([&]() -> kvn::Status {
    return codec::compress_with_all_options(data, mode, hint, level, turbo, container);
  });
  if (!compressed) return failed(FileStep::Compress, compressed.error());

  kvn::Result<fileio::OutputFile> created = fileio::OutputFile::create(output_path, input.id);
  if (!created) return failed(FileStep::Create, created.error());
  fileio::OutputFile& out = *created;

  const kvn::ByteSpan all(container);
  const std::size_t head = std::min(all.size(), kvn::HEADER_SIZE);
  std::size_t section = 0;
  if (kvn::Result<codec::ContainerHeader> parsed = codec::read_header(all); parsed.ok()) {
    section = std::min<std::size_t>(parsed->section_length(), all.size() - head);
  }
  for (kvn::ByteSpan piece :
       {all.first(head), all.subspan(head, section), all.subspan(head + section)}) {
    kvn::Status written = out.write(piece);
    if (!written) return failed(FileStep::Compress, written.error());
  }
  kvn::Status committed = out.commit();
  if (!committed) return failed(FileStep::Flush, committed.error());
  return std::nullopt;
}

// Reads header, metadata section and payload, each exactly as long as the
// header declares; bytes after the payload are never read.
kvn::Result<kvn::Bytes> read_and_decode(fileio::InputStream& in) {
  kvn::Bytes head;
  KVN_RETURN_IF_ERROR(in.read_exact(head, kvn::HEADER_SIZE));
  KVN_ASSIGN_OR_RETURN(const codec::ContainerHeader header, codec::read_header(head));
  kvn::Bytes section;
  KVN_RETURN_IF_ERROR(in.read_exact(section, header.section_length()));
  kvn::Bytes payload;
  KVN_RETURN_IF_ERROR(in.read_exact(payload, header.payload_length()));
  return codec::decompress_with_model(header, section, payload);
}

FileOutcome decompress_to_file(const std::string& input_path, const std::string& output_path) {
  kvn::Result<fileio::InputStream> opened = fileio::InputStream::open(input_path);
  if (!opened) return failed(FileStep::Open, opened.error());

  kvn::Result<kvn::Bytes> restored = read_and_decode(*opened);
  if (!restored) return failed(FileStep::Decompress, restored.error());

  kvn::Result<fileio::OutputFile> created = fileio::OutputFile::create(output_path, opened->id());
  if (!created) return failed(FileStep::Write, created.error());
  kvn::Status written = created->write(*restored);
  if (written) written = created->commit();
  if (!written) return failed(FileStep::Write, written.error());
  return std::nullopt;
}

}  // namespace

PyObject* py_compress_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return python_entry([&]() -> PyObject* {
    PyObject* slot[5];
    if (!match_arguments(kCompressFile, args, nargs, kwnames, slot)) return nullptr;
    std::string_view input_text;
    std::string_view output_text;
    std::string_view mode_text = "fast";
    std::optional<std::int32_t> level;
    bool turbo = false;
    if (!convert_text("input_path", slot[0], input_text) ||
        !convert_text("output_path", slot[1], output_text)) {
      return nullptr;
    }
    if (slot[2] != nullptr && !convert_text("mode", slot[2], mode_text)) return nullptr;
    if (!convert_level("level", slot[3], level)) return nullptr;
    if (slot[4] != nullptr && !convert_bool("turbo", slot[4], turbo)) return nullptr;
    const std::string input_path(input_text);
    const std::string output_path(output_text);

    // The input is read before the mode name is checked, so an unreadable
    // input is the error reported.
    kvn::Result<fileio::WholeFile> input = call_library(
        [&]() -> kvn::Result<fileio::WholeFile> { return fileio::read_whole_file(input_path); });
    if (!input)
      return raise_file_failure(failed(FileStep::Read, input.error()), input_path, output_path);

    std::uint8_t mode = 0;
    if (!parse_mode(mode_text, mode)) return nullptr;

    FileOutcome outcome;
    kvn::Status guarded = call_library([&]() -> kvn::Status {
      outcome = compress_to_file(*input, output_path, mode, level, turbo);
      return {};
    });
    if (!guarded) outcome = failed(FileStep::Compress, guarded.error());

    if (outcome) return raise_file_failure(*outcome, input_path, output_path);
    Py_RETURN_NONE;
  });
}

PyObject* py_decompress_file(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return python_entry([&]() -> PyObject* {
    PyObject* slot[2];
    std::string_view input_text;
    std::string_view output_text;
    if (!match_arguments(kDecompressFile, args, nargs, kwnames, slot) ||
        !convert_text("input_path", slot[0], input_text) ||
        !convert_text("output_path", slot[1], output_text)) {
      return nullptr;
    }
    const std::string input_path(input_text);
    const std::string output_path(output_text);

    FileOutcome outcome;
    kvn::Status guarded = call_library([&]() -> kvn::Status {
      outcome = decompress_to_file(input_path, output_path);
      return {};
    });
    if (!guarded) outcome = failed(FileStep::Decompress, guarded.error());

    if (outcome) return raise_file_failure(*outcome, input_path, output_path);
    Py_RETURN_NONE;
  });
}

}  // namespace kelvane::binding
