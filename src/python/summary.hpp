// MendleSummary: the read-only result of one repair run, returned by
// mendle_file and handed out by a reader's `summary` attribute.
#pragma once

#include <Python.h>

#include <cstdint>

namespace csv_mendle::python {

// The five counts of a run, as the core reports them.
struct SummaryCounts {
  std::uint64_t total_rows = 0;
  std::uint64_t mendled_rows = 0;
  std::uint64_t repaired_rows = 0;
  std::uint64_t quarantined_rows = 0;
  std::uint64_t inferred_columns = 0;
};

// The MendleSummary type object, built on first use and shared by every
// import of the module.  Borrowed reference; null with the exception set when
// it cannot be built.
PyTypeObject* summary_type();

// A new MendleSummary holding `counts` and the delimiter, a byte
// (U+0000..U+00FF) that the summary shows as the character of that code
// point.  New reference, or null with the exception set.  May throw
// std::bad_alloc: call it inside a guarded entry point.
PyObject* summary_new(const SummaryCounts& counts, char32_t delimiter);

}  // namespace csv_mendle::python
