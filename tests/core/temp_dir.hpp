// Scratch files for the file tests: a fresh directory per test, removed with
// everything in it, and whole-file reads and writes.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>

namespace csv_mendle::testing {

struct TempDir {
  std::filesystem::path path;
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "csv_mendle_test.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string operator/(std::string_view name) const { return (path / name).string(); }
  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(path)) names.insert(e.path().filename());
    return names;
  }
};

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void spill(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace csv_mendle::testing
