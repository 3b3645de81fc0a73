// NDJSON export and import of a collection: the header line, then one line per record, in
// the forms of ndjson_format.hpp. `ttl` is written only for a record that expires, as the
// seconds left when it was exported; an import restarts it and ignores `created_at`.
//
// Thread safety: both operations may run alongside every other operation of the
// collection; the caller holds no lock of the collection. Export's memory use is a few
// lines plus the 8192-byte file buffer, whatever the size of the collection; an import's
// that of about one group of lines, whatever the file holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/error.hpp"
#include "collection/ndjson_format.hpp"
#include "collection/stats.hpp"

namespace tornquil {

class Collection;

// Size of the read and write buffers of the files.
constexpr size_t kNdjsonBufferBytes = 8192;
// Room an import line gives the metadata, beyond the longest id and vector export writes.
constexpr uint64_t kImportMetadataAllowance = uint64_t{16} << 20;

// Flushes the write buffer, then writes the header and one line per live committed record
// in byte order of the ids to `path`. Returns the record lines written. A path that names
// a file the database reserves (its registry and the registry's lock file, or a
// collection's vector file, store, lock file or index), whether or not that file exists
// yet, is refused with Io before anything is written. The lines go to a new file
// beside `path`, which replaces it once complete and durable: a failure leaves an
// existing file at `path` as it was (a pipe or a device is written in place).
Result<uint64_t> export_to_file(Collection& c, const std::string& path);

// The longest line an import reads for a collection of `dimensions`: the longest line
// export writes for a record with a 510-byte id, plus kImportMetadataAllowance bytes for
// its metadata.
uint64_t import_line_bound(uint64_t dimensions);

// Checks the header of the file at `path` against the collection, then stores every record
// line, a later line replacing an earlier record of the same id; blank lines are skipped
// but counted. The lines are committed in groups of up to 1000, each as one batch: a
// record that replaces a stored one becomes visible only once its vector is durable. A
// record with a vector of the wrong length or a non-finite element, or an id too long to
// be stored, counts as failed, and so does every record of a group whose batch fails. A
// line that does not parse ends the import with Deserialization "Invalid record at line
// {}: {}", and so does a line longer than import_line_bound ("line too long (more than {}
// bytes)"); records from earlier lines stay. Memory use is that of one group, whatever the
// file holds (a device or a pipe is read like a file). Flushes the write buffer at the
// end. `skipped` is always 0: every line is either imported, failed or an error.
Result<ImportStatsData> import_from_file(Collection& c, const std::string& path);

}  // namespace tornquil
