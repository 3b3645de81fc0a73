// The batch insert: reading rows, the checks before any slot is taken, and the three
// phases.
#include "collection/batch_insert.hpp"

#include <oneapi/tbb/parallel_sort.h>
#include <oneapi/tbb/task_group.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "base/platform.hpp"
#include "base/uuid.hpp"
#include "base/worker_pool.hpp"
#include "collection/slot_grant.hpp"
#include "collection/vector_check.hpp"
#include "search/distance.hpp"
#include "storage/records.hpp"

namespace tornquil {

namespace {

std::atomic<bool> g_fail_next_vector_flush{false};
std::atomic<void (*)(int, void*)> g_phase_hook{nullptr};
std::atomic<void*> g_phase_hook_arg{nullptr};

std::atomic<BatchStepTimes*> g_step_times{nullptr};

void after_phase(int phase) {
  if (auto hook = g_phase_hook.load()) hook(phase, g_phase_hook_arg.load());
}

// The end of each step of one batch, read from the clock only while the benchmark asks.
class StepClock {
 public:
  StepClock() : out_(g_step_times.load()), last_(out_ ? platform::monotonic_ns() : 0) {}
  void mark(uint64_t BatchStepTimes::*step) {
    if (!out_) return;
    const uint64_t now = platform::monotonic_ns();
    times_.*step = now - last_;
    last_ = now;
  }
  void publish() const {
    if (out_) *out_ = times_;
  }

