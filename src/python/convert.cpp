#include "convert.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>

#include "module_body.hpp"

namespace csv_mendle::python {

void set_internal_error(const char* what) noexcept {
  PyErr_Format(PyExc_SystemError, "internal error in %s: %s", kModuleName,
               what != nullptr ? what : "unknown C++ exception");
}

namespace {

bool held_or_refused(bool held, const char* refusal) noexcept {
  if (!held) PyErr_SetString(PyExc_RuntimeError, refusal);
  return held;
}

}  // namespace

bool borrow_held(const SharedBorrow& borrow) noexcept {
  return held_or_refused(static_cast<bool>(borrow), kAlreadyMutablyBorrowed);
}

bool borrow_held(const ExclusiveBorrow& borrow) noexcept {
  return held_or_refused(static_cast<bool>(borrow), kAlreadyBorrowed);
}

namespace {

// ---- "Did you mean" for an unknown keyword ----
//
// The interpreter's own rule for suggestions: a Levenshtein distance over the
// UTF-8 bytes where a change of case costs 1 and every other edit 2, and a
// candidate qualifies when no more than a third of the involved characters
// need changing.

constexpr std::size_t kMoveCost = 2;
constexpr std::size_t kCaseCost = 1;
constexpr std::size_t kMaxSuggestionLength = 40;

std::size_t substitution_cost(char a, char b) noexcept {
  if ((a & 31) != (b & 31)) return kMoveCost;
  if (a == b) return 0;
  if ('A' <= a && a <= 'Z') a = static_cast<char>(a + ('a' - 'A'));
  if ('A' <= b && b <= 'Z') b = static_cast<char>(b + ('a' - 'A'));
  return a == b ? kCaseCost : kMoveCost;
}

std::size_t edit_distance(std::string_view a, std::string_view b, std::size_t max_cost) noexcept {
  while (!a.empty() && !b.empty() && a.front() == b.front()) {
    a.remove_prefix(1);
    b.remove_prefix(1);
  }
  while (!a.empty() && !b.empty() && a.back() == b.back()) {
    a.remove_suffix(1);
    b.remove_suffix(1);
  }
  if (a.empty() || b.empty()) return (a.size() + b.size()) * kMoveCost;
  if (a.size() > kMaxSuggestionLength || b.size() > kMaxSuggestionLength) return max_cost + 1;
  if (b.size() < a.size()) std::swap(a, b);
  if ((b.size() - a.size()) * kMoveCost > max_cost) return max_cost + 1;

  // One row of the distance matrix, updated in place.
  std::array<std::size_t, kMaxSuggestionLength> row{};
  for (std::size_t i = 0; i < a.size(); ++i) row[i] = (i + 1) * kMoveCost;
  std::size_t result = 0;
  for (std::size_t bi = 0; bi < b.size(); ++bi) {
    std::size_t distance = result = bi * kMoveCost;
    std::size_t minimum = SIZE_MAX;
    for (std::size_t ai = 0; ai < a.size(); ++ai) {
      const std::size_t substitute = distance + substitution_cost(b[bi], a[ai]);
      distance = row[ai];
      const std::size_t insert_delete = std::min(result, distance) + kMoveCost;
      result = std::min(insert_delete, substitute);
      row[ai] = result;
      minimum = std::min(minimum, result);
    }
    if (minimum > max_cost) return max_cost + 1;
  }
  return result;
}

const char* suggest_parameter(std::string_view keyword, std::span<const Param> params) noexcept {
  const char* best = nullptr;
  std::size_t best_distance = SIZE_MAX;
  for (const Param& param : params) {
    const std::string_view candidate(param.name);
    if (candidate == keyword) continue;
    std::size_t max_distance = (keyword.size() + candidate.size() + 3) * kMoveCost / 6;
    if (best_distance != SIZE_MAX) max_distance = std::min(max_distance, best_distance - 1);
    const std::size_t distance = edit_distance(keyword, candidate, max_distance);
    if (distance > max_distance) continue;
    if (best == nullptr || distance < best_distance) {
      best = param.name;
      best_distance = distance;
    }
  }
  return best;
}

// ---- keyword lookup and the interpreter's argument errors ----

bool names_parameter(const Signature& signature, PyObject* keyword) noexcept {
  return std::any_of(signature.params.begin(), signature.params.end(), [&](const Param& param) {
    return PyUnicode_EqualToUTF8(keyword, param.name) == 1;
  });
}

// The value given for keyword `name`, or an empty reference; -1 on failure.
int find_keyword(PyObject* kwnames, PyObject* const* kwvalues, PyObject* kwargs, const char* name,
                 OwnedRef& found) {
  if (kwargs != nullptr) {
    PyObject* value = nullptr;
    const int status = PyDict_GetItemStringRef(kwargs, name, &value);
    found = OwnedRef::steal(value);
    return status < 0 ? -1 : 0;
  }
  if (kwnames != nullptr) {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (PyUnicode_EqualToUTF8(PyTuple_GET_ITEM(kwnames, i), name) == 1) {
        found = OwnedRef::borrow(kwvalues[i]);
        return 0;
      }
    }
  }
  found.reset();
  return 0;
}

// Sets the TypeError for `keyword` when it names no parameter; returns whether
// it did.
bool report_if_unknown(const Signature& signature, PyObject* keyword) {
  if (!PyUnicode_Check(keyword)) {
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    return true;
  }
  if (names_parameter(signature, keyword)) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
  const char* suggestion = nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();  // no UTF-8 form (lone surrogates): nothing to compare
  } else {
    suggestion = suggest_parameter(std::string_view(utf8, static_cast<std::size_t>(size)),
                                   signature.params);
  }
  if (suggestion != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'. Did you mean '%s'?",
                 signature.function_name, keyword, suggestion);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                 signature.function_name, keyword);
  }
  return true;
}

