// The structural check of store files: real stores of every page kind are accepted, and
// stores damaged by hand at computed offsets are refused with their full texts, before
// LMDB ever reads them.
#include "storage/store_check.hpp"

#include <gtest/gtest.h>
#include <lmdb.h>

#include <functional>
#include <string>
#include <vector>

#include "storage/kv_store.hpp"
#include "test_dir.hpp"

namespace tornquil {
namespace {

using testing::le;
using testing::read_bytes;
using testing::TestDir;
using testing::write_bytes;

constexpr uint64_t kNoPage = ~uint64_t{0};

// A store file's bytes with just enough of LMDB's layout to find pages to damage.
class StoreBytes {
 public:
  explicit StoreBytes(std::string bytes) : b(std::move(bytes)) { ps = u32(16 + 24); }

  uint64_t u(size_t off, int width) const {
    uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[off + i]);
    return v;
  }
  uint64_t u16(size_t off) const { return u(off, 2); }
  uint64_t u32(size_t off) const { return u(off, 4); }
  uint64_t u64(size_t off) const { return u(off, 8); }
  void put(size_t off, uint64_t v, int width) { b.replace(off, width, le(v, width)); }

  // Byte offset of the meta data (after the header) of the meta page LMDB reads.
  size_t meta() const { return u64(ps + 16 + 128) > u64(16 + 128) ? ps + 16 : 16; }
  int meta_index() const { return meta() == 16 ? 0 : 1; }
  uint64_t last_page() const { return u64(meta() + 120); }
  size_t free_record() const { return meta() + 24; }
  size_t main_record() const { return meta() + 72; }

  size_t page(uint64_t p) const { return p * ps; }
  unsigned nodes(uint64_t p) const { return (u16(page(p) + 12) - 16) / 2; }
  size_t node(uint64_t p, unsigned i) const { return page(p) + u16(page(p) + 16 + 2 * i); }
  uint64_t child(uint64_t p, unsigned i) const {
    return u32(node(p, i)) | (u16(node(p, i) + 4) << 32);
  }
  bool is_branch(uint64_t p) const { return u16(page(p) + 10) == 1; }

  // Byte offset of a named table's 48-byte record inside the main table's root leaf.
  size_t table_record(const std::string& name) const {
    const uint64_t root = u64(main_record() + 40);
    for (unsigned i = 0; i < nodes(root); ++i) {
      const size_t n = node(root, i);
      if (b.compare(n + 8, u16(n + 6), name) == 0 && u16(n + 6) == name.size()) {
        return n + 8 + name.size();
      }
    }
    ADD_FAILURE() << "no table " << name;
    return 0;
  }
  uint64_t root(size_t record) const { return u64(record + 40); }
  uint64_t depth(size_t record) const { return u16(record + 6); }
  uint64_t overflow_pages(size_t record) const { return u64(record + 24); }

  // The leftmost leaf under a page.
  uint64_t first_leaf(uint64_t p) const {
    while (is_branch(p)) p = child(p, 0);
    return p;
  }
  // The first leaf node under a page whose value lies on overflow pages: {leaf, index}.
  std::pair<uint64_t, unsigned> big_node(uint64_t p) const {
    if (!is_branch(p)) {
      for (unsigned i = 0; i < nodes(p); ++i) {
        if (u16(node(p, i) + 4) & 1) return {p, i};
      }
      return {kNoPage, 0};
    }
    for (unsigned i = 0; i < nodes(p); ++i) {
      auto found = big_node(child(p, i));
      if (found.first != kNoPage) return found;
    }
    return {kNoPage, 0};
  }
  uint64_t overflow_of(std::pair<uint64_t, unsigned> n) const {
    const size_t at = node(n.first, n.second);
    return u64(at + 8 + u16(at + 6));
  }
  // The node of page p that sits highest in the page (its end is the page's end).
  unsigned top_node(uint64_t p) const {
    unsigned best = 0;
    for (unsigned i = 1; i < nodes(p); ++i) {
      if (node(p, i) > node(p, best)) best = i;
    }
    return best;
  }

