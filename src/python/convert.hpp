// What every Python-facing operation of the modules shares: the guard that
// keeps C++ exceptions out of the interpreter, leaving the interpreter while
// work on C++ data alone runs, the cast of a method table's
// functions, the table-driven argument parser and its conversions, the
// reduction of option values to RepairOptions, the two ways a MendleError
// becomes a Python exception, the RuntimeError of a refused borrow, and the
// process-wide type objects.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <iterator>
#include <new>
#include <optional>
#include <span>
#include <string_view>

#include "borrow.hpp"
#include "error.hpp"
#include "mendle.hpp"
#include "owned_ref.hpp"

namespace csv_mendle::python {

// ---- entry-point guard ----

// Sets SystemError for a C++ exception that is not a memory failure.
void set_internal_error(const char* what) noexcept;

// Runs the body of an entry point (module function, slot, method, getter) so
// that no C++ exception unwinds into the interpreter: std::bad_alloc becomes
// MemoryError, anything else SystemError, and `failed` is returned.
template <class Result, class Body>
Result guarded(Result failed, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    set_internal_error(error.what());
  } catch (...) {
    set_internal_error(nullptr);
  }
  return failed;
}

// For entry points that return a new reference or null.
template <class Body>
PyObject* guarded_object(Body&& body) noexcept {
  return guarded<PyObject*>(nullptr, static_cast<Body&&>(body));
}

// ---- leaving the interpreter ----

// Runs `work`, which must touch no Python object, with the calling thread
// detached from the interpreter: with the global lock it is released, so
// other threads run meanwhile; without it, nothing that stops every thread
// (a garbage collection) waits for the work.  The thread is attached again
// before the result or an exception of `work` reaches the caller, so an
// enclosing guarded() converts the exception as usual.
template <class Work>
auto outside_interpreter(Work&& work) {
  // A scope object, not Py_BEGIN_ALLOW_THREADS: it reattaches on unwinding.
  struct Detached {
    PyThreadState* saved = PyEval_SaveThread();
    ~Detached() { PyEval_RestoreThread(saved); }
  } detached;
  return work();
}

// ---- method tables ----

