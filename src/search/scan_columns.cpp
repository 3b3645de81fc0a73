// Taking the record columns out of the store, bringing them along with each commit, and the
// cache that keeps them.
#include "search/scan_columns.hpp"

#include <oneapi/tbb/parallel_sort.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <numeric>
#include <optional>
#include <utility>

#include "base/worker_pool.hpp"
#include "search/filter.hpp"
#include "storage/records.hpp"

namespace tornquil {

namespace {

// Ranks lie in (0, kMaxRank]. A build spaces them kMaxSpacing apart (closer for a table of
// more than 2^30 records), and a key added after the last one takes the rank kAppendStep
// above it, so that a table that grows at its end needs no renumbering for 2^30 additions.
constexpr uint64_t kMaxRank = uint64_t{1} << 62;
constexpr uint64_t kMaxSpacing = uint64_t{1} << 32;
constexpr uint64_t kAppendStep = uint64_t{1} << 32;

// Columns index slots below this; a slot beyond is left to the walk.
constexpr uint64_t kMaxSlots = uint64_t{1} << 32;

// Entries a commit steps over next to a key it adds, looking for a neighbour the columns
// hold (Pending records of an interrupted batch, Tombstones whose removal is to come).
constexpr int kMaxSkippedNeighbours = 4096;

// A text block laid out afresh gets room for this fraction of its texts (and at least
// kMinBlockRoom bytes) to be placed before it is laid out again; one built from the table
// gets none until the first text is placed in it.
constexpr uint64_t kBlockRoomFraction = 8;
constexpr uint64_t kMinBlockRoom = 4096;

// A commit that writes more records than a sixteenth of those held (and at least
// kMinLargeLog) is not followed: taking the columns again from the table costs less than
// finding each written record's old entry and neighbours.
constexpr uint64_t kLargeLogFraction = 16;
constexpr uint64_t kMinLargeLog = 4096;

uint64_t rank_spacing(uint64_t records) { return std::min(kMaxSpacing, kMaxRank / (records + 1)); }

uint64_t text_len(const RecordColumns& c, uint64_t slot) {
  return c.id_lens[slot] + uint64_t{c.meta_lens[slot] & RecordColumns::kMaxMetadataBytes};
}

// ---- Text blocks

// The slots of block b that the columns cover.
std::pair<uint64_t, uint64_t> block_slots(const RecordColumns& c, size_t b) {
  const uint64_t first = uint64_t{b} << RecordColumns::kBlockShift;
  return {first, std::min<uint64_t>(c.size(), first + RecordColumns::kBlockSlots)};
}

// Sets the offsets of the held slots of block b in slot order, back to back from 0; returns
// the bytes they take.
uint64_t lay_out_offsets(RecordColumns& c, size_t b) {
  const auto [first, end] = block_slots(c, b);
  uint64_t at = 0;
  for (uint64_t s = first; s < end; ++s) {
    if (!c.holds(s)) continue;
    c.texts[s] = at;
    at += text_len(c, s);
  }
  return at;
}

// Lays block b out afresh: its held texts in slot order, with room for `more` bytes and the
// block's share of room beyond them. The texts given up are left behind.
void lay_out_block(RecordColumns& c, size_t b, uint64_t more) {
  TextBlock& block = c.blocks[b];
  if (block.live == 0 && more == 0) {
    block = TextBlock();  // emptied: the next text placed makes it afresh
    return;
  }
  const auto [first, end] = block_slots(c, b);
  const uint64_t capacity =
      block.live + more + std::max(kMinBlockRoom, block.live / kBlockRoomFraction);
  std::unique_ptr<char[]> fresh(new char[capacity]);
  uint64_t at = 0;
  for (uint64_t s = first; s < end; ++s) {
    if (!c.holds(s)) continue;
    const uint64_t n = text_len(c, s);
    std::memcpy(fresh.get() + at, block.bytes.get() + c.texts[s], n);
    c.texts[s] = at;
    at += n;
  }
  block.bytes = std::move(fresh);
  block.used = at;
  block.capacity = capacity;
}

// Makes room for `slot`: the columns grow to cover it, amortised.
void cover(RecordColumns& c, uint64_t slot) {
  if (slot < c.size()) return;
  const size_t n = static_cast<size_t>(slot) + 1;
  c.expires_at.resize(n, 0);
  c.ranks.resize(n, 0);
  c.texts.resize(n, RecordColumns::kNoText);
  c.id_lens.resize(n, 0);
  c.meta_lens.resize(n, 0);
  c.blocks.resize((n + RecordColumns::kBlockSlots - 1) >> RecordColumns::kBlockShift);
}

// The meta_lens entry of a metadata text: its length, and whether it is a plain object.
uint32_t metadata_word(std::string_view metadata) {
  return static_cast<uint32_t>(metadata.size()) |
         (is_plain_object_text(metadata) ? RecordColumns::kPlainObject : 0);
}

// Puts a record into its free slot; false when the slot is taken (two Active records name
// one slot, which only a damaged table holds) or beyond what the columns index. The text
// goes into its block's room; a block without room enough is laid out afresh first.
bool place(RecordColumns& c, uint64_t slot, uint64_t expires_at, uint64_t rank, std::string_view id,
           std::string_view metadata) {
  if (slot >= kMaxSlots || metadata.size() > RecordColumns::kMaxMetadataBytes) return false;
  if (c.holds(slot)) return false;
  cover(c, slot);
  const size_t b = static_cast<size_t>(slot >> RecordColumns::kBlockShift);
  TextBlock& block = c.blocks[b];
  const uint64_t n = id.size() + metadata.size();
  if (block.bytes == nullptr || block.capacity - block.used < n) lay_out_block(c, b, n);
  char* p = block.bytes.get() + block.used;
  std::memcpy(p, id.data(), id.size());
  std::memcpy(p + id.size(), metadata.data(), metadata.size());
  c.expires_at[slot] = expires_at;
  c.ranks[slot] = rank;
  c.texts[slot] = block.used;
  c.id_lens[slot] = static_cast<uint32_t>(id.size());
  c.meta_lens[slot] = metadata_word(metadata);
  block.used += n;
  block.live += n;
  ++c.records;
  c.text_bytes += n;
  return true;
}

// Takes the record out of its slot. Its text stays behind in the block until the block is
// laid out again, which happens here once the texts given up outweigh those held.
void clear(RecordColumns& c, uint64_t slot) {
  const uint64_t n = text_len(c, slot);
  const size_t b = static_cast<size_t>(slot >> RecordColumns::kBlockShift);
  TextBlock& block = c.blocks[b];
  c.text_bytes -= n;
  block.live -= n;
  --c.records;
  c.expires_at[slot] = 0;
  c.ranks[slot] = 0;
  c.texts[slot] = RecordColumns::kNoText;
  c.id_lens[slot] = 0;
  c.meta_lens[slot] = 0;
  const uint64_t given_up = block.used - block.live;
  if (given_up > block.live && given_up >= kMinBlockRoom) lay_out_block(c, b, 0);
}

// ---- Building

// One Active record as the walk met it: where its texts lie in the store's pages (valid
// while the walk's transactions live), and its metadata word, which the walk's threads
// work out while the text is at hand.
struct Taken {
  uint64_t slot;
  uint64_t expires_at;
  const char* id;
  const char* metadata;
  uint32_t id_len;
  uint32_t meta_word;  // as meta_lens holds it

