// The database handle's core: its directories, the cache of open collections, the checks of
// a request against a registered configuration, the name rule, drop, and the one-handle lock.
#include "collection/database.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../storage/test_dir.hpp"
#include "collection/layout.hpp"

namespace tornquil {
namespace {

class DatabaseTest : public ::testing::Test {
 protected:
  std::string db_path() const { return dir_.file("db"); }

  std::unique_ptr<Database> open_db() {
    auto db = Database::open(db_path());
    EXPECT_TRUE(db) << db.error().render();
    return db ? std::move(*db) : nullptr;
  }

  testing::TestDir dir_;
};

TEST(CollectionDirTest, JoinsUnderCollections) {
  EXPECT_EQ(collection_dir("/data/db", "docs"), "/data/db/collections/docs");
  EXPECT_EQ(collection_dir("/data/db/", "docs"), "/data/db/collections/docs");
  EXPECT_EQ(collection_dir("rel", "x"), "rel/collections/x");
}

TEST(CollectionNameTest, RefusedNamesGiveTheirReason) {
  const std::string nul("a\0b", 3);
  struct Case {
    std::string name;
    std::string reason;  // empty: accepted
  };
  const Case cases[] = {
      {"notes", ""},
      {std::string(255, 'n'), ""},
      {"", "the name is empty"},
      {".", "'.' and '..' are not allowed"},
      {"..", "'.' and '..' are not allowed"},
      {"a/b", "the name contains a path separator"},
      {"a\\b", "the name contains a path separator"},
      {nul, "the name contains a NUL character"},
      {std::string(256, 'n'), "the name is 256 bytes long (at most 255)"},
  };
  for (const Case& c : cases) {
    auto r = check_collection_name(c.name);
    if (c.reason.empty()) {
      EXPECT_TRUE(r) << c.name;
      continue;
    }
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidInput);
    EXPECT_EQ(r.error().text(), "Invalid collection name '" + c.name + "': " + c.reason);
  }
}

TEST_F(DatabaseTest, OpenMakesTheDirectoriesAndASecondHandleIsRefused) {
  auto db = open_db();
  ASSERT_TRUE(db);
  EXPECT_TRUE(std::filesystem::is_directory(db_path() + "/collections"));
  EXPECT_TRUE(std::filesystem::exists(db_path() + "/meta.redb"));
  auto second = Database::open(db_path());
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().render(), "Database error: Database already open. Cannot acquire lock.");
}

TEST_F(DatabaseTest, CollectionsAreCachedAndCheckedAgainstTheirConfiguration) {
  auto db = open_db();
  ASSERT_TRUE(db);
  auto a = db->open_or_create("notes", 4, Metric::Cosine);
  ASSERT_TRUE(a) << a.error().render();
  auto again = db->open_or_create("notes", 4, Metric::Cosine);
  ASSERT_TRUE(again);
  EXPECT_EQ(a->get(), again->get());
  auto got = db->get("notes");
  ASSERT_TRUE(got);
  EXPECT_EQ(a->get(), got->get());

  auto dims = db->open_or_create("notes", 5, Metric::Cosine);
  ASSERT_FALSE(dims);
  EXPECT_EQ(dims.error().render(), "Dimension mismatch: expected 4, got 5");
  auto metric = db->open_or_create("notes", 4, Metric::L2);
  ASSERT_FALSE(metric);
  EXPECT_EQ(metric.error().render(),
            "Collection already exists: Collection 'notes' exists with metric Cosine, not L2");
  auto zero = db->open_or_create("other", 0, Metric::L2);
  ASSERT_FALSE(zero);
  EXPECT_EQ(zero.error().render(), "Invalid input: Dimensions must be greater than 0");
  auto missing = db->get("other");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().render(), "Collection not found: other");
  auto names = db->collection_names();
  ASSERT_TRUE(names);
  EXPECT_EQ(*names, std::vector<std::string>{"notes"});
}

TEST_F(DatabaseTest, ARegisteredCollectionReopensThroughANewHandle) {
  {
    auto db = open_db();
    ASSERT_TRUE(db);
    auto c = db->open_or_create("notes", 4, Metric::Dot);
    ASSERT_TRUE(c);
    ASSERT_TRUE(add_record(**c, std::vector<float>{1, 2, 3, 4}, JsonValue(), std::string("r"),
                           std::nullopt));
    ASSERT_TRUE(db->sync());
  }
  auto db = open_db();
  ASSERT_TRUE(db);
  auto c = db->get("notes");
  ASSERT_TRUE(c) << c.error().render();
  EXPECT_EQ((*c)->config.metric, Metric::Dot);
  auto n = record_count(**c);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 1u);
}