  std::string b;
  uint64_t ps;
};

std::string record_key(int i) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "id%06d", i);
  return buf;
}

// Writes a store through KvStore: `fill` runs in write transactions of its own choosing.
void write_store(const std::string& path, const std::function<void(KvStore&)>& fill) {
  auto store = KvStore::open(path);
  ASSERT_TRUE(store) << store.error().render();
  fill(**store);
}

void put_all(KvStore& s, const std::string& table, int from, int to, size_t value_bytes) {
  auto w = s.begin_write();
  ASSERT_TRUE(w);
  for (int i = from; i < to; ++i) {
    ASSERT_TRUE(
        w->put(table, record_key(i), std::string(value_bytes, static_cast<char>('a' + i % 26))));
  }
  ASSERT_TRUE(w->commit());
}

// The store every damage case starts from: a two-level "records" table of 100-byte
// values with three values on overflow pages, a "freelist" table, and free pages left by
// deletes.
std::string base_store(const TestDir& dir) {
  const std::string path = dir.file("base.redb");
  write_store(path, [](KvStore& s) {
    put_all(s, "records", 0, 3000, 100);
    put_all(s, "records", 3000, 3003, 10000);
    put_all(s, "freelist", 0, 1, 8);
    auto w = s.begin_write();
    for (int i = 0; i < 3000; i += 3) ASSERT_TRUE(w->remove("records", record_key(i)));
    ASSERT_TRUE(w->commit());
  });
  return read_bytes(path);
}

Result<void> check_bytes(const std::string& path, const std::string& bytes) {
  write_bytes(path, bytes);
  auto file = platform::File::open(path, platform::File::Mode::ReadOnly);
  if (!file) return std::unexpected(file.error());
  return check_store_file(*file, path);
}

TEST(StoreCheck, TheBaseStoreHoldsEveryPageKindAndPasses) {
  TestDir dir;
  StoreBytes s(base_store(dir));
  EXPECT_EQ(s.ps, 4096u);
  const size_t records = s.table_record("records");
  EXPECT_EQ(s.depth(records), 2u);
  EXPECT_TRUE(s.is_branch(s.root(records)));
  EXPECT_EQ(s.overflow_pages(records), 9u);
  EXPECT_NE(s.root(s.free_record()), kNoPage);
  EXPECT_GT(s.u64(s.free_record() + 32), 0u);  // free-page table entries
  EXPECT_TRUE(check_bytes(dir.file("copy.redb"), s.b));
}

struct DamageCase {
  const char* name;
  // Damages the bytes and returns the text expected after "{path}: ".
  std::function<std::string(StoreBytes&)> damage;
};

std::string page_text(uint64_t p) { return "page " + std::to_string(p); }
std::string records_text() { return "table \"records\": "; }

