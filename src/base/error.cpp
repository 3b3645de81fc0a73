// Rendering of CoreError and the process-ending path for broken invariants.
#include "base/error.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tornquil {

CoreError CoreError::io_errno(int err) {
  return io(std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")");
}

std::string CoreError::render() const {
  auto two = [this](const char* head, const char* mid) {
    return std::string(head) + std::to_string(a_) + mid + std::to_string(b_);
  };
  switch (kind_) {
    case ErrorKind::Io: return "I/O error: " + text_;
    case ErrorKind::Database: return "Database error: " + text_;
    case ErrorKind::DimensionMismatch: return two("Dimension mismatch: expected ", ", got ");
    case ErrorKind::DimensionsTooLarge: return two("Dimensions too large: maximum is ", ", got ");
    case ErrorKind::InvalidDimensions: return two("Invalid dimensions: expected ", ", got ");
    case ErrorKind::InvalidInput: return "Invalid input: " + text_;
    case ErrorKind::InvalidFormat: return "Invalid format: " + text_;
    case ErrorKind::Deserialization: return "Deserialization error: " + text_;
    case ErrorKind::NotFound: return "Record not found: " + text_;
    case ErrorKind::CollectionNotFound: return "Collection not found: " + text_;
    case ErrorKind::CollectionExists: return "Collection already exists: " + text_;
    case ErrorKind::Corruption: return "Data corruption: " + text_;
    case ErrorKind::Serialization: return "Serialization error: " + text_;
    case ErrorKind::Transaction: return "Transaction error: " + text_;
    case ErrorKind::Lock: return "Lock error: " + text_;
  }
  return text_;
}

void fatal(const char* what) {
  std::fprintf(stderr, "tornquil: fatal: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

}  // namespace tornquil
