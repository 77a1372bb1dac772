// The delivered rows of an in-memory repair as Arrow record batches, through
// the Arrow C data and C stream interfaces (arrow_c_abi.hpp): one nullable
// text column (utf8 or utf8_view) per column of the table, built straight
// from DeliveredRows, with no Python object per cell and no Arrow library
// on either side.
//
// Every struct handed out owns what it points to through its private_data
// and frees all of it in its release callback, which the consumer calls
// exactly once; a child moved out of its parent by the consumer keeps its
// own buffers, so each column owns its buffers and each child schema its
// name.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "arrow_c_abi.hpp"
#include "delivered_rows.hpp"

namespace csv_mendle {

// Where a batch ends.  A batch holds at most `rows` rows, and a row whose
// text would take the batch's text past `text_bytes` starts the next batch
// (a row alone in its batch may pass it).  utf8 columns have 32-bit offsets,
// and so do views into a data buffer: with the default cap no column of a
// batch comes near 2 GiB, and only a single field of 2 GiB or more cannot be
// delivered (get_next fails with EOVERFLOW).
struct BatchLimits {
  std::size_t rows = std::size_t{1} << 16;
  std::size_t text_bytes = std::size_t{256} << 20;
};

// How a column's strings are laid out.  utf8 ("u": offsets and the text)
// is what pyarrow's compute functions, pandas and DuckDB work on;
// utf8_view ("vu": a 16-byte view per string, short strings inside it) is
// how polars keeps strings, which it then takes without a conversion (from
// utf8 it builds the views itself, in most of the time it takes to load
// the rows).
enum class TextLayout { kUtf8, kUtf8View };

// The field count of the widest of `rows`, 0 when there are none: with no
// width check ragged rows are kept, and the table is as wide as the widest.
std::size_t widest_row(const DeliveredRows& rows);

// "column_1" .. "column_<width>": the names when the caller has none.
std::vector<std::string> numbered_columns(std::size_t width);

// The column names of a table with the header `header` (empty: none) and
// rows up to `width` fields wide: one per column of the wider of the two.
// The header's names come first, made unique as pandas' reader makes them:
// an empty name at column i (from 0) becomes "Unnamed: i", and a name met
// again, say "a", becomes "a.1", then "a.2", passing over names taken (so
// a,a,a.1 gives a,a.2,a.1), the made-up names last (so ,Unnamed: 0 gives
// Unnamed: 0.1,Unnamed: 0).  The columns past the header are
// "column_<i + 1>", made unique alike.
std::vector<std::string> column_names(std::span<const std::string> header, std::size_t width);

// Fills `out` with the schema of the batches: a struct ("+s") of one
// nullable text child ("u" or "vu", as `layout` says) per name.  Throws
// std::bad_alloc, leaving `out` untouched.
void export_schema(const std::vector<std::string>& names, ArrowSchema* out,
                   TextLayout layout = TextLayout::kUtf8);

// Fills `out` with a stream that owns `rows` and delivers rows `first` ..
// rows.size() - 1 in batches cut by `limits`, a row's missing trailing
// cells null, its columns laid out as `layout` says.  A row with more
// fields than `names` fails get_next with EINVAL.  Throws std::bad_alloc,
// leaving `out` untouched (and `rows` dropped).
void export_stream(DeliveredRows rows, std::size_t first, std::vector<std::string> names,
                   ArrowArrayStream* out, BatchLimits limits = {},
                   TextLayout layout = TextLayout::kUtf8);

}  // namespace csv_mendle
