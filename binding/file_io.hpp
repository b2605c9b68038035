// The file layer of compress_file and decompress_file: whole-file reads, an
// 8192-byte buffered reader that never reserves more than the file can hold,
// and an 8192-byte buffered writer that replaces a file safely when the
// output is the input itself. No Python here; errors are CodecError values
// whose message is the text the module puts after its prefix.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kvn/bytes.hpp"
#include "kvn/error.hpp"

namespace kelvane::binding::fileio {

inline constexpr std::size_t kBufferSize = 8192;
inline constexpr const char* kNulInPath = "file name contained an unexpected NUL byte";
inline constexpr const char* kShortFile = "failed to fill whole buffer";

// "<system description> (os error <n>)".
std::string os_error_text(int err);

// Identity of an open file, to recognise an output path naming the input.
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
};

struct WholeFile {
  kvn::Bytes data;
  FileId id;
};

// Reads a whole file; the error message is the text for "cannot read".
kvn::Result<WholeFile> read_whole_file(const std::string& path);

// A file read through an 8192-byte buffer.
class InputStream {
 public:
  static kvn::Result<InputStream> open(const std::string& path);
  InputStream(InputStream&& other) noexcept;
  InputStream& operator=(InputStream&&) = delete;
  ~InputStream();

  // Reads exactly `n` bytes into `out` (replacing its content). The buffer
  // grows with the bytes actually read, so a declared length the file does
  // not hold fails with "failed to fill whole buffer" without reserving it.
  kvn::Status read_exact(kvn::Bytes& out, std::size_t n);
  const FileId& id() const noexcept { return id_; }

 private:
  InputStream(int fd, FileId id, std::uint64_t size_hint) noexcept;
  kvn::Status read_raw(std::uint8_t* dst, std::size_t n);
  kvn::Status fill_buffer();

  int fd_ = -1;
  FileId id_;
  std::uint64_t remaining_hint_ = 0;  // bytes the file held beyond what was consumed
  std::uint8_t buffer_[kBufferSize];
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
};

// An output file written through an 8192-byte buffer. When the path names
// the file `replacing` identifies, the bytes go to a temporary file in the
// same folder that `commit` renames into place, so a failed write never
// leaves that file half overwritten.
class OutputFile {
 public:
  // Creates (truncates) the output; the message is the text for "cannot create".
  static kvn::Result<OutputFile> create(const std::string& path, const FileId& replacing);
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;
  ~OutputFile();

  kvn::Status write(kvn::ByteSpan data);
  // Writes out the buffered bytes.
  kvn::Status flush();
  // Flushes, closes (a failing close is an error) and, for a temporary file,
  // renames it over the target.
  kvn::Status commit();

 private:
  OutputFile(int fd, std::string temp_path, std::string final_path) noexcept;
  kvn::Status write_all(const std::uint8_t* data, std::size_t n);

  int fd_ = -1;
  std::string temp_path_;   // empty when writing the target directly
  std::string final_path_;  // rename target of a temporary file
  std::uint8_t buffer_[kBufferSize];
  std::size_t used_ = 0;
};

}  // namespace kelvane::binding::fileio
