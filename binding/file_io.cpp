#include "file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace kelvane::binding::fileio {

namespace {

constexpr std::size_t kProbeSize = 32;
constexpr std::size_t kMinStep = 64 * 1024;

kvn::CodecError os_error(int err) { return kvn::other_error(os_error_text(err)); }

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

FileId id_of(const struct stat& st) { return FileId{st.st_dev, st.st_ino}; }

void close_quietly(int fd) {
  if (fd >= 0) ::close(fd);
}

// read(2) retried on EINTR; -1 with errno set on failure.
ssize_t read_some(int fd, std::uint8_t* dst, std::size_t n) {
  n = std::min<std::size_t>(n, SSIZE_MAX);
  for (;;) {
    const ssize_t got = ::read(fd, dst, n);
    if (got >= 0 || errno != EINTR) return got;
  }
}

// The folder of `path` ("." when it names none).
std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string os_error_text(int err) {
  char buf[256];
  // GNU strerror_r: returns the description, in `buf` or a static string.
  const char* text = ::strerror_r(err, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

kvn::Result<WholeFile> read_whole_file(const std::string& path) {
  if (has_nul(path)) return kvn::other_error(kNulInPath);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return os_error(errno);
  struct Closer {
    int fd;
    ~Closer() { close_quietly(fd); }
  } closer{fd};

  struct stat st {};
  if (::fstat(fd, &st) != 0) return os_error(errno);
  WholeFile file;
  file.id = id_of(st);
  if (S_ISREG(st.st_mode) && st.st_size > 0)
    file.data.reserve(static_cast<std::size_t>(st.st_size));

  for (;;) {
    kvn::Bytes& data = file.data;
    if (data.size() == data.capacity()) {
      // Probe before growing, so a file read to its exact size does not
      // double the buffer just to meet the end.
      std::uint8_t probe[kProbeSize];
      const ssize_t got = read_some(fd, probe, sizeof probe);
      if (got < 0) return os_error(errno);
      if (got == 0) break;
      data.insert(data.end(), probe, probe + got);
      continue;
    }
    const std::size_t old = data.size();
    data.resize(data.capacity());
    const ssize_t got = read_some(fd, data.data() + old, data.size() - old);
    if (got < 0) {
      const int err = errno;
      data.resize(old);
      return os_error(err);
    }
    data.resize(old + static_cast<std::size_t>(got));
    if (got == 0) break;
  }
  return file;
}

// ---------------------------------------------------------------------------

InputStream::InputStream(int fd, FileId id, std::uint64_t size_hint) noexcept
    : fd_(fd), id_(id), remaining_hint_(size_hint) {}

InputStream::InputStream(InputStream&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      id_(other.id_),
      remaining_hint_(other.remaining_hint_),
      pos_(other.pos_),
      end_(other.end_) {
  std::memcpy(buffer_, other.buffer_, end_);
}

InputStream::~InputStream() { close_quietly(fd_); }

kvn::Result<InputStream> InputStream::open(const std::string& path) {
  if (has_nul(path)) return kvn::other_error(kNulInPath);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return os_error(errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    close_quietly(fd);
    return os_error(err);
  }
  const std::uint64_t hint = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
  return InputStream(fd, id_of(st), hint);
}

kvn::Status InputStream::fill_buffer() {
  const ssize_t got = read_some(fd_, buffer_, sizeof buffer_);
  if (got < 0) return os_error(errno);
  KVN_RETURN_ERROR_IF(got == 0, UnexpectedEof, kShortFile);
  pos_ = 0;
  end_ = static_cast<std::size_t>(got);
  return {};
}

kvn::Status InputStream::read_raw(std::uint8_t* dst, std::size_t n) {
  while (n > 0) {
    if (pos_ == end_) {
      if (n >= sizeof buffer_) {
        // Large reads bypass the buffer.
        const ssize_t got = read_some(fd_, dst, n);
        if (got < 0) return os_error(errno);
        KVN_RETURN_ERROR_IF(got == 0, UnexpectedEof, kShortFile);
        dst += got;
        n -= static_cast<std::size_t>(got);
        continue;
      }
      KVN_RETURN_IF_ERROR(fill_buffer());
    }
    const std::size_t take = std::min(n, end_ - pos_);
    std::memcpy(dst, buffer_ + pos_, take);
    pos_ += take;
    dst += take;
    n -= take;
  }
  return {};
}

kvn::Status InputStream::read_exact(kvn::Bytes& out, std::size_t n) {
  out.clear();
  // The first step is what the file is known to hold; later steps double
  // what was actually read, so memory follows the data, not the declaration.
  std::size_t step = static_cast<std::size_t>(
      std::min<std::uint64_t>(n, std::max<std::uint64_t>(remaining_hint_, kBufferSize)));
  while (out.size() < n) {
    step = std::min(step, n - out.size());
    const std::size_t old = out.size();
    out.resize(old + step);
    kvn::Status status = read_raw(out.data() + old, step);
    if (!status) {
      out.clear();
      out.shrink_to_fit();
      return status;
    }
    step = std::max(out.size(), kMinStep);
  }
  remaining_hint_ -= std::min<std::uint64_t>(remaining_hint_, n);
  return {};
}

// ---------------------------------------------------------------------------

OutputFile::OutputFile(int fd, std::string temp_path, std::string final_path) noexcept
    : fd_(fd), temp_path_(std::move(temp_path)), final_path_(std::move(final_path)) {}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      temp_path_(std::move(other.temp_path_)),
      final_path_(std::move(other.final_path_)),
      used_(std::exchange(other.used_, 0)) {
  other.temp_path_.clear();
  std::memcpy(buffer_, other.buffer_, used_);
}

OutputFile::~OutputFile() {
  close_quietly(fd_);
  if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
}

kvn::Result<OutputFile> OutputFile::create(const std::string& path, const FileId& replacing) {
  if (has_nul(path)) return kvn::other_error(kNulInPath);

  struct stat existing {};
  const bool same_file = ::stat(path.c_str(), &existing) == 0 && existing.st_dev == replacing.dev &&
                         existing.st_ino == replacing.ino;
  if (!same_file) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return os_error(errno);
    return OutputFile(fd, std::string(), std::string());
  }

  // Replacing the input: write beside the real file (through any symlink)
  // and rename over it once everything is written.
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return os_error(errno);
  std::string target(resolved);
  std::free(resolved);
  std::string temp = folder_of(target) + "/." + base_of(target) + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return os_error(errno);
  OutputFile file(fd, temp, target);
  if (::fchmod(fd, existing.st_mode & 07777) != 0) return os_error(errno);
  return file;
}

kvn::Status OutputFile::write_all(const std::uint8_t* data, std::size_t n) {
  while (n > 0) {
    const ssize_t put = ::write(fd_, data, std::min<std::size_t>(n, SSIZE_MAX));
    if (put < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    KVN_RETURN_ERROR_IF(put == 0, Other, "failed to write whole buffer");
    data += put;
    n -= static_cast<std::size_t>(put);
  }
  return {};
}

kvn::Status OutputFile::write(kvn::ByteSpan data) {
  if (data.empty()) return {};
  if (data.size() > sizeof buffer_ - used_) KVN_RETURN_IF_ERROR(flush());
  if (data.size() >= sizeof buffer_) return write_all(data.data(), data.size());
  std::memcpy(buffer_ + used_, data.data(), data.size());
  used_ += data.size();
  return {};
}

kvn::Status OutputFile::flush() {
  const std::size_t n = std::exchange(used_, 0);
  return write_all(buffer_, n);
}

kvn::Status OutputFile::commit() {
  KVN_RETURN_IF_ERROR(flush());
  if (!temp_path_.empty() && ::fsync(fd_) != 0) return os_error(errno);
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0) return os_error(errno);
  if (!temp_path_.empty()) {
    if (::rename(temp_path_.c_str(), final_path_.c_str()) != 0) return os_error(errno);
    temp_path_.clear();
  }
  return {};
}

}  // namespace kelvane::binding::fileio
