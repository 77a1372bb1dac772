// MendleSummary: the read-only result of one repair run, returned by
// mendle_file and handed out by a reader's `summary` attribute.
#pragma once

#include <Python.h>

#include "mendle.hpp"

namespace csv_mendle::python {

// The MendleSummary type object, built on first use and shared by every
// import of the module.  Borrowed reference; null with the exception set when
// it cannot be built.
PyTypeObject* summary_type();

// A new MendleSummary of `report`; its delimiter, a byte (U+0000..U+00FF),
// shows as the character of that code point.  New reference, or null with
// the exception set.  May throw std::bad_alloc: call it inside a guarded
// entry point.
PyObject* summary_new(const RepairReport& report);

}  // namespace csv_mendle::python