void report_unknown_keyword(const Signature& signature, PyObject* kwnames, PyObject* kwargs) {
  bool reported = false;
  if (kwargs != nullptr) {
    Py_BEGIN_CRITICAL_SECTION(kwargs);
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    while (!reported && PyDict_Next(kwargs, &position, &keyword, nullptr)) {
      reported = report_if_unknown(signature, keyword);
    }
    Py_END_CRITICAL_SECTION();
  } else if (kwnames != nullptr) {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n && !reported; ++i) {
      reported = report_if_unknown(signature, PyTuple_GET_ITEM(kwnames, i));
    }
  }
  if (!reported) {
    PyErr_Format(PyExc_TypeError, "invalid keyword argument for %s()", signature.function_name);
  }
}

// Sets the TypeError for a keyword left over once every parameter has its
// argument: one naming a parameter given by position too, else one naming
// no parameter.
void report_surplus_keyword(const Signature& signature, Py_ssize_t nargs, PyObject* kwnames,
                            PyObject* const* kwvalues, PyObject* kwargs) {
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    const char* name = signature.params[static_cast<std::size_t>(i)].name;
    OwnedRef twice;
    if (find_keyword(kwnames, kwvalues, kwargs, name, twice) < 0) return;
    if (twice) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)",
                   signature.function_name, name, i + 1);
      return;
    }
  }
  report_unknown_keyword(signature, kwnames, kwargs);
}

// ---- conversions ----

// Adds "while processing '<name>'" to the pending exception, so a traceback
// names the offending parameter.
void add_processing_note(const char* name) {
  OwnedRef error = OwnedRef::steal(PyErr_GetRaisedException());
  OwnedRef note = OwnedRef::steal(PyUnicode_FromFormat("while processing '%s'", name));
  OwnedRef added;
  if (note) added = OwnedRef::steal(PyObject_CallMethod(error.get(), "add_note", "O", note.get()));
  if (!added) {
    // The note could not be added (memory): that failure wins, and the
    // conversion error stays visible as its context.
    OwnedRef failure = OwnedRef::steal(PyErr_GetRaisedException());
    PyException_SetContext(failure.get(), error.release());
    PyErr_SetRaisedException(failure.release());
    return;
  }
  PyErr_SetRaisedException(error.release());
}

