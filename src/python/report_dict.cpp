#include "report_dict.hpp"

#include <utility>

#include "owned_ref.hpp"
#include "utf8.hpp"

namespace csv_mendle::python {

std::string delimiter_text(const RepairReport& report) {
  return std::string(latin1_char(static_cast<unsigned char>(report.detected_delimiter)).view());
}

PyObject* text_object(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* report_dict(const RepairReport& report) {
  OwnedRef dict = OwnedRef::steal(PyDict_New());
  if (!dict) return nullptr;
  // Insertion order is the order the dict iterates in.
  const std::pair<const char*, OwnedRef> entries[] = {
      {"total_rows", OwnedRef::steal(PyLong_FromUInt64(report.total_rows))},
      {"mendled_rows", OwnedRef::steal(PyLong_FromUInt64(report.mendled_rows))},
      {"repaired_rows", OwnedRef::steal(PyLong_FromUInt64(report.repaired_rows))},
      {"quarantined_rows", OwnedRef::steal(PyLong_FromUInt64(report.quarantined_rows))},
      {"detected_delimiter", OwnedRef::steal(text_object(delimiter_text(report)))},
      {"inferred_columns", OwnedRef::steal(PyLong_FromUInt64(report.inferred_columns))},
  };
  for (const auto& [key, value] : entries) {
    if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace csv_mendle::python
