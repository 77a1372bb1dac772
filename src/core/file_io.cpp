#include "file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

namespace csv_mendle {

namespace {

// The path as the NUL-terminated text the system calls take.  A path with a
// NUL inside would be cut short there and name another file, so it is
// refused before any system call sees it.
Result<std::string> system_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return MendleError::of(MendleError::Cause::NulInPath);
  }
  return std::string(path);
}

Result<UniqueFd> open_path(std::string_view path, int flags, mode_t mode) {
  Result<std::string> name = system_path(path);
  if (!name) return name.error();
  int fd;
  do {
    fd = ::open(name.value().c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return MendleError::from_errno(errno);
  return UniqueFd(fd);
}

// Writes all of `data`, repeating interrupted writes, in calls of at most
// kMaxWriteCall bytes.  On failure `written` tells how much was accepted.
// A write that accepts nothing fails with `refused`, so that a file that
// takes no more bytes cannot make this spin.
Status write_all(int fd, BufferedWriter::WriteCall write_call, const char* data,
                 std::size_t size, std::size_t& written, MendleError::Cause refused) {
  written = 0;
  while (written < size) {
    const std::size_t piece = std::min(size - written, BufferedWriter::kMaxWriteCall);
    const ssize_t n = write_call(fd, data + written, piece);
    if (n < 0) {
      if (errno == EINTR) continue;
      return MendleError::from_errno(errno);
    }
    if (n == 0) return MendleError::of(refused);
    written += static_cast<std::size_t>(n);
  }
  return success();
}

}  // namespace

void UniqueFd::reset(int fd) noexcept {
  // On Linux close() releases the descriptor even when it fails (EINTR
  // included), so it is never repeated.
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

Status UniqueFd::close() noexcept {
  if (fd_ < 0) return success();
  const int fd = release();
  if (::close(fd) != 0) return MendleError::from_errno(errno);
  return success();
}

Result<UniqueFd> open_for_reading(std::string_view path) {
  return open_path(path, O_RDONLY, 0);
}

Result<UniqueFd> create_for_writing(std::string_view path) {
  return open_path(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
}

Result<ByteBuffer> read_whole_file(std::string_view path) {
  Result<UniqueFd> file = open_for_reading(path);
  if (!file) return file.error();
  return read_all(file.value().get());
}

std::size_t file_size_hint(int fd) noexcept {
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) return 0;
  return static_cast<std::size_t>(info.st_size);
}

Result<std::size_t> read_up_to(int fd, char* out, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, out + got, size - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return MendleError::from_errno(errno);
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

Result<ByteBuffer> read_all(int fd, std::string_view head) {
  constexpr std::size_t kFirstChunk = 64 * 1024;
  constexpr std::size_t kMostAddressable = SIZE_MAX / 2;
  const auto out_of_memory = MendleError::of(MendleError::Cause::OutOfMemory);
  // One byte beyond the expected size lets the read that meets end of file
  // find room without growing the buffer.
  // The head counts in the file's size, which was taken before it was read.
  const std::size_t hint = file_size_hint(fd);
  if (hint >= kMostAddressable) return out_of_memory;
  ByteBuffer buffer;
  // Memory for the whole input is the file's own failure, reported as the
  // file operations report theirs.
  try {
    buffer.reserve(std::max(hint == 0 ? kFirstChunk : hint + 1, head.size() + 1));
  } catch (const std::bad_alloc&) {
    return out_of_memory;
  }
  if (!head.empty()) std::memcpy(buffer.data(), head.data(), head.size());
  buffer.set_size(head.size());
  for (;;) {
    if (buffer.size() == buffer.capacity()) {
      if (buffer.capacity() >= kMostAddressable) return out_of_memory;
      try {
        buffer.reserve(buffer.capacity() * 2);
      } catch (const std::bad_alloc&) {
        return out_of_memory;
      }
    }
    const ssize_t n = ::read(fd, buffer.data() + buffer.size(), buffer.capacity() - buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return MendleError::from_errno(errno);
    }
    if (n == 0) break;
    buffer.set_size(buffer.size() + static_cast<std::size_t>(n));
  }
  return buffer;
}

Result<ByteBuffer> copy_all(std::string_view bytes) {
  try {
    ByteBuffer copy(std::max<std::size_t>(bytes.size(), 1));
    if (!bytes.empty()) std::memcpy(copy.data(), bytes.data(), bytes.size());
    copy.set_size(bytes.size());
    return copy;
  } catch (const std::bad_alloc&) {
    return MendleError::of(MendleError::Cause::OutOfMemory);
  }
}

BufferedWriter::BufferedWriter(UniqueFd fd, WriteCall write_call, std::size_t capacity)
    : fd_(std::move(fd)),
      write_call_(write_call ? write_call : &::write),
      capacity_(capacity == 0 ? 1 : capacity),
      buffer_(std::make_unique_for_overwrite<char[]>(capacity_)) {}

BufferedWriter::~BufferedWriter() { write_out_ignoring_errors(); }

Status BufferedWriter::flush() {
  std::size_t written = 0;
  Status status = write_all(fd_.get(), write_call_, buffer_.get(), size_, written,
                            MendleError::Cause::WriteBuffered);
  // What was accepted leaves the buffer; the rest stays for a later attempt.
  if (written > 0) {
    std::memmove(buffer_.get(), buffer_.get() + written, size_ - written);
    size_ -= written;
  }
  return status;
}

Status BufferedWriter::write_line_past_room(std::string_view line) {
  if (line.size() > capacity_ - size_) {
    Status flushed = flush();
    if (!flushed) return flushed;
  }
  if (line.size() >= capacity_) {
    std::size_t written = 0;
    return write_all(fd_.get(), write_call_, line.data(), line.size(), written,
                     MendleError::Cause::WriteWhole);
  }
  std::memcpy(buffer_.get() + size_, line.data(), line.size());
  size_ += line.size();
  return success();
}

Status BufferedWriter::write_line(std::string_view body, char end) {
  const std::size_t size = body.size() + 1;
  if (size >= capacity_) {
    // Rare: a long line goes out in one piece, as write_line(line) does it.
    std::string line;
    line.reserve(size);
    line.append(body);
    line.push_back(end);
    return write_line(line);
  }
  if (size > capacity_ - size_) {
    Status flushed = flush();
    if (!flushed) return flushed;
  }
  if (!body.empty()) std::memcpy(buffer_.get() + size_, body.data(), body.size());
  buffer_[size_ + body.size()] = end;
  size_ += size;
  return success();
}

Status BufferedWriter::close() {
  write_out_ignoring_errors();
  return fd_.close();
}

void BufferedWriter::write_out_ignoring_errors() noexcept {
  if (fd_ && size_ > 0) {
    std::size_t written = 0;
    (void)write_all(fd_.get(), write_call_, buffer_.get(), size_, written,
                    MendleError::Cause::WriteBuffered);
    size_ = 0;
  }
}

}  // namespace csv_mendle