const std::vector<DamageCase>& damage_cases() {
  static const std::vector<DamageCase> cases = {
      {"truncated to half",
       [](StoreBytes& s) {
         const uint64_t len = s.b.size() / 2;
         s.b.resize(len);
         return "file is " + std::to_string(len) + " bytes, shorter than its last used page " +
                std::to_string(s.last_page()) + " (" + std::to_string((s.last_page() + 1) * s.ps) +
                " bytes)";
       }},
      {"truncated inside the first meta page",
       [](StoreBytes& s) {
         s.b.resize(100);
         return std::string("file is 100 bytes, too short for its meta pages");
       }},
      {"truncated inside the second meta page",
       [](StoreBytes& s) {
         s.b.resize(5000);
         return std::string("file is 5000 bytes, too short for its meta pages (8192 bytes)");
       }},
      {"flipped page number",
       [](StoreBytes& s) {
         const uint64_t leaf = s.first_leaf(s.root(s.table_record("records")));
         s.put(s.page(leaf), leaf ^ 0x100, 8);
         return records_text() + page_text(leaf) + " holds page number " +
                std::to_string(leaf ^ 0x100);
       }},
      {"bad page flags",
       [](StoreBytes& s) {
         const uint64_t leaf = s.first_leaf(s.root(s.table_record("records")));
         s.put(s.page(leaf) + 10, 0x0012, 2);  // a leaf still marked dirty
         return records_text() + page_text(leaf) +
                " has flags 0x0012 where a branch or leaf page belongs";
       }},
      {"leaf-pair page flags",
       [](StoreBytes& s) {
         const uint64_t leaf = s.first_leaf(s.root(s.table_record("records")));
         s.put(s.page(leaf) + 10, 0x0022, 2);
         return records_text() + page_text(leaf) +
                " has flags 0x0022 where a branch or leaf page belongs";
       }},
      {"node bounds past the page",
       [](StoreBytes& s) {
         const uint64_t leaf = s.first_leaf(s.root(s.table_record("records")));
         const uint64_t lower = s.u16(s.page(leaf) + 12);
         s.put(s.page(leaf) + 14, 5000, 2);
         return records_text() + page_text(leaf) + " has node bounds " + std::to_string(lower) +
                "..5000 outside the page";
       }},
      {"branch without nodes",
       [](StoreBytes& s) {
         const uint64_t root = s.root(s.table_record("records"));
         s.put(s.page(root) + 12, 16, 2);
         return records_text() + page_text(root) + " has no nodes";
       }},
      {"node offset past the page",
       [](StoreBytes& s) {
         const uint64_t leaf = s.first_leaf(s.root(s.table_record("records")));
         s.put(s.page(leaf) + 16 + 2 * 3, 4094, 2);
         return records_text() + page_text(leaf) +
                " node 3 offset 4094 is outside the page's node area";
       }},
      {"node offset into the offset array",
       [](StoreBytes& s) {
         const uint64_t leaf = s.first_leaf(s.root(s.table_record("records")));
         s.put(s.page(leaf) + 16, 16, 2);
         return records_text() + page_text(leaf) +
                " node 0 offset 16 is outside the page's node area";
       }},
      {"key size past the page",
       [](StoreBytes& s) {
         const uint64_t leaf = s.first_leaf(s.root(s.table_record("records")));
         const unsigned top = s.top_node(leaf);
         s.put(s.node(leaf, top) + 6, 200, 2);
         return records_text() + page_text(leaf) + " node " + std::to_string(top) +
                " key of 200 bytes runs past the page";
       }},
      {"key size over the limit",
       [](StoreBytes& s) {
         const uint64_t leaf = s.first_leaf(s.root(s.table_record("records")));
         s.put(s.node(leaf, 1) + 6, 600, 2);
         return records_text() + page_text(leaf) + " node 1 key size 600 is over 511";
       }},
      {"data size past the page",
       [](StoreBytes& s) {
         const uint64_t leaf = s.first_leaf(s.root(s.table_record("records")));
         s.put(s.node(leaf, 2), 4000, 4);
         return records_text() + page_text(leaf) + " node 2 data of 4000 bytes runs past the page";
       }},
      {"node flags of sorted duplicates",
       [](StoreBytes& s) {
         const uint64_t leaf = s.first_leaf(s.root(s.table_record("records")));
         s.put(s.node(leaf, 0) + 4, 0x0004, 2);
         return records_text() + page_text(leaf) +
                " node 0 has flags 0x0004 that this table never holds";
       }},
      {"overflow run past the file",
       [](StoreBytes& s) {
         const uint64_t ov = s.overflow_of(s.big_node(s.root(s.table_record("records"))));
         s.put(s.page(ov) + 12, 1000000, 4);
         return records_text() + "overflow page " + std::to_string(ov) +
                " holds a run of 1000000 pages, past the last used page " +
                std::to_string(s.last_page());
       }},
      {"overflow run too short for its value",
       [](StoreBytes& s) {
         const uint64_t ov = s.overflow_of(s.big_node(s.root(s.table_record("records"))));
         s.put(s.page(ov) + 12, 2, 4);
         return records_text() + "overflow page " + std::to_string(ov) +
                " holds a run of 2 pages, fewer than the 3 its value of 10000 bytes needs";
       }},
      {"overflow page of the wrong kind",
       [](StoreBytes& s) {
         const uint64_t ov = s.overflow_of(s.big_node(s.root(s.table_record("records"))));
         s.put(s.page(ov) + 10, 0x0002, 2);
         return records_text() + "overflow page " + std::to_string(ov) +
                " has flags 0x0002 where an overflow page belongs";
       }},
      {"depth exceeding the recorded depth",
       [](StoreBytes& s) {
         const size_t rec = s.table_record("records");
         s.put(rec + 6, 1, 2);
         return records_text() + page_text(s.first_leaf(s.root(rec))) +
                " is deeper than the recorded depth 1";
       }},
      {"recorded depth beyond any tree",
       [](StoreBytes& s) {
         s.put(s.table_record("records") + 6, 40, 2);
         return records_text() + "recorded depth 40 is over 32";
       }},
      {"a page reached twice",
       [](StoreBytes& s) {
         const uint64_t root = s.root(s.table_record("records"));
         const uint64_t first = s.child(root, 0);
         const size_t n = s.node(root, 1);
         s.put(n, first & 0xFFFFFFFF, 4);
         return records_text() + page_text(first) + " is reached twice";
       }},
      {"a cycle back to the root",
       [](StoreBytes& s) {
         const uint64_t root = s.root(s.table_record("records"));
         s.put(s.node(root, 0), root, 4);
         return records_text() + page_text(root) + " is reached twice";
       }},
      {"a child page outside the used pages",
       [](StoreBytes& s) {
         const uint64_t root = s.root(s.table_record("records"));
         s.put(s.node(root, 0) + 4, 0x100, 2);
         const uint64_t bad = s.child(root, 0);
         return records_text() + page_text(bad) + " is outside the used pages 2.." +
                std::to_string(s.last_page());
       }},
      {"a child page pointing at a meta page",
       [](StoreBytes& s) {
         const uint64_t root = s.root(s.table_record("records"));
         s.put(s.node(root, 0), 1, 4);
         return records_text() + "page 1 is outside the used pages 2.." +
                std::to_string(s.last_page());
       }},
      {"zeroed leaf page",
       [](StoreBytes& s) {
         const uint64_t leaf = s.first_leaf(s.root(s.table_record("records")));
         s.b.replace(s.page(leaf), s.ps, std::string(s.ps, '\0'));
         return records_text() + page_text(leaf) + " holds page number 0";
       }},
      {"zeroed meta page",
       [](StoreBytes& s) {
         s.b.replace(0, s.ps, std::string(s.ps, '\0'));
         return std::string("meta page 0 has flags 0x0000 where a meta page belongs");
       }},
      {"bad magic",
       [](StoreBytes& s) {
         s.put(16, 0x12345678, 4);
         return std::string("meta page 0 has bad magic 0x12345678");
       }},
      {"bad magic in the second meta page",
       [](StoreBytes& s) {
         s.put(s.ps + 16, 0xDEADBEEF, 4);
         return std::string("meta page 1 has bad magic 0xdeadbeef");
       }},
      {"meta page number",
       [](StoreBytes& s) {
         s.put(s.ps, 7, 8);
         return std::string("meta page 1 holds page number 7");
       }},
      {"page size not a power of two",
       [](StoreBytes& s) {
         s.put(16 + 24, 3000, 4);
         return std::string(
             "meta page 0 gives page size 3000, not a power of two from 512 to 32768");
       }},
      {"page size too large",
       [](StoreBytes& s) {
         s.put(16 + 24, 65536, 4);
         return std::string(
             "meta page 0 gives page size 65536, not a power of two from 512 to 32768");
       }},
      {"meta pages disagree on the page size",
       [](StoreBytes& s) {
         s.put(s.ps + 16 + 24, 8192, 4);
         return std::string("meta pages give different page sizes 4096 and 8192");
       }},
      {"last used page inside the meta pages",
       [](StoreBytes& s) {
         s.put(s.meta() + 120, 0, 8);
         return "meta page " + std::to_string(s.meta_index()) +
                " gives last used page 0, inside the meta pages";
       }},
      {"last used page far past the file",
       [](StoreBytes& s) {
         s.put(s.meta() + 120, uint64_t{1} << 40, 8);
         return "file is " + std::to_string(s.b.size()) +
                " bytes, shorter than its last used page 1099511627776 (" +
                std::to_string(((uint64_t{1} << 40) + 1) * 4096) + " bytes)";
       }},
      {"main table root outside the used pages",
       [](StoreBytes& s) {
         s.put(s.main_record() + 40, s.last_page() + 1, 8);
         return "main table: page " + std::to_string(s.last_page() + 1) +
                " is outside the used pages 2.." + std::to_string(s.last_page());
       }},
      {"table of sorted duplicates",
       [](StoreBytes& s) {
         s.put(s.table_record("records") + 4, 0x0004, 2);
         return std::string("table \"records\" has flags 0x0004 that this store never writes");
       }},
      {"table record of the wrong size",
       [](StoreBytes& s) {
         const uint64_t root = s.u64(s.main_record() + 40);
         const size_t rec = s.table_record("freelist");
         const size_t n = rec - 8 - 8;  // the node of "freelist"
         s.put(n, 40, 4);
         unsigned i = 0;
         while (s.node(root, i) != n) ++i;
         return "main table: page " + std::to_string(root) + " node " + std::to_string(i) +
                " names a table with a record of 40 bytes (expected 48)";
       }},
      {"free-page table listing a page past the used pages",
       [](StoreBytes& s) {
         const uint64_t leaf = s.first_leaf(s.root(s.free_record()));
         const size_t n = s.node(leaf, 0);
         s.put(n + 8 + 8 + 8, s.last_page() + 5, 8);  // the list's first page
         return "free-page table: page " + std::to_string(s.last_page() + 5) +
                " is outside the used pages 2.." + std::to_string(s.last_page());
       }},
      {"free-page table listing a page in use",
       [](StoreBytes& s) {
         const uint64_t root = s.root(s.table_record("records"));
         const uint64_t leaf = s.first_leaf(s.root(s.free_record()));
         s.put(s.node(leaf, 0) + 8 + 8 + 8, root, 8);
         return records_text() + page_text(root) + " is reached twice";
       }},
      {"free-page list count past its value",
       [](StoreBytes& s) {
         const uint64_t leaf = s.first_leaf(s.root(s.free_record()));
         const size_t n = s.node(leaf, 0);
         const uint64_t size = s.u32(n);
         s.put(n + 8 + 8, size / 8, 8);
         return "free-page table: page " + std::to_string(leaf) + " node 0 lists " +
                std::to_string(size / 8) + " pages in " + std::to_string(size) + " bytes";
       }},
      {"free-page key of the wrong size",
       [](StoreBytes& s) {
         const uint64_t leaf = s.first_leaf(s.root(s.free_record()));
         s.put(s.node(leaf, 0) + 6, 4, 2);
         return "free-page table: page " + std::to_string(leaf) +
                " node 0 has a key of 4 bytes (expected 8)";
       }},
  };
  return cases;
}

