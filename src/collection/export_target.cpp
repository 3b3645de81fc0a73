// Where an export may not write: every file name the database reserves, in the registry's
// directory and in each collection's, whether or not the file is there yet. Directories and
// existing files are compared by identity, so that hard links, symbolic links and ".." name
// them too.
#include "collection/export_target.hpp"

#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "base/platform.hpp"
#include "collection/collection.hpp"
#include "collection/layout.hpp"

namespace tornquil {

namespace {

// The directory a new file at `path` would be made in, and the name it would take there.
// Trailing slashes are dropped: "hnsw.index/" still spells the index's name.
std::pair<std::string, std::string> place_of(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t cut = path.rfind('/');
  if (cut == std::string::npos) return {".", path};
  return {cut == 0 ? "/" : path.substr(0, cut), path.substr(cut + 1)};
}

}  // namespace

// The collection's directory is <database>/collections/<name>; the registry's directory is
// the database's.
Result<void> refuse_database_file(const Collection& c, const std::string& path) {
  // A file that exists is checked by what it is, a name that does not by where it would be
  // made: a new index or store written there would be read as damaged at the next open.
  TQ_ASSIGN(std::optional<platform::FileId> target, platform::file_id(path));
  const auto [parent, name] = place_of(path);
  TQ_ASSIGN(std::optional<platform::FileId> parent_id, platform::file_id(parent));
  auto refuse = [&](const std::string& file) {
    return std::unexpected(
        CoreError::io("export target " + path + " is a file of the open database: " + file));
  };
  auto check_dir = [&](const std::string& dir, bool collection) -> Result<void> {
    const std::string store = kMetaFileName;
    const std::string reserved_names[] = {store, store + kStoreLockSuffix, kVectorsFileName,
                                          kIndexFileName};
    std::optional<platform::FileId> dir_id;
    bool dir_known = false;
    for (const std::string& reserved : std::span(reserved_names, collection ? 4 : 2)) {
      const std::string file = platform::join_path(dir, reserved);
      if (target) {
        TQ_ASSIGN(std::optional<platform::FileId> id, platform::file_id(file));
        if (id && *id == *target) return refuse(file);
      }
      if (parent_id && name == reserved) {
        if (!dir_known) {
          TQ_ASSIGN(dir_id, platform::file_id(dir));
          dir_known = true;
        }
        if (dir_id && *dir_id == *parent_id) return refuse(file);
      }
    }
    return {};
  };
  TQ_TRY(check_dir(c.dir, true));
  const std::string collections = platform::join_path(c.dir, "..");
  const std::string root = platform::join_path(collections, "..");
  TQ_TRY(check_dir(root, false));
  // The other collections, whether open or not. Without a collections directory (a
  // collection opened on its own) there are none.
  TQ_ASSIGN(bool listed, platform::path_exists(collections));
  if (!listed) return {};
  TQ_ASSIGN(std::vector<std::string> names, platform::list_dir(collections));
  for (const std::string& name : names) {
    TQ_TRY(check_dir(platform::join_path(collections, name), true));
  }
  return {};
}

}  // namespace tornquil