int refuse_type(PyObject* object, const char* expected) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return -1;
  }
  OwnedRef name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!name) return -1;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
  return -1;
}

// 1 when `object` is numpy's boolean scalar ("bool_" before numpy 2, "bool"
// since), 0 when not, -1 on failure.
int is_numpy_bool(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  OwnedRef name = OwnedRef::steal(PyType_GetName(type));
  if (!name) return -1;
  if (PyUnicode_EqualToUTF8(name.get(), "bool_") != 1 &&
      PyUnicode_EqualToUTF8(name.get(), "bool") != 1) {
    return 0;
  }
  OwnedRef module = OwnedRef::steal(PyType_GetModuleName(type));
  if (!module) return -1;
  return PyUnicode_Check(module.get()) && PyUnicode_EqualToUTF8(module.get(), "numpy") == 1;
}

// The conversions of the parameter kinds; each returns 0, or -1 with the
// exception set.

// A str's UTF-8 form, with its length: a path holding a NUL must still reach
// the core, which refuses it with its own error text.
int text_value(PyObject* object, std::string_view& text) {
  if (!PyUnicode_Check(object)) return refuse_type(object, "str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return -1;
  text = std::string_view(utf8, static_cast<std::size_t>(size));
  return 0;
}

int flag_value(PyObject* object, bool& flag) {
  if (PyBool_Check(object)) {
    flag = object == Py_True;
    return 0;
  }
  const int numpy = is_numpy_bool(object);
  if (numpy <= 0) return numpy < 0 ? -1 : refuse_type(object, "bool");
  const int truth = PyObject_IsTrue(object);
  if (truth < 0) return -1;
  flag = truth == 1;
  return 0;
}

int count_value(PyObject* object, std::uint64_t& count) {
  OwnedRef index = OwnedRef::steal(PyNumber_Index(object));
  if (!index) return -1;
  // The interpreter's own OverflowError for a negative or too large value.
  const unsigned long long n = PyLong_AsUnsignedLongLong(index.get());
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
  count = static_cast<std::uint64_t>(n);
  return 0;
}

}  // namespace

int Arguments::parse(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  if (collect(signature, args, nargs, kwnames, args + nargs, nullptr) < 0) return -1;
  return convert(signature);
}

int Arguments::parse(const Signature& signature, PyObject* args, PyObject* kwargs) {
  if (!PyTuple_Check(args)) {
    PyErr_SetString(PyExc_SystemError, "positional arguments are not a tuple");
    return -1;
  }
  if (kwargs != nullptr && !PyDict_Check(kwargs)) {
    PyErr_SetString(PyExc_SystemError, "keyword arguments are not a dict");
    return -1;
  }
  if (collect(signature, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), nullptr, nullptr,
              kwargs) < 0) {
    return -1;
  }
  return convert(signature);
}