TEST(StoreCheck, DamagedStoresAreRefusedWithTheirTexts) {
  TestDir dir;
  const std::string base = base_store(dir);
  for (const DamageCase& c : damage_cases()) {
    SCOPED_TRACE(c.name);
    StoreBytes s(base);
    const std::string what = c.damage(s);
    const std::string path = dir.file("damaged.redb");
    auto r = check_bytes(path, s.b);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ErrorKind::Corruption);
    EXPECT_EQ(r.error().text(), path + ": " + what);
  }
}

TEST(StoreCheck, AnotherFormatVersionGetsTheUpgradeText) {
  TestDir dir;
  for (size_t meta : {size_t{0}, size_t{4096}}) {
    StoreBytes s(base_store(dir));
    s.put(meta + 16 + 4, 2, 4);
    auto r = check_bytes(dir.file("v2.redb"), s.b);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(),
              "Database error: Manual upgrade required. Expected file format version 1, but "
              "file is version 2");
  }
}

// LMDB itself never reads a damaged file: the store refuses it at open and stays
// unopened, and the file is left as it was.
TEST(StoreCheck, OpeningADamagedStoreRefusesBeforeLmdbReadsIt) {
  TestDir dir;
  StoreBytes s(base_store(dir));
  const uint64_t leaf = s.first_leaf(s.root(s.table_record("records")));
  s.b.replace(s.page(leaf), s.ps, std::string(s.ps, '\0'));
  const std::string path = dir.file("meta.redb");
  write_bytes(path, s.b);
  auto store = KvStore::open(path);
  ASSERT_FALSE(store);
  EXPECT_EQ(store.error().render(), "Data corruption: " + path + ": table \"records\": page " +
                                        std::to_string(leaf) + " holds page number 0");
  EXPECT_EQ(read_bytes(path), s.b);
  // The lock went with the refused store: a repaired file opens.
  write_bytes(path, base_store(dir));
  EXPECT_TRUE(KvStore::open(path));
}

