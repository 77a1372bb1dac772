// The package API's files: paths given as str, bytes or os.PathLike, an
// input given as its bytes instead, and the exceptions that name the file
// that failed, as Python's own file functions do.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>

#include "buffer_view.hpp"
#include "error.hpp"
#include "mendle_file.hpp"
#include "owned_ref.hpp"

namespace csv_mendle::python {

struct FsPath {
  OwnedRef shown;      // os.fspath() of the argument, str or bytes: OSError.filename
  std::string native;  // the bytes the system calls take (str: the file system encoding)
};

// Converts a path argument.  Returns 0, or -1 with the interpreter's own
// exception set: TypeError for another type, ValueError for an embedded NUL,
// UnicodeEncodeError for a str the file system encoding cannot take.
[[nodiscard]] int fs_path(PyObject* object, FsPath& path);

// As fs_path, with None converting to no path.
[[nodiscard]] int optional_fs_path(PyObject* object, std::optional<FsPath>& path);

// The native form of an optional path, for the core.
inline std::optional<std::string_view> native_path(const std::optional<FsPath>& path) noexcept {
  if (!path) return std::nullopt;
  return path->native;
}

// The `source` of repair and read: a path (str, bytes, os.PathLike), or the
// input itself in memory: any other bytes-like object (bytearray,
// memoryview, ...), or what a binary file object's read() returns, read
// whole.  The bytes stay exported until the object is destroyed, so the core
// may read them with the thread detached.
class SourceArgument {
 public:
  // 0, or -1 with the exception set: TypeError for an object that is none of
  // these or a file object whose read() gives str (a text-mode file), and
  // what fs_path or read() raise.
  [[nodiscard]] int take(PyObject* object);
  InputSource input() const noexcept {
    return path_ ? InputSource::path(path_->native) : InputSource::bytes(view_.bytes());
  }
  // The name an error about the input shows: the path, or null for bytes.
  PyObject* shown() const noexcept { return path_ ? path_->shown.get() : nullptr; }

 private:
  std::optional<FsPath> path_;
  OwnedRef read_;  // what read() returned, exported by view_
  BufferView view_;
};

// The paths of one call, each borrowed and null when the call has no such
// file: the name that an error about that file shows.
struct FileNames {
  PyObject* input = nullptr;
  PyObject* output = nullptr;
  PyObject* quarantine = nullptr;
};

// Raises what the package's API raises for `error`: for a system error the
// OSError subclass Python chooses for its number, with errno, strerror and
// filename (the file the error names); OSError with the text as strerror
// and the filename for a write the file refused; MemoryError for an input
// that no memory can hold; ValueError for a path refused before any system
// call and for an input that cannot be decoded (compressed data cut short or
// corrupt, UTF-16 or UTF-32 of a broken length).  Returns null.
PyObject* raise_file_error(const MendleError& error, const FileNames& names);

}  // namespace csv_mendle::python
