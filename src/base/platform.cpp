// POSIX implementation of the platform layer.
#include "base/platform.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace tornquil::platform {

namespace {
std::unexpected<CoreError> last_error() { return std::unexpected(CoreError::io_errno(errno)); }

// The system reads a path up to its first NUL byte, so a path holding one would name
// another file: such a path is refused before any call touches the file system.
bool holds_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

std::unexpected<CoreError> nul_in_path() {
  return std::unexpected(CoreError::invalid_input("Path contains a NUL byte"));
}
}  // namespace

std::string join_path(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (a.back() == '/') return a + b;
  return a + "/" + b;
}

Result<void> create_dir_all(const std::string& path) {
  if (holds_nul(path)) return nul_in_path();
  if (path.empty()) return {};
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return {};
    return std::unexpected(CoreError::io_errno(EEXIST));
  }
  const size_t cut = path.find_last_of('/', path.size() > 1 ? path.size() - 2 : 0);
  if (cut != std::string::npos && cut > 0) {
    auto parent = create_dir_all(path.substr(0, cut));
    if (!parent) return parent;
  }
  if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return last_error();
  return {};
}

namespace {
Result<void> remove_tree_at(int dirfd, const char* name) {
  int fd = ::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOTDIR || errno == ELOOP) {
      if (::unlinkat(dirfd, name, 0) != 0) return last_error();
      return {};
    }
    return last_error();
  }
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    ::close(fd);
    return last_error();
  }
  Result<void> result;
  while (dirent* e = ::readdir(d)) {
    std::string_view n = e->d_name;
    if (n == "." || n == "..") continue;
    auto r = remove_tree_at(::dirfd(d), e->d_name);
    if (!r) {
      result = r;
      break;
    }
  }
  ::closedir(d);
  if (!result) return result;
  if (::unlinkat(dirfd, name, AT_REMOVEDIR) != 0) return last_error();
  return {};
}
}  // namespace

Result<void> remove_dir_all(const std::string& path) {
  if (holds_nul(path)) return nul_in_path();
  return remove_tree_at(AT_FDCWD, path.c_str());
}

Result<bool> path_exists(const std::string& path) {
  if (holds_nul(path)) return nul_in_path();
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return true;
  if (errno == ENOENT || errno == ENOTDIR) return false;
  return last_error();
}

Result<std::optional<FileId>> file_id(const std::string& path) {
  if (holds_nul(path)) return nul_in_path();
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::optional<FileId>();
    return last_error();
  }
  return std::optional<FileId>(
      FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)});
}

Result<std::vector<std::string>> list_dir(const std::string& path) {
  if (holds_nul(path)) return nul_in_path();
  DIR* d = ::opendir(path.c_str());
  if (d == nullptr) return last_error();
  std::vector<std::string> names;
  errno = 0;
  while (dirent* e = ::readdir(d)) {
    std::string_view n = e->d_name;
    if (n != "." && n != "..") names.emplace_back(n);
    errno = 0;
  }
  const int err = errno;
  ::closedir(d);
  if (err != 0) return std::unexpected(CoreError::io_errno(err));
  return names;
}

File::~File() { close(); }