// Stores built with the LMDB C API for what KvStore never makes: many named tables and
// a sorted-duplicate table.
void write_with_lmdb(const std::string& path, int tables, unsigned table_flags) {
  MDB_env* env = nullptr;
  ASSERT_EQ(mdb_env_create(&env), 0);
  mdb_env_set_maxdbs(env, static_cast<MDB_dbi>(tables + 1));
  mdb_env_set_mapsize(env, size_t{64} << 20);
  ASSERT_EQ(mdb_env_open(env, path.c_str(), MDB_NOSUBDIR, 0644), 0);
  MDB_txn* txn = nullptr;
  ASSERT_EQ(mdb_txn_begin(env, nullptr, 0, &txn), 0);
  for (int t = 0; t < tables; ++t) {
    MDB_dbi dbi;
    const std::string name = "table" + std::to_string(t);
    ASSERT_EQ(mdb_dbi_open(txn, name.c_str(), MDB_CREATE | table_flags, &dbi), 0);
    for (int i = 0; i < 3; ++i) {
      std::string k = record_key(i % 2), v = std::string(50 + i, 'v');
      MDB_val key{k.size(), k.data()}, val{v.size(), v.data()};
      ASSERT_EQ(mdb_put(txn, dbi, &key, &val, 0), 0);
    }
  }
  ASSERT_EQ(mdb_txn_commit(txn), 0);
  mdb_env_close(env);
}

