// MendleSummary: the read-only result of one repair run, returned by
// mendle_file and handed out by a reader's `summary` attribute.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

namespace csv_mendle::python {

// The five counts of a run, as the core reports them.
struct SummaryCounts {
  std::uint64_t total_rows = 0;
  std::uint64_t mendled_rows = 0;
  std::uint64_t repaired_rows = 0;
  std::uint64_t quarantined_rows = 0;
  std::uint64_t inferred_columns = 0;
};

// The UTF-8 encoding of the one character whose code point is `delimiter`
// (a delimiter byte of 0x80 or more gives two bytes, e.g. 0xC3 gives "Ã").
std::string delimiter_text(char32_t delimiter);

// The MendleSummary type object, built on first use and shared by every
// import of the module.  Borrowed reference; null with the exception set when
// it cannot be built.
PyTypeObject* summary_type();

// A new MendleSummary holding `counts` and the delimiter character.  New
// reference, or null with the exception set.  May throw std::bad_alloc: call
// it inside a guarded entry point.
PyObject* summary_new(const SummaryCounts& counts, char32_t delimiter);

}  // namespace csv_mendle::python
