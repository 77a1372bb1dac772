// The library's one error type.  Errors are values until the Python boundary,
// where each is turned into an exception exactly once.
//
// Memory follows one rule.  Memory for a whole input file is the file
// operation's own failure: read_all returns it as the error value
// OutOfMemory, like any other failure to read.  Every other allocation that
// fails (rows, tables, lines) throws std::bad_alloc, which no core function
// catches and the binding's entry-point guard turns into MemoryError.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace csv_mendle {

struct MendleError {
  // An operating-system error number, or one of the failures detected
  // without a system call.  OutOfMemory: no memory could be had to hold the
  // whole input file.
  // OddUtf16Length, BadUtf32Length: an input read as UTF-16 or UTF-32 that is
  // not a whole number of its code units.  CorruptGzip .. CorruptZstd: an
  // input compressed in that format whose data are truncated or corrupt.
  enum class Cause {
    Os,
    NulInPath,
    WriteWhole,
    WriteBuffered,
    OutOfMemory,
    QuarantineIsOutput,
    OddUtf16Length,
    BadUtf32Length,
    OutputQuoteIsDelimiter,
    CorruptGzip,
    CorruptBzip2,
    CorruptXz,
    CorruptZstd,
  };
  // Which file of a repair failed, so that a caller can name it; None where
  // the step that failed does not say (a file operation on its own).
  // A full word like its neighbours: a MendleError without padding travels
  // in registers inside a Status (see below).
  enum class File : std::uint32_t { None, Input, Output, Quarantine };

  Cause cause = Cause::Os;
  int os_error = 0;  // the error number when cause is Os, else 0
  File file = File::None;

  static MendleError from_errno(int error_number) noexcept {
    return MendleError{Cause::Os, error_number};
  }
  static MendleError of(Cause cause) noexcept { return MendleError{cause, 0}; }

  // The same error, as the failure of `which`.
  [[nodiscard]] MendleError about(File which) const noexcept {
    MendleError error = *this;
    error.file = which;
    return error;
  }

  // "{strerror} (os error N)", or the fixed text of the cause
  // (OutOfMemory: "out of memory"; QuarantineIsOutput: "quarantine_path
  // names the same file as output_path"; CorruptGzip: "truncated or corrupt
  // gzip data").
  std::string text() const;
};

// Either a value or a MendleError.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(MendleError error) : v_(error) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const MendleError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, MendleError> v_;
};

// A Result with no value: the error and a flag in one record without
// padding, which can travel in registers: a variant's index byte beside the
// error would be stored alone and read back with its neighbours on every
// success handed back (the mendle_file rows of `./dev bench` measure it).
template <>
class [[nodiscard]] Result<std::monostate> {
 public:
  Result(std::monostate) noexcept {}
  Result(MendleError error) noexcept : error_(error), ok_(false) {}

  bool ok() const noexcept { return ok_ != 0; }
  explicit operator bool() const noexcept { return ok(); }
  std::monostate value() const noexcept { return {}; }
  const MendleError& error() const noexcept { return error_; }

 private:
  MendleError error_;
  std::uint32_t ok_ = 1;
};
static_assert(std::has_unique_object_representations_v<MendleError>, "no padding in the error");
static_assert(sizeof(Result<std::monostate>) == sizeof(MendleError) + sizeof(std::uint32_t));

}  // namespace csv_mendle
