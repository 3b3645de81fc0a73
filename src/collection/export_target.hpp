// Where an export may not write: the files of the database the collection lives in.
//
// Thread safety: reads the file system only; the caller holds no lock of the collection.
#pragma once

#include <string>

#include "base/error.hpp"

namespace tornquil {

class Collection;

// Io "export target {path} is a file of the open database: {file}" when `path` names one
// of the files the database the collection lives in reserves (the registry and its lock
// file, or any collection's vector file, store, lock file or index), however it names it and
// whether or not the file exists yet: writing over a mapped vector file kills the process,
// over a store or the registry destroys it, and a new file under a reserved name is read as
// a damaged one at the next open.
Result<void> refuse_database_file(const Collection& c, const std::string& path);

}  // namespace tornquil