// Assigns every given argument to its parameter, the way the interpreter's
// argument clinic does for built-ins, and with its error wordings.
int Arguments::collect(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, PyObject* const* kwvalues, PyObject* kwargs) {
  const std::size_t count = signature.params.size();
  if (count > kMaxParams) {
    PyErr_Format(PyExc_SystemError, "%s() declares too many parameters", signature.function_name);
    return -1;
  }
  for (OwnedRef& object : objects_) object.reset();
  values_ = {};

  const auto max_args = static_cast<Py_ssize_t>(count);
  Py_ssize_t remaining = kwargs != nullptr    ? PyDict_GET_SIZE(kwargs)
                         : kwnames != nullptr ? PyTuple_GET_SIZE(kwnames)
                                              : 0;
  if (nargs + remaining > max_args) {
    // "keyword" when nothing came positionally, as the interpreter words it.
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zd %sargument%s (%zd given)",
                 signature.function_name, max_args, nargs == 0 ? "keyword " : "",
                 max_args == 1 ? "" : "s", nargs + remaining);
    return -1;
  }

  for (Py_ssize_t i = 0; i < nargs; ++i) objects_[static_cast<std::size_t>(i)] = OwnedRef::borrow(args[i]);
  for (auto i = static_cast<std::size_t>(nargs); i < count; ++i) {
    if (remaining > 0) {
      if (find_keyword(kwnames, kwvalues, kwargs, signature.params[i].name, objects_[i]) < 0) {
        return -1;
      }
    } else if (i >= signature.required) {
      break;
    }
    if (objects_[i]) {
      --remaining;
    } else if (i < signature.required) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)",
                   signature.function_name, signature.params[i].name, i + 1);
      return -1;
    }
  }

  if (remaining > 0) {
    report_surplus_keyword(signature, nargs, kwnames, kwvalues, kwargs);
    return -1;
  }
  return 0;
}

// Converts one given argument as its parameter's kind asks.  Returns 0, or -1
// with the exception set.
int Arguments::convert_given(ParamKind kind, PyObject* object, Value& value) {
  int status = 0;
  switch (kind) {
    case ParamKind::OptionalText:
      if (object == Py_None) return 0;
      [[fallthrough]];
    case ParamKind::Text:
      status = text_value(object, value.text);
      break;
    case ParamKind::Flag:
      return flag_value(object, value.flag);
    case ParamKind::OptionalCount:
      if (object == Py_None) return 0;
      status = count_value(object, value.count);
      break;
    case ParamKind::Object:
      break;
  }
  value.present = status == 0;
  return status;
}

// Converts the collected arguments in parameter order; the first failure
// stops, noted with its parameter's name.
int Arguments::convert(const Signature& signature) {
  for (std::size_t i = 0; i < signature.params.size(); ++i) {
    const Param& param = signature.params[i];
    Value& value = values_[i];
    PyObject* object = objects_[i].get();
    if (object == nullptr) {
      value.present = param.kind == ParamKind::Text;
      value.text = param.text_default;
      value.flag = param.flag_default;
    } else if (convert_given(param.kind, object, value) < 0) {
      add_processing_note(param.name);
      return -1;
    }
  }
  return 0;
}

RepairOptions Arguments::repair_options(std::size_t first) const noexcept {
  return python::repair_options(optional_text(first), text(first + 1), flag(first + 2),
                                flag(first + 3), count(first + 4), flag(first + 5));
}

std::optional<unsigned char> first_byte(std::optional<std::string_view> text) noexcept {
  if (!text || text->empty()) return std::nullopt;
  return static_cast<unsigned char>(text->front());
}

RepairOptions repair_options(std::optional<std::string_view> delimiter,
                             std::string_view quote_char, bool fill_ragged_rows,
                             bool merge_overflow, std::optional<std::uint64_t> expected_columns,
                             bool repair_quotes) noexcept {
  RepairOptions options;
  options.delimiter = first_byte(delimiter);
  options.quote_char = first_byte(quote_char).value_or('"');
  options.fill_ragged_rows = fill_ragged_rows;
  options.merge_overflow = merge_overflow;
  options.expected_columns = expected_columns;
  options.repair_quotes = repair_quotes;
  return options;
}

// ---- errors to exceptions ----

