// The graph's list storage against a plain model of nested vectors: rows that overflow into
// the spill arena and come back, layers added by a high node, lists set from the graph's
// own storage, and the bulk layer assignment of the loader and the rebuild; the count of
// the graph's edits. The slot map against a hash map, with slots of every size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "search/hnsw/graph.hpp"

namespace tornquil {
namespace {

using Lists = std::vector<std::vector<std::vector<uint32_t>>>;  // [layer][node]

void expect_matches(const HnswGraph& g, const Lists& model) {
  ASSERT_EQ(g.layer_count(), model.size());
  for (size_t l = 0; l < model.size(); ++l) {
    for (uint32_t i = 0; i < g.node_count(); ++i) {
      const auto got = g.neighbors(l, i);
      ASSERT_EQ(std::vector<uint32_t>(got.begin(), got.end()), model[l][i])
          << "layer " << l << " node " << i;
    }
  }
  EXPECT_TRUE(g.neighbors(model.size(), 0).empty());
  EXPECT_TRUE(g.neighbors(0, g.node_count()).empty());
}

HnswGraph small_config_graph() {
  HnswGraph g;
  g.config.m = 2;
  g.config.m0 = 3;
  g.config.m_max = 2;
  return g;
}

TEST(HnswGraphTest, RandomOperationsMatchPlainLists) {
  std::mt19937 rng(7);
  HnswGraph g = small_config_graph();
  Lists model;
  for (int step = 0; step < 20000; ++step) {
    const int op = static_cast<int>(rng() % 10);
    if (g.node_count() == 0 || op == 0) {
      const auto level = static_cast<uint8_t>(rng() % 16 == 0 ? rng() % 4 : 0);
      const uint32_t node = g.add_node("n" + std::to_string(step), step, level);
      ASSERT_EQ(node + 1, g.node_count());
      for (auto& layer : model) layer.emplace_back();
      while (model.size() < level + 1u) model.emplace_back(g.node_count());
      EXPECT_EQ(g.id(node), "n" + std::to_string(step));
      EXPECT_EQ(g.slot(node), static_cast<uint64_t>(step));
      EXPECT_EQ(g.level(node), level);
      continue;
    }
    const size_t l = rng() % model.size();
    const uint32_t node = rng() % g.node_count();
    const uint32_t to = rng() % g.node_count();
    auto& list = model[l][node];
    if (op <= 6) {
      const bool absent = std::find(list.begin(), list.end(), to) == list.end();
      EXPECT_EQ(g.add_link(l, node, to), absent);
      if (absent) list.push_back(to);
    } else if (op <= 8) {
      std::vector<uint32_t> fresh(rng() % 12);
      for (uint32_t& v : fresh) v = rng() % g.node_count();
      g.set_neighbors(l, node, fresh);
      list = fresh;
    } else {
      // A prefix of the node's own list, handed back from the graph's storage.
      const auto own = g.neighbors(l, node);
      const size_t keep = own.empty() ? 0 : rng() % own.size();
      g.set_neighbors(l, node, own.first(keep));
      list.resize(keep);
    }
  }
  expect_matches(g, model);

  const HnswGraph copy = g;
  EXPECT_EQ(copy, g);
  HnswGraph changed = g;
  changed.set_neighbors(
      0, 0, g.neighbors(0, 0).empty() ? std::vector<uint32_t>{0} : std::vector<uint32_t>{});
  EXPECT_NE(changed, g);
}

TEST(HnswGraphTest, AssignLayerKeepsEveryListWhateverItsLength) {
  HnswGraph g = small_config_graph();
  const uint32_t n = 300;
  g.assign_nodes(std::vector<std::string>(n, "x"), std::vector<uint64_t>(n, 1),
                 std::vector<uint8_t>(n, 1), 2);
  ASSERT_EQ(g.layer_count(), 2u);
  Lists model(2, std::vector<std::vector<uint32_t>>(n));
  for (uint32_t i = 0; i < n; ++i) {
    // Mostly short lists, a few far past any row: they spill.
    const uint32_t len = i % 25 == 0 ? 200 + i : i % 7;
    for (uint32_t k = 0; k < len; ++k) model[0][i].push_back((i + k + 1) % n);
    if (i % 3 == 0) model[1][i] = {i};
  }
  for (size_t l = 0; l < 2; ++l) {
    g.assign_layer(l, [&](uint32_t i) { return std::span<const uint32_t>(model[l][i]); });
  }
  expect_matches(g, model);
  // Growing a spilled list and a row list after the bulk assignment.
  for (uint32_t i : {0u, 1u, 2u}) {
    ASSERT_TRUE(g.add_link(0, i, i));
    model[0][i].push_back(i);
  }
  expect_matches(g, model);
}

TEST(HnswGraphTest, ZeroDegreeConfigStillHoldsLists) {
  HnswGraph g;  // every limit 0: rows hold nothing, every list spills
  g.add_node("a", 0, 1);
  g.add_node("b", 1, 0);
  EXPECT_TRUE(g.add_link(0, 0, 1));
  EXPECT_FALSE(g.add_link(0, 0, 1));
  EXPECT_TRUE(g.add_link(1, 0, 0));
  g.set_neighbors(0, 1, std::vector<uint32_t>{0, 0});
  expect_matches(g, Lists{{{1}, {0, 0}}, {{0}, {}}});
}

// Two long lists that keep outgrowing each other leave unused arena behind them until
// the arena is compacted; every list must survive the compaction.
TEST(HnswGraphTest, SpillArenaCompactionKeepsLists) {
  HnswGraph g = small_config_graph();
  for (uint32_t i = 0; i < 3; ++i) g.add_node("n", i, 0);
  Lists model(1, std::vector<std::vector<uint32_t>>(3));
  model[0][2] = {1, 0, 1, 0, 1};
  g.set_neighbors(0, 2, model[0][2]);
  for (uint32_t round = 0; round < 1500; ++round) {
    for (uint32_t node = 0; node < 2; ++node) {
      model[0][node].assign(1000 + round, node);
      model[0][node].back() = round % 3;
      g.set_neighbors(0, node, model[0][node]);
    }
  }
  expect_matches(g, model);
}

// The edit count that tells the incremental road whether anything else changed the graph
// since its last run: every change of the nodes, a list or a slot's owner moves it, and so
// does assigning a graph over another, even a copy made earlier (whose count is lower);
// reads, a link that is already there and the removal of a slot nobody holds leave it.
TEST(HnswGraphTest, EditCountMovesWithEveryChangeAndOnlyThen) {
  struct Case {
    const char* name;
    std::function<void(HnswGraph&)> op;
    bool changes;
  };
  const std::vector<uint32_t> two = {1, 2};
  const Case cases[] = {
      {"add a node", [](HnswGraph& g) { g.add_node("d", 9, 1); }, true},
      {"set a list", [&](HnswGraph& g) { g.set_neighbors(0, 0, two); }, true},
      {"add a link", [](HnswGraph& g) { g.add_link(1, 0, 2); }, true},
      {"assign a layer",
       [](HnswGraph& g) {
         g.assign_layer(0, [](uint32_t) { return std::span<const uint32_t>(); });
       },
       true},
      {"assign the nodes", [](HnswGraph& g) { g.assign_nodes({"x"}, {0}, {0}, 1); }, true},
      {"map a slot", [](HnswGraph& g) { g.slot_to_node[7] = 2; }, true},
      {"unmap a held slot", [](HnswGraph& g) { g.slot_to_node.erase(1); }, true},
      {"clear the slot map", [](HnswGraph& g) { g.slot_to_node.clear(); }, true},
      {"assign an older copy",
       [](HnswGraph& g) {
         const HnswGraph older = g;
         g.add_link(0, 2, 0);
         g = older;
       },
       true},
      {"assign another slot map",
       [](HnswGraph& g) {
         g.slot_to_node = SlotToNode{{1, 0}};
       },
       true},
      {"add a link already there", [](HnswGraph& g) { EXPECT_FALSE(g.add_link(0, 1, 0)); }, false},
      {"unmap a slot nobody holds", [](HnswGraph& g) { g.slot_to_node.erase(99); }, false},
      {"read",
       [](HnswGraph& g) {
         (void)g.neighbors(0, 1);
         (void)g.slot_to_node.owner(1);
         (void)g.slot_to_node.find(2);
         const HnswGraph copy = g;
         g.slot_to_node.reserve(100);
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HnswGraph g = small_config_graph();
    for (uint32_t i = 0; i < 3; ++i) {
      g.add_node("n" + std::to_string(i), i, 1);
      g.slot_to_node[i] = i;
    }
    g.add_link(0, 1, 0);
    const uint64_t before = g.edits();
    c.op(g);
    EXPECT_EQ(g.edits() != before, c.changes);
  }
}

using SlotModel = std::unordered_map<uint64_t, uint32_t>;

void expect_slot_map_matches(const SlotToNode& m, const SlotModel& model) {
  ASSERT_EQ(m.size(), model.size());
  const SlotModel listed(m.begin(), m.end());
  ASSERT_EQ(listed.size(), model.size()) << "a slot listed twice";
  ASSERT_EQ(listed, model);
  for (const auto& [slot, node] : model) {
    ASSERT_EQ(m.owner(slot), node) << "slot " << slot;
    ASSERT_EQ(m.at(slot), node);
    ASSERT_EQ(m.count(slot), 1u);
    auto it = m.find(slot);
    ASSERT_NE(it, m.end());
    ASSERT_EQ(it->first, slot);
    ASSERT_EQ(it->second, node);
  }
}

// Small dense slots (the usual case), slots past the array's floor that first go to the hash
// map and later move into the grown array, and huge slots a damaged file could name.
TEST(SlotToNodeTest, RandomOperationsMatchHashMap) {
  std::mt19937_64 rng(7);
  auto draw_slot = [&]() -> uint64_t {
    switch (rng() % 8) {
      case 0:
        return (uint64_t{1} << 20) + rng() % (uint64_t{3} << 20);
      case 1:
        return rng();
      default:
        return rng() % 3000;
    }
  };
  SlotToNode m;
  SlotModel model;
  for (int step = 0; step < 60000; ++step) {
    const uint64_t slot = draw_slot();
    switch (rng() % 6) {
      case 0:
      case 1:
      case 2: {
        const uint32_t node = static_cast<uint32_t>(rng() % 100000);
        m[slot] = node;
        model[slot] = node;
        break;
      }
      case 3:
        ASSERT_EQ(m.erase(slot), model.erase(slot));
        break;
      case 4:
        // A bare lookup through operator[] holds the slot for node 0, as a hash map does.
        ASSERT_EQ(m[slot], model[slot]);
        break;
      default: {
        const auto it = model.find(slot);
        const uint32_t want = it == model.end() ? SlotToNode::kNone : it->second;
        ASSERT_EQ(m.owner(slot), want);
        ASSERT_EQ(m.count(slot), model.count(slot));
        ASSERT_EQ(m.find(slot) == m.end(), it == model.end());
        if (it == model.end()) {
          EXPECT_THROW((void)m.at(slot), std::out_of_range);
        }
        break;
      }
    }
    if (step % 5000 == 0) expect_slot_map_matches(m, model);
    if (step == 30000) {
      // More reserved room lets the array grow over the mid slots held in the hash map.
      m.reserve(uint64_t{3} << 20);
    }
  }
  expect_slot_map_matches(m, model);

  // Equality does not depend on where the slots are stored nor on insertion order.
  SlotToNode copy;
  std::vector<std::pair<uint64_t, uint32_t>> entries(model.begin(), model.end());
  std::sort(entries.rbegin(), entries.rend());
  for (const auto& [slot, node] : entries) copy[slot] = node;
  EXPECT_TRUE(copy == m);
  copy.erase(entries.front().first);
  EXPECT_FALSE(copy == m);
  copy[entries.front().first] = entries.front().second + 1;
  EXPECT_FALSE(copy == m);

  m.clear();
  expect_slot_map_matches(m, {});
}

// Slots as large as a damaged index file may hold are kept without an array that long (one
// would not fit in memory), and the small slots around them stay on the array path.
TEST(SlotToNodeTest, HugeSlotsNeedNoHugeArray) {
  SlotToNode m{{uint64_t{1} << 40, 1}, {UINT64_MAX - 1, 2}, {3, 0}};
  m.reserve(3);
  m[uint64_t{1} << 35] = 4;
  m[UINT64_MAX] = 5;
  expect_slot_map_matches(m, {{uint64_t{1} << 40, 1},
                              {UINT64_MAX - 1, 2},
                              {3, 0},
                              {uint64_t{1} << 35, 4},
                              {UINT64_MAX, 5}});
  EXPECT_EQ(m.owner(4), SlotToNode::kNone);
  EXPECT_EQ(m.erase(UINT64_MAX), 1u);
  EXPECT_EQ(m.erase(UINT64_MAX), 0u);
  EXPECT_EQ(m.owner(UINT64_MAX), SlotToNode::kNone);
  EXPECT_EQ(m.size(), 4u);
}

}  // namespace
}  // namespace tornquil
