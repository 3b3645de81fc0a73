// The set of open collections and its flush at exit.
#include "collection/live_collections.hpp"

#include <mutex>
#include <vector>

#include "collection/collection.hpp"

namespace tornquil {

namespace {

struct LiveSet {
  std::mutex mu;
  std::vector<std::weak_ptr<Collection>> collections;  // guarded by mu
  size_t prune_at = 16;                                // guarded by mu
};

// Never destroyed: the exit flush and threads still running at exit may use it after
// static destructors have begun.
LiveSet& live_set() {
  static LiveSet* set = new LiveSet;
  return *set;
}

}  // namespace

void track_collection(const std::shared_ptr<Collection>& c) {
  LiveSet& s = live_set();
  std::lock_guard lk(s.mu);
  if (s.collections.size() >= s.prune_at) {
    // Closed collections leave the set here, so it stays within twice the open ones.
    std::erase_if(s.collections, [](const std::weak_ptr<Collection>& w) { return w.expired(); });
    s.prune_at = 2 * s.collections.size() + 16;
  }
  s.collections.push_back(c);
}

void flush_live_collections() {
  std::vector<std::shared_ptr<Collection>> open;
  {
    LiveSet& s = live_set();
    std::lock_guard lk(s.mu);
    for (const std::weak_ptr<Collection>& w : s.collections) {
      if (std::shared_ptr<Collection> c = w.lock()) open.push_back(std::move(c));
    }
  }
  // A failure has nowhere to go at exit; the records then stay out of the table as after
  // any failed flush. Dropping `open` may close collections whose other holders went
  // meanwhile; their release flush then finds an empty buffer. One collection that runs
  // out of memory does not keep the others from their flush.
  for (const std::shared_ptr<Collection>& c : open) {
    ignore_allocation_failure([&] { (void)flush_pending(*c); });
  }
}

void mark_collections_dropped(const std::optional<platform::FileId>& dir_id,
                              const std::string& dir) {
  std::vector<std::shared_ptr<Collection>> open;
  {
    LiveSet& s = live_set();
    std::lock_guard lk(s.mu);
    for (const std::weak_ptr<Collection>& w : s.collections) {
      if (std::shared_ptr<Collection> c = w.lock()) open.push_back(std::move(c));
    }
  }
  // Released after the set's mutex: the last reference closes the collection.
  for (const std::shared_ptr<Collection>& c : open) {
    const bool same = dir_id ? c->dir_id == dir_id : c->dir == dir;
    if (same) c->dropped.store(true);
  }
}

}  // namespace tornquil