  uint64_t text_len() const {
    return id_len + uint64_t{meta_word & RecordColumns::kMaxMetadataBytes};
  }
};

// Takes one stored value into `out`; false when it does not decode or cannot be indexed.
bool take_value(std::string_view value, std::vector<Taken>& out) {
  Result<RecordView> decoded = decode_record_view(value);
  if (!decoded) return false;
  const RecordView& r = *decoded;
  if (r.state != RecordState::Active) return true;
  if (r.slot >= kMaxSlots || r.metadata.size() > RecordColumns::kMaxMetadataBytes) return false;
  out.push_back(Taken{r.slot, r.expires_at ? *r.expires_at : kNeverExpires, r.id.data(),
                      r.metadata.data(), static_cast<uint32_t>(r.id.size()),
                      metadata_word(r.metadata)});
  return true;
}

// Walks from the cursor's next entry to the table's end, or to `end` after a seek to
// `begin`; the tally (or null) sees every key. False on any failure.
bool take_range(Cursor& cursor, std::string_view begin, const std::string_view* end,
                bool seek_first, RangeTally* tally, std::vector<Taken>& out) {
  std::string_view key, value;
  Result<bool> at = seek_first ? cursor.seek(begin, key, value) : cursor.next(key, value);
  while (at && *at) {
    if (!in_range(key, end)) return true;
    if (tally != nullptr) tally->see(key);
    if (!take_value(value, out)) return false;
    at = cursor.next(key, value);
  }
  return at.has_value();
}

// The columns of the records the walk took, range by range in key order. The texts are
// copied straight from the store's pages into their blocks, laid out in slot order.
std::unique_ptr<RecordColumns> assemble(uint64_t snapshot_id,
                                        std::vector<std::vector<Taken>>& parts) {
  auto out = std::make_unique<RecordColumns>();
  RecordColumns& c = *out;
  c.snapshot_id = snapshot_id;
  uint64_t n = 0, top = 0;
  for (const std::vector<Taken>& p : parts) {
    n += p.size();
    for (const Taken& t : p) top = std::max(top, t.slot + 1);
  }
  if (top > 0) cover(c, top - 1);
  const uint64_t spacing = rank_spacing(n);
  uint64_t rank = 0;
  for (const std::vector<Taken>& p : parts) {
    for (const Taken& t : p) {
      if (c.holds(t.slot)) return nullptr;  // two Active records name one slot
      c.expires_at[t.slot] = t.expires_at;
      c.ranks[t.slot] = rank += spacing;
      c.texts[t.slot] = 0;  // held; its offset is set below
      c.id_lens[t.slot] = t.id_len;
      c.meta_lens[t.slot] = t.meta_word;
      c.text_bytes += t.text_len();
    }
  }
  c.records = n;
  for (size_t b = 0; b < c.blocks.size(); ++b) {
    TextBlock& block = c.blocks[b];
    block.live = block.used = block.capacity = lay_out_offsets(c, b);
    block.bytes.reset(new char[block.capacity]);
  }
  // Each record's text to its place; the parts write to places of their own.
  parallel_for(parts.size(), 1, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      for (const Taken& t : parts[i]) {
        char* p = c.blocks[t.slot >> RecordColumns::kBlockShift].bytes.get() + c.texts[t.slot];
        std::memcpy(p, t.id, t.id_len);
        std::memcpy(p + t.id_len, t.metadata, t.text_len() - t.id_len);
      }
    }
  });
  return out;
}

