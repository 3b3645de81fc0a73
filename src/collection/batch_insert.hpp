// Batch insert: many records added in one call, past the write buffer, in three phases of
// one commit or one flush each: the records of new ids as Pending together with the free
// list, then every vector under one hold of the `vectors` lock and one flush of the vector
// file, then the records as Active, those of ids that named a live record written over
// it only now. Readers see the batch only once the last phase has committed. The write
// buffer is flushed first, so that an earlier add of one of the ids never replaces the
// batch's record later.
//
// Crash-atomic per id: after a kill at any moment, an id reads as its old record, as the
// batch's record (once phase 3 committed) or, for a new id, as absent; never as absent when
// it had a record before.
//
// No commit is rolled back, but no slot is left in no hand: the slots that no record names
// go back to the free list when the batch fails (SlotGrant). A batch that fails, whatever
// the cause (an allocation failure included), leaves:
//   before slots are taken (lengths, dimensions, finite elements, ids, the flush): nothing
//     changed by the batch
//   while taking slots, or before phase 1 commits: nothing changed; the slots taken are
//     back on the free list
//   in phase 2: the new ids' records stored Pending; some vectors written, not all durable;
//     the slots of the other items back on the free list
//   in phase 3: the new ids' records stored Pending; every vector written and durable; the
//     slots of the other items back on the free list
// A Pending record is never live: get, search, len, export and the index leave it out,
// while delete and upsert of its id still find and remove it. Compaction removes the
// Pending records that no running batch of this process owns, with their slots, and its
// slot sweep gives back any slot named by nothing (a kill leaves such slots).
//
// While it runs, a batch is registered in the collection's running batches (slots.hpp):
// compaction leaves its Pending records alone, and a slot of its own that another operation
// frees (a delete or a replacement of one of its records) is released only when the batch
// ends, so that no vector write of the batch lands on a slot another record has taken.
//
// Locks, in the collection's order: the `freelist` lock once for writing to take freed
// slots and, when those run out, the `vectors` lock once for writing to append fresh ones
// (never both at once); the `freelist` lock for reading inside phase 1's write transaction;
// the `vectors` lock for writing, alone, around phase 2; phase 3 only its write transaction.
// No lock is held between phases, and none per item.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "collection/collection.hpp"

namespace tornquil {

// The vectors of a batch, read one row at a time, so that a caller's matrix is never copied
// whole. Either a matrix of float32 or float64 elements in any layout, element (r, c) at
// data + r * row_stride + c * col_stride bytes (strides may be negative or zero), or rows of
// any lengths packed end to end. BatchRows only views the memory: the caller keeps it alive
// and unchanged for as long as the BatchRows is used.
class BatchRows {
 public:
  static BatchRows float32_matrix(const void* data, size_t rows, size_t cols, ptrdiff_t row_stride,
                                  ptrdiff_t col_stride);
  static BatchRows float64_matrix(const void* data, size_t rows, size_t cols, ptrdiff_t row_stride,
                                  ptrdiff_t col_stride);
  // Row r is floats[offsets[r], offsets[r + 1]); offsets holds one entry more than there
  // are rows, ascending, and its last entry is at most floats.size().
  static BatchRows packed(std::span<const float> floats, std::span<const size_t> offsets);

  size_t size() const { return rows_; }
  size_t row_length(size_t r) const;

  // Row r as float32: a view of the caller's memory when its elements are adjacent,
  // aligned float32, otherwise the row narrowed or gathered into `scratch` (room for
  // row_length(r) floats) and a view of that. r < size().
  std::span<const float> row(size_t r, float* scratch) const;

 private:
  enum class Kind : uint8_t { Float32, Float64, Packed };
  BatchRows() = default;

  Kind kind_ = Kind::Packed;
  const unsigned char* data_ = nullptr;  // element (0, 0), or the packed floats
  const size_t* offsets_ = nullptr;      // packed rows only
  size_t rows_ = 0;
  size_t cols_ = 0;
  ptrdiff_t row_stride_ = 0;
  ptrdiff_t col_stride_ = 0;
};

// What a batch inserts: n vectors, n metadata texts (the compact JSON that records store)
// and, when given, n ids and n optional TTLs in seconds. The views must stay valid and
// unchanged for the call.
struct BatchInput {
  BatchRows vectors = BatchRows::packed({}, {});
  std::span<const std::string> metadata;
  std::optional<std::span<const std::string_view>> ids;
  std::optional<std::span<const std::optional<uint64_t>>> ttls;
};

// Inserts the batch and returns the ids in batch order, duplicates included: the given ids,
// or new version-4 UUIDs. Checks, in this order, before anything changes: InvalidInput
// "vectors and metadatas must have same length", "ids must have same length as vectors",
// "ttls must have same length as vectors"; DimensionMismatch for the first vector of the
// wrong length; InvalidInput for the first vector with a NaN or infinite element (naming
// its row and the element) and for the first id too long to be stored; CollectionNotFound
// for a dropped collection. A later id replaces an earlier record of the same id, in the
// batch or stored; the replaced record's slot and the slots of superseded items are freed
// once the batch's record is committed. An expiry is created_at + ttl, wrapping modulo
// 2^64. With HNSW parameters the
// collection is marked for an index refresh, also for an empty batch. Errors after the
// checks leave the states listed at the top of this file. The caller holds no lock of the
// collection and keeps it alive for the call.
Result<std::vector<std::string>> add_batch_records(Collection& c, const BatchInput& in);

// Where a batch's time goes, in nanoseconds per step, for the benchmark.
struct BatchStepTimes {
  uint64_t check = 0;     // lengths, dimensions, finite elements, ids
  uint64_t plan = 0;      // ids, slots, clock, key order
  uint64_t encode = 0;    // the records encoded in key order
  uint64_t put = 0;       // phase 1: the Pending records and the free list into the transaction
  uint64_t commit1 = 0;   // phase 1: the commit
  uint64_t vectors = 0;   // phase 2: preparing and writing the vectors
  uint64_t flush = 0;     // phase 2: the flush of the vector file
  uint64_t activate = 0;  // phase 3: the records made Active in the transaction
  uint64_t commit3 = 0;   // phase 3: the commit
};

// While set, every batch that succeeds writes its step times into *out; nullptr stops it.
void TEST_set_batch_step_times(BatchStepTimes* out);

// Makes the next batch's phase 2 fail with Io after writing its vectors, before the flush.
void TEST_fail_next_batch_vector_flush();
// While set, every batch calls hook(phase, arg) once phase 1 or phase 2 has succeeded, with
// no lock held; nullptr removes it.
void TEST_set_batch_phase_hook(void (*hook)(int phase, void* arg), void* arg);

}  // namespace tornquil
