// OwnedRef: the one owner of a strong reference to a Python object, so the
// binding code never pairs increments and decrements by hand.
//
// Move-only.  `steal` adopts a reference the caller already owns (the result
// of a C-API call that returns a new reference), `borrow` takes a new one;
// the destructor drops it with Py_CLEAR, and `release` hands it back to the
// interpreter (typically as the return value of an entry point).
#pragma once

#include <Python.h>

#include <utility>

namespace csv_mendle::python {

class OwnedRef {
 public:
  OwnedRef() noexcept = default;

  // Adopts `object` (may be null, e.g. a failed C-API call).
  [[nodiscard]] static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }

  // Takes a new strong reference to `object` (may be null).
  [[nodiscard]] static OwnedRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return OwnedRef(object);
  }

  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;

  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }

  ~OwnedRef() { Py_CLEAR(object_); }

  [[nodiscard]] PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Gives up ownership: the caller now owns the reference.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

  void reset() noexcept { Py_CLEAR(object_); }

 private:
  explicit OwnedRef(PyObject* object) noexcept : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace csv_mendle::python
