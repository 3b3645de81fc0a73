// VectorStorage: the memory-mapped vector file of one collection, `vectors.bin`.
//
// Layout (little-endian, packed):
//   offset  width  field
//        0      4  magic       0x54514C46 ("FLQT" on disk)
//        4      2  version     2 is written; 1 and 2 are read
//        6      4  dimensions  1 to 65536
//       10      8  slot_count  slots ever allocated (the next fresh slot number)
//       18      4  checksum    of bytes 0..17: FNV-1a for version 1, CRC-32 from version 2
//       22     42  reserved    zero
//       64    ...  slots       slot s at 64 + s * slot_bytes, slot_bytes = dimensions * 4,
//                              `dimensions` float32 values each
//
// Slots below slot_count are allocated; the rest of the file is spare room. The file never
// shrinks and slots never move. A slot whose first float is a NaN counts as deleted.
//
// Thread safety: none of its own. The collection's `vectors` reader-writer lock guards a
// VectorStorage: written for growth, vector writes and the deleted marker; read for
// reads, the mapped length and flushes. Views into the mapping are valid only while that
// lock is held, since growth replaces the mapping.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "base/error.hpp"
#include "base/platform.hpp"

namespace tornquil {

constexpr uint32_t kVectorMagic = 0x54514C46;
constexpr uint16_t kVectorVersion = 2;
constexpr uint64_t kVectorHeaderBytes = 64;
constexpr uint64_t kMaxDimensions = 65536;
// A new file has room for this many slots.
constexpr uint64_t kInitialSlots = 1024;
// The quiet NaN written into a slot's first float to mark it deleted.
constexpr uint32_t kDeletedMarkerBits = 0x7FC00000;

struct VectorHeader {
  uint32_t magic = 0;
  uint16_t version = 0;
  uint32_t dimensions = 0;
  uint64_t slot_count = 0;
  uint32_t checksum = 0;
};

class VectorStorage {
 public:
  VectorStorage() = default;
  VectorStorage(VectorStorage&&) noexcept = default;
  VectorStorage& operator=(VectorStorage&&) noexcept = default;
  VectorStorage(const VectorStorage&) = delete;
  VectorStorage& operator=(const VectorStorage&) = delete;

  uint64_t dimensions() const { return dimensions_; }
  uint64_t slot_count() const { return slot_count_; }
  uint64_t slot_bytes() const { return slot_bytes_; }
  uint16_t version() const { return version_; }
  // Length of the file when it was last mapped.
  uint64_t mapped_len() const { return map_.size(); }

  // The slot's floats in place, or an empty span when the slot is not allocated or its
  // bytes are not inside the mapping. For scans that skip unreadable slots.
  std::span<const float> slot_view(uint64_t slot) const {
    const float* p = slot_ptr(slot);
    return p == nullptr ? std::span<const float>() : std::span<const float>(p, dimensions_);
  }

 private:
  friend Result<VectorStorage> create_vector_file(const std::string& path, uint64_t d);
  friend Result<VectorStorage> open_vector_file(const std::string& path, uint64_t expected_d);
  friend Result<uint64_t> append_slots(VectorStorage& s, uint64_t count);
  friend Result<void> cover_slot(VectorStorage& s, uint64_t slot);
  friend Result<void> write_vector(VectorStorage& s, uint64_t slot, std::span<const float> v);
  friend Result<void> write_slots(VectorStorage& s, uint64_t first, std::span<const float> v);
  friend Result<void> write_deleted_marker(VectorStorage& s, uint64_t slot);
  friend Result<void> flush_vectors(const VectorStorage& s);

  // Null unless the slot is below slot_count and lies wholly inside the mapping.
  float* slot_ptr(uint64_t slot) const {
    if (slot >= slot_count_ || slot_bytes_ == 0) return nullptr;
    const uint64_t room = map_.size() < kVectorHeaderBytes ? 0 : map_.size() - kVectorHeaderBytes;
    if (slot >= room / slot_bytes_) return nullptr;
    return reinterpret_cast<float*>(map_.data() + kVectorHeaderBytes + slot * slot_bytes_);
  }
  // Rewrites slot_count and the checksum in the mapped header.
  void store_slot_count();