TEST_F(DatabaseTest, DropForgetsUnregistersAndRemovesTheDirectory) {
  auto db = open_db();
  ASSERT_TRUE(db);
  ASSERT_TRUE(db->open_or_create("notes", 4, Metric::L2));
  const std::string dir = collection_dir(db_path(), "notes");
  ASSERT_TRUE(std::filesystem::is_directory(dir));

  ASSERT_TRUE(db->drop("notes"));
  EXPECT_FALSE(std::filesystem::exists(dir));
  auto names = db->collection_names();
  ASSERT_TRUE(names);
  EXPECT_TRUE(names->empty());
  EXPECT_FALSE(db->get("notes"));
  EXPECT_TRUE(db->drop("never-registered"));
  // A name the rule refuses never reaches the file system: ".." would be the database itself.
  auto up = db->drop("..");
  ASSERT_FALSE(up);
  EXPECT_EQ(up.error().kind(), ErrorKind::InvalidInput);
  EXPECT_TRUE(std::filesystem::exists(db_path() + "/meta.redb"));

  // The same name makes a new, empty collection.
  auto fresh = db->open_or_create("notes", 4, Metric::L2);
  ASSERT_TRUE(fresh);
  auto n = record_count(**fresh);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 0u);
}

// A collection object kept from a handle on one spelling of the database path is reached
// by a drop through another: matched by its directory's identity, not by the text.
TEST_F(DatabaseTest, ADropReachesEverySpellingOfThePath) {
  std::filesystem::create_directories(dir_.file("a"));
  std::filesystem::create_directory_symlink(dir_.file("a"), dir_.file("link"));
  struct Case {
    const char* open_as;
    const char* drop_as;
  };
  const Case cases[] = {
      {"a/db", "a/./db"},
      {"a/db", "a/db/"},
      {"a/db", "link/db"},
      {"link/db", "a/../a/db"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(std::string(tc.open_as) + " then " + tc.drop_as);
    std::shared_ptr<Collection> kept;
    {
      auto db = Database::open(dir_.file(tc.open_as));
      ASSERT_TRUE(db);
      auto c = (*db)->open_or_create("notes", 2, Metric::L2);
      ASSERT_TRUE(c);
      kept = *c;
    }
    ASSERT_TRUE(add_record(*kept, std::vector<float>{1, 0}, JsonValue(), "x", std::nullopt));
    ASSERT_TRUE(flush_pending(*kept));
    ASSERT_TRUE(add_record(*kept, std::vector<float>{0, 1}, JsonValue(), "y", std::nullopt));

    auto db = Database::open(dir_.file(tc.drop_as));
    ASSERT_TRUE(db);
    ASSERT_TRUE((*db)->drop("notes"));
    EXPECT_TRUE(kept->dropped.load());
    auto added = add_record(*kept, std::vector<float>{1, 1}, JsonValue(), "z", std::nullopt);
    ASSERT_FALSE(added);
    EXPECT_EQ(added.error().render(), "Collection not found: notes");
    EXPECT_FALSE(sync_collection(*kept));
    kept.reset();  // its release flush writes nothing either
    EXPECT_FALSE(std::filesystem::exists(dir_.file("a/db/collections/notes")));
    auto fresh = (*db)->open_or_create("notes", 2, Metric::L2);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(*record_count(**fresh), 0u);
    fresh->reset();
    db->reset();
    std::filesystem::remove_all(dir_.file("a/db"));
  }
}

// Only what is open on the dropped directory at the drop is marked: not a collection that
// still names the same text but lives in another directory, nor one opened afterwards on a
// new directory that may take the old one's inode.
TEST_F(DatabaseTest, ADropMarksOnlyTheDirectoryItRemoves) {
  std::shared_ptr<Collection> elsewhere;
  {
    auto db = open_db();
    ASSERT_TRUE(db);
    auto c = db->open_or_create("notes", 2, Metric::L2);
    ASSERT_TRUE(c);
    elsewhere = *c;
  }
  // The old database moves away with its collection still open; a new one takes the path.
  std::filesystem::rename(db_path(), dir_.file("moved"));
  auto db = open_db();
  ASSERT_TRUE(db);
  ASSERT_TRUE(db->open_or_create("notes", 2, Metric::L2));
  ASSERT_TRUE(db->drop("notes"));
  EXPECT_FALSE(elsewhere->dropped.load());
  EXPECT_TRUE(add_record(*elsewhere, std::vector<float>{1, 0}, JsonValue(), "x", std::nullopt));
  ASSERT_TRUE(sync_collection(*elsewhere));

  auto again = db->open_or_create("notes", 2, Metric::L2);
  ASSERT_TRUE(again);
  ASSERT_TRUE(db->drop("other"));
  EXPECT_FALSE((*again)->dropped.load());
  EXPECT_TRUE(add_record(**again, std::vector<float>{1, 0}, JsonValue(), "x", std::nullopt));
  ASSERT_TRUE(sync_collection(**again));
  EXPECT_EQ(*record_count(**again), 1u);
  EXPECT_EQ(*record_count(*elsewhere), 1u);
}

}  // namespace
}  // namespace tornquil
