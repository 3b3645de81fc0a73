// The seam to the operating system: files, directories, whole-file locks, shared memory
// maps, clocks and the random source. The only code that calls POSIX; a port replaces
// platform.cpp alone. Every failure is CoreError Io with the system's message, except a
// path holding a NUL byte, which every call taking a path refuses as InvalidInput "Path
// contains a NUL byte" before it touches the file system.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error.hpp"

namespace tornquil::platform {

// Joins two path pieces with the platform separator.
std::string join_path(const std::string& a, const std::string& b);

// Creates the directory and every missing parent.
Result<void> create_dir_all(const std::string& path);
// Removes a directory tree; a missing tree is an error (ENOENT).
Result<void> remove_dir_all(const std::string& path);
// True when the path exists, false when it does not; any other failure of the query is Io.
Result<bool> path_exists(const std::string& path);

// What makes a file itself, whatever path names it (hard links, symbolic links, "..").
struct FileId {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileId&) const = default;
};
// The identity of the file the path names, symbolic links followed; nullopt when nothing
// is there (a missing file, or a missing directory on the way).
Result<std::optional<FileId>> file_id(const std::string& path);

// The names in a directory, "." and ".." left out, in no particular order.
Result<std::vector<std::string>> list_dir(const std::string& path);

// An open file descriptor, closed by its owner.
class File {
 public:
  File() = default;
  ~File();
  File(File&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  File& operator=(File&& o) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  enum class Mode { OpenExisting, Create, CreateTruncate, ReadOnly };
  // Opens for reading and writing; ReadOnly opens an existing file for reading only.
  static Result<File> open(const std::string& path, Mode mode);

  Result<uint64_t> length() const;
  Result<void> set_length(uint64_t len) const;
  // Forces the file's data and metadata to the disk.
  Result<void> sync() const;
  // Exclusive whole-file lock without waiting; false when another open file holds it.
  // The lock belongs to this open file and goes with close().
  Result<bool> try_lock_exclusive() const;
  // Reads up to n bytes at an offset; returns the count read.
  Result<size_t> read_at(void* buf, size_t n, uint64_t offset) const;
  // Reads up to n bytes from the file position, as a pipe or a device must be read; returns
  // the count read, 0 only at the end of the file (n > 0).
  Result<size_t> read(void* buf, size_t n) const;
  Result<void> write_all(const void* buf, size_t n) const;
  // Writes all n bytes at an offset, leaving the file position alone.
  Result<void> write_at(const void* buf, size_t n, uint64_t offset) const;
  // Starts writing the range's dirty pages to the disk without waiting for them, so that a
  // later sync has less left to do. Only a hint: it makes nothing durable, and a failure is
  // ignored, since the sync that follows reports any write error itself.
  void start_writeback(uint64_t offset, uint64_t n) const;

  int fd() const { return fd_; }
  void close();

 private:
  friend class ReplacingFile;
  explicit File(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// A file written whole or not at all. For a regular file (or a path where nothing is yet)
// the bytes go to a new file beside the target, which commit() makes durable and renames
// over the target: until then the target keeps its old contents, and a writer dropped
// without commit() removes its file. The new file takes an existing target's permission
// bits. A symbolic link is followed, so the file it points to is the one replaced. An
// existing target the caller may not write (as an open for writing would find) is refused
// with that open's error before any file is made. Any other existing target (a pipe, a
// device) cannot be replaced and is written in place.
class ReplacingFile {
 public:
  ReplacingFile() = default;
  ~ReplacingFile();
  ReplacingFile(ReplacingFile&& o) noexcept;
  ReplacingFile& operator=(ReplacingFile&& o) noexcept;
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  static Result<ReplacingFile> create(const std::string& target);

  const File& file() const { return file_; }
  // Forces the bytes to the disk, then puts the file in the target's place (for a target
  // written in place, just closes it).
  Result<void> commit();

 private:
  void discard();

  File file_;
  std::string temp_;    // empty when the target is written in place
  std::string target_;  // the path the temporary file is renamed to
};

// A whole file mapped shared and read-write. Unmapped by its owner, without flushing.
class Mapping {
 public:
  Mapping() = default;
  ~Mapping();
  Mapping(Mapping&& o) noexcept : base_(o.base_), len_(o.len_) {
    o.base_ = nullptr;
    o.len_ = 0;
  }
  Mapping& operator=(Mapping&& o) noexcept;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  // Maps the first `len` bytes of the file (len 0 gives an empty mapping).
  static Result<Mapping> map(const File& file, uint64_t len);
  // Maps the first `len` bytes for reading only; the file may be open read-write. A write
  // through the view is a fault, so a reader cannot damage the file by mistake.
  static Result<Mapping> map_read_only(const File& file, uint64_t len);

  // Writes the whole view back to the file and waits for it.
  Result<void> flush() const;

  // Makes the view and the mapped file durable: every byte written through the view and
  // the file's length reach the disk. The page cache is shared between a shared mapping
  // and its file here, so one data sync of the file does it.
  Result<void> sync_to_disk(const File& file) const;

  unsigned char* data() const { return base_; }
  uint64_t size() const { return len_; }

 private:
  unsigned char* base_ = nullptr;
  uint64_t len_ = 0;
};

// A reader-writer lock that admits no new reader while a writer waits, so that a steady
// stream of readers (searches) cannot keep a writer out: the writer waits only for the
// readers already inside. The price is that one thread must never hold it for reading twice
// (nor wait, while holding it for reading, for another thread that takes it for reading): a
// writer that arrives between the two holds the second reader back behind itself, and the
// first never lets go. Meets the SharedMutex requirements, for std::shared_lock and
// std::unique_lock. Not recursive for writing either. A failure of the system lock (a broken
// invariant, such as a thread taking it twice for writing) ends the process.
class RwLock {
 public:
  RwLock();
  ~RwLock() { ::pthread_rwlock_destroy(&lock_); }
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  void lock() { check(::pthread_rwlock_wrlock(&lock_)); }
  bool try_lock() { return ::pthread_rwlock_trywrlock(&lock_) == 0; }
  void unlock() { check(::pthread_rwlock_unlock(&lock_)); }
  void lock_shared() { check(::pthread_rwlock_rdlock(&lock_)); }
  bool try_lock_shared() { return ::pthread_rwlock_tryrdlock(&lock_) == 0; }
  void unlock_shared() { check(::pthread_rwlock_unlock(&lock_)); }

 private:
  static void check(int rc) {
    if (rc != 0) fatal("a reader-writer lock failed");
  }
  pthread_rwlock_t lock_;
};

// Wall-clock time since the Unix epoch in nanoseconds; negative before 1970.
int64_t wall_clock_ns();
// A monotonic clock in nanoseconds, for durations.
uint64_t monotonic_ns();

// Fills the buffer from the operating system's random source.
void random_bytes(void* buf, size_t n);

// Number of logical processors available to this process.
unsigned logical_processors();

}  // namespace tornquil::platform