std::unique_ptr<RecordColumns> build_columns(KvStore& store, ReadTxn& txn, ScanBounds* bounds) {
  SnapshotRangeWalk walk;  // holds the pages the taken views point into
  if (!plan_range_walk(store, txn, kRecordsTable, walk, bounds)) return nullptr;
  std::vector<std::vector<Taken>> parts;
  if (!walk.parallel()) {
    parts.resize(1);
    Result<Cursor> cursor = txn.cursor(kRecordsTable);
    if (!cursor) return nullptr;
    RangeTally* tally = walk.tallies.empty() ? nullptr : &walk.tallies[0];
    parts[0].reserve(walk.entries);
    if (!take_range(*cursor, {}, nullptr, false, tally, parts[0])) return nullptr;
  } else {
    // The parts are joined in range order, which is key order.
    const size_t n_ranges = walk.range_count();
    parts.resize(n_ranges);
    std::atomic<bool> failed{false};
    run_range_tasks(
        walk,
        [&](size_t t, size_t r) {
          parts[r].reserve(walk.entries / n_ranges);
          if (!take_range(walk.cursors[t], walk.range_begin(r), walk.range_end(r), true,
                          &walk.tallies[r], parts[r])) {
            failed.store(true, std::memory_order_relaxed);
          }
        },
        [&](size_t) { return !failed.load(std::memory_order_relaxed); });
    if (failed.load(std::memory_order_relaxed)) return nullptr;
  }
  finish_range_walk(walk);
  return assemble(txn.snapshot_id(), parts);
}

