// Test helpers for the storage tests: a scratch directory removed afterwards, whole files
// read and written as bytes, and little-endian integers for hand-built layouts.
#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace tornquil::testing {

class TestDir {
 public:
  TestDir() {
    static std::atomic<int> counter{0};
    path_ =
        std::filesystem::temp_directory_path() / ("tornquil-storage-" + std::to_string(::getpid()) +
                                                  "-" + std::to_string(counter.fetch_add(1)));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TestDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TestDir(const TestDir&) = delete;
  TestDir& operator=(const TestDir&) = delete;

  std::string file(const std::string& name) const { return (path_ / name).string(); }
  std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

inline std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The `width` low bytes of v, least significant first: hand-built stored layouts.
inline std::string le(uint64_t v, int width) {
  std::string s;
  for (int i = 0; i < width; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

inline uint64_t file_size(const std::string& path) { return std::filesystem::file_size(path); }

}  // namespace tornquil::testing
