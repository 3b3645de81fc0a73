// The structural check of a store file, run before LMDB opens it.
//
// LMDB trusts its data file: it follows page numbers and node offsets without bounds
// checks, so a truncated or damaged meta.redb makes it read past its mapping or trip its
// own assertions, and the process dies. This check reads the file itself and refuses
// anything LMDB could not walk safely. It never writes.
//
// What it checks (the layout is described at the top of store_check.cpp):
//   - both meta pages: page flags, magic, format version, a page size that is a power of
//     two from 512 to 32768 and the same in both; the newer one (higher transaction id)
//     is the snapshot LMDB will use;
//   - the file holds every page up to the snapshot's last used page, except pages the
//     free-page table lists (LMDB may never have written those);
//   - every page reachable from the snapshot (the free-page table, the main table and
//     each named table it lists): page number inside the used range and the file, the
//     page's own number in its header, branch/leaf/overflow flags as LMDB writes them,
//     node offsets, key and data sizes inside the page, overflow runs inside the file,
//     tree depth within the recorded depth, no page reached twice;
//   - every page number the free-page table lists: inside the used range and neither in
//     use nor listed twice.
// Sorted-duplicate tables are refused: this store never creates them.
//
// Cost: the walk reads every reachable page once through a read-only mapping, marking
// pages in a bitmap; large tables are walked on the worker pool, subtree by subtree.
// About 3 ms for a compact table of 1,000,000 records (bench/bench_store_check).
#pragma once

#include <string>

#include "base/error.hpp"
#include "base/platform.hpp"

namespace tornquil {

// Checks the store file open as `file`; `path` names it in the text. An empty file is a
// new store and passes. Damage is Corruption "{path}: {what is wrong}"; a failure to
// read the file is Io. The caller keeps the file from changing during the check (the
// store's exclusive lock does it against every other opener of ours).
Result<void> check_store_file(const platform::File& file, const std::string& path);

// An empty store file is a new store, unless something beside it shows that it held data:
// then its records are gone, and opening it as new would hide that. `held_data` says what
// shows it ("vectors.bin holds 3 allocated slots"); empty when nothing does. Corruption
// "{path}: file is empty, but {held_data}"; a missing file passes (it is created anew); Io
// when the file cannot be looked at.
Result<void> check_store_not_emptied(const std::string& path, const std::string& held_data);

}  // namespace tornquil
