// An owned, growable byte buffer for whole input files.
//
// Large buffers come from an anonymous mapping advised for huge pages: where
// every freshly touched 4 KiB page costs microseconds, reading 100 MB into
// malloc'ed memory is dominated by page faults, while a huge-page mapping
// takes the same bytes at many times the speed.  `./dev bench` measures it:
// compare its "copy (floor)" with "copy via huge pages (floor)".
#pragma once

#include <cstddef>
#include <string_view>

namespace csv_mendle {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  // Room for `capacity` bytes, size 0; throws std::bad_alloc when no memory can be had.
  explicit ByteBuffer(std::size_t capacity);
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer();

  char* data() noexcept { return data_; }
  const char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  std::string_view view() const noexcept { return {data_, size_}; }

  // Sets the number of bytes in use (at most the capacity).
  void set_size(std::size_t size) noexcept { size_ = size; }
  // Grows the capacity to at least `capacity`, keeping the bytes in use (a
  // mapped buffer is remapped, not copied); throws std::bad_alloc when no
  // memory can be had.
  void reserve(std::size_t capacity);
  // Gives the memory of the whole pages before `offset` back to the system
  // when the buffer is a mapping (a small, allocated one keeps it): a reader
  // that has copied the start of a large input out, and never reads it
  // again, no longer holds two copies of it.  Those bytes read as zeros
  // afterwards.  The size and the capacity stay.
  void discard_before(std::size_t offset) noexcept;

 private:
  void release() noexcept;

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t discarded_ = 0;  // a mapping: the bytes before this are given back
  bool mapped_ = false;
};

}  // namespace csv_mendle
