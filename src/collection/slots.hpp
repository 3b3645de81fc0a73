// Slot ownership: who holds each vector slot of a collection, and the one road by which a
// slot that nothing names any more gets back to the free list.
//
// At every moment a slot below slot_count is in one of three hands:
//   named    a stored record (in any state), a buffered or in-flight record, or a running
//            batch of this process names it;
//   free     it stands on the free list, once;
//   private  one operation holds it between the two, inside a SlotUse stretch: from its
//            allocation until a record or a registered batch names it, and from the commit
//            that stops naming it until release_slot has pushed it. Nothing else may hold a
//            slot that nothing names. Compaction's sweep gives back a slot in none of the
//            three hands (leaked by a kill, or by an older version), looking only at a
//            moment when no stretch is under way; when none comes, the sweep is skipped and
//            the next compaction tries again.
//
// When a freed slot reaches the free list: only after the write transaction that stopped
// naming it has committed, having saved the list as it will be with the slot on it
// (save_freelist_with), so that a failed commit leaves no stored record naming a slot that
// a new record also takes. release_slot then writes the deleted marker (before the push, so
// that no vector written into the reused slot is overwritten), takes the slot out of the
// graph when the graph holds it (and only then marks the index for a rebuild), and pushes
// it. A slot already free is left exactly as it is. The one exception is the slot of a
// buffered copy that was never committed (free_buffered_slot): nothing stored names it, so
// it goes back at once, without a marker; the stored list catches up at the next save.
//
// What a batch defers: a running batch writes its vectors into the slots it took until it
// ends. A slot of a running batch that another operation releases meanwhile (a delete or a
// replacement of one of its records, or one the batch itself stopped naming) joins that
// batch's deferred slots instead, and the batch releases them when it ends, once it writes
// no more vectors.
//
// Thread safety: SlotBook's fields are guarded as noted on them. The functions here take
// the collection's locks one at a time, each in its place in the lock order of
// collection.hpp, and never nest two of them; the caller holds no lock of the collection
// unless a function says otherwise.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "base/error.hpp"

namespace tornquil {

class Collection;

// A batch insert running in this process: the slots it took (ascending) and the slots of
// its own that another operation gave back while it ran. Those are released by the batch
// itself when it ends, once its vectors are written, so that no vector write of the batch
// lands on a slot that another record has taken meanwhile.
struct RunningBatch {
  std::vector<uint64_t> slots;     // immutable while registered
  std::vector<uint64_t> deferred;  // guarded by SlotBook::batches_lock
};

// The slot bookkeeping of one collection beside its free list and vector file.
struct SlotBook {
  // The batch inserts running in this process (BatchRegistration). Taken with no other lock
  // held, for one look or change of `batches`.
  std::mutex batches_lock;
  std::list<RunningBatch> batches;  // guarded by batches_lock

  // The SlotUse stretches: the low 32 bits count those under way, the high 32 bits every
  // one begun, so that a look before and one after tell whether any began in between.
  std::atomic<uint64_t> use{0};

  // Set when the free list changed in memory after the transaction that saved it (a
  // buffered copy dropped, a slot released after its commit, which a concurrent save may
  // have missed); the next sync then saves it.
  std::atomic<bool> freelist_unsaved{false};
};

// Marks a stretch of work during which a slot is held privately (see the top of this
// file). Costs two atomic additions and no lock.
class SlotUse {
 public:
  explicit SlotUse(SlotBook& book) : use_(book.use) { use_.fetch_add((uint64_t{1} << 32) + 1); }
  ~SlotUse() { use_.fetch_sub(1); }
  SlotUse(const SlotUse&) = delete;
  SlotUse& operator=(const SlotUse&) = delete;

 private:
  std::atomic<uint64_t>& use_;
};

// The sweep's looks for a quiet moment. quiet_moment gives the counter while no stretch is
// under way (nullopt otherwise); still_quiet tells, after the look, whether no stretch has
// begun since that moment, so that no slot moved unseen while the look ran.
std::optional<uint64_t> quiet_moment(const SlotBook& book);
bool still_quiet(const SlotBook& book, uint64_t moment);

// A batch among the collection's running batches, from the allocation of its slots to its
// end: meanwhile compaction leaves its Pending records alone, and a slot of its own that is
// released waits in its deferred list. The destructor leaves the registry and releases
// those slots; the batch writes no more vectors by then.
class BatchRegistration {
 public:
  // The caller holds a SlotUse from the allocation of `slots` until this returns.
  BatchRegistration(Collection& c, const std::vector<uint64_t>& slots);
  ~BatchRegistration();
  BatchRegistration(const BatchRegistration&) = delete;
  BatchRegistration& operator=(const BatchRegistration&) = delete;

 private:
  Collection& c_;
  std::list<RunningBatch>::iterator it_;
};

// The slots of the batches running now, ascending.
std::vector<uint64_t> running_batch_slots(Collection& c);

// Gives back a slot that the caller's committed transaction stopped naming and saved in
// the free list (or that the stored list already holds): the deleted marker, out of the
// graph's slot map into its deleted set when the graph holds it (the index is then marked
// for a rebuild; a collection with graph parameters but no index yet is marked too, as it
// has to be built), and onto the free list in memory, where the next allocation may take
// it. A slot already free is left as it is: no second marker, graph change, rebuild mark
// or push. A slot of a running batch is deferred to that batch. A slot outside the mapped
// file cannot take the marker: the error is returned and the slot stays off the free list.
Result<void> release_slot(Collection& c, uint64_t slot);

// release_slot for several slots at once, each lock taken once for all of them and the
// free list searched once: what a commit that stops naming many slots calls. Duplicates
// count once. Slots that cannot take the marker stay off the free list, as for
// release_slot, and the others are released all the same. Returns how many of the released
// slots held a vector (a first float that was not NaN) before their marker.
uint64_t release_slots(Collection& c, std::span<const uint64_t> slots);

// Gives back the slot of a buffered copy that was never committed: pushed at once, without
// a marker, for the next save of the list to store. The caller holds pending_lock and
// removes the copy from the buffer right after (freed first: when there is no memory to
// push the slot, the copy stays as it was).
void free_buffered_slot(Collection& c, uint64_t slot);

}  // namespace tornquil
