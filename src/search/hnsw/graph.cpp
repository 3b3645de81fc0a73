// The list storage of the graph's layers and the graph operations that need more than an
// inline accessor.
#include "search/hnsw/graph.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "base/error.hpp"

namespace tornquil {
namespace {

// Row capacities stay small enough that a row of a dense layer costs little for nodes
// whose lists are short; longer lists spill.
constexpr uint32_t kMaxRowCap = 256;
// Spill compaction runs once this many arena entries are unused, and they are at least
// half the arena.
constexpr uint64_t kCompactWaste = uint64_t{1} << 20;

uint32_t clamp_cap(uint64_t v) { return static_cast<uint32_t>(std::min<uint64_t>(v, kMaxRowCap)); }

}  // namespace

HnswLayerLinks::HnswLayerLinks(bool dense, uint32_t cap, uint32_t nodes)
    : dense_(dense), cap_(cap), nodes_(nodes) {
  if (dense_) {
    rows_.assign(static_cast<size_t>(nodes) * stride(), 0);
  } else {
    row_of_.assign(nodes, kNoRow);
  }
}

void HnswLayerLinks::add_node() {
  if (nodes_ == std::numeric_limits<uint32_t>::max()) fatal("HNSW graph node count overflow");
  ++nodes_;
  if (dense_) {
    rows_.resize(rows_.size() + stride(), 0);
  } else {
    row_of_.push_back(kNoRow);
  }
}

uint32_t HnswLayerLinks::row_for(uint32_t node) {
  if (node >= nodes_) fatal("HNSW list written for a node the graph does not have");
  if (dense_) return node;
  uint32_t& row = row_of_[node];
  if (row == kNoRow) {
    row = static_cast<uint32_t>(rows_.size() / stride());
    rows_.resize(rows_.size() + stride(), 0);
  }
  return row;
}

uint32_t* HnswLayerLinks::reserve(uint32_t* h, uint32_t size, uint32_t keep) {
  if (h[1] == 0 && size <= cap_) return h + 2;
  // Lists that grow one link at a time get room to grow; a list set whole gets its size.
  const uint32_t capacity = keep == 0 ? size : std::max(size + size / 2, 4u);
  if (h[1] == 0) {
    const Spill s{spill_links_.size(), capacity};
    spill_links_.resize(s.offset + capacity);
    std::copy_n(h + 2, keep, spill_links_.data() + s.offset);
    spills_.push_back(s);
    h[1] = static_cast<uint32_t>(spills_.size());
    return spill_links_.data() + s.offset;
  }
  Spill& s = spills_[h[1] - 1];
  if (size <= s.capacity) return spill_links_.data() + s.offset;
  if (s.offset + s.capacity == spill_links_.size()) {  // last in the arena: grow in place
    spill_links_.resize(s.offset + capacity);
  } else {
    const uint64_t offset = spill_links_.size();
    spill_links_.resize(offset + capacity);
    std::copy_n(spill_links_.data() + s.offset, keep, spill_links_.data() + offset);
    spill_waste_ += s.capacity;
    s.offset = offset;
  }
  s.capacity = capacity;
  return spill_links_.data() + s.offset;
}

void HnswLayerLinks::compact_spill() {
  if (spill_waste_ < kCompactWaste || spill_waste_ < spill_links_.size() / 2) return;
  std::vector<Spill> spills;
  std::vector<uint32_t> links;
  links.reserve(spill_links_.size() - spill_waste_);
  for (size_t at = 0; at < rows_.size(); at += stride()) {
    uint32_t* h = rows_.data() + at;
    if (h[1] == 0) continue;
    const Spill& old = spills_[h[1] - 1];
    spills.push_back(Spill{links.size(), old.capacity});
    links.insert(links.end(), spill_links_.begin() + old.offset,
                 spill_links_.begin() + old.offset + old.capacity);
    h[1] = static_cast<uint32_t>(spills.size());
  }
  spills_ = std::move(spills);
  spill_links_ = std::move(links);
  spill_waste_ = 0;
}

void HnswLayerLinks::set(uint32_t node, std::span<const uint32_t> list) {
  // A list taken from this layer itself may move while room is made for it.
  std::vector<uint32_t> copy;
  const auto inside = [&](const std::vector<uint32_t>& v) {
    return !v.empty() && list.data() >= v.data() && list.data() < v.data() + v.size();
  };
  if (inside(rows_) || inside(spill_links_)) {
    copy.assign(list.begin(), list.end());
    list = copy;
  }
  if (list.empty() && !dense_ && node < nodes_ && row_of_[node] == kNoRow) return;
  uint32_t* h = header(row_for(node));
  const auto size = static_cast<uint32_t>(list.size());
  if (h[1] != 0 && size <= cap_) {  // fits its row again
    spill_waste_ += spills_[h[1] - 1].capacity;
    spills_[h[1] - 1].capacity = 0;
    h[1] = 0;
  }
  std::copy(list.begin(), list.end(), reserve(h, size, 0));
  h[0] = size;
  compact_spill();
}

bool HnswLayerLinks::add(uint32_t node, uint32_t to) {
  const std::span<const uint32_t> cur = list(node);
  if (std::find(cur.begin(), cur.end(), to) != cur.end()) return false;
  uint32_t* h = header(row_for(node));
  const uint32_t size = h[0];
  reserve(h, size + 1, size)[size] = to;
  h[0] = size + 1;
  compact_spill();
  return true;
}

uint32_t HnswGraph::add_node(std::string_view id, uint64_t slot, uint8_t level) {
  if (slots_.size() >= std::numeric_limits<uint32_t>::max()) {
    fatal("HNSW graph node count overflow");
  }
  const uint32_t node = node_count();
  ids_.emplace_back(id);
  slots_.push_back(slot);
  levels_.push_back(level);
  for (HnswLayerLinks& layer : layers_) layer.add_node();
  while (layers_.size() < static_cast<size_t>(level) + 1) add_layer();
  edits_.bump();
  return node;
}

void HnswGraph::assign_nodes(std::vector<std::string> ids, std::vector<uint64_t> slots,
                             std::vector<uint8_t> levels, size_t layers) {
  if (ids.size() != slots.size() || levels.size() != slots.size()) {
    fatal("HNSW nodes assigned from lists of different lengths");
  }
  if (slots.size() > std::numeric_limits<uint32_t>::max()) fatal("HNSW graph node count overflow");
  ids_ = std::move(ids);
  slots_ = std::move(slots);
  levels_ = std::move(levels);
  layers_.clear();
  layers_.reserve(layers);
  while (layers_.size() < layers) add_layer();
  edits_.bump();
}

void HnswGraph::set_neighbors(size_t layer, uint32_t node, std::span<const uint32_t> list) {
  if (layer >= layers_.size()) fatal("HNSW list written on a layer the graph does not have");
  layers_[layer].set(node, list);
  edits_.bump();
}

bool HnswGraph::add_link(size_t layer, uint32_t node, uint32_t to) {
  if (layer >= layers_.size()) fatal("HNSW link added on a layer the graph does not have");
  if (!layers_[layer].add(node, to)) return false;
  edits_.bump();
  return true;
}

void HnswGraph::add_layer() {
  layers_.emplace_back(layers_.empty(), capacity_for(layers_.size(), {}), node_count());
}

uint32_t HnswGraph::capacity_for(size_t layer, std::span<const uint32_t> sizes) const {
  std::array<uint64_t, kMaxRowCap + 2> histogram{};
  uint64_t lists = 0;
  for (const uint32_t s : sizes) {
    if (s == 0) continue;
    ++histogram[std::min<uint32_t>(s, kMaxRowCap + 1)];
    ++lists;
  }
  if (lists == 0) return clamp_cap(layer == 0 ? config.m0 : std::max(config.m, config.m_max));
  uint64_t fit = 0;
  for (uint32_t cap = 1; cap <= kMaxRowCap; ++cap) {
    fit += histogram[cap];
    if (fit * 10 >= lists * 9) return cap;
  }
  return kMaxRowCap;
}

namespace {
// Array entries a map may use whatever it holds (4 MiB of u32).
constexpr size_t kDenseFloor = size_t{1} << 20;
}  // namespace

size_t SlotToNode::dense_limit() const {
  return std::max(kDenseFloor, 2 * (std::max(size_, reserved_) + 1));
}

SlotToNode::const_iterator SlotToNode::find(uint64_t slot) const {
  if (slot < dense_.size()) {
    return dense_[slot] == kNone ? end() : const_iterator(this, slot, sparse_.end());
  }
  auto it = sparse_.find(slot);
  return const_iterator(this, dense_.size(), it);
}

uint32_t SlotToNode::at(uint64_t slot) const {
  const uint32_t node = owner(slot);
  if (node == kNone) throw std::out_of_range("slot held by no node");
  return node;
}

uint32_t& SlotToNode::operator[](uint64_t slot) {
  if (slot >= dense_.size() && slot < dense_limit()) {
    // Grow geometrically, then take in the hash-map entries the array now covers.
    const size_t len = std::min(dense_limit(), std::max<size_t>(slot + 1, 2 * dense_.size()));
    dense_.resize(len, kNone);
    for (auto it = sparse_.begin(); it != sparse_.end();) {
      if (it->first < len) {
        dense_[it->first] = it->second;
        it = sparse_.erase(it);
      } else {
        ++it;
      }
    }
  }
  edits_.bump();  // the caller may write through the reference
  if (slot < dense_.size()) {
    uint32_t& node = dense_[slot];
    if (node == kNone) {
      node = 0;
      ++size_;
    }
    return node;
  }
  auto [it, added] = sparse_.try_emplace(slot, 0);
  if (added) ++size_;
  return it->second;
}

size_t SlotToNode::erase(uint64_t slot) {
  size_t gone = 0;
  if (slot < dense_.size()) {
    gone = dense_[slot] != kNone ? 1 : 0;
    dense_[slot] = kNone;
  } else {
    gone = sparse_.erase(slot);
  }
  size_ -= gone;
  if (gone != 0) edits_.bump();
  return gone;
}

void SlotToNode::reserve(size_t n) {
  reserved_ = n;
  dense_.reserve(std::min(n, dense_limit()));
}

void SlotToNode::clear() {
  dense_.clear();
  sparse_.clear();
  size_ = 0;
  reserved_ = 0;
  edits_.bump();
}

bool SlotToNode::operator==(const SlotToNode& other) const {
  if (size_ != other.size_) return false;
  for (const auto& [slot, node] : *this) {
    if (other.owner(slot) != node) return false;
  }
  return true;
}

bool HnswGraph::operator==(const HnswGraph& o) const {
  if (ids_ != o.ids_ || slots_ != o.slots_ || levels_ != o.levels_ ||
      layers_.size() != o.layers_.size() || entry_point != o.entry_point ||
      slot_to_node != o.slot_to_node || !(config == o.config) || max_level != o.max_level) {
    return false;
  }
  for (size_t l = 0; l < layers_.size(); ++l) {
    for (uint32_t i = 0; i < node_count(); ++i) {
      const auto a = neighbors(l, i);
      const auto b = o.neighbors(l, i);
      if (!std::equal(a.begin(), a.end(), b.begin(), b.end())) return false;
    }
  }
  return true;
}

RoadStatePtr& HnswIndex::road_state(const GraphWrite& held) {
  if (&*held != &graph_) fatal("HNSW road state reached without this index's graph lock");
  return road_;
}

size_t index_node_count(const HnswIndex& index) { return index.read_graph()->node_count(); }

}  // namespace tornquil