// ---- Following a commit

// Spreads the ranks out again, in their order, with room for `more` records.
void renumber(RecordColumns& c, uint64_t more) {
  std::vector<std::pair<uint64_t, uint32_t>> by_rank;
  by_rank.reserve(c.records);
  for (uint64_t s = 0; s < c.size(); ++s) {
    if (c.holds(s)) by_rank.emplace_back(c.ranks[s], static_cast<uint32_t>(s));
  }
  std::sort(by_rank.begin(), by_rank.end());
  const uint64_t spacing = rank_spacing(c.records + more);
  uint64_t rank = 0;
  for (const auto& [old, slot] : by_rank) c.ranks[slot] = rank += spacing;
}

// One key's change: how the snapshot before had it, how the one after has it.
struct KeyChange {
  std::string_view key;
  std::optional<uint64_t> held_slot;  // before: the slot of the record the columns hold
  std::optional<RecordView> now;      // after: the Active record, viewing the log's bytes
  uint64_t rank = 0;
};

// Whether the entry (key, value) of the snapshot after is a record the columns hold; its
// slot in `slot`. Nullopt for an entry the columns must hold but do not (an Active record
// missing from them) or that does not decode: the columns cannot follow then.
std::optional<bool> held(const RecordColumns& c, std::string_view key, std::string_view value,
                         uint64_t& slot) {
  Result<RecordView> r = decode_record_view(value);
  if (!r) return std::nullopt;
  if (r->state != RecordState::Active) return false;
  if (!c.holds(r->slot) || c.id(r->slot) != key) return std::nullopt;
  slot = r->slot;
  return true;
}

// Steps (with `step`, back or forward) to the nearest entry the columns hold and sets
// `found` to its slot; leaves it unset at the table's end. Entries `passed(key)` claims are
// stepped over freely; others the columns do not hold (Pending, Tombstone) only up to a
// bound. False on a failure or when the columns cannot follow (see held).
template <class Step, class Passed>
bool nearest_held(const RecordColumns& c, const Step& step, const Passed& passed,
                  std::optional<uint64_t>& found) {
  std::string_view key, value;
  for (int skipped = 0;;) {
    Result<bool> at = step(key, value);
    if (!at) return false;
    if (!*at) return true;
    if (passed(key)) continue;
    uint64_t slot;
    const std::optional<bool> is_held = held(c, key, value, slot);
    if (!is_held) return false;
    if (*is_held) {
      found = slot;
      return true;
    }
    if (++skipped > kMaxSkippedNeighbours) return false;
  }
}

