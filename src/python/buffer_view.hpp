// A bytes-like object's contents, exported for the life of the view.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

namespace csv_mendle::python {

// While the view holds the export, the exporter keeps its memory where it
// is (a bytearray refuses to resize): the bytes may be read with the thread
// detached from the interpreter.
class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }

  // 0, or -1 with TypeError when `object` is not bytes-like.
  [[nodiscard]] int take(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) return -1;
    held_ = true;
    return 0;
  }
  std::string_view bytes() const noexcept {
    return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace csv_mendle::python
