// HnswConfig: the seven graph parameters stored with a collection's configuration and in
// the saved index. Its 56-byte encoding is shared by both stored forms.
#pragma once

#include <cstdint>

#include "base/codec.hpp"

namespace tornquil {

struct HnswConfig {
  uint64_t m = 0;
  uint64_t m0 = 0;
  uint64_t m_max = 0;
  uint64_t ef_construction = 0;
  uint64_t ef_search = 0;
  double level_multiplier = 0.0;
  uint64_t reserved = 0;

  bool operator==(const HnswConfig&) const = default;
};

constexpr size_t kHnswConfigBytes = 56;

inline void encode_hnsw_config(Writer& w, const HnswConfig& c) {
  w.u64(c.m);
  w.u64(c.m0);
  w.u64(c.m_max);
  w.u64(c.ef_construction);
  w.u64(c.ef_search);
  w.f64(c.level_multiplier);
  w.u64(c.reserved);
}

inline Result<HnswConfig> decode_hnsw_config(Reader& r) {
  HnswConfig c;
  TQ_ASSIGN(c.m, r.u64());
  TQ_ASSIGN(c.m0, r.u64());
  TQ_ASSIGN(c.m_max, r.u64());
  TQ_ASSIGN(c.ef_construction, r.u64());
  TQ_ASSIGN(c.ef_search, r.u64());
  TQ_ASSIGN(c.level_multiplier, r.f64());
  TQ_ASSIGN(c.reserved, r.u64());
  return c;
}

}  // namespace tornquil
