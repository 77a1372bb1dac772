// RepairedRows: the rows that the package's `read` hands out, each next() a
// fresh list of str, through the same RowCursor as a MendleReader.
#pragma once

#include <Python.h>

#include "delivered_rows.hpp"
#include "mendle.hpp"

namespace csv_mendle::python {

// The RepairedRows type object, built on first use and shared by every
// import of the module.  Borrowed reference; null with the exception set when
// it cannot be built.
PyTypeObject* repaired_rows_type();

// A new RepairedRows that owns `rows`, its Arrow columns named from
// `header`; null with the exception set.
PyObject* repaired_rows_new(DeliveredRows rows, Header header = {});

}  // namespace csv_mendle::python
