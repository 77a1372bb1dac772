// POSIX file access for file repair: descriptors that close themselves,
// opening and creating by path, reading a whole file, and the buffered writer
// through which every output byte reaches its file.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "byte_buffer.hpp"
#include "error.hpp"

namespace csv_mendle {

// Success, or the error of a failed file operation.
using Status = Result<std::monostate>;

inline Status success() { return std::monostate{}; }

// Owns one open file descriptor and closes it on every path.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held (if any), ignoring the outcome, and takes `fd`.
  void reset(int fd = -1) noexcept;
  // Closes the descriptor now and reports a failure of close() itself, which
  // is where some file systems report a write-back error.  The descriptor is
  // released either way.
  Status close() noexcept;

 private:
  int fd_ = -1;
};

// Opens an existing file read-only.
Result<UniqueFd> open_for_reading(std::string_view path);

// Creates `path` write-only, or truncates it to length 0 when it exists; a new
// file gets the permission bits 0666 less the process umask.
Result<UniqueFd> create_for_writing(std::string_view path);

// Reads from `fd` until end of file into one buffer, which starts with
// `head`, the bytes a caller already read from it.  The file size, when the
// descriptor names a regular file, only sizes the first allocation: a file
// that grows or shrinks meanwhile is still read to its end.  When no memory
// can be had to hold it, it fails as OutOfMemory.
Result<ByteBuffer> read_all(int fd, std::string_view head = {});

// The counterpart of read_all for an input already in memory: a copy of
// `bytes` in one buffer, or OutOfMemory.
Result<ByteBuffer> copy_all(std::string_view bytes);

// The size of the file open as `fd` when it is a regular file, else 0.
std::size_t file_size_hint(int fd) noexcept;

// Up to `size` bytes read from `fd` into `out`, fewer only at end of file
// (interrupted and short reads repeated): how many.
Result<std::size_t> read_up_to(int fd, char* out, std::size_t size);

// Opens the file at `path` and reads all of it (a path with a NUL byte fails
// before any system call).
Result<ByteBuffer> read_whole_file(std::string_view path);

// Collects lines in a buffer of `capacity()` bytes and hands them to the
// operating system in writes of about that size, so that the number of
// system writes does not grow with the number of lines.
//
// Errors are reported by `write_line` and `flush`.  A writer that is closed or
// destroyed with bytes still buffered (after a failure) makes one more
// attempt to write them and ignores the outcome.
class BufferedWriter {
 public:
  static constexpr std::size_t kDefaultCapacity = 8192;
  // The most one system write asks for.  Handed 100 MB at once, Linux may
  // fill the page cache with 2 MiB folios, and on a virtual machine whose
  // host backs memory lazily their first touch made the whole write take up
  // to four times as long; pieces of 1 MiB cost no more in calls and stay
  // steady ("csv_mendle.mendle_file (clean)" in `./dev bench` writes its
  // whole output as one span and shows it).
  static constexpr std::size_t kMaxWriteCall = std::size_t{1} << 20;

  // The system call that writes; replaceable so that tests can simulate
  // interrupted, short and refused writes.
  using WriteCall = ssize_t (*)(int fd, const void* data, std::size_t size);

  explicit BufferedWriter(UniqueFd fd, WriteCall write_call = nullptr,
                          std::size_t capacity = kDefaultCapacity);
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;
  ~BufferedWriter();

  // Hands over one whole line.  A line shorter than `capacity()` is buffered
  // (after writing the buffer out when the line does not fit in its free
  // space); a longer one is written straight to the file after the buffer,
  // in pieces of at most `kMaxWriteCall` bytes.
  Status write_line(std::string_view line) {
    if (buffer_if_room(line)) return success();
    return write_line_past_room(line);
  }
  // Buffers `line` when it is shorter than `capacity()` and fits in the
  // free space, and says whether it did; otherwise does nothing.  The
  // common case of write_line, inline so that a caller writing many short
  // pieces pays no call for it.
  bool buffer_if_room(std::string_view line) noexcept {
    if (line.size() >= capacity_ || line.size() > capacity_ - size_) return false;
    if (!line.empty()) std::memcpy(buffer_.get() + size_, line.data(), line.size());
    size_ += line.size();
    return true;
  }
  // The same for the line made of `body` followed by `end`, without
  // assembling it first.
  Status write_line(std::string_view body, char end);
  // Writes out everything buffered.
  Status flush();
  // Makes the last, unchecked attempt to write what is still buffered, then
  // closes the file and reports a failure of close().
  Status close();

  std::size_t buffered() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  int fd() const noexcept { return fd_.get(); }

 private:
  // write_line for a line that does not fit in the buffer's free space.
  Status write_line_past_room(std::string_view line);
  void write_out_ignoring_errors() noexcept;

  UniqueFd fd_;
  WriteCall write_call_;
  std::size_t capacity_;
  std::unique_ptr<char[]> buffer_;
  std::size_t size_ = 0;
};

}  // namespace csv_mendle
