// The vector file: creation, validation at open, growth and slot-level access.
#include "storage/vector_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>

#include "base/checksum.hpp"
#include "base/codec.hpp"

namespace tornquil {

namespace {

constexpr size_t kChecksummedBytes = 18;

// a * b + c, or nullopt when it does not fit in 64 bits.
std::optional<uint64_t> checked_muladd(uint64_t a, uint64_t b, uint64_t c) {
  uint64_t m;
  if (__builtin_mul_overflow(a, b, &m)) return std::nullopt;
  uint64_t s;
  if (__builtin_add_overflow(m, c, &s)) return std::nullopt;
  return s;
}

// The longest single write of a run of slots (see write_slots).
constexpr uint64_t kWritePiece = 64 * 1024;

// len * 1.5 in double precision, truncated; a product beyond u64 saturates.
uint64_t grown_length(uint64_t len) {
  const double g = static_cast<double>(len) * 1.5;
  // 2^64 as a double; anything at or above it does not convert.
  if (g >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(g);
}

// The length that growing slot by slot reaches from `len` once a file holds `needed` bytes:
// each slot that does not fit grows the file to the larger of its own end and 1.5 times
// the length so far. A run of slots then leaves the file as long as the same slots taken
// one at a time would, so the room left for later slots does not depend on how they came.
// slot_bytes > 0; needed > len.
uint64_t length_after_growth(uint64_t len, uint64_t slot_bytes, uint64_t needed) {
  while (len < needed) {
    const uint64_t held = len < kVectorHeaderBytes ? 0 : (len - kVectorHeaderBytes) / slot_bytes;
    // The end of the first slot that does not fit; at most `needed`, which did not overflow.
    const uint64_t next_end = kVectorHeaderBytes + (held + 1) * slot_bytes;
    len = std::max(next_end, grown_length(len));
  }
  return len;
}

// Maps the whole file as it now is.
Result<platform::Mapping> map_whole(const platform::File& f) {
  TQ_ASSIGN(uint64_t len, f.length());
  return platform::Mapping::map(f, len);
}

}  // namespace

Result<void> validate_dimensions(uint64_t d) {
  if (d == 0) return std::unexpected(CoreError::invalid_input("Dimensions must be greater than 0"));
  if (d > kMaxDimensions) {
    return std::unexpected(CoreError::dimensions_too_large(kMaxDimensions, d));
  }
  return {};
}

uint32_t header_checksum(const unsigned char* first18, uint16_t version) {
  if (version < 2) return fnv1a32(first18, kChecksummedBytes);
  return crc32_ieee(first18, kChecksummedBytes);
}

Result<VectorHeader> parse_vector_header(std::span<const unsigned char> bytes) {
  if (bytes.size() < kVectorHeaderBytes) {
    return std::unexpected(CoreError::corruption("File too small"));
  }
  const unsigned char* p = bytes.data();
  VectorHeader h;
  h.magic = load_le<uint32_t>(p);
  h.version = load_le<uint16_t>(p + 4);
  h.dimensions = load_le<uint32_t>(p + 6);
  h.slot_count = load_le<uint64_t>(p + 10);
  h.checksum = load_le<uint32_t>(p + 18);
  const uint32_t computed = header_checksum(p, h.version);
  if (computed != h.checksum) {
    return std::unexpected(CoreError::corruption("Header checksum mismatch: expected " +
                                                 hex_u32(h.checksum) + ", got " +
                                                 hex_u32(computed)));
  }
  return h;
}

void VectorStorage::store_slot_count() {
  unsigned char* p = map_.data();
  store_le<uint64_t>(p + 10, slot_count_);
  store_le<uint32_t>(p + 18, header_checksum(p, version_));
}

Result<VectorStorage> create_vector_file(const std::string& path, uint64_t d) {
  TQ_TRY(validate_dimensions(d));
  VectorStorage s;
  TQ_ASSIGN(s.file_, platform::File::open(path, platform::File::Mode::CreateTruncate));
  TQ_TRY(s.file_.set_length(kVectorHeaderBytes + d * 4 * kInitialSlots));
  TQ_ASSIGN(s.map_, map_whole(s.file_));
  if (s.map_.size() < kVectorHeaderBytes) {
    // Someone cut the file between sizing and mapping it.
    return std::unexpected(CoreError::io_errno(EIO));
  }
  unsigned char* p = s.map_.data();
  std::memset(p, 0, kVectorHeaderBytes);
  store_le<uint32_t>(p, kVectorMagic);
  store_le<uint16_t>(p + 4, kVectorVersion);
  store_le<uint32_t>(p + 6, static_cast<uint32_t>(d));
  s.dimensions_ = d;
  s.slot_bytes_ = d * 4;
  s.slot_count_ = 0;
  s.version_ = kVectorVersion;
  s.store_slot_count();
  return s;
}

Result<VectorStorage> open_vector_file(const std::string& path, uint64_t expected_d) {
  VectorStorage s;
  TQ_ASSIGN(s.file_, platform::File::open(path, platform::File::Mode::OpenExisting));
  TQ_ASSIGN(s.map_, map_whole(s.file_));
  if (s.map_.size() < kVectorHeaderBytes) {
    return std::unexpected(CoreError::corruption("Vector file too small for header"));
  }
  TQ_ASSIGN(VectorHeader h, parse_vector_header({s.map_.data(), s.map_.size()}));
  if (h.magic != kVectorMagic) {
    return std::unexpected(CoreError::corruption(
        "Invalid magic number: expected " + hex_u32(kVectorMagic) + ", got " + hex_u32(h.magic)));
  }
  if (h.version != 1 && h.version != 2) {
    return std::unexpected(CoreError::corruption("Unsupported version: expected 2 or 1, got " +
                                                 std::to_string(h.version)));
  }
  TQ_TRY(validate_dimensions(h.dimensions));
  TQ_TRY(check_dimensions(expected_d, h.dimensions));
  s.dimensions_ = h.dimensions;
  s.slot_bytes_ = s.dimensions_ * 4;
  s.slot_count_ = h.slot_count;
  s.version_ = h.version;

  // A header may claim more slots than the file holds: a growth's header page can reach
  // the disk before the file's new length does. Lengthen such a file when one growth step
  // could have produced the claim; anything larger is damage.
  const uint64_t file_len = s.map_.size();
  const auto needed = checked_muladd(s.slot_count_, s.slot_bytes_, kVectorHeaderBytes);
  if (!needed || *needed > file_len) {
    const uint64_t step = std::max(grown_length(file_len), file_len + s.slot_bytes_);
    if (!needed || *needed > step) {
      return std::unexpected(CoreError::corruption(
          "Header claims " + std::to_string(s.slot_count_) + " slots but the file holds " +
          std::to_string((file_len - kVectorHeaderBytes) / s.slot_bytes_)));
    }
    TQ_TRY(s.file_.set_length(*needed));
    TQ_ASSIGN(platform::Mapping grown, map_whole(s.file_));
    if (grown.size() < *needed) return std::unexpected(CoreError::io_errno(EIO));
    s.map_ = std::move(grown);
  }
  return s;
}

Result<void> cover_slot(VectorStorage& s, uint64_t slot) {
  if (slot < s.slot_count_) return {};
  const uint64_t room = s.map_.size() < kVectorHeaderBytes ? 0 : s.map_.size() - kVectorHeaderBytes;
  const uint64_t held = s.slot_bytes_ == 0 ? 0 : room / s.slot_bytes_;
  if (slot >= held) {
    return std::unexpected(CoreError::corruption("Slot " + std::to_string(slot) +
                                                 " is in use but the vector file holds only " +
                                                 std::to_string(held) + " slots"));
  }
  s.slot_count_ = slot + 1;
  s.store_slot_count();
  return {};
}

Result<uint64_t> append_slots(VectorStorage& s, uint64_t count) {
  uint64_t new_count;
  if (__builtin_add_overflow(s.slot_count_, count, &new_count)) {
    return std::unexpected(CoreError::io_errno(EFBIG));
  }
  const auto needed = checked_muladd(new_count, s.slot_bytes_, kVectorHeaderBytes);
  if (!needed) return std::unexpected(CoreError::io_errno(EFBIG));
  if (s.map_.size() < *needed) {
    const uint64_t new_len = length_after_growth(s.map_.size(), s.slot_bytes_, *needed);
    TQ_TRY(s.file_.set_length(new_len));
    // Everything written so far and the new length reach the disk before any header claims
    // the new slots, and before records naming them can be committed: after a crash the
    // file then holds every slot a header or a record names, however far one growth went.
    TQ_TRY(s.map_.flush());
    TQ_TRY(s.file_.sync());
    TQ_ASSIGN(platform::Mapping grown, map_whole(s.file_));
    if (grown.size() < *needed) return std::unexpected(CoreError::io_errno(EIO));
    s.map_ = std::move(grown);
  }
  const uint64_t first = s.slot_count_;
  s.slot_count_ = new_count;
  s.store_slot_count();
  return first;
}

Result<uint64_t> append_slot(VectorStorage& s) { return append_slots(s, 1); }

namespace {

// NotFound for a slot never allocated; Corruption for one whose bytes the file lacks,
// which the repair at open rules out for every file it accepted.
CoreError unreadable_slot(const VectorStorage& s, uint64_t slot) {
  if (slot >= s.slot_count()) return CoreError::slot_not_allocated(slot);
  return CoreError::corruption("Slot " + std::to_string(slot) +
                               " lies past the end of the vector file");
}

}  // namespace

Result<void> write_vector(VectorStorage& s, uint64_t slot, std::span<const float> v) {
  TQ_TRY(check_dimensions(s.dimensions_, v.size()));
  float* dst = s.slot_ptr(slot);
  if (dst == nullptr) return std::unexpected(unreadable_slot(s, slot));
  std::memcpy(dst, v.data(), s.slot_bytes_);
  return {};
}

Result<void> write_slots(VectorStorage& s, uint64_t first, std::span<const float> v) {
  const uint64_t dims = s.dimensions_;
  if (dims == 0 || v.size() % dims != 0) {
    return std::unexpected(CoreError::dimension_mismatch(dims, v.size()));
  }
  const uint64_t count = v.size() / dims;
  if (count == 0) return {};
  const uint64_t last = first + count - 1;
  if (last < first) return std::unexpected(CoreError::slot_not_allocated(first));
  // The mapping covers the file up to its end, so the last slot is inside it only when
  // every slot of the run is.
  if (s.slot_ptr(last) == nullptr) {
    const uint64_t bad = last >= s.slot_count_ ? std::max(first, s.slot_count_) : last;
    return std::unexpected(unreadable_slot(s, bad));
  }
  const uint64_t offset = kVectorHeaderBytes + first * s.slot_bytes_;
  const uint64_t bytes = v.size() * sizeof(float);
  // The page cache keeps a file in folios as large as the writes that filled it, and a
  // flush writes a dirty folio back whole: after one 1 MiB write, a single vector written
  // later into a reused slot of that range cost a 1 MiB write at its flush. So the run goes
  // in writes of at most kWritePiece that end on kWritePiece boundaries of the file, which
  // the disk takes as fast as one long write.
  const auto* src = reinterpret_cast<const unsigned char*>(v.data());
  for (uint64_t done = 0; done < bytes;) {
    const uint64_t at = offset + done;
    const uint64_t len = std::min(bytes - done, kWritePiece - at % kWritePiece);
    TQ_TRY(s.file_.write_at(src + done, static_cast<size_t>(len), at));
    done += len;
  }
  // The run is bound for the disk at the next flush; starting it now lets the disk work
  // while the caller prepares the next run.
  s.file_.start_writeback(offset, bytes);
  return {};
}

Result<void> write_deleted_marker(VectorStorage& s, uint64_t slot) {
  float* dst = s.slot_ptr(slot);
  if (dst == nullptr) return std::unexpected(unreadable_slot(s, slot));
  std::memcpy(dst, &kDeletedMarkerBits, 4);
  return {};
}

Result<std::span<const float>> read_vector(const VectorStorage& s, uint64_t slot) {
  std::span<const float> v = s.slot_view(slot);
  if (v.empty()) return std::unexpected(unreadable_slot(s, slot));
  return v;
}

Result<void> flush_vectors(const VectorStorage& s) {
  // The view, the mapping's handle and the storage's handle are one open file here, so a
  // single durable sync covers all three; each extra sync would cost a disk flush per
  // write-buffer commit.
  return s.map_.sync_to_disk(s.file_);
}

}  // namespace tornquil
