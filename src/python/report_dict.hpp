// A RepairReport as Python values: the summary's six values, by the names
// that MendleSummary and the package's results share, and the change account.
#pragma once

#include <Python.h>

#include <string>

#include "mendle.hpp"

namespace csv_mendle::python {

// The delimiter is one input byte, shown as the character of that code point
// (U+0000..U+00FF): a byte 0xC3 gives "Ã".  Its UTF-8 form.
std::string delimiter_text(const RepairReport& report);

// A new str from UTF-8 text, or null with the exception set.
PyObject* text_object(const std::string& text);

// A new dict of total_rows, mendled_rows, repaired_rows, quarantined_rows,
// detected_delimiter and inferred_columns, in that order; null with the
// exception set.  May throw std::bad_alloc: call it inside a guarded entry
// point.
PyObject* report_dict(const RepairReport& report);

// A new dict with one entry per kind of change that occurred, in the
// account's order, each a dict of `rows` and `first_line` (invalid_utf8 adds
// `sequences`, unclosed_quote `absorbed_lines`); null with the exception set.
PyObject* changes_dict(const ChangeAccount& account);

}  // namespace csv_mendle::python
