// CoreError: the one error value of the core. A kind with its payload, turned into text
// only by render(). Core functions return Result<T>; nothing is thrown across a layer but an
// allocation failure (std::bad_alloc), which every layer lets pass, undoing what the call
// had begun on the way out as for any other failure, and which the binding raises as
// MemoryError.
#pragma once

#include <cstdint>
#include <expected>
#include <new>
#include <string>
#include <utility>

namespace tornquil {

enum class ErrorKind : uint8_t {
  Io,
  Database,
  DimensionMismatch,
  DimensionsTooLarge,
  InvalidDimensions,
  InvalidInput,
  InvalidFormat,
  Deserialization,
  NotFound,
  CollectionNotFound,
  CollectionExists,
  Corruption,
  Serialization,
  Transaction,
  Lock,
};

class CoreError {
 public:
  // Text kinds. For Io the text is the operating system's message.
  static CoreError io(std::string text) { return {ErrorKind::Io, std::move(text)}; }
  // Io from an errno value: the system's message and its code.
  static CoreError io_errno(int err);
  static CoreError database(std::string t) { return {ErrorKind::Database, std::move(t)}; }
  static CoreError invalid_input(std::string t) { return {ErrorKind::InvalidInput, std::move(t)}; }
  static CoreError invalid_format(std::string t) {
    return {ErrorKind::InvalidFormat, std::move(t)};
  }
  static CoreError deserialization(std::string t) {
    return {ErrorKind::Deserialization, std::move(t)};
  }
  static CoreError not_found(std::string t) { return {ErrorKind::NotFound, std::move(t)}; }
  static CoreError collection_not_found(std::string t) {
    return {ErrorKind::CollectionNotFound, std::move(t)};
  }
  static CoreError collection_exists(std::string t) {
    return {ErrorKind::CollectionExists, std::move(t)};
  }
  static CoreError corruption(std::string t) { return {ErrorKind::Corruption, std::move(t)}; }
  static CoreError serialization(std::string t) { return {ErrorKind::Serialization, std::move(t)}; }
  static CoreError transaction(std::string t) { return {ErrorKind::Transaction, std::move(t)}; }
  static CoreError lock(std::string t) { return {ErrorKind::Lock, std::move(t)}; }

  // Two-number kinds, in the order of their templates.
  static CoreError dimension_mismatch(uint64_t expected, uint64_t got) {
    return {ErrorKind::DimensionMismatch, expected, got};
  }
  static CoreError dimensions_too_large(uint64_t maximum, uint64_t got) {
    return {ErrorKind::DimensionsTooLarge, maximum, got};
  }
  static CoreError invalid_dimensions(uint64_t expected, uint64_t got) {
    return {ErrorKind::InvalidDimensions, expected, got};
  }

  // "Slot {} not allocated" inside NotFound.
  static CoreError slot_not_allocated(uint64_t slot) {
    return not_found("Slot " + std::to_string(slot) + " not allocated");
  }

  ErrorKind kind() const { return kind_; }
  const std::string& text() const { return text_; }
  uint64_t first() const { return a_; }
  uint64_t second() const { return b_; }

  // The kind's template with the payload inserted. Never fails.
  std::string render() const;

 private:
  CoreError(ErrorKind k, std::string t) : kind_(k), text_(std::move(t)) {}
  CoreError(ErrorKind k, uint64_t a, uint64_t b) : kind_(k), a_(a), b_(b) {}

  ErrorKind kind_;
  std::string text_;
  uint64_t a_ = 0;
  uint64_t b_ = 0;
};

template <class T>
using Result = std::expected<T, CoreError>;

// DimensionMismatch naming both lengths unless a vector of `got` floats fits `expected`.
inline Result<void> check_dimensions(uint64_t expected, uint64_t got) {
  if (got == expected) return {};
  return std::unexpected(CoreError::dimension_mismatch(expected, got));
}

// Returns the error of a failed Result from the enclosing function.
#define TQ_TRY(expr)                                                      \
  do {                                                                    \
    auto&& tq_try_r_ = (expr);                                            \
    if (!tq_try_r_) return std::unexpected(std::move(tq_try_r_).error()); \
  } while (0)

// Binds the value of a successful Result to `lhs`, or returns its error.
#define TQ_CONCAT_INNER(a, b) a##b
#define TQ_CONCAT(a, b) TQ_CONCAT_INNER(a, b)
#define TQ_ASSIGN(lhs, expr) TQ_ASSIGN_IMPL(TQ_CONCAT(tq_assign_r_, __LINE__), lhs, expr)
#define TQ_ASSIGN_IMPL(tmp, lhs, expr)                      \
  auto tmp = (expr);                                        \
  if (!tmp) return std::unexpected(std::move(tmp).error()); \
  lhs = std::move(*tmp)

// Runs `f`, work whose failure for want of memory the caller can afford to drop: the last
// flush of a destructor, the give-back of slots on a failure path, the release of slots
// after a change was committed (compaction's sweep finds a slot whose release was dropped).
// True when f ran to its end, false when an allocation inside it failed. Any other
// exception ends the process, as everywhere in the core.
template <class F>
bool ignore_allocation_failure(F&& f) noexcept {
  try {
    f();
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Ends the process for a state no input can produce.
[[noreturn]] void fatal(const char* what);

}  // namespace tornquil