File& File::operator=(File&& o) noexcept {
  if (this != &o) {
    close();
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

void File::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Result<File> File::open(const std::string& path, Mode mode) {
  if (holds_nul(path)) return nul_in_path();
  int flags = O_RDWR | O_CLOEXEC;
  if (mode == Mode::Create) flags |= O_CREAT;
  if (mode == Mode::CreateTruncate) flags |= O_CREAT | O_TRUNC;
  if (mode == Mode::ReadOnly) flags = O_RDONLY | O_CLOEXEC;
  int fd = ::open(path.c_str(), flags, 0666);
  if (fd < 0) return last_error();
  return File(fd);
}

Result<uint64_t> File::length() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return last_error();
  return static_cast<uint64_t>(st.st_size);
}

Result<void> File::set_length(uint64_t len) const {
  if (len > static_cast<uint64_t>(INT64_MAX)) return std::unexpected(CoreError::io_errno(EFBIG));
  if (::ftruncate(fd_, static_cast<off_t>(len)) != 0) return last_error();
  return {};
}

Result<void> File::sync() const {
  if (::fsync(fd_) != 0) return last_error();
  return {};
}

Result<bool> File::try_lock_exclusive() const {
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
  if (errno == EWOULDBLOCK) return false;
  return last_error();
}

Result<size_t> File::read_at(void* buf, size_t n, uint64_t offset) const {
  size_t done = 0;
  while (done < n) {
    ssize_t r =
        ::pread(fd_, static_cast<char*>(buf) + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return done;
}

Result<size_t> File::read(void* buf, size_t n) const {
  for (;;) {
    ssize_t r = ::read(fd_, buf, n);
    if (r >= 0) return static_cast<size_t>(r);
    if (errno != EINTR) return last_error();
  }
}

Result<void> File::write_all(const void* buf, size_t n) const {
  size_t done = 0;
  while (done < n) {
    ssize_t r = ::write(fd_, static_cast<const char*>(buf) + done, n - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    done += static_cast<size_t>(r);
  }
  return {};
}

Result<void> File::write_at(const void* buf, size_t n, uint64_t offset) const {
  size_t done = 0;
  while (done < n) {
    ssize_t r = ::pwrite(fd_, static_cast<const char*>(buf) + done, n - done,
                         static_cast<off_t>(offset + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    done += static_cast<size_t>(r);
  }
  return {};
}

void File::start_writeback(uint64_t offset, uint64_t n) const {
  (void)::sync_file_range(fd_, static_cast<off64_t>(offset), static_cast<off64_t>(n),
                          SYNC_FILE_RANGE_WRITE);
}

ReplacingFile::~ReplacingFile() { discard(); }

ReplacingFile::ReplacingFile(ReplacingFile&& o) noexcept
    : file_(std::move(o.file_)), temp_(std::move(o.temp_)), target_(std::move(o.target_)) {
  o.temp_.clear();
}

ReplacingFile& ReplacingFile::operator=(ReplacingFile&& o) noexcept {
  if (this != &o) {
    discard();
    file_ = std::move(o.file_);
    temp_ = std::move(o.temp_);
    target_ = std::move(o.target_);
    o.temp_.clear();
  }
  return *this;
}

void ReplacingFile::discard() {
  file_.close();
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
}

Result<ReplacingFile> ReplacingFile::create(const std::string& target) {
  if (holds_nul(target)) return nul_in_path();
  ReplacingFile out;
  out.target_ = target;
  std::optional<mode_t> keep_mode;
  struct stat st;
  if (::stat(target.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      // A pipe or a device has no contents to keep; a directory fails here as before.
      int fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
      if (fd < 0) return last_error();
      out.file_ = File(fd);
      return out;
    }
    // The new file takes the target's place, so it may do so only where the caller could
    // write the target itself. An open for writing checks that with the caller's own rights
    // (ACLs and read-only mounts included) and changes nothing; O_NONBLOCK keeps it from
    // waiting should a pipe have taken the target's place since the stat.
    const int probe = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (probe < 0) return last_error();
    ::close(probe);
    keep_mode = st.st_mode & 07777;
    struct stat lst;
    if (::lstat(target.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
      char* real = ::realpath(target.c_str(), nullptr);
      if (real == nullptr) return last_error();
      out.target_ = real;
      ::free(real);
    }
  } else if (errno != ENOENT) {
    return last_error();
  }
  for (int attempt = 0;; ++attempt) {
    unsigned char r[6];
    random_bytes(r, sizeof(r));
    static constexpr char kHex[] = "0123456789abcdef";
    std::string temp = out.target_ + ".tmp-";
    for (unsigned char b : r) {
      temp.push_back(kHex[b >> 4]);
      temp.push_back(kHex[b & 15]);
    }
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST && attempt < 8) continue;
      return last_error();
    }
    out.file_ = File(fd);
    out.temp_ = std::move(temp);
    break;
  }
  // The umask applies at creation; an existing target's bits are kept exactly.
  if (keep_mode && ::fchmod(out.file_.fd(), *keep_mode) != 0) return last_error();
  return out;
}

Result<void> ReplacingFile::commit() {
  if (temp_.empty()) {
    file_.close();
    return {};
  }
  // Durable before the rename: otherwise a crash could put an empty file in the place of
  // a good one.
  TQ_TRY(file_.sync());
  file_.close();
  if (::rename(temp_.c_str(), target_.c_str()) != 0) return last_error();
  temp_.clear();
  return {};
}

Mapping::~Mapping() {
  if (base_ != nullptr) ::munmap(base_, len_);
}

Mapping& Mapping::operator=(Mapping&& o) noexcept {
  if (this != &o) {
    if (base_ != nullptr) ::munmap(base_, len_);
    base_ = o.base_;
    len_ = o.len_;
    o.base_ = nullptr;
    o.len_ = 0;
  }
  return *this;
}

namespace {

// Maps the first len bytes shared; nullptr for len 0, which mmap refuses.
Result<unsigned char*> map_shared(const File& file, uint64_t len, int prot) {
  if (len == 0) return nullptr;
  if (len > SIZE_MAX) return std::unexpected(CoreError::io_errno(ENOMEM));
  void* p = ::mmap(nullptr, static_cast<size_t>(len), prot, MAP_SHARED, file.fd(), 0);
  if (p == MAP_FAILED) return last_error();
  return static_cast<unsigned char*>(p);
}

}  // namespace

Result<Mapping> Mapping::map(const File& file, uint64_t len) {
  Mapping m;
  TQ_ASSIGN(m.base_, map_shared(file, len, PROT_READ | PROT_WRITE));
  if (m.base_ != nullptr) m.len_ = len;
  return m;
}

Result<Mapping> Mapping::map_read_only(const File& file, uint64_t len) {
  Mapping m;
  TQ_ASSIGN(m.base_, map_shared(file, len, PROT_READ));
  if (m.base_ != nullptr) m.len_ = len;
  return m;
}

Result<void> Mapping::flush() const {
  if (base_ == nullptr) return {};
  if (::msync(base_, static_cast<size_t>(len_), MS_SYNC) != 0) return last_error();
  return {};
}

Result<void> Mapping::sync_to_disk(const File& file) const {
  if (::fdatasync(file.fd()) != 0) return last_error();
  return {};
}

int64_t wall_clock_ns() {
  timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

uint64_t monotonic_ns() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

void random_bytes(void* buf, size_t n) {
  auto* p = static_cast<unsigned char*>(buf);
  while (n > 0) {
    ssize_t r = ::getrandom(p, n, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      fatal("the operating system's random source failed");
    }
    p += r;
    n -= static_cast<size_t>(r);
  }
}

RwLock::RwLock() {
  pthread_rwlockattr_t attr;
  if (::pthread_rwlockattr_init(&attr) != 0 ||
      ::pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP) != 0 ||
      ::pthread_rwlock_init(&lock_, &attr) != 0) {
    fatal("a reader-writer lock could not be made");
  }
  ::pthread_rwlockattr_destroy(&attr);
}

unsigned logical_processors() {
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof(set), &set) == 0) {
    int c = CPU_COUNT(&set);
    if (c > 0) return static_cast<unsigned>(c);
  }
  long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 1;
}

}  // namespace tornquil::platform