// Ranks for the added keys (in key order), from their neighbours in the snapshot after:
// each run of added keys with no held record between them is spread evenly over the gap
// between the held records around it.
bool place_added(RecordColumns& c, std::vector<KeyChange*>& added, ReadTxn& after) {
  Result<Cursor> opened = after.cursor(kRecordsTable);
  if (!opened) return false;
  Cursor& cur = *opened;
  std::string_view key, value;
  std::string probe;
  for (size_t i = 0; i < added.size();) {
    // The stored form of the key, so that a key that ends in NUL is not taken for the key
    // without that NUL.
    probe.assign(added[i]->key);
    probe.push_back('\0');
    Result<bool> at = cur.seek(probe, key, value);
    if (!at || !*at || key != added[i]->key) return false;
    std::optional<uint64_t> below, above;  // slots of the held neighbours
    auto back = [&cur](std::string_view& k, std::string_view& v) { return cur.prev(k, v); };
    if (!nearest_held(
            c, back, [](std::string_view) { return false; }, below))
      return false;
    at = cur.seek(probe, key, value);
    if (!at || !*at) return false;
    // The added keys met on the way forward join this run.
    size_t j = i + 1;
    auto forward = [&cur](std::string_view& k, std::string_view& v) { return cur.next(k, v); };
    auto in_run = [&](std::string_view k) {
      if (j >= added.size() || k != added[j]->key) return false;
      ++j;
      return true;
    };
    if (!nearest_held(c, forward, in_run, above)) return false;
    const uint64_t run = j - i;
    uint64_t lo = 0, step = 0;
    for (int attempt = 0; attempt < 2 && step == 0; ++attempt) {
      if (attempt == 1) renumber(c, added.size());
      lo = below ? c.ranks[*below] : 0;
      if (above) {
        step = (c.ranks[*above] - lo) / (run + 1);
      } else {
        step = std::min(kAppendStep, (kMaxRank - lo) / (run + 1));
      }
    }
    if (step == 0) return false;
    for (size_t t = i; t < j; ++t) {
      const RecordView& r = *added[t]->now;
      lo += step;
      if (!place(c, r.slot, r.expires_at ? *r.expires_at : kNeverExpires, lo, r.id, r.metadata)) {
        return false;
      }
    }
    i = j;
  }
  return true;
}

bool apply_log(RecordColumns& c, const WriteLog& log, ReadTxn& before, ReadTxn& after) {
  if (log.overflowed()) return false;
  // The last write of each key is the one the commit made.
  std::vector<uint32_t> order(log.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(),
                   [&log](uint32_t a, uint32_t b) { return log[a].key < log[b].key; });
  std::vector<KeyChange> changes;
  changes.reserve(order.size());
  for (size_t i = 0; i < order.size(); ++i) {
    if (i + 1 < order.size() && log[order[i + 1]].key == log[order[i]].key) continue;
    const WriteLog::Entry e = log[order[i]];
    KeyChange ch;
    ch.key = e.key;
    if (e.value) {
      Result<RecordView> r = decode_record_view(*e.value);
      if (!r) return false;
      if (r->state == RecordState::Active) {
        // The id stored in the value is the one the key stands for.
        if (r->id != e.key) return false;
        ch.now = *r;
      }
    }
    changes.push_back(ch);
  }

  // What the columns held of each key.
  for (KeyChange& ch : changes) {
    Result<std::optional<std::string_view>> value = before.get(kRecordsTable, ch.key);
    if (!value) return false;
    if (!*value) continue;
    Result<RecordView> r = decode_record_view(**value);
    if (!r) return false;
    if (r->state != RecordState::Active) continue;
    if (!c.holds(r->slot) || c.id(r->slot) != ch.key) return false;
    ch.held_slot = r->slot;
    ch.rank = c.ranks[r->slot];
  }

  // Out first, so that a record moving into a slot another one leaves finds it free.
  for (const KeyChange& ch : changes) {
    if (ch.held_slot) clear(c, *ch.held_slot);
  }
  std::vector<KeyChange*> added;
  for (KeyChange& ch : changes) {
    if (!ch.now) continue;
    if (!ch.held_slot) {
      added.push_back(&ch);
      continue;
    }
    // A replaced record keeps its key, and so its rank.
    const RecordView& r = *ch.now;
    if (!place(c, r.slot, r.expires_at ? *r.expires_at : kNeverExpires, ch.rank, r.id,
               r.metadata)) {
      return false;
    }
  }
  return added.empty() || place_added(c, added, after);
}

}  // namespace

