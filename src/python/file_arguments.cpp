#include "file_arguments.hpp"

#include <cerrno>

namespace csv_mendle::python {

int fs_path(PyObject* object, FsPath& path) {
  path.shown = OwnedRef::steal(PyOS_FSPath(object));
  if (!path.shown) return -1;
  PyObject* encoded = nullptr;
  if (PyUnicode_FSConverter(path.shown.get(), &encoded) == 0) return -1;
  const OwnedRef bytes = OwnedRef::steal(encoded);
  path.native.assign(PyBytes_AS_STRING(bytes.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  return 0;
}

int optional_fs_path(PyObject* object, std::optional<FsPath>& path) {
  if (object == Py_None) {
    path.reset();
    return 0;
  }
  return fs_path(object, path.emplace());
}

namespace {

// Whether `object` names a file: str, bytes, or os.PathLike.
int is_path(PyObject* object) {
  if (PyUnicode_Check(object) || PyBytes_Check(object)) return 1;
  return PyObject_HasAttrStringWithError(object, "__fspath__");
}

}  // namespace

int SourceArgument::take(PyObject* object) {
  const int path = is_path(object);
  if (path < 0) return -1;
  if (path) return fs_path(object, path_.emplace());
  if (PyObject_CheckBuffer(object)) return view_.take(object);
  OwnedRef read;
  {
    PyObject* method = nullptr;
    if (PyObject_GetOptionalAttrString(object, "read", &method) < 0) return -1;
    read = OwnedRef::steal(method);
  }
  if (!read) {
    PyErr_Format(PyExc_TypeError,
                 "source must be a path (str, bytes or os.PathLike), a bytes-like object "
                 "(bytearray, memoryview) or a binary file object, not %T",
                 object);
    return -1;
  }
  read_ = OwnedRef::steal(PyObject_CallNoArgs(read.get()));
  if (!read_) return -1;
  if (PyUnicode_Check(read_.get())) {
    PyErr_SetString(PyExc_TypeError,
                    "source is a text file: its read() returned str; open it in binary mode ('rb')");
    return -1;
  }
  if (!PyObject_CheckBuffer(read_.get())) {
    PyErr_Format(PyExc_TypeError, "source's read() must return a bytes-like object, not %T",
                 read_.get());
    return -1;
  }
  return view_.take(read_.get());
}

namespace {

PyObject* name_of(const MendleError& error, const FileNames& names) noexcept {
  switch (error.file) {
    case MendleError::File::Input: return names.input;
    case MendleError::File::Output: return names.output;
    case MendleError::File::Quarantine: return names.quarantine;
    case MendleError::File::None: break;
  }
  return nullptr;
}

PyObject* raise_text(PyObject* type, const MendleError& error) {
  PyErr_SetString(type, error.text().c_str());
  return nullptr;
}

// OSError(None, text, filename): no error number to report, but the file.
PyObject* raise_refused_write(const MendleError& error, PyObject* filename) {
  if (filename == nullptr) return raise_text(PyExc_OSError, error);
  OwnedRef exception = OwnedRef::steal(
      PyObject_CallFunction(PyExc_OSError, "OsO", Py_None, error.text().c_str(), filename));
  if (exception) PyErr_SetRaisedException(exception.release());
  return nullptr;
}

}  // namespace

PyObject* raise_file_error(const MendleError& error, const FileNames& names) {
  PyObject* filename = name_of(error, names);
  switch (error.cause) {
    case MendleError::Cause::Os:
      // Python's own construction: the class from the number (through
      // OSError's constructor), strerror in the locale's text.
      errno = error.os_error;
      return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    case MendleError::Cause::WriteWhole:
    case MendleError::Cause::WriteBuffered:
      return raise_refused_write(error, filename);
    case MendleError::Cause::OutOfMemory:
      return raise_text(PyExc_MemoryError, error);
    case MendleError::Cause::NulInPath:
    case MendleError::Cause::QuarantineIsOutput:
    case MendleError::Cause::OddUtf16Length:
    case MendleError::Cause::BadUtf32Length:
    case MendleError::Cause::OutputQuoteIsDelimiter:
    case MendleError::Cause::CorruptGzip:
    case MendleError::Cause::CorruptBzip2:
    case MendleError::Cause::CorruptXz:
    case MendleError::Cause::CorruptZstd:
      break;
  }
  return raise_text(PyExc_ValueError, error);
}

}  // namespace csv_mendle::python
