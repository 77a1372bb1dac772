// The Arrow PyCapsule interface of RepairedRows: the rows not yet handed
// out as an Arrow C stream of record batches, and their schema, each in the
// capsule the interface names ("arrow_array_stream", "arrow_schema").
#pragma once

#include <Python.h>

#include <span>
#include <string>

#include "arrow_batches.hpp"
#include "row_cursor.hpp"

namespace csv_mendle::python {

// A new "arrow_array_stream" capsule that takes the cursor's rows not yet
// handed out; null with RuntimeError when they were taken before.  A capsule
// dropped unconsumed releases its stream.  The columns are named from
// `header` (empty: none) by column_names, their text laid out as `layout`.
PyObject* arrow_stream_capsule(RowCursor& cursor, std::span<const std::string> header,
                               TextLayout layout);

// The layout `requested_schema` (None or an "arrow_schema" capsule) asks
// for: utf8_view when every column of it is utf8_view, else the stream's
// own, utf8.  As the interface allows, a request that cannot be met is no
// error: the stream keeps its own schema.
TextLayout requested_layout(PyObject* requested_schema) noexcept;

// A new "arrow_schema" capsule: one nullable utf8 column per column of the
// widest row or the header, named as the stream's.
PyObject* arrow_schema_capsule(RowCursor& cursor, std::span<const std::string> header);

}  // namespace csv_mendle::python
