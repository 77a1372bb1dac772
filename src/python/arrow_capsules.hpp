// The Arrow PyCapsule interface of RepairedRows: the rows not yet handed
// out as an Arrow C stream of record batches, and their schema, each in the
// capsule the interface names ("arrow_array_stream", "arrow_schema").
#pragma once

#include <Python.h>

#include <span>
#include <string>

#include "row_cursor.hpp"

namespace csv_mendle::python {

// A new "arrow_array_stream" capsule that takes the cursor's rows not yet
// handed out; null with RuntimeError when they were taken before.  A capsule
// dropped unconsumed releases its stream.  The columns are named from
// `header` (empty: none) by column_names.
PyObject* arrow_stream_capsule(RowCursor& cursor, std::span<const std::string> header);

// A new "arrow_schema" capsule: one nullable utf8 column per column of the
// widest row or the header, named as the stream's.
PyObject* arrow_schema_capsule(RowCursor& cursor, std::span<const std::string> header);

}  // namespace csv_mendle::python