 private:
  BatchStepTimes* out_;
  BatchStepTimes times_;
  uint64_t last_;
};

}  // namespace

BatchRows BatchRows::float32_matrix(const void* data, size_t rows, size_t cols,
                                    ptrdiff_t row_stride, ptrdiff_t col_stride) {
  BatchRows b;
  b.kind_ = Kind::Float32;
  b.data_ = static_cast<const unsigned char*>(data);
  b.rows_ = rows;
  b.cols_ = cols;
  b.row_stride_ = row_stride;
  b.col_stride_ = col_stride;
  return b;
}

BatchRows BatchRows::float64_matrix(const void* data, size_t rows, size_t cols,
                                    ptrdiff_t row_stride, ptrdiff_t col_stride) {
  BatchRows b = float32_matrix(data, rows, cols, row_stride, col_stride);
  b.kind_ = Kind::Float64;
  return b;
}

BatchRows BatchRows::packed(std::span<const float> floats, std::span<const size_t> offsets) {
  BatchRows b;
  b.kind_ = Kind::Packed;
  b.data_ = reinterpret_cast<const unsigned char*>(floats.data());
  b.offsets_ = offsets.data();
  b.rows_ = offsets.empty() ? 0 : offsets.size() - 1;
  return b;
}

size_t BatchRows::row_length(size_t r) const {
  if (kind_ == Kind::Packed) return offsets_[r + 1] - offsets_[r];
  return cols_;
}

std::span<const float> BatchRows::row(size_t r, float* scratch) const {
  if (kind_ == Kind::Packed) {
    const float* floats = reinterpret_cast<const float*>(data_);
    return {floats + offsets_[r], offsets_[r + 1] - offsets_[r]};
  }
  const unsigned char* p = data_ + static_cast<ptrdiff_t>(r) * row_stride_;
  if (kind_ == Kind::Float32) {
    const bool adjacent = cols_ < 2 || col_stride_ == static_cast<ptrdiff_t>(sizeof(float));
    if (adjacent) {
      if (reinterpret_cast<uintptr_t>(p) % alignof(float) == 0) {
        return {reinterpret_cast<const float*>(p), cols_};
      }
      std::memcpy(scratch, p, cols_ * sizeof(float));
    } else {
      for (size_t c = 0; c < cols_; ++c, p += col_stride_) std::memcpy(&scratch[c], p, 4);
    }
    return {scratch, cols_};
  }
  // Float64, narrowed to the nearest float32 (beyond float32's range: infinities).
  for (size_t c = 0; c < cols_; ++c, p += col_stride_) {
    double d;
    std::memcpy(&d, p, sizeof(d));
    scratch[c] = static_cast<float>(d);
  }
  return {scratch, cols_};
}

namespace {

// Everything the phases need per item, built before phase 1. The ids are the result.
struct BatchPlan {
  std::vector<std::string> ids;
  std::vector<uint64_t> slots;
  std::vector<uint64_t> created_at;
  // Item numbers in ascending order of their ids, batch order among equal ids.
  std::vector<size_t> key_order;
};

// Rows handed to one task of the worker pool at a time.
constexpr size_t kRowsPerTask = 256;
// Generated ids handed to one task: a generator draws 4 KiB of random bytes at a time.
constexpr size_t kIdsPerTask = 1024;

// The checks that run before any slot is taken, in their order.
Result<void> check_batch(const Collection& c, const BatchInput& in) {
  const size_t n = in.vectors.size();
  if (in.metadata.size() != n) {
    return std::unexpected(CoreError::invalid_input("vectors and metadatas must have same length"));
  }
  if (in.ids && in.ids->size() != n) {
    return std::unexpected(CoreError::invalid_input("ids must have same length as vectors"));
  }
  if (in.ttls && in.ttls->size() != n) {
    return std::unexpected(CoreError::invalid_input("ttls must have same length as vectors"));
  }
  const uint64_t dims = c.config.dimensions;
  for (size_t i = 0; i < n; ++i) {
    const size_t len = in.vectors.row_length(i);
    if (len != dims) return std::unexpected(CoreError::dimension_mismatch(dims, len));
  }
  // The finite test reads every element of the batch once: it runs on the worker pool,
  // and the first row that fails, in batch order, is the one reported.
  std::atomic<size_t> first_bad{n};
  parallel_for(n, kRowsPerTask, [&](size_t begin, size_t end) {
    std::vector<float> scratch(dims);  // per range of rows, for rows that are not views
    for (size_t i = begin; i < end && i < first_bad.load(std::memory_order_relaxed); ++i) {
      if (!first_non_finite(in.vectors.row(i, scratch.data()))) continue;
      size_t seen = first_bad.load(std::memory_order_relaxed);
      while (i < seen && !first_bad.compare_exchange_weak(seen, i)) {
      }
      break;
    }
  });
  if (const size_t bad = first_bad.load(); bad < n) {
    std::vector<float> scratch(dims);
    return check_storable_vector(in.vectors.row(bad, scratch.data()), bad);
  }
  if (in.ids) {
    for (std::string_view id : *in.ids) TQ_TRY(check_record_id(id));
  }
  return {};
}

// Item numbers in ascending byte order of their ids, batch order among equal ids. Sorted on
// the first eight bytes held as one integer first, so most comparisons touch no string.
std::vector<size_t> key_order(const std::vector<std::string>& ids) {
  struct Key {
    uint64_t prefix;
    size_t item;
  };
  std::vector<Key> keys(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    unsigned char b[8] = {};
    std::memcpy(b, ids[i].data(), std::min<size_t>(8, ids[i].size()));
    uint64_t prefix = 0;
    for (unsigned char x : b) prefix = prefix << 8 | x;
    keys[i] = {prefix, i};
  }
  // A total order (the item number decides between equal ids), so the parallel sort gives
  // the one order whatever the number of workers.
  auto before = [&](const Key& a, const Key& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    // A zero byte in the prefix may be padding or the id's own: the whole ids decide.
    const int cmp = ids[a.item].compare(ids[b.item]);
    return cmp != 0 ? cmp < 0 : a.item < b.item;
  };
  run_isolated([&] { tbb::parallel_sort(keys.begin(), keys.end(), before); });
  std::vector<size_t> order(ids.size());
  for (size_t i = 0; i < keys.size(); ++i) order[i] = keys[i].item;
  return order;
}

// The ids of every item.
BatchPlan plan_ids(const BatchInput& in) {
  const size_t n = in.vectors.size();
  BatchPlan plan;
  if (in.ids) {
    plan.ids.assign(in.ids->begin(), in.ids->end());
  } else {
    // Each range of items draws from a generator of its own, so no two share random bytes.
    plan.ids.resize(n);
    parallel_for(n, kIdsPerTask, [&](size_t begin, size_t end) {
      UuidGenerator uuids;
      for (size_t i = begin; i < end; ++i) plan.ids[i] = uuids.next();
    });
  }
  return plan;
}

// The clock and the key order, once the slots are taken.
void finish_plan(BatchPlan& plan) {
  const size_t n = plan.ids.size();
  plan.created_at.resize(n);
  for (size_t i = 0; i < n; ++i) plan.created_at[i] = now_unix_secs();
  plan.key_order = key_order(plan.ids);
}

// The batch's records as stored Pending, in key order, with their keys. Built on the
// worker pool before phase 1, so that both transactions read them from memory in the
// order they write them: in key order the items of a batch with generated ids come in a
// random order of the batch, and each would wait on the memory of its id and its text.
struct EncodedRecords {
  std::vector<std::string> chunks;       // the bytes of kRecordsPerChunk positions each
  std::vector<std::string_view> values;  // position k in key order, into its chunk
  std::vector<std::string_view> keys;    // its id, into the same chunk
};

constexpr size_t kRecordsPerChunk = 1024;

// The fetches of one chunk's visits run a few items ahead: the plan's entries first, then,
// once those have arrived, the texts they point to.
constexpr size_t kPrefetchEntries = 16;
constexpr size_t kPrefetchTexts = 8;

void prefetch_ahead(const BatchInput& in, const BatchPlan& plan, size_t k, size_t end) {
  const std::vector<size_t>& order = plan.key_order;
  if (k + kPrefetchEntries < end) {
    const size_t j = order[k + kPrefetchEntries];
    __builtin_prefetch(&plan.ids[j]);
    __builtin_prefetch(&plan.slots[j]);
    __builtin_prefetch(&plan.created_at[j]);
    __builtin_prefetch(&in.metadata[j]);
  }
  if (k + kPrefetchTexts < end) {
    const size_t j = order[k + kPrefetchTexts];
    __builtin_prefetch(plan.ids[j].data());
    __builtin_prefetch(in.metadata[j].data());
  }
}

EncodedRecords encode_pending(const BatchInput& in, const BatchPlan& plan) {
  const size_t n = plan.key_order.size();
  EncodedRecords out;
  out.chunks.resize((n + kRecordsPerChunk - 1) / kRecordsPerChunk);
  out.values.resize(n);
  out.keys.resize(n);
  parallel_for(out.chunks.size(), 1, [&](size_t first_chunk, size_t end_chunk) {
    std::string value;  // one record, reused
    for (size_t ch = first_chunk; ch < end_chunk; ++ch) {
      const size_t begin = ch * kRecordsPerChunk;
      const size_t end = std::min(n, begin + kRecordsPerChunk);
      std::string& bytes = out.chunks[ch];
      // Room for the chunk as its own texts measure it (the fixed fields of a value take
      // well under 64 bytes): a guess from one record would ask a chunk that starts with a
      // large metadata text for a thousand times that much.
      size_t room = 0;
      for (size_t k = begin; k < end; ++k) {
        const size_t i = plan.key_order[k];
        room += in.metadata[i].size() + 2 * plan.ids[i].size() + 64;
      }
      bytes.reserve(room);
      // Each position's value, then its id; the views are placed once the chunk stops
      // growing. Until then they hold only the lengths.
      for (size_t k = begin; k < end; ++k) {
        prefetch_ahead(in, plan, k, end);
        const size_t i = plan.key_order[k];
        RecordView r;
        r.id = plan.ids[i];
        r.slot = plan.slots[i];
        r.metadata = in.metadata[i];
        r.created_at = plan.created_at[i];
        r.expires_at = expiry_for(r.created_at, in.ttls ? (*in.ttls)[i] : std::nullopt);
        r.state = RecordState::Pending;
        encode_record_into(r, value);
        bytes.append(value);
        bytes.append(r.id);
        out.values[k] = std::string_view(nullptr, value.size());
        out.keys[k] = std::string_view(nullptr, r.id.size());
      }
      const char* p = bytes.data();
      for (size_t k = begin; k < end; ++k) {
        out.values[k] = std::string_view(p, out.values[k].size());
        p += out.values[k].size();
        out.keys[k] = std::string_view(p, out.keys[k].size());
        p += out.keys[k].size();
      }
    }
  });
  return out;
}

// What phase 1 found for each position in key order.
enum class Role : uint8_t {
  Superseded,  // a later item of the batch has the same id: never stored
  New,         // no live record stood under the id: stored Pending by phase 1
  Replacing,   // a live record stood under the id: replaced by phase 3 alone
};

struct PhaseOne {
  std::vector<Role> roles;                   // per position in key order
  std::vector<uint32_t> replaced_index;      // per Replacing position, into replaced_values
  std::vector<std::string> replaced_values;  // the live records as phase 1 found them
};

// Phase 1: the records of new ids stored Pending, with the free list, in one transaction.
// An id that names a live record is not touched here: its record is replaced in phase 3,
// once the vectors are durable, so that a crash at any moment leaves the old record or the
// new one. A record that no reader sees (expired, Pending: another batch's, running or left
// by a crash, or a Tombstone) is overwritten; its slot is freed after the commit, but a
// Tombstone's, which its delete frees. Of several items with one id only the last is
// stored. The puts go in ascending order of the ids through one cursor, so each search
// starts from the page of the previous put instead of the root. Once the commit has named
// the new ids' slots, `grant` holds the others alone.
Result<PhaseOne> commit_pending(Collection& c, const EncodedRecords& records_in_order,
                                const BatchPlan& plan, SlotGrant& grant, StepClock& clock) {
  const std::vector<std::string_view>& keys = records_in_order.keys;
  const std::vector<std::string_view>& values = records_in_order.values;
  const size_t n = keys.size();
  PhaseOne out;
  out.roles.resize(n);
  out.replaced_index.resize(n, 0);
  std::vector<uint64_t> overwritten;
  // The overwritten records' slots are named by nothing from the commit to their release.
  SlotUse use(c.slot_book);
  TQ_ASSIGN(WriteTxn txn, begin_write_txn(*c.meta));
  {
    TQ_ASSIGN(Cursor records, txn.writer(kRecordsTable));
    // When every id of the batch sorts after the table's last key (a new collection, or ids
    // that grow from batch to batch), no id names a record yet and the puts are appends: no
    // search, and full pages.
    bool append = false;
    if (n != 0) {
      std::string_view last_key, last_value;
      TQ_ASSIGN(bool any, records.last(last_key, last_value));
      append = !any || last_key < keys.front();
    }
    for (size_t k = 0; k < n; ++k) {
      if (k + 1 < n && keys[k + 1] == keys[k]) {
        out.roles[k] = Role::Superseded;
        continue;
      }
      if (!append) {
        TQ_ASSIGN(std::optional<std::string_view> stored, records.find(keys[k]));
        if (stored) {
          // A value that does not decode is overwritten without freeing anything.
          Result<RecordView> old = decode_record_view(*stored);
          if (old && is_live(*old)) {
            out.roles[k] = Role::Replacing;
            out.replaced_index[k] = static_cast<uint32_t>(out.replaced_values.size());
            out.replaced_values.emplace_back(*stored);
            continue;
          }
          if (old && old->state != RecordState::Tombstone) overwritten.push_back(old->slot);
        }
      }
      out.roles[k] = Role::New;
      TQ_TRY(append ? records.append(keys[k], values[k]) : records.put(keys[k], values[k]));
    }
  }
  // The slots of the items that phase 1 stores no record for: named by nothing until
  // phase 3 commits.
  std::vector<uint64_t> unnamed;
  for (size_t k = 0; k < n; ++k) {
    if (out.roles[k] != Role::New) unnamed.push_back(plan.slots[plan.key_order[k]]);
  }
  std::vector<uint64_t> freed;
  {
    std::shared_lock lk(c.slots.freelist_lock);
    freed = slots_not_in(c.slots.freelist, overwritten);
    TQ_TRY(save_freelist_with(c.slots.freelist, freed, txn));
  }
  clock.mark(&BatchStepTimes::put);
  TQ_TRY(commit_collection_txn(c, txn));
  grant.hold(std::move(unnamed));
  clock.mark(&BatchStepTimes::commit1);
  // Slots of a running batch, this one's included, wait for that batch's end. A slot
  // whose release fails for want of memory is left to compaction's sweep, and the batch
  // goes on.
  ignore_allocation_failure([&] { (void)release_slots(c, freed); });
  return out;
}

// Rows staged for one write to the file: about 1 MiB, so that the staged rows are still in
// the cache when the write copies them. They are prepared on the worker pool.
constexpr size_t kStagedBytes = size_t{1} << 20;
// Rows of the staged chunk prepared by one task.
constexpr size_t kStagedRowsPerTask = 64;
// Shorter runs of consecutive slots (freed slots reused) are written through the view.
constexpr size_t kMinFileRun = 8;

// Items [begin, end) of phase 2, staged together: a run of consecutive slots written to the
// file in one call, or items written slot by slot.
struct StagedPiece {
  size_t begin;
  size_t end;
  bool run;
};

// The items cut into pieces of at most `max_rows`: each long enough run of consecutive
// slots its own piece, the items between them gathered into slot-by-slot pieces.
std::vector<StagedPiece> staged_pieces(const std::vector<uint64_t>& slots, size_t max_rows) {
  std::vector<StagedPiece> pieces;
  const size_t n = slots.size();
  for (size_t i = 0; i < n;) {
    size_t end = i + 1;
    while (end < n && end - i < max_rows && slots[end] == slots[end - 1] + 1) ++end;
    const bool run = end - i >= kMinFileRun;
    if (!run && !pieces.empty() && !pieces.back().run && end - pieces.back().begin <= max_rows) {
      pieces.back().end = end;
    } else {
      pieces.push_back({i, end, run});
    }
    i = end;
  }
  return pieces;
}

// Phase 2: every prepared vector into its slot, then one flush, under one hold of the
// `vectors` lock. The items are prepared into a staging buffer a piece at a time on the
// worker pool and written from there; the next piece is prepared into a second buffer while
// this thread writes the current one, so the preparation costs no time of its own.
Result<void> write_vectors(Collection& c, const BatchInput& in, const BatchPlan& plan,
                           StepClock& clock) {
  const Metric metric = c.config.metric;
  const size_t dims = c.config.dimensions;
  const size_t chunk_rows = std::max<size_t>(kMinFileRun, kStagedBytes / (dims * sizeof(float)));
  const std::vector<uint64_t>& slots = plan.slots;
  const std::vector<StagedPiece> pieces = staged_pieces(slots, chunk_rows);
  std::vector<float> staged[2] = {std::vector<float>(chunk_rows * dims),
                                  std::vector<float>(chunk_rows * dims)};
  auto prepare = [&](const StagedPiece& piece, float* out) {
    parallel_for(piece.end - piece.begin, kStagedRowsPerTask, [&](size_t begin, size_t stop) {
      std::vector<float> scratch(dims);  // per range of rows, for rows that are not views
      for (size_t k = piece.begin + begin; k < piece.begin + stop; ++k) {
        prepare_vector_into(metric, in.vectors.row(k, scratch.data()),
                            out + (k - piece.begin) * dims);
      }
    });
  };

  std::unique_lock lk(c.slots.vectors_lock);
  VectorStorage& file = c.slots.vectors;
  auto store = [&](const StagedPiece& piece, const float* rows) -> Result<void> {
    if (piece.run) {
      return write_slots(file, slots[piece.begin],
                         std::span<const float>(rows, (piece.end - piece.begin) * dims));
    }
    for (size_t k = piece.begin; k < piece.end; ++k) {
      TQ_TRY(write_vector(file, slots[k],
                          std::span<const float>(rows + (k - piece.begin) * dims, dims)));
    }
    return {};
  };
  Result<void> written;
  if (!pieces.empty()) {
    run_isolated([&] {
      tbb::task_group next;
      prepare(pieces[0], staged[0].data());
      for (size_t p = 0; p < pieces.size() && written; ++p) {
        if (p + 1 < pieces.size()) {
          next.run([&, p] { prepare(pieces[p + 1], staged[(p + 1) % 2].data()); });
        }
        written = store(pieces[p], staged[p % 2].data());
        next.wait();  // the buffer it fills is the next one written, or the stop
      }
    });
  }
  TQ_TRY(written);
  clock.mark(&BatchStepTimes::vectors);
  if (g_fail_next_vector_flush.exchange(false)) {
    return std::unexpected(CoreError::io("injected vector flush failure"));
  }
  TQ_TRY(flush_vectors(file));
  clock.mark(&BatchStepTimes::flush);
  return {};
}

// Phase 3: the batch's records made Active in one transaction, found and rewritten in place
// through one cursor in ascending key order. A new id's record is promoted only while it is
// still exactly this item's, byte for byte as phase 1 stored it: a record deleted meanwhile
// is not brought back (not even a Tombstone whose removal is still to come), and a newer
// record under the same id is left as its own writer leaves it (whoever removed this item's
// record gave its slot back). A replacing item takes the place of the live record only
// while that record is still exactly as phase 1 found it; its slot is then freed after the
// commit. Slots that no record names after the commit (superseded items, replacing items
// whose record changed meanwhile) are saved in the free list with the replaced records'
// slots, and released with them once the batch has left the running batches (`running`):
// it writes nothing more, so its own slots need not wait for its end.
Result<void> commit_active(Collection& c, const EncodedRecords& records_in_order,
                           const BatchPlan& plan, const PhaseOne& found, SlotGrant& grant,
                           std::optional<BatchRegistration>& running, StepClock& clock) {
  const std::vector<std::string_view>& keys = records_in_order.keys;
  const std::vector<std::string_view>& values = records_in_order.values;
  // The replaced records' slots, released at once after the commit, and the batch's own
  // slots that no record names, released when the batch ends: saved in that order.
  std::vector<uint64_t> replaced, unnamed;
  // The replaced records' slots are named by nothing from the commit to their release.
  SlotUse use(c.slot_book);
  TQ_ASSIGN(WriteTxn txn, begin_write_txn(*c.meta));
  {
    TQ_ASSIGN(Cursor records, txn.writer(kRecordsTable));
    std::string value;
    for (size_t k = 0; k < keys.size(); ++k) {
      const uint64_t own_slot = plan.slots[plan.key_order[k]];
      if (found.roles[k] == Role::Superseded) {
        unnamed.push_back(own_slot);
        continue;
      }
      TQ_ASSIGN(std::optional<std::string_view> stored, records.find(keys[k]));
      if (found.roles[k] == Role::New) {
        if (!stored || *stored != values[k]) continue;
      } else {
        const std::string& was = found.replaced_values[found.replaced_index[k]];
        if (!stored || *stored != was) {
          unnamed.push_back(own_slot);
          continue;
        }
        TQ_ASSIGN(RecordView old, decode_record_view(was));
        if (old.slot != own_slot) replaced.push_back(old.slot);
      }
      TQ_ASSIGN(RecordView r, decode_record_view(values[k]));
      r.state = RecordState::Active;
      encode_record_into(r, value);
      TQ_TRY(records.replace(keys[k], value));
    }
  }
  std::vector<uint64_t> freed;
  {
    std::shared_lock lk(c.slots.freelist_lock);
    freed = slots_not_in(c.slots.freelist, replaced);
    const std::vector<uint64_t> own = slots_not_in(c.slots.freelist, unnamed);
    freed.insert(freed.end(), own.begin(), own.end());
    TQ_TRY(save_freelist_with(c.slots.freelist, freed, txn));
  }
  clock.mark(&BatchStepTimes::activate);
  TQ_TRY(grant.commit(txn));
  clock.mark(&BatchStepTimes::commit3);
  // The batch is committed whatever becomes of its slots: a slot whose release fails, for
  // want of memory too, stays off the free list until compaction's sweep gives it back.
  ignore_allocation_failure([&] {
    running.reset();
    // Slots of another running batch wait for that batch's end.
    (void)release_slots(c, freed);
  });
  return {};
}

}  // namespace

Result<std::vector<std::string>> add_batch_records(Collection& c, const BatchInput& in) {
  StepClock clock;
  TQ_TRY(check_not_dropped(c));
  TQ_TRY(check_batch(c, in));
  // A record buffered by an earlier add must not replace this batch's record at a later
  // flush: the buffer is committed first.
  TQ_TRY(flush_pending(c));
  clock.mark(&BatchStepTimes::check);
  BatchPlan plan = plan_ids(in);
  std::optional<BatchRegistration> running;
  // The slots are held privately from their allocation until the batch is registered.
  std::optional<SlotUse> use(std::in_place, c.slot_book);
  // The slots that nothing names yet go back when the batch fails: all of them until
  // phase 1 commits, then those it stored no record for until phase 3 commits. Declared
  // after `running` and `use`, so that they are back before either ends.
  SlotGrant grant(c);
  plan.slots.reserve(plan.ids.size());
  grant.hold_list(plan.slots);
  TQ_TRY(allocate_slots(c.slots, plan.ids.size(), plan.slots));
  running.emplace(c, plan.slots);
  use.reset();
  finish_plan(plan);
  clock.mark(&BatchStepTimes::plan);
  const EncodedRecords records_in_order = encode_pending(in, plan);
  clock.mark(&BatchStepTimes::encode);
  TQ_ASSIGN(PhaseOne found, commit_pending(c, records_in_order, plan, grant, clock));
  after_phase(1);
  TQ_TRY(write_vectors(c, in, plan, clock));
  if (c.config.hnsw) c.needs_rebuild.store(true);
  after_phase(2);
  TQ_TRY(commit_active(c, records_in_order, plan, found, grant, running, clock));
  // Again once the records are live: a refresh that cleared the first mark may have read
  // the records while they were still Pending.
  if (c.config.hnsw) c.needs_rebuild.store(true);
  clock.publish();
  return std::move(plan.ids);
}

void TEST_set_batch_step_times(BatchStepTimes* out) { g_step_times.store(out); }

void TEST_fail_next_batch_vector_flush() { g_fail_next_vector_flush.store(true); }

void TEST_set_batch_phase_hook(void (*hook)(int phase, void* arg), void* arg) {
  g_phase_hook_arg.store(arg);
  g_phase_hook.store(hook);
}

}  // namespace tornquil
