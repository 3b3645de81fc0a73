// The process's set of open collections, kept so that buffered records can be flushed once
// when the interpreter exits: a collection held by a thread that never finishes (a daemon
// thread) is never released, so its release flush never runs.
//
// Thread safety: both functions may be called from any thread at any time; the set has a
// mutex of its own, taken with no collection lock held and never held across a flush.
#pragma once

#include <memory>
#include <string>

namespace tornquil {

class Collection;

// Adds a newly opened collection to the set. The set holds it weakly: it never keeps a
// collection open.
void track_collection(const std::shared_ptr<Collection>& c);

// Flushes the write buffer of every collection still open, once each, dropping failures
// as the release flush does. The caller holds no lock of any collection.
void flush_live_collections();

// Marks every open collection whose directory is `dir` as dropped (Collection::dropped):
// from then on each refuses work and writes nothing, its release flush included. Called by
// drop_collection once the registry entry is gone. The caller holds no lock of any
// collection.
void mark_collections_dropped(const std::string& dir);

}  // namespace tornquil