  platform::File file_;
  platform::Mapping map_;
  uint64_t dimensions_ = 0;
  uint64_t slot_count_ = 0;
  uint64_t slot_bytes_ = 0;
  uint16_t version_ = kVectorVersion;
};

// Success for 1..65536; InvalidInput "Dimensions must be greater than 0" for 0;
// DimensionsTooLarge (65536, d) above.
Result<void> validate_dimensions(uint64_t d);

// Checksum of the first 18 header bytes under the given version.
uint32_t header_checksum(const unsigned char* first18, uint16_t version);

// The five header fields after the checksum was verified. Corruption "File too small"
// below 64 bytes, or the checksum message. Magic, version and dimensions are not judged.
Result<VectorHeader> parse_vector_header(std::span<const unsigned char> bytes);

// Creates (truncating) a file with room for 1024 slots and writes its header into the
// view. Nothing is flushed.
Result<VectorStorage> create_vector_file(const std::string& path, uint64_t d);

// Opens an existing file, checking in order: length, checksum, magic, version,
// dimensions, expected dimensions. A header that claims more slots than the file holds
// is repaired by lengthening the file when one growth step could have produced the claim
// (a crash between writing the header back and making the new length durable), and
// refused as Corruption otherwise. The header is not rewritten.
Result<VectorStorage> open_vector_file(const std::string& path, uint64_t expected_d);

// Makes slot_count cover `slot`, a slot that a stored record or the free list names: a
// header that claims fewer slots (an older copy of the file beside a newer store) would
// hand a live record's slot to the next new vector. When the file holds the slot,
// slot_count is raised to slot + 1 (the header in the view only); otherwise Corruption
// "Slot {} is in use but the vector file holds only {} slots". The caller holds the
// `vectors` lock for writing, or owns the storage alone.
Result<void> cover_slot(VectorStorage& s, uint64_t slot);

// Adds `count` fresh slots, first, first + 1, ..., and returns first (slot_count before the
// call; nothing changes for a count of 0). When the file lacks room for them it grows once,
// to the length that taking them one at a time would reach (each slot that does not fit
// grows the file to the larger of its end and 1.5 times the length so far), and the whole
// view and the file's new length are made durable before the slots are handed out. The new
// slot_count reaches the header in the view only. A failed growth returns Io and leaves
// slot_count and the mapping as they were (the file may already be longer). The caller
// holds the `vectors` lock for writing.
Result<uint64_t> append_slots(VectorStorage& s, uint64_t count);

// append_slots for one slot.
Result<uint64_t> append_slot(VectorStorage& s);

// Copies a vector into an allocated slot. DimensionMismatch for a wrong length (tested
// first), NotFound "Slot {} not allocated" for a slot at or above slot_count. Nothing is
// flushed. The caller holds the `vectors` lock for writing.
Result<void> write_vector(VectorStorage& s, uint64_t slot, std::span<const float> v);

// Copies whole vectors into the consecutive allocated slots first, first + 1, ...: v holds
// a multiple of `dimensions` floats. It goes through the file rather than the view, which
// for a long run of fresh slots saves a page fault per page; the view shows the new bytes
// at once, since both share the page cache. DimensionMismatch when v is not whole vectors,
// NotFound "Slot {} not allocated" for the first slot of the run that is not allocated,
// Io when the write fails. Nothing is flushed. The caller holds the `vectors` lock for
// writing.
Result<void> write_slots(VectorStorage& s, uint64_t first, std::span<const float> v);

// Stores the deleted marker into the slot's first float; the others keep their values.
// NotFound for a slot that is not allocated. The caller holds the `vectors` lock for writing.
Result<void> write_deleted_marker(VectorStorage& s, uint64_t slot);

// The slot's floats as a view into the mapping, or NotFound "Slot {} not allocated". The
// view is valid while the caller holds the `vectors` lock.
Result<std::span<const float>> read_vector(const VectorStorage& s, uint64_t slot);

// Writes the whole view back and forces the file to the disk. The caller holds the
// `vectors` lock (reading suffices).
Result<void> flush_vectors(const VectorStorage& s);

}  // namespace tornquil
