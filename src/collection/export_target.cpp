// Where an export may not write: every file the database keeps, found by identity, so that
// hard links, symbolic links and ".." name them too.
#include "collection/export_target.hpp"

#include <optional>
#include <span>
#include <vector>

#include "base/platform.hpp"
#include "collection/collection.hpp"
#include "collection/layout.hpp"

namespace tornquil {

// The collection's directory is <database>/collections/<name>.
Result<void> refuse_database_file(const Collection& c, const std::string& path) {
  TQ_ASSIGN(std::optional<platform::FileId> target, platform::file_id(path));
  if (!target) return {};  // a new file is no file of the database
  auto same = [&](const std::string& file) -> Result<bool> {
    TQ_ASSIGN(std::optional<platform::FileId> id, platform::file_id(file));
    return id && *id == *target;
  };
  auto refuse = [&](const std::string& file) {
    return std::unexpected(
        CoreError::io("export target " + path + " is a file of the open database: " + file));
  };
  auto check_dir = [&](const std::string& dir, bool collection) -> Result<void> {
    const std::string store = platform::join_path(dir, kMetaFileName);
    std::string files[] = {store, store + kStoreLockSuffix,
                           platform::join_path(dir, kVectorsFileName),
                           platform::join_path(dir, kIndexFileName)};
    for (const std::string& file : std::span(files, collection ? 4 : 2)) {
      TQ_ASSIGN(bool hit, same(file));
      if (hit) return refuse(file);
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