std::unique_ptr<RecordColumns> build_record_columns(KvStore& store, ReadTxn& txn,
                                                    ScanBounds* bounds) {
  // The columns only spare work: when memory cannot hold them, the scan walks the table.
  try {
    return build_columns(store, txn, bounds);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

bool apply_write_log(RecordColumns& columns, const WriteLog& log, ReadTxn& before, ReadTxn& after) {
  try {
    return apply_log(columns, log, before, after);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// ---- The cache

ScanColumnsCache::Lease ScanColumnsCache::acquire(KvStore& store, ReadTxn& txn,
                                                  ScanBounds* bounds) {
  const uint64_t id = txn.snapshot_id();
  Lease lease;
  // A commit or a build is under way: the walk is as good as waiting for it.
  if (writers_.load(std::memory_order_acquire) != 0) return lease;
  {
    std::shared_lock lk(mu_);
    if (columns_ && columns_->snapshot_id == id) {
      lease.lock_ = std::move(lk);
      lease.columns_ = columns_.get();
      return lease;
    }
    // A scan of a snapshot older than the columns began before the last commit.
    if (columns_ && columns_->snapshot_id > id) return lease;
  }
  {
    std::lock_guard lk(count_mu_);
    if (++misses_ < build_after_) {
      // From now on, writes are logged so that the columns, once built, can follow them.
      if (!store.write_log_on()) store.set_write_log(kRecordsTable, true);
      return lease;
    }
    misses_ = 0;
  }
  store.set_write_log(kRecordsTable, true);
  following_.store(true, std::memory_order_release);
  {
    Writing w(*this);
    // With the lock held no commit can come between the snapshot and the columns taken
    // from it, so the next commit finds them at its parent.
    Result<ReadTxn> fresh = store.begin_read();
    if (!fresh) {
      retire(store, true);
      return lease;
    }
    if (!columns_ || columns_->snapshot_id != fresh->snapshot_id()) {
      columns_ = build_record_columns(store, *fresh, bounds);
      builds_.fetch_add(1, std::memory_order_relaxed);
      if (!columns_) retire(store, true);
    }
  }
  std::shared_lock lk(mu_);
  if (columns_ && columns_->snapshot_id == id) {
    lease.lock_ = std::move(lk);
    lease.columns_ = columns_.get();
  }
  return lease;
}

std::optional<ReadTxn> ScanColumnsCache::snapshot_before(KvStore& store, WriteTxn& txn) {
  if (!columns_ || columns_->snapshot_id != txn.parent_snapshot_id() || txn.log() == nullptr) {
    return std::nullopt;
  }
  // The write transaction is open, so nothing has committed since its parent: this is it.
  Result<ReadTxn> before = store.begin_read();
  if (!before || before->snapshot_id() != txn.parent_snapshot_id()) return std::nullopt;
  return std::move(*before);
}

void ScanColumnsCache::follow(KvStore& store, WriteTxn& txn, std::optional<ReadTxn>& before) {
  if (!columns_) return;
  const uint64_t made = txn.committed_snapshot_id();
  if (made == columns_->snapshot_id) return;  // the transaction changed nothing
  if (!before || made != txn.parent_snapshot_id() + 1) return retire(store, true);
  if (txn.log()->overflowed() ||
      txn.log()->size() > std::max(kMinLargeLog, columns_->records / kLargeLogFraction)) {
    return retire(store, false);
  }
  // Every commit takes the lock, so none has come since this one.
  Result<ReadTxn> after = store.begin_read();
  if (!after || after->snapshot_id() != made ||
      !apply_write_log(*columns_, *txn.log(), *before, *after)) {
    return retire(store, true);
  }
  columns_->snapshot_id = made;
  std::lock_guard lk(count_mu_);
  build_after_ = 2;
}

void ScanColumnsCache::retire(KvStore& store, bool failed) {
  columns_.reset();
  std::lock_guard lk(count_mu_);
  misses_ = 0;
  if (failed) {
    following_.store(false, std::memory_order_release);
    store.set_write_log(kRecordsTable, false);
    build_after_ = std::min<uint32_t>(64, build_after_ * 2);
  } else {
    // The log stays on, and the columns are built as at first: a walk costs the scan right
    // after a bulk load less than a build, and the build pays off from the second scan.
    build_after_ = 2;
  }
}

std::optional<std::pair<uint64_t, uint64_t>> ScanColumnsCache::TEST_state() {
  std::shared_lock lk(mu_);
  if (!columns_) return std::nullopt;
  return std::make_pair(columns_->snapshot_id, columns_->records);
}

}  // namespace tornquil
