// Where an export may not write: the files of the database the collection lives in.
//
// Thread safety: reads the file system only; the caller holds no lock of the collection.
#pragma once

#include <string>

#include "base/error.hpp"

namespace tornquil {

class Collection;

// Io "export target {path} is a file of the open database: {file}" when `path` names one
// of the files of the database the collection lives in (the registry, or any collection's
// vector file, store, lock file or index), however it names it: writing over a mapped
// vector file kills the process, and over a store or the registry destroys it.
Result<void> refuse_database_file(const Collection& c, const std::string& path);

}  // namespace tornquil
