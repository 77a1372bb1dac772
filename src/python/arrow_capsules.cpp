#include "arrow_capsules.hpp"

#include <cstdint>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>

#include "arrow_batches.hpp"
#include "arrow_c_abi.hpp"
#include "owned_ref.hpp"

namespace csv_mendle::python {

namespace {

constexpr const char* kStreamCapsule = "arrow_array_stream";
constexpr const char* kSchemaCapsule = "arrow_schema";
// The stream's own layout: utf8, which every consumer takes.
constexpr TextLayout kStreamLayout = TextLayout::kUtf8;

}  // namespace

TextLayout requested_layout(PyObject* requested_schema) noexcept {
  if (!PyCapsule_IsValid(requested_schema, kSchemaCapsule)) return kStreamLayout;
  const auto* schema =
      static_cast<const ArrowSchema*>(PyCapsule_GetPointer(requested_schema, kSchemaCapsule));
  if (schema->release == nullptr || std::string_view(schema->format) != "+s" ||
      schema->n_children == 0) {
    return kStreamLayout;
  }
  const std::string_view first = schema->children[0]->format;
  for (std::int64_t c = 0; c < schema->n_children; ++c) {
    if (std::string_view(schema->children[c]->format) != first) return kStreamLayout;
  }
  if (first == "vu") return TextLayout::kUtf8View;
  return kStreamLayout;
}

namespace {

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

PyObject* arrow_stream_capsule(RowCursor& cursor, std::span<const std::string> header,
                               TextLayout layout) {
  return exported_capsule<ArrowArrayStream>([&](ArrowArrayStream* stream) {
    TakenRows taken;
    if (cursor.take_rest(taken) < 0) return -1;
    export_stream(std::move(taken.rows), taken.first, column_names(header, taken.width), stream, {},
                  layout);
    return 0;
  });
}

PyObject* arrow_schema_capsule(RowCursor& cursor, std::span<const std::string> header) {
  return exported_capsule<ArrowSchema>([&](ArrowSchema* schema) {
    std::size_t width = 0;
    if (cursor.width(width) < 0) return -1;
    export_schema(column_names(header, width), schema, kStreamLayout);
    return 0;
  });
}

}  // namespace csv_mendle::python
