// The index file: exact bytes of saved graphs, the load errors in their order with their
// texts, the slot map of a loaded graph, and the refusal of images that would make the
// graph read outside its lists.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "base/checksum.hpp"
#include "search/hnsw/graph.hpp"
#include "search/hnsw/persist.hpp"

namespace tornquil {
namespace {

namespace fs = std::filesystem;

// Little-endian bytes built by hand, independent of the codec under test.
struct Bytes {
  std::string s;
  Bytes& u8(uint8_t v) {
    s.push_back(static_cast<char>(v));
    return *this;
  }
  Bytes& le(uint64_t v, int width) {
    for (int i = 0; i < width; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return *this;
  }
  Bytes& u16(uint16_t v) { return le(v, 2); }
  Bytes& u32(uint32_t v) { return le(v, 4); }
  Bytes& u64(uint64_t v) { return le(v, 8); }
  Bytes& text(const std::string& t) {
    u64(t.size());
    s += t;
    return *this;
  }
};

HnswConfig test_config() {
  HnswConfig c;
  c.m = 16;
  c.m0 = 32;
  c.m_max = 24;
  c.ef_construction = 200;
  c.ef_search = 50;
  c.level_multiplier = 0.5;
  c.reserved = 7;
  return c;
}

// magic, version, config: the 62 bytes every file starts with.
Bytes file_head() {
  Bytes b;
  b.u32(0x484E5357).u16(1).u64(16).u64(32).u64(24).u64(200).u64(50);
  b.u64(0x3FE0000000000000ULL);  // 0.5
  b.u64(7);
  return b;
}

std::string empty_file_bytes() {
  Bytes b = file_head();
  b.u32(0).u8(0).u8(0);
  for (int i = 0; i < 6; ++i) b.u64(0);
  b.u32(0xF95A31E5);  // CRC-32 of the 116 bytes above
  return b.s;
}

// Nodes "a" (slot 5) and "b" (slot 9) on one layer, each the other's only neighbour,
// entry point node 0.
std::string two_node_file_bytes() {
  Bytes b = file_head();
  b.u32(2).u8(0).u8(1).u32(0);
  b.u64(2).u64(5).u64(9);
  b.u64(2).text("a").text("b");
  b.u64(2).u8(0).u8(0);
  b.u64(1);
  b.u64(1).u64(3).u32(0).u32(1).u32(2);
  b.u64(1).u64(2).u32(1).u32(0);
  b.u32(0xF5A72253);  // CRC-32 of the 192 bytes above
  return b.s;
}

HnswGraph two_node_graph() {
  HnswGraph g;
  g.config = test_config();
  g.add_node("a", 5, 0);
  g.add_node("b", 9, 0);
  g.set_neighbors(0, 0, std::vector<uint32_t>{1});
  g.set_neighbors(0, 1, std::vector<uint32_t>{0});
  g.entry_point = 0;
  g.slot_to_node = {{5, 0}, {9, 1}};
  g.max_level = 0;
  return g;
}

HnswGraph empty_graph() {
  HnswGraph g;
  g.config = test_config();
  return g;
}

// Three layers, lists of different lengths, an empty id and a multi-byte one.
HnswGraph layered_graph() {
  HnswGraph g;
  g.config = test_config();
  g.add_node("n0", 100, 2);
  g.add_node("", 3, 0);
  g.add_node("\xC3\xA9t\xC3\xA9", 0, 1);
  g.add_node("n3", 41, 0);
  const std::vector<std::vector<std::vector<uint32_t>>> layers = {
      {{1, 2, 3}, {0}, {0, 3}, {2, 0}},
      {{2}, {}, {0}, {}},
      {{}, {}, {}, {}},
  };
  for (size_t l = 0; l < layers.size(); ++l) {
    for (uint32_t i = 0; i < layers[l].size(); ++i) g.set_neighbors(l, i, layers[l][i]);
  }
  g.entry_point = 0;
  g.max_level = 2;
  for (uint32_t i = 0; i < g.node_count(); ++i) g.slot_to_node[g.slot(i)] = i;
  return g;
}

std::string with_crc(std::string payload) {
  const uint32_t crc = crc32_ieee(payload.data(), payload.size());
  Bytes b;
  b.s = std::move(payload);
  b.u32(crc);
  return b.s;
}

std::string payload_of(const std::string& file) { return file.substr(0, file.size() - 4); }

class HnswFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("tornquil_hnsw_" + std::to_string(::getpid()) + "_" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name = "hnsw.index") const { return (dir_ / name).string(); }

