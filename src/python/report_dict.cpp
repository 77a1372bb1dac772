#include "report_dict.hpp"

#include <cstdint>
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

namespace {

struct ChangeKind {
  const char* name;
  ChangeCount ChangeAccount::*count;
  // One more number that the kind carries, when it has one.
  const char* extra_name = nullptr;
  std::uint64_t ChangeAccount::*extra = nullptr;
};

const ChangeKind kChangeKinds[] = {
    {"quotes_repaired", &ChangeAccount::quotes_repaired},
    {"padded", &ChangeAccount::padded},
    {"merged", &ChangeAccount::merged},
    {"quarantined_short", &ChangeAccount::quarantined_short},
    {"quarantined_long", &ChangeAccount::quarantined_long},
    {"blank_lines", &ChangeAccount::blank_lines},
    {"skipped_lines", &ChangeAccount::skipped_lines},
    {"comment_lines", &ChangeAccount::comment_lines},
    {"invalid_utf8", &ChangeAccount::invalid_utf8, "sequences", &ChangeAccount::invalid_sequences},
    {"unclosed_quote", &ChangeAccount::unclosed_quote, "absorbed_lines",
     &ChangeAccount::absorbed_lines},
};

int set_number(PyObject* dict, const char* key, std::uint64_t number) {
  const OwnedRef value = OwnedRef::steal(PyLong_FromUInt64(number));
  if (!value) return -1;
  return PyDict_SetItemString(dict, key, value.get());
}

int add_kind(PyObject* changes, const char* name, const ChangeCount& count,
             const char* extra_name = nullptr, std::uint64_t extra = 0) {
  const OwnedRef kind = OwnedRef::steal(PyDict_New());
  if (!kind || set_number(kind.get(), "rows", count.rows) < 0 ||
      set_number(kind.get(), "first_line", count.first_line) < 0) {
    return -1;
  }
  if (extra_name != nullptr && set_number(kind.get(), extra_name, extra) < 0) return -1;
  return PyDict_SetItemString(changes, name, kind.get());
}

}  // namespace

PyObject* changes_dict(const ChangeAccount& account) {
  OwnedRef changes = OwnedRef::steal(PyDict_New());
  if (!changes) return nullptr;
  for (const ChangeKind& kind : kChangeKinds) {
    const ChangeCount& count = account.*kind.count;
    if (count.rows == 0) continue;
    const std::uint64_t extra = kind.extra != nullptr ? account.*kind.extra : 0;
    if (add_kind(changes.get(), kind.name, count, kind.extra_name, extra) < 0) return nullptr;
  }
  // The mark is at most one, and always on the first line.
  if (account.bom_removed && add_kind(changes.get(), "bom_removed", ChangeCount{1, 1}) < 0) {
    return nullptr;
  }
  return changes.release();
}

}  // namespace csv_mendle::python