namespace {

// Raises `type(text)`: the text is the exception's only argument.
PyObject* raise_with_text(PyObject* type, const MendleError& error) {
  const std::string text = error.text();
  // The system's descriptions are normally ASCII; a locale that says
  // otherwise must not turn the error into a decoding failure.
  OwnedRef message = OwnedRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return nullptr;
  OwnedRef exception = OwnedRef::steal(PyObject_CallOneArg(type, message.get()));
  if (!exception) return nullptr;
  PyErr_SetRaisedException(exception.release());
  return nullptr;
}

struct ErrnoClass {
  int error_number;
  PyObject* const* type;
};

// The class for each listed error number; every other number is plain OSError.
// (Python's own errno mapping differs: it maps ENOMEM to OSError and a few more
// numbers to subclasses; this table is what the reader promises.)
const ErrnoClass kErrnoClasses[] = {
    {ENOENT, &PyExc_FileNotFoundError},
    {EPERM, &PyExc_PermissionError},
    {EACCES, &PyExc_PermissionError},
    {ECONNREFUSED, &PyExc_ConnectionRefusedError},
    {ECONNRESET, &PyExc_ConnectionResetError},
    {ECONNABORTED, &PyExc_ConnectionAbortedError},
    {EPIPE, &PyExc_BrokenPipeError},
    {EEXIST, &PyExc_FileExistsError},
    {EAGAIN, &PyExc_BlockingIOError},
    {EWOULDBLOCK, &PyExc_BlockingIOError},
    {ENOTDIR, &PyExc_NotADirectoryError},
    {EISDIR, &PyExc_IsADirectoryError},
    {ETIMEDOUT, &PyExc_TimeoutError},
    {EINTR, &PyExc_InterruptedError},
    {ENOMEM, &PyExc_MemoryError},
};

PyObject* classified_type(const MendleError& error) {
  switch (error.cause) {
    case MendleError::Cause::Os:
      break;
    case MendleError::Cause::OutOfMemory:
      return PyExc_MemoryError;
    case MendleError::Cause::NulInPath:
    case MendleError::Cause::WriteWhole:
    case MendleError::Cause::WriteBuffered:
    case MendleError::Cause::QuarantineIsOutput:
    case MendleError::Cause::OddUtf16Length:
    case MendleError::Cause::BadUtf32Length:
    case MendleError::Cause::OutputQuoteIsDelimiter:
    case MendleError::Cause::CorruptGzip:  // never: the backend reads bytes as they are
    case MendleError::Cause::CorruptBzip2:
    case MendleError::Cause::CorruptXz:
    case MendleError::Cause::CorruptZstd:
      return PyExc_OSError;
  }
  for (const ErrnoClass& entry : kErrnoClasses) {
    if (entry.error_number == error.os_error) return *entry.type;
  }
  return PyExc_OSError;
}

}  // namespace

PyObject* raise_plain_os_error(const MendleError& error) {
  return raise_with_text(PyExc_OSError, error);
}

PyObject* raise_classified_os_error(const MendleError& error) {
  return raise_with_text(classified_type(error), error);
}

// ---- type objects ----

PyTypeObject* process_wide_type(std::atomic<PyTypeObject*>& slot, PyType_Spec& type_spec) {
  if (PyTypeObject* built = slot.load(std::memory_order_acquire)) return built;
  // First use.  With the global lock (and the import lock around the module
  // body) one thread gets here at a time.  Without the global lock two threads
  // may both build the type; the one that loses the exchange drops its copy
  // and uses the winner's, so every caller sees the same object.  The type
  // belongs to the process, not to an interpreter: a subinterpreter that
  // imports the module gets the same object.
  OwnedRef fresh = OwnedRef::steal(PyType_FromSpec(&type_spec));
  if (!fresh) return nullptr;
  auto* candidate = reinterpret_cast<PyTypeObject*>(fresh.get());
  PyTypeObject* expected = nullptr;
  if (slot.compare_exchange_strong(expected, candidate, std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
    // The slot keeps this reference for the rest of the process.
    static_cast<void>(fresh.release());
    return candidate;
  }
  return expected;
}

}  // namespace csv_mendle::python
