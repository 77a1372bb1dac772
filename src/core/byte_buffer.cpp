#include "byte_buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace csv_mendle {

namespace {

// Below this a plain allocation is as fast and wastes no mapping granularity.
constexpr std::size_t kMapThreshold = std::size_t{1} << 20;

}  // namespace

ByteBuffer::ByteBuffer(std::size_t capacity) {
  if (capacity == 0) return;
  if (capacity >= kMapThreshold) {
    void* p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    ::madvise(p, capacity, MADV_HUGEPAGE);  // advice only: failure changes nothing
#endif
    data_ = static_cast<char*>(p);
    mapped_ = true;
  } else {
    data_ = static_cast<char*>(std::malloc(capacity));
    if (data_ == nullptr) throw std::bad_alloc();
  }
  capacity_ = capacity;
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      discarded_(std::exchange(other.discarded_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    discarded_ = std::exchange(other.discarded_, 0);
    mapped_ = std::exchange(other.mapped_, false);
  }
  return *this;
}

ByteBuffer::~ByteBuffer() { release(); }

void ByteBuffer::reserve(std::size_t capacity) {
  if (capacity <= capacity_) return;
  if (mapped_) {
    // The kernel moves a mapping's pages rather than copying them: a buffer
    // grown step by step (a pipe read to its end, an input decompressed)
    // never exists twice, and its untouched capacity costs no memory.
    void* p = ::mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    ::madvise(p, capacity, MADV_HUGEPAGE);
#endif
    data_ = static_cast<char*>(p);
    capacity_ = capacity;
    return;
  }
  ByteBuffer bigger(capacity);
  if (size_ != 0) std::memcpy(bigger.data_, data_, size_);
  bigger.size_ = size_;
  *this = std::move(bigger);
}

void ByteBuffer::discard_before(std::size_t offset) noexcept {
  if (!mapped_) return;
  static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t end = std::min(offset, capacity_) / page * page;
  if (end <= discarded_) return;
  // Advice only: memory that cannot be given back is merely kept.
  ::madvise(data_ + discarded_, end - discarded_, MADV_DONTNEED);
  discarded_ = end;
}

void ByteBuffer::release() noexcept {
  if (data_ == nullptr) return;
  if (mapped_) {
    ::munmap(data_, capacity_);
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  size_ = capacity_ = discarded_ = 0;
  mapped_ = false;
}

}  // namespace csv_mendle
