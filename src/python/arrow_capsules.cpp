#include "arrow_capsules.hpp"

#include <memory>
#include <type_traits>
#include <utility>

#include "arrow_batches.hpp"
#include "arrow_c_abi.hpp"
#include "owned_ref.hpp"

namespace csv_mendle::python {

namespace {

constexpr const char* kStreamCapsule = "arrow_array_stream";
constexpr const char* kSchemaCapsule = "arrow_schema";

// Frees an exported struct that a capsule holds: a consumer that moved its
// contents out set its release to null, otherwise it is released here.
template <class Exported>
void release_and_free(Exported* exported) noexcept {
  if (exported == nullptr) return;
  if (exported->release != nullptr) exported->release(exported);
  delete exported;
}

template <class Exported>
const char* capsule_name() noexcept {
  if constexpr (std::is_same_v<Exported, ArrowArrayStream>) {
    return kStreamCapsule;
  } else {
    return kSchemaCapsule;
  }
}

template <class Exported>
void capsule_destructor(PyObject* capsule) noexcept {
  release_and_free(
      static_cast<Exported*>(PyCapsule_GetPointer(capsule, capsule_name<Exported>())));
}

// A new capsule holding a zeroed struct for `export_into` to fill.  When
// filling fails (its exception set, or thrown), the capsule frees the
// struct, which holds nothing yet.
template <class Exported, class Export>
PyObject* exported_capsule(Export&& export_into) {
  auto exported = std::make_unique<Exported>();
  OwnedRef capsule = OwnedRef::steal(
      PyCapsule_New(exported.get(), capsule_name<Exported>(), &capsule_destructor<Exported>));
  if (!capsule) return nullptr;
  Exported* filled = exported.release();
  if (export_into(filled) < 0) return nullptr;
  return capsule.release();
}

}  // namespace

PyObject* arrow_stream_capsule(RowCursor& cursor, std::span<const std::string> header) {
  return exported_capsule<ArrowArrayStream>([&](ArrowArrayStream* stream) {
    TakenRows taken;
    if (cursor.take_rest(taken) < 0) return -1;
    export_stream(std::move(taken.rows), taken.first, column_names(header, taken.width), stream);
    return 0;
  });
}

PyObject* arrow_schema_capsule(RowCursor& cursor, std::span<const std::string> header) {
  return exported_capsule<ArrowSchema>([&](ArrowSchema* schema) {
    std::size_t width = 0;
    if (cursor.width(width) < 0) return -1;
    export_schema(column_names(header, width), schema);
    return 0;
  });
}

}  // namespace csv_mendle::python
