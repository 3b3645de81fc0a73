// The collection registry: stored bytes of a configuration, decoder errors, name order,
// and a damaged entry that fails its look-up but is still listed.
#include "storage/registry.hpp"

#include <gtest/gtest.h>

#include "test_dir.hpp"

namespace tornquil {
namespace {

using testing::le;
using testing::TestDir;

constexpr uint64_t T = 1700000123;

const HnswConfig kGraph{16, 32, 16, 200, 50, 0.5, 7};

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto s = KvStore::open(dir_.file("meta.redb"));
    ASSERT_TRUE(s) << s.error().render();
    store_ = std::move(*s);
  }
  void put(const CollectionConfig& c) {
    auto w = store_->begin_write();
    ASSERT_TRUE(put_collection_config(*w, c));
    ASSERT_TRUE(w->commit());
  }
  void put_raw(std::string_view name, std::string_view bytes) {
    auto w = store_->begin_write();
    ASSERT_TRUE(w->put("collections", name, bytes));
    ASSERT_TRUE(w->commit());
  }
  Result<std::optional<CollectionConfig>> get(std::string_view name) {
    auto txn = store_->begin_read();
    return get_collection_config(*txn, name);
  }
  std::vector<std::string> names() {
    auto n = list_collection_names(*store_);
    if (!n) ADD_FAILURE() << n.error().render();
    return n ? *n : std::vector<std::string>{};
  }

  TestDir dir_;
  std::unique_ptr<KvStore> store_;
};

TEST(CollectionConfigCodecTest, StoredBytes) {
  const CollectionConfig plain{"abcd", 384, Metric::L2, T, std::nullopt};
  const std::string bytes = encode_collection_config(plain);
  EXPECT_EQ(bytes.size(), 33u);
  EXPECT_EQ(bytes, le(4, 8) + "abcd" + le(384, 8) + le(2, 4) + le(T, 8) + std::string(1, '\0'));

  const CollectionConfig graph{"abcd", 3, Metric::Dot, T, kGraph};
  const std::string g = encode_collection_config(graph);
  EXPECT_EQ(g.size(), 85u + 4);
  EXPECT_EQ(g, le(4, 8) + "abcd" + le(3, 8) + le(1, 4) + le(T, 8) + "\x01" + le(16, 8) + le(32, 8) +
                   le(16, 8) + le(200, 8) + le(50, 8) + le(0x3FE0000000000000, 8) + le(7, 8));

  for (const CollectionConfig& c :
       {plain, graph, CollectionConfig{"", 1, Metric::Cosine, 0, std::nullopt}}) {
    auto back = decode_collection_config(encode_collection_config(c));
    ASSERT_TRUE(back) << back.error().render();
    EXPECT_EQ(*back, c);
  }
}

TEST(CollectionConfigCodecTest, DecoderErrors) {
  const std::string head = le(2, 8) + "ab" + le(8, 8);  // name and dimensions
  const std::string eof = "Serialization error: io error: unexpected end of file";
  struct Case {
    const char* name;
    std::string bytes;
    std::string want;
  } cases[] = {
      {"empty", "", eof},
      {"name longer than the bytes", le(3, 8) + "ab", "Serialization error: io error: "},
      {"invalid utf-8 name",
       le(2, 8) + "\xC3\x28" + le(8, 8) + le(0, 4) + le(T, 8) + std::string(1, '\0'),
       "Serialization error: string is not valid utf8: invalid utf-8 sequence of 1 bytes from "
       "index 0"},
      {"cut in dimensions", le(2, 8) + "ab" + le(8, 4), eof},
      {"cut in the metric", head + le(0, 2), eof},
      {"metric 3", head + le(3, 4) + le(T, 8) + std::string(1, '\0'),
       "Serialization error: invalid value: integer `3`, expected variant index 0 <= i < 3"},
      {"cut in created_at", head + le(0, 4) + le(T, 7), eof},
      {"no tag", head + le(0, 4) + le(T, 8), eof},
      {"tag 2", head + le(0, 4) + le(T, 8) + "\x02",
       "Serialization error: tag for enum is not valid, found 2"},
      {"short graph parameters", head + le(0, 4) + le(T, 8) + "\x01" + std::string(55, '\0'), eof},
  };
  for (const Case& c : cases) {
    auto r = decode_collection_config(c.bytes);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().render(), c.want) << c.name;
  }
  // Bytes after the last field are ignored.
  auto r = decode_collection_config(head + le(1, 4) + le(T, 8) + std::string(1, '\0') + "xyz");
  ASSERT_TRUE(r) << r.error().render();
  EXPECT_EQ(*r, (CollectionConfig{"ab", 8, Metric::Dot, T, std::nullopt}));
}

TEST_F(RegistryTest, EmptyRegistry) {
  EXPECT_TRUE(names().empty());
  auto c = get("anything");
  ASSERT_TRUE(c) << c.error().render();
  EXPECT_EQ(*c, std::nullopt);
  auto w = store_->begin_write();
  EXPECT_EQ(delete_collection_config(*w, "anything"), false);
}

TEST_F(RegistryTest, PutReplaceDelete) {
  put({"docs", 4, Metric::Cosine, T, std::nullopt});
  put({"docs", 8, Metric::L2, T + 1, kGraph});
  put({"notes", 2, Metric::Dot, T, std::nullopt});
  auto c = get("docs");
  ASSERT_TRUE(c && *c);
  EXPECT_EQ(**c, (CollectionConfig{"docs", 8, Metric::L2, T + 1, kGraph}));

  auto w = store_->begin_write();
  EXPECT_EQ(delete_collection_config(*w, "absent"), false);
  EXPECT_EQ(delete_collection_config(*w, "docs"), true);
  ASSERT_TRUE(w->commit());
  EXPECT_EQ(names(), std::vector<std::string>{"notes"});
  EXPECT_EQ(*get("docs"), std::nullopt);
}

TEST_F(RegistryTest, NamesInByteOrder) {
  for (const char* n : {"b", "ab", "\xC3\xA9t\xC3\xA9", "B", "a", "z", "a-long-name", "Z9"}) {
    put({n, 1, Metric::Cosine, T, std::nullopt});
  }
  EXPECT_EQ(names(), (std::vector<std::string>{"B", "Z9", "a", "a-long-name", "ab", "b", "z",
                                               "\xC3\xA9t\xC3\xA9"}));
}

TEST_F(RegistryTest, DamagedEntryFailsLookupButIsListed) {
  put({"good", 4, Metric::Cosine, T, std::nullopt});
  put_raw("bad", le(3, 8) + "bad" + le(4, 8) + le(3, 4) + le(T, 8) + std::string(1, '\0'));
  auto c = get("bad");
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error().render(),
            "Serialization error: invalid value: integer `3`, expected variant index 0 <= i < 3");
  EXPECT_EQ(names(), (std::vector<std::string>{"bad", "good"}));
  EXPECT_TRUE(get("good"));
}

}  // namespace
}  // namespace tornquil