// A fast-call function (or any other C signature the flags of its
// PyMethodDef announce) as the PyCFunction that a PyMethodDef holds.  The
// interpreter calls it back with the signature the flags name.
template <class Function>
PyCFunction as_cfunction(Function* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// ---- borrow refusals ----

// False, with RuntimeError "Already mutably borrowed" set, when the shared
// borrow was refused.
[[nodiscard]] bool borrow_held(const SharedBorrow& borrow) noexcept;
// False, with RuntimeError "Already borrowed" set, when the exclusive borrow
// was refused.
[[nodiscard]] bool borrow_held(const ExclusiveBorrow& borrow) noexcept;

// ---- argument parsing ----

enum class ParamKind {
  Text,           // str or a subclass; its UTF-8 form (embedded NULs kept)
  OptionalText,   // None or as Text
  Flag,           // True/False or numpy's boolean scalar; int 0 and 1 are refused
  OptionalCount,  // None or an integer (via __index__) from 0 to 2**64 - 1
  Object,         // any object, not examined (e.g. the arguments of __exit__)
};

struct Param {
  const char* name;
  ParamKind kind;
  // Value of an omitted argument.  Text: `text_default`; Flag: `flag_default`;
  // OptionalText, OptionalCount: absent; Object: None.
  std::string_view text_default = {};
  bool flag_default = false;
};

// The six repair options, in the order in which every repairing callable
// takes them after its paths.
inline constexpr Param kRepairOptionParams[] = {
    {.name = "delimiter", .kind = ParamKind::OptionalText},
    {.name = "quote_char", .kind = ParamKind::Text, .text_default = "\""},
    {.name = "fill_ragged_rows", .kind = ParamKind::Flag, .flag_default = true},
    {.name = "merge_overflow", .kind = ParamKind::Flag, .flag_default = true},
    {.name = "expected_columns", .kind = ParamKind::OptionalCount},
    {.name = "repair_quotes", .kind = ParamKind::Flag, .flag_default = true},
};
inline constexpr std::size_t kRepairOptionCount = std::size(kRepairOptionParams);

// `paths` followed by the repair options: the parameter list of a repairing
// callable, whose options then start at index N.
template <std::size_t N>
constexpr std::array<Param, N + kRepairOptionCount> with_repair_options(const Param (&paths)[N]) {
  std::array<Param, N + kRepairOptionCount> params{};
  for (std::size_t i = 0; i < N; ++i) params[i] = paths[i];
  for (std::size_t i = 0; i < kRepairOptionCount; ++i) params[N + i] = kRepairOptionParams[i];
  return params;
}

// One callable's parameter list: all positional-or-keyword, the first
// `required` of them required.
struct Signature {
  const char* function_name;  // as TypeError messages show it, without "()"
  std::span<const Param> params;
  std::size_t required;
};

// The converted arguments of one call.  Text values point into the str
// objects, which the Arguments keep alive; so an Arguments must outlive every
// view taken from it.
class Arguments {
 public:
  static constexpr std::size_t kMaxParams = 24;

  Arguments() = default;
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;

  // The fast-call form (METH_FASTCALL | METH_KEYWORDS); `kwnames` may be null.
  // Returns 0, or -1 with the exception set: a TypeError worded as the
  // interpreter's own for a missing, surplus, duplicate or unknown argument,
  // else the first failed conversion, noted "while processing '<name>'".
  [[nodiscard]] int parse(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
  // The tuple-and-dict form (tp_new); `kwargs` may be null.  Same rules.
  [[nodiscard]] int parse(const Signature& signature, PyObject* args, PyObject* kwargs);

  [[nodiscard]] std::string_view text(std::size_t i) const noexcept { return values_[i].text; }
  [[nodiscard]] std::optional<std::string_view> optional_text(std::size_t i) const noexcept {
    if (!values_[i].present) return std::nullopt;
    return values_[i].text;
  }
  [[nodiscard]] bool flag(std::size_t i) const noexcept { return values_[i].flag; }
  [[nodiscard]] std::optional<std::uint64_t> count(std::size_t i) const noexcept {
    if (!values_[i].present) return std::nullopt;
    return values_[i].count;
  }
  // Borrowed; None for an omitted argument.
  [[nodiscard]] PyObject* object(std::size_t i) const noexcept {
    return objects_[i] ? objects_[i].get() : Py_None;
  }

  // The repair options, held by the six parameters from `first` on in the
  // order delimiter, quote_char, fill_ragged_rows, merge_overflow,
  // expected_columns, repair_quotes.
  [[nodiscard]] RepairOptions repair_options(std::size_t first) const noexcept;

 private:
  struct Value {
    bool present = false;
    std::string_view text;
    bool flag = false;
    std::uint64_t count = 0;
  };

  int collect(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
              PyObject* kwnames, PyObject* const* kwvalues, PyObject* kwargs);
  int convert(const Signature& signature);
  static int convert_given(ParamKind kind, PyObject* object, Value& value);

  std::array<OwnedRef, kMaxParams> objects_;
  std::array<Value, kMaxParams> values_{};
};

// ---- option conversion ----

// Python option values to RepairOptions: a delimiter that is absent or empty
// is left to detection, an empty quote_char means the double quote, and of any
// other text only the first byte of its UTF-8 form counts.  Cannot fail.
// The byte an optional one-character option stands for: the first byte of
// its UTF-8 form; nothing for None or an empty text.
[[nodiscard]] std::optional<unsigned char> first_byte(
    std::optional<std::string_view> text) noexcept;

[[nodiscard]] RepairOptions repair_options(std::optional<std::string_view> delimiter,
                                           std::string_view quote_char, bool fill_ragged_rows,
                                           bool merge_overflow,
                                           std::optional<std::uint64_t> expected_columns,
                                           bool repair_quotes) noexcept;

// ---- errors to exceptions ----

// For mendle_file: every error raises exactly OSError with the error text as
// its one argument (errno, strerror and filename stay None).  Returns null.
PyObject* raise_plain_os_error(const MendleError& error);

// For the reader: the class follows the error number (FileNotFoundError for
// ENOENT, IsADirectoryError for EISDIR, MemoryError for ENOMEM and for
// "out of memory", plain OSError for unlisted numbers and the other fixed
// texts), again with the text as the one argument.  Returns null.
PyObject* raise_classified_os_error(const MendleError& error);

// ---- type objects ----

// The type object built from `type_spec`, built by the first call and kept in
// `slot` for the rest of the process, so every import of the module shares it.
// Returns a borrowed reference (the slot owns one for good), or null with the
// exception set.
PyTypeObject* process_wide_type(std::atomic<PyTypeObject*>& slot, PyType_Spec& type_spec);

}  // namespace csv_mendle::python