TEST(StoreCheck, SortedDuplicateTablesAreRefused) {
  TestDir dir;
  const std::string path = dir.file("dups.redb");
  write_with_lmdb(path, 1, MDB_DUPSORT);
  auto r = check_bytes(path, read_bytes(path));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(),
            path + ": table \"table0\" has flags 0x0004 that this store never writes");
}

struct ValidCase {
  const char* name;
  std::function<void(const std::string& path)> make;
  // What the store must hold for the case to show anything.
  std::function<void(const StoreBytes&)> holds;
};

TEST(StoreCheck, ValidStoresAreAccepted) {
  const std::vector<ValidCase> cases = {
      {"empty file (a new store)", [](const std::string& path) { write_bytes(path, ""); }, nullptr},
      {"store without tables", [](const std::string& path) { write_store(path, [](KvStore&) {}); },
       [](const StoreBytes& s) { EXPECT_EQ(s.u64(s.main_record() + 40), kNoPage); }},
      {"one table in one leaf",
       [](const std::string& path) {
         write_store(path, [](KvStore& s) { put_all(s, "records", 0, 5, 100); });
       },
       [](const StoreBytes& s) { EXPECT_EQ(s.depth(s.table_record("records")), 1u); }},
      {"an emptied table",
       [](const std::string& path) {
         write_store(path, [](KvStore& s) {
           put_all(s, "records", 0, 5, 100);
           auto w = s.begin_write();
           for (int i = 0; i < 5; ++i) ASSERT_TRUE(w->remove("records", record_key(i)));
           ASSERT_TRUE(w->commit());
         });
       },
       [](const StoreBytes& s) { EXPECT_EQ(s.root(s.table_record("records")), kNoPage); }},
      {"deep tree",
       [](const std::string& path) {
         write_store(path, [](KvStore& s) {
           auto w = s.begin_write();
           for (int i = 0; i < 20000; ++i) {
             ASSERT_TRUE(w->put("records", record_key(i) + std::string(480, 'k'), "v"));
           }
           ASSERT_TRUE(w->commit());
         });
       },
       [](const StoreBytes& s) { EXPECT_GE(s.depth(s.table_record("records")), 4u); }},
      {"overflow values",
       [](const std::string& path) {
         write_store(path, [](KvStore& s) {
           put_all(s, "records", 0, 20, 3000);
           put_all(s, "records", 20, 22, 1 << 20);
         });
       },
       [](const StoreBytes& s) { EXPECT_GT(s.overflow_pages(s.table_record("records")), 256u); }},
      {"overflow value rewritten smaller in place",
       [](const std::string& path) {
         write_store(path, [](KvStore& s) {
           put_all(s, "records", 0, 1, 20000);
           put_all(s, "records", 0, 1, 5000);
         });
       },
       [](const StoreBytes& s) { EXPECT_GT(s.overflow_pages(s.table_record("records")), 0u); }},
      {"many named tables", [](const std::string& path) { write_with_lmdb(path, 300, 0); },
       [](const StoreBytes& s) {
         EXPECT_EQ(s.u64(s.main_record() + 32), 300u);
         EXPECT_GE(s.u16(s.main_record() + 6), 2u);
       }},
      {"free pages after deletes and rewrites",
       [](const std::string& path) {
         write_store(path, [](KvStore& s) {
           for (int round = 0; round < 5; ++round) {
             put_all(s, "records", 0, 2000, 100 + round);
             auto w = s.begin_write();
             for (int i = round; i < 2000; i += 2) ASSERT_TRUE(w->remove("records", record_key(i)));
             ASSERT_TRUE(w->commit());
           }
         });
       },
       [](const StoreBytes& s) { EXPECT_GT(s.u64(s.free_record() + 32), 0u); }},
      {"a long-lived free list spilling to overflow pages",
       [](const std::string& path) {
         write_store(path, [](KvStore& s) {
           put_all(s, "records", 0, 40000, 200);
           auto w = s.begin_write();
           for (int i = 0; i < 40000; ++i) ASSERT_TRUE(w->remove("records", record_key(i)));
           ASSERT_TRUE(w->commit());
         });
       },
       [](const StoreBytes& s) { EXPECT_GT(s.overflow_pages(s.free_record()), 0u); }},
  };
  TestDir dir;
  for (const ValidCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file(std::string(c.name) + ".redb");
    c.make(path);
    const std::string bytes = read_bytes(path);
    if (c.holds) c.holds(StoreBytes(bytes));
    auto r = check_bytes(path, bytes);
    EXPECT_TRUE(r) << r.error().render();
    // And it opens again through the store, which runs the same check.
    EXPECT_TRUE(KvStore::open(path));
  }
}

}  // namespace
}  // namespace tornquil
