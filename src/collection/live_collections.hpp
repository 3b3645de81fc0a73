// The process's set of open collections, kept so that buffered records can be flushed once
// when the interpreter exits: a collection held by a thread that never finishes (a daemon
// thread) is never released, so its release flush never runs.
//
// Thread safety: both functions may be called from any thread at any time; the set has a
// mutex of its own, taken with no collection lock held and never held across a flush.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "base/platform.hpp"

namespace tornquil {

class Collection;

// Adds a newly opened collection to the set. The set holds it weakly: it never keeps a
// collection open.
void track_collection(const std::shared_ptr<Collection>& c);

// Flushes the write buffer of every collection still open, once each, dropping failures
// as the release flush does. The caller holds no lock of any collection.
void flush_live_collections();

// Marks every collection open now on the directory `dir` names as dropped
// (Collection::dropped): from then on each refuses work and writes nothing, its release
// flush included. A collection is matched by the identity its directory had at its open,
// `dir_id`, so every spelling of the path reaches it (symbolic links, "." and "..", a
// relative or absolute form); when the directory has no identity (it is missing, or cannot
// be looked at), by the text `dir` instead. Collections opened later are never marked,
// even where a new directory reuses the identity. Called by drop_collection once the
// registry entry is gone and before the directory is removed. The caller holds no lock of
// any collection.
void mark_collections_dropped(const std::optional<platform::FileId>& dir_id,
                              const std::string& dir);

}  // namespace tornquil