  void write_file(const std::string& bytes, const std::string& name = "hnsw.index") const {
    std::ofstream out(path(name), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good());
  }

  std::string read_file(const std::string& name = "hnsw.index") const {
    std::ifstream in(path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // The rendered error of loading these bytes; "" when the load succeeds.
  std::string load_error(const std::string& bytes) const {
    write_file(bytes);
    auto r = load_index(path(), Metric::Cosine);
    return r ? std::string() : r.error().render();
  }

  fs::path dir_;
};

TEST_F(HnswFileTest, SavesExactBytesAndLoadsThemBack) {
  struct Case {
    const char* name;
    HnswGraph graph;
    std::string bytes;
  };
  const Case cases[] = {
      {"empty", empty_graph(), empty_file_bytes()},
      {"two nodes", two_node_graph(), two_node_file_bytes()},
  };
  ASSERT_EQ(cases[0].bytes.size(), 120u);
  ASSERT_EQ(cases[1].bytes.size(), 196u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(save_index(c.graph, path()).has_value());
    EXPECT_EQ(read_file(), c.bytes);

    auto loaded = load_index(path(), Metric::L2);
    ASSERT_TRUE(loaded.has_value()) << loaded.error().render();
    const HnswIndex& index = **loaded;
    EXPECT_EQ(index.metric(), Metric::L2);
    EXPECT_EQ(*index.read_graph(), c.graph);
    EXPECT_TRUE(index.read_deleted()->empty());
    EXPECT_EQ(index_node_count(index), c.graph.node_count());
  }
}

TEST_F(HnswFileTest, SaveOverALongerFileTruncatesIt) {
  write_file(std::string(5000, 'x'));
  ASSERT_TRUE(save_index(two_node_graph(), path()).has_value());
  EXPECT_EQ(read_file(), two_node_file_bytes());
}

TEST_F(HnswFileTest, RoundTripKeepsGraphAndMapsEverySlotAgain) {
  HnswIndex original(layered_graph(), Metric::Dot);
  // A delete takes the slot out of the map and puts it in the deleted set.
  original.write_deleted()->insert(41);
  original.write_graph()->slot_to_node.erase(41);
  {
    auto g = original.read_graph();
    ASSERT_TRUE(save_index(*g, path()).has_value());
  }
  auto loaded = load_index(path(), Metric::Cosine);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().render();
  EXPECT_EQ(*(*loaded)->read_graph(), layered_graph());
  EXPECT_TRUE((*loaded)->read_deleted()->empty());
  EXPECT_EQ((*loaded)->metric(), Metric::Cosine);

  // Saving the loaded graph writes the same file again.
  const std::string first = read_file();
  ASSERT_TRUE(save_index(*(*loaded)->read_graph(), path("again")).has_value());
  EXPECT_EQ(read_file("again"), first);
}

TEST_F(HnswFileTest, LoadErrorsInTheirOrder) {
  const std::string valid = two_node_file_bytes();
  auto patched = [&](size_t offset, const std::string& bytes) {
    std::string p = payload_of(valid);
    p.replace(offset, bytes.size(), bytes);
    return with_crc(p);
  };
  struct Case {
    const char* name;
    std::string bytes;
    std::string error;
  };
  const Case cases[] = {
      {"empty file", "", "Data corruption: HNSW index file too small"},
      {"one byte", "\x01", "Data corruption: HNSW index file too small"},
      {"three bytes", std::string(3, '\0'), "Data corruption: HNSW index file too small"},
      // The CRC-32 of no bytes is 0, so four zeros pass the checksum.
      {"four zeros", std::string(4, '\0'), "Serialization error: io error: unexpected end of file"},
      {"payload byte changed",
       [&] {
         std::string b = valid;
         b[70] = static_cast<char>(b[70] ^ 0xFF);
         return b;
       }(),
       "Data corruption: HNSW index checksum mismatch: expected f5a72253, got 6be8e3fe"},
      {"checksum byte changed",
       [&] {
         std::string b = valid;
         b[195] = static_cast<char>(b[195] ^ 0x01);
         return b;
       }(),
       "Data corruption: HNSW index checksum mismatch: expected f4a72253, got f5a72253"},
      {"magic", patched(0, "X"), "Data corruption: Invalid HNSW magic number: 484e5358"},
      {"version 2", patched(4, std::string("\x02\x00", 2)),
       "Data corruption: Unsupported HNSW version: 2 (expected 1)"},
      {"magic before version", patched(0, std::string("XSNH\x02\x00", 6)),
       "Data corruption: Invalid HNSW magic number: 484e5358"},
      // Decoding comes before the magic: a foreign file that also fails to decode.
      {"magic and short payload", with_crc(payload_of(patched(0, "X")).substr(0, 70)),
       "Serialization error: io error: unexpected end of file"},
      {"entry point tag 2", patched(67, "\x02"),
       "Serialization error: tag for enum is not valid, found 2"},
      {"id not utf-8", patched(112, "\xFF"),
       "Serialization error: string is not valid utf8: invalid utf-8 sequence of 1 bytes "
       "from index 0"},
      {"id longer than the file", patched(104, std::string("\x00\x40", 2)),
       "Serialization error: io error: "},
      {"huge slot count", patched(72, std::string("\x00\x00\x00\x00\x00\x00\x00\x40", 8)),
       "Serialization error: io error: unexpected end of file"},
      // The ids run on into the later fields until one claims more bytes than are left.
      {"huge id count", patched(96, std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8)),
       "Serialization error: io error: "},
      {"huge level count", patched(122, std::string("\x00\x00\x00\x00\x00\x00\x00\x10", 8)),
       "Serialization error: io error: unexpected end of file"},
      {"huge layer list count", patched(140, std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x7F", 8)),
       "Serialization error: io error: unexpected end of file"},
      {"huge offset count", patched(148, std::string("\x00\x00\x00\x00\x00\x00\x00\x40", 8)),
       "Serialization error: io error: unexpected end of file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(load_error(c.bytes), c.error);
  }
}

TEST_F(HnswFileTest, MissingFileIsIo) {
  auto r = load_index(path("absent"), Metric::Cosine);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::Io);
  EXPECT_EQ(r.error().render(), "I/O error: No such file or directory (os error 2)");
}

TEST_F(HnswFileTest, SaveIntoMissingDirectoryIsIo) {
  auto r = save_index(two_node_graph(), path("no/such/dir"));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().render(), "I/O error: No such file or directory (os error 2)");
}

TEST_F(HnswFileTest, EveryCutShortPayloadFailsToDecode) {
  const std::string payload = payload_of(two_node_file_bytes());
  for (size_t len = 0; len < payload.size(); ++len) {
    SCOPED_TRACE(len);
    write_file(with_crc(payload.substr(0, len)));
    auto r = load_index(path(), Metric::Cosine);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
  }
}

TEST_F(HnswFileTest, BytesAfterTheLastListAreIgnored) {
  const std::string file = with_crc(payload_of(two_node_file_bytes()) + "trailing junk");
  write_file(file);
  auto r = load_index(path(), Metric::Cosine);
  ASSERT_TRUE(r.has_value()) << r.error().render();
  EXPECT_EQ(*(*r)->read_graph(), two_node_graph());
}

TEST_F(HnswFileTest, SlotListedTwiceMapsToTheLaterNode) {
  HnswGraph g = two_node_graph();
  g.add_node("c", 5, 0);  // same slot as node 0
  ASSERT_TRUE(save_index(g, path()).has_value());
  auto r = load_index(path(), Metric::Cosine);
  ASSERT_TRUE(r.has_value()) << r.error().render();
  const auto loaded = (*r)->read_graph();
  EXPECT_EQ(loaded->node_count(), 3u);
  EXPECT_EQ(loaded->slot_to_node.size(), 2u);
  EXPECT_EQ(loaded->slot_to_node.at(5), 2u);
  EXPECT_EQ(loaded->slot_to_node.at(9), 1u);
}

// Gives the two-node image 33 layers and the levels, node 0 the entry point on top; every
// layer above 0 holds empty lists.
void tall(HnswPersist& p, std::vector<uint8_t> levels) {
  p.max_level = 32;
  p.node_levels = std::move(levels);
  p.num_layers = 33;
  p.layer_offsets.resize(33, {0, 0, 0});
  p.layer_neighbors.resize(33);
}

// Images that pass the checksum and decode, but whose lists would be read out of range or
// whose entry point, levels, layers and lists contradict each other.
TEST_F(HnswFileTest, RefusesImagesInconsistentWithTheirCounts) {
  auto image = [] {
    auto p = persist_from_graph(two_node_graph());
    if (!p) ADD_FAILURE() << p.error().render();
    return *p;
  };
  struct Case {
    const char* name;
    std::function<void(HnswPersist&)> damage;
    std::string error;  // "" when the image is accepted
  };
  const Case cases[] = {
      {"node count above slots", [](HnswPersist& p) { p.node_count = 3; },
       "Data corruption: HNSW index holds 2 node slots for 3 nodes"},
      {"ids short",
       [](HnswPersist& p) {
         p.node_count = 3;
         p.node_slots.push_back(1);
       },
       "Data corruption: HNSW index holds 2 node ids for 3 nodes"},
      {"levels short", [](HnswPersist& p) { p.node_levels.pop_back(); },
       "Data corruption: HNSW index holds 1 node levels for 2 nodes"},
      {"offset lists short", [](HnswPersist& p) { p.num_layers = 2; },
       "Data corruption: HNSW index holds 1 offset lists for 2 layers"},
      {"neighbour lists short",
       [](HnswPersist& p) {
         p.num_layers = 2;
         p.layer_offsets.push_back({0, 0, 0});
       },
       "Data corruption: HNSW index holds 1 neighbour lists for 2 layers"},
      {"offsets short",
       [](HnswPersist& p) {
         p.layer_offsets[0] = {0, 1};
       },
       "Data corruption: HNSW layer 0 holds 2 offsets for 2 nodes"},
      {"start after end",
       [](HnswPersist& p) {
         p.layer_offsets[0] = {0, 1, 0};
       },
       "Data corruption: HNSW layer 0 gives node 1 the neighbour range 1..0 of a list of 2"},
      {"end beyond the list",
       [](HnswPersist& p) {
         p.layer_offsets[0] = {0, 1, 3};
       },
       "Data corruption: HNSW layer 0 gives node 1 the neighbour range 1..3 of a list of 2"},
      {"neighbour beyond the nodes",
       [](HnswPersist& p) {
         p.layer_neighbors[0] = {1, 2};
       },
       "Data corruption: HNSW layer 0 lists neighbour 2 for node 1, not below the node "
       "count 2"},
      {"entry point beyond the nodes", [](HnswPersist& p) { p.entry_point = 2; },
       "Data corruption: HNSW entry point 2 is not below the node count 2"},
      {"entry point without nodes",
       [](HnswPersist& p) {
         p = HnswPersist{};
         p.entry_point = 0;
       },
       "Data corruption: HNSW entry point 0 is not below the node count 0"},
      {"maximum level 33", [](HnswPersist& p) { p.max_level = 33; },
       "Data corruption: HNSW maximum level 33 is above 32"},
      {"node level 33", [](HnswPersist& p) { p.node_levels[1] = 33; },
       "Data corruption: HNSW node 1 has level 33, above 32"},
      // Images whose parts contradict each other: no search could walk them as stored.
      {"nodes without an entry point", [](HnswPersist& p) { p.entry_point.reset(); },
       "Data corruption: HNSW index holds 2 nodes but no entry point"},
      {"entry point below the maximum level",
       [](HnswPersist& p) {
         p.max_level = 1;
         p.node_levels = {0, 1};
         p.num_layers = 2;
         p.layer_offsets.push_back({0, 0, 0});
         p.layer_neighbors.push_back({});
       },
       "Data corruption: HNSW entry point 0 has level 0, not the maximum level 1"},
      {"node above the maximum level", [](HnswPersist& p) { p.node_levels[1] = 1; },
       "Data corruption: HNSW node 1 has level 1, above the maximum level 0"},
      {"layers short of the maximum level",
       [](HnswPersist& p) {
         p.max_level = 1;
         p.node_levels = {1, 0};
       },
       "Data corruption: HNSW index holds 1 layers for the maximum level 1"},
      {"maximum level without nodes",
       [](HnswPersist& p) {
         p = HnswPersist{};
         p.max_level = 2;
       },
       "Data corruption: HNSW index without nodes has maximum level 2"},
      {"own node listed",
       [](HnswPersist& p) {
         p.layer_neighbors[0] = {1, 1};
       },
       "Data corruption: HNSW layer 0 lists node 1 as its own neighbour"},
      {"neighbour listed twice",
       [](HnswPersist& p) {
         p.node_count = 3;
         p.node_slots.push_back(11);
         p.node_ids.push_back("c");
         p.node_levels.push_back(0);
         p.layer_offsets[0] = {0, 2, 3, 3};
         p.layer_neighbors[0] = {1, 1, 0};
       },
       "Data corruption: HNSW layer 0 lists neighbour 1 twice for node 0"},
      // A walk on a layer moves only to nodes on it: a list leading below its layer, or a
      // list of a node that is not on the layer, is damage.
      {"a neighbour below the layer",
       [](HnswPersist& p) {
         tall(p, {32, 0});
         p.layer_offsets[32] = {0, 1, 1};
         p.layer_neighbors[32] = {1};
       },
       "Data corruption: HNSW layer 32 lists neighbour 1 of level 0 for node 0"},
      {"a list above its node's level",
       [](HnswPersist& p) {
         tall(p, {32, 0});
         p.layer_offsets[32] = {0, 0, 1};
         p.layer_neighbors[32] = {0};
       },
       "Data corruption: HNSW layer 32 gives node 1 of level 0 a list of 1"},
      {"a neighbour one layer below",
       [](HnswPersist& p) {
         tall(p, {32, 31});
         p.layer_offsets[32] = {0, 1, 1};
         p.layer_neighbors[32] = {1};
       },
       "Data corruption: HNSW layer 32 lists neighbour 1 of level 31 for node 0"},
      // Accepted: levels up to 32 with lists on every layer both nodes are on, no nodes and
      // no layers.
      {"levels 32",
       [](HnswPersist& p) {
         tall(p, {32, 32});
         p.layer_offsets[32] = {0, 1, 2};
         p.layer_neighbors[32] = {1, 0};
       },
       ""},
      {"an empty list above its node's level",
       [](HnswPersist& p) {
         tall(p, {32, 0});
       },
       ""},
      {"no nodes", [](HnswPersist& p) { p = HnswPersist{}; }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HnswPersist p = image();
    c.damage(p);
    EXPECT_EQ(load_error(encode_index_file(p)), c.error);
  }
}

TEST_F(HnswFileTest, ExtraEntriesAreIgnoredByTheLoadedGraph) {
  HnswPersist p = *persist_from_graph(two_node_graph());
  p.node_slots.push_back(77);
  p.node_ids.push_back("extra");
  p.node_levels.push_back(99);
  p.layer_offsets[0].push_back(2);
  p.layer_offsets.push_back({0, 0, 0});
  p.layer_neighbors.push_back({});
  write_file(encode_index_file(p));
  auto r = load_index(path(), Metric::Cosine);
  ASSERT_TRUE(r.has_value()) << r.error().render();
  EXPECT_EQ(*(*r)->read_graph(), two_node_graph());
}

}  // namespace
}  // namespace tornquil
