// The Arrow PyCapsule interface of RepairedRows: the rows not yet handed
// out as an Arrow C stream of record batches, and their schema, each in the
// capsule the interface names ("arrow_array_stream", "arrow_schema").
#pragma once

#include <Python.h>

#include "row_cursor.hpp"

namespace csv_mendle::python {

// A new "arrow_array_stream" capsule that takes the cursor's rows not yet
// handed out; null with RuntimeError when they were taken before.  A capsule
// dropped unconsumed releases its stream.  The columns are utf8_view, or
// utf8 when `requested_schema` (None or an "arrow_schema" capsule) asks for
// utf8 in every column.
PyObject* arrow_stream_capsule(RowCursor& cursor, PyObject* requested_schema);

// A new "arrow_schema" capsule: one nullable utf8_view column per column of
// the widest row.
PyObject* arrow_schema_capsule(RowCursor& cursor);

}  // namespace csv_mendle::python
