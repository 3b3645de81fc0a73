// The structural check of a store file, written from LMDB's description of its data file
// (64-bit build, data format version 1). Integers are in the host's byte order, which is
// little-endian on every platform we build for.
//
// Page P lies at byte P * page_size. Pages 0 and 1 are meta pages; every other page is a
// branch, leaf or overflow page. Every page begins with a 16-byte header:
//   offset  width  content
//        0      8  page number
//        8      2  (unused here)
//       10      2  flags: 0x01 branch, 0x02 leaf, 0x04 overflow, 0x08 meta
//       12      2  lower: end of the node-offset array (branch and leaf)
//       14      2  upper: start of the node area (branch and leaf)
//       12      4  number of pages in the run (overflow: replaces lower and upper)
// Meta page, after the header:
//        0      4  magic 0xBEEFC0DE
//        4      4  format version (1)
//        8     16  fixed map address, map size (unused here)
//       24     48  the free-page table's record; its first 4 bytes are the page size
//       72     48  the main table's record
//      120      8  last used page
//      128      8  transaction id; the meta page with the higher one is the snapshot
// Table record (48 bytes): 4 unused, flags u16 at 4, depth u16 at 6, three page counts
// and an entry count (u64 each, unused here), root page u64 at 40 (all ones: empty).
// Branch and leaf pages: (lower - 16) / 2 node offsets, u16 each from byte 16, each the
// byte offset of a node inside the page, at or after upper. A node is
//        0      4  leaf: data size (u16 low, u16 high); branch: child page, low 32 bits
//        4      2  leaf: node flags; branch: child page, bits 32..47
//        6      2  key size
//        8      .  key, then on a leaf the data: inline, or with node flag 0x01 the
//                  8-byte number of the overflow page that holds it, or with node flag
//                  0x02 (main table only) a 48-byte table record naming a table.
// An overflow run holds one value after its first page's header; it spans at least
// (15 + size) / page_size + 1 pages. The free-page table maps an 8-byte transaction id to
// a list of free pages: a u64 count followed by that many u64 page numbers.
#include "storage/store_check.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "base/worker_pool.hpp"

namespace tornquil {

namespace {

constexpr uint32_t kMagic = 0xBEEFC0DE;
constexpr uint32_t kFormatVersion = 1;
constexpr uint64_t kHeaderBytes = 16;
constexpr uint64_t kMetaPageBytes = kHeaderBytes + 136;
constexpr uint64_t kMetaPages = 2;
constexpr uint64_t kNodeHeaderBytes = 8;
constexpr uint64_t kTableRecordBytes = 48;
constexpr uint64_t kNoPage = ~uint64_t{0};
constexpr uint32_t kMinPageSize = 512;
constexpr uint32_t kMaxPageSize = 32768;
// LMDB refuses longer keys and walks no deeper tree than its cursor stack.
constexpr uint64_t kMaxKeyBytes = 511;
constexpr unsigned kMaxDepth = 32;

constexpr uint16_t kPageBranch = 0x01;
constexpr uint16_t kPageLeaf = 0x02;
constexpr uint16_t kPageOverflow = 0x04;
constexpr uint16_t kPageMeta = 0x08;

constexpr uint16_t kNodeOverflow = 0x01;
constexpr uint16_t kNodeTable = 0x02;

// Table flags that only change key order; every other flag belongs to sorted-duplicate
// tables, which this store never creates.
constexpr uint16_t kKeyOrderFlags = 0x02 | 0x08;
// The free-page table's flags also carry persistent environment flags; only the
// duplicate family changes its layout.
constexpr uint16_t kDuplicateFlags = 0x04 | 0x10 | 0x20 | 0x40;

template <class T>
T load(const unsigned char* p) {
  T v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

std::string hex16(uint16_t v) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s = "0x";
  for (int shift = 12; shift >= 0; shift -= 4) s.push_back(kDigits[(v >> shift) & 0xF]);
  return s;
}

std::string hex32(uint32_t v) { return hex16(static_cast<uint16_t>(v >> 16)) + hex16(v).substr(2); }

struct TreeRecord {
  uint16_t flags;
  uint16_t depth;
  uint64_t root;
};

TreeRecord read_tree(const unsigned char* p) {
  return {load<uint16_t>(p + 4), load<uint16_t>(p + 6), load<uint64_t>(p + 40)};
}

// A table name as stored (any bytes), quoted with unprintable bytes escaped.
std::string quote_name(std::string_view name) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s = "table \"";
  for (unsigned char c : name.substr(0, 64)) {
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      s.push_back(static_cast<char>(c));
    } else {
      s += "\\x";
      s.push_back(kDigits[c >> 4]);
      s.push_back(kDigits[c & 0xF]);
    }
  }
  if (name.size() > 64) s += "...";
  return s + "\"";
}

std::string truncated_text(uint64_t len, uint64_t last_page, uint64_t page_size) {
  return "file is " + std::to_string(len) + " bytes, shorter than its last used page " +
         std::to_string(last_page) + " (" + std::to_string((last_page + 1) * page_size) + " bytes)";
}

enum class TableKind { Free, Main, Named };

// The pages of one snapshot and the bitmap of pages reached so far, shared by every walker
// of the check. Bits are set atomically, so walkers on several threads share it.
struct Snapshot {
  const unsigned char* base;
  uint64_t len;
  uint64_t page_size;
  uint64_t last_page;
  uint64_t file_pages;
  std::vector<uint64_t>* seen;  // one bit per page up to last_page
  bool parallel;                // large tables are walked on the worker pool
};

// A table's subtrees are walked in parallel once its top levels give this many.
constexpr size_t kParallelSubtrees = 64;

// Walks trees of one snapshot. Each method returns false once a problem is found, with its
// text in problem().
class Walker {
 public:
  explicit Walker(const Snapshot& snap)
      : snap_(snap),
        base_(snap.base),
        len_(snap.len),
        psize_(snap.page_size),
        last_(snap.last_page),
        file_pages_(snap.file_pages),
        seen_(snap.seen->data()) {}

  bool walk(const TreeRecord& free_tree, const TreeRecord& main_tree) {
    if (free_tree.flags & kDuplicateFlags) {
      return fail("free-page table has flags " + hex16(free_tree.flags) +
                  " that this store never writes");
    }
    if (!walk_tree(free_tree, TableKind::Free, "free-page table")) return false;
    if (!walk_tree(main_tree, TableKind::Main, "main table")) return false;
    // Named tables are listed in the main table; the list is complete only now.
    for (size_t i = 0; i < named_.size(); ++i) {
      if (!walk_tree(named_[i].second, TableKind::Named, quote_name(named_[i].first))) {
        return false;
      }
    }
    // Pages past the end of the file are allowed only where the free-page table lists
    // them: LMDB may have handed them out and freed them without ever writing them.
    for (uint64_t p = file_pages_; p <= last_; ++p) {
      if (!is_seen(p)) return fail_truncated();
    }
    return true;
  }

  const std::string& problem() const { return problem_; }

 private:
  bool fail(std::string what) {
    problem_ = label_.empty() ? std::move(what) : label_ + ": " + what;
    return false;
  }

  bool fail_truncated() {
    label_.clear();
    return fail(truncated_text(len_, last_, psize_));
  }

  // Texts are built only for a failure: the walk allocates nothing per page or node.
  static std::string page_text(uint64_t p) { return "page " + std::to_string(p); }
  static std::string overflow_text(uint64_t p) { return "overflow page " + std::to_string(p); }
  static std::string node_text(uint64_t p, unsigned i) {
    return page_text(p) + " node " + std::to_string(i);
  }

  bool is_seen(uint64_t p) const {
    return (std::atomic_ref<uint64_t>(seen_[p >> 6]).load(std::memory_order_relaxed) >> (p & 63)) &
           1;
  }

  // Marks pages [first, first + count) as reached. They must lie in the used range and,
  // unless in_file is false, inside the file.
  bool claim(uint64_t first, uint64_t count, bool in_file) {
    if (first < kMetaPages || first > last_ || count > last_ + 1 - first) {
      if (count == 1) {
        return fail("page " + std::to_string(first) + " is outside the used pages 2.." +
                    std::to_string(last_));
      }
      return fail("overflow run of " + std::to_string(count) + " pages at page " +
                  std::to_string(first) + " runs past the last used page " + std::to_string(last_));
    }
    if (in_file && first + count > file_pages_) return fail_truncated();
    for (uint64_t p = first; p < first + count; ++p) {
      const uint64_t bit = uint64_t{1} << (p & 63);
      const uint64_t old =
          std::atomic_ref<uint64_t>(seen_[p >> 6]).fetch_or(bit, std::memory_order_relaxed);
      if (old & bit) return fail("page " + std::to_string(p) + " is reached twice");
    }
    return true;
  }

  const unsigned char* page(uint64_t p) const { return base_ + p * psize_; }

  bool walk_tree(const TreeRecord& tree, TableKind kind, std::string label) {
    label_ = std::move(label);
    kind_ = kind;
    depth_ = tree.depth;
    if (kind != TableKind::Free && (tree.flags & ~kKeyOrderFlags)) {
      problem_ = label_ + " has flags " + hex16(tree.flags) + " that this store never writes";
      return false;
    }
    if (tree.root == kNoPage) return true;
    if (tree.depth > kMaxDepth) {
      return fail("recorded depth " + std::to_string(tree.depth) + " is over " +
                  std::to_string(kMaxDepth));
    }
    // The main table is walked on this thread alone: it collects the named tables.
    if (!snap_.parallel || kind != TableKind::Named) return walk_page(tree.root, 1);
    return walk_split(tree.root);
  }

  // Walks the top levels of a tree here until they give enough subtrees, then the
  // subtrees on the worker pool, each with a walker of its own. A failure there only
  // reports that there is one: the caller walks again on one thread for the text, so the
  // text never depends on the number of threads.
  bool walk_split(uint64_t root) {
    std::vector<std::pair<uint64_t, unsigned>> level{{root, 1}}, next;
    while (!level.empty() && level.size() < kParallelSubtrees) {
      next.clear();
      deferred_ = &next;
      for (auto [page, depth] : level) {
        if (!walk_page(page, depth)) return false;
      }
      deferred_ = nullptr;
      level.swap(next);
    }
    std::atomic<bool> failed{false};
    parallel_for(level.size(), 1, [&](size_t begin, size_t end) {
      Walker task(snap_);
      task.label_ = label_;
      task.kind_ = kind_;
      task.depth_ = depth_;
      for (size_t i = begin; i < end && !failed.load(std::memory_order_relaxed); ++i) {
        if (!task.walk_page(level[i].first, level[i].second)) failed = true;
      }
    });
    if (failed) return fail("a subtree walked in parallel is damaged");
    return true;
  }

  // The walk is bound by memory latency: one miss per node header and one per page. So
  // the lines a page will need are requested before the first is read: the node headers
  // of a leaf, the headers of a branch's children. A prefetch never faults.
  void prefetch_nodes(const unsigned char* p, unsigned count, bool branch) const {
    for (unsigned i = 0; i < count; ++i) {
      const uint16_t off = load<uint16_t>(p + kHeaderBytes + 2 * i);
      if (off + kNodeHeaderBytes > psize_) continue;
      if (!branch) {
        __builtin_prefetch(p + off);
        continue;
      }
      const unsigned char* n = p + off;
      const uint64_t child = uint64_t{load<uint32_t>(n)} | (uint64_t{load<uint16_t>(n + 4)} << 32);
      if (child < file_pages_) __builtin_prefetch(page(child));
    }
  }

  // Claims one page of a tree or the first of an overflow run and checks the number in its
  // header; the page, or nullptr after a failure.
  const unsigned char* claim_page(uint64_t pgno, bool overflow) {
    if (!claim(pgno, 1, true)) return nullptr;
    const unsigned char* p = page(pgno);
    const uint64_t stored = load<uint64_t>(p);
    if (stored == pgno) return p;
    fail((overflow ? overflow_text(pgno) : page_text(pgno)) + " holds page number " +
         std::to_string(stored));
    return nullptr;
  }

  bool walk_page(uint64_t pgno, unsigned level) {
    if (level > depth_) {
      return fail(page_text(pgno) + " is deeper than the recorded depth " + std::to_string(depth_));
    }
    const unsigned char* p = claim_page(pgno, false);
    if (p == nullptr) return false;
    const uint16_t flags = load<uint16_t>(p + 10);
    if (flags != kPageBranch && flags != kPageLeaf) {
      return fail(page_text(pgno) + " has flags " + hex16(flags) +
                  " where a branch or leaf page belongs");
    }
    const uint16_t lower = load<uint16_t>(p + 12);
    const uint16_t upper = load<uint16_t>(p + 14);
    if (lower < kHeaderBytes || (lower & 1) || lower > upper || upper > psize_) {
      return fail(page_text(pgno) + " has node bounds " + std::to_string(lower) + ".." +
                  std::to_string(upper) + " outside the page");
    }
    const unsigned count = (lower - kHeaderBytes) / 2;
    const bool branch = flags == kPageBranch;
    if (count == 0 && (branch || level > 1)) return fail(page_text(pgno) + " has no nodes");
    prefetch_nodes(p, count, branch);
    for (unsigned i = 0; i < count; ++i) {
      const uint16_t off = load<uint16_t>(p + kHeaderBytes + 2 * i);
      if (off < upper || (off & 1) || off + kNodeHeaderBytes > psize_) {
        return fail(node_text(pgno, i) + " offset " + std::to_string(off) +
                    " is outside the page's node area");
      }
      const unsigned char* n = p + off;
      const uint64_t key_size = load<uint16_t>(n + 6);
      if (key_size > kMaxKeyBytes) {
        return fail(node_text(pgno, i) + " key size " + std::to_string(key_size) + " is over " +
                    std::to_string(kMaxKeyBytes));
      }
      if (off + kNodeHeaderBytes + key_size > psize_) {
        return fail(node_text(pgno, i) + " key of " + std::to_string(key_size) +
                    " bytes runs past the page");
      }
      if (branch) {
        const uint64_t child =
            uint64_t{load<uint32_t>(n)} | (uint64_t{load<uint16_t>(n + 4)} << 32);
        if (deferred_ != nullptr) {
          deferred_->emplace_back(child, level + 1);
        } else if (!walk_page(child, level + 1)) {
          return false;
        }
      } else if (!check_leaf_node(n, off, key_size, pgno, i)) {
        return false;
      }
    }
    return true;
  }

  bool check_leaf_node(const unsigned char* n, uint16_t off, uint64_t key_size, uint64_t pgno,
                       unsigned i) {
    const uint64_t data_size = load<uint32_t>(n);
    const uint16_t nflags = load<uint16_t>(n + 4);
    const uint16_t allowed =
        kind_ == TableKind::Main ? (kNodeOverflow | kNodeTable) : kNodeOverflow;
    if ((nflags & ~allowed) || nflags == (kNodeOverflow | kNodeTable)) {
      return fail(node_text(pgno, i) + " has flags " + hex16(nflags) +
                  " that this table never holds");
    }
    const bool big = nflags & kNodeOverflow;
    const uint64_t inline_size = big ? 8 : data_size;
    if (off + kNodeHeaderBytes + key_size + inline_size > psize_) {
      return fail(node_text(pgno, i) + " data of " + std::to_string(inline_size) +
                  " bytes runs past the page");
    }
    const unsigned char* key = n + kNodeHeaderBytes;
    const unsigned char* data = key + key_size;
    if (big) {
      const uint64_t first = load<uint64_t>(data);
      if (!walk_overflow(first, data_size)) return false;
      data = page(first) + kHeaderBytes;
    }
    if (nflags & kNodeTable) {
      if (data_size != kTableRecordBytes) {
        return fail(node_text(pgno, i) + " names a table with a record of " +
                    std::to_string(data_size) + " bytes (expected 48)");
      }
      named_.emplace_back(std::string(reinterpret_cast<const char*>(key), key_size),
                          read_tree(data));
    }
    if (kind_ == TableKind::Free) return check_free_list(data, data_size, key_size, pgno, i);
    return true;
  }

  bool walk_overflow(uint64_t first, uint64_t value_size) {
    const unsigned char* p = claim_page(first, true);
    if (p == nullptr) return false;
    const uint16_t flags = load<uint16_t>(p + 10);
    if (flags != kPageOverflow) {
      return fail(overflow_text(first) + " has flags " + hex16(flags) +
                  " where an overflow page belongs");
    }
    const uint64_t pages = load<uint32_t>(p + 12);
    const uint64_t needed = (kHeaderBytes - 1 + value_size) / psize_ + 1;
    if (pages < needed) {
      return fail(overflow_text(first) + " holds a run of " + std::to_string(pages) +
                  " pages, fewer than the " + std::to_string(needed) + " its value of " +
                  std::to_string(value_size) + " bytes needs");
    }
    if (first + pages > last_ + 1) {
      return fail(overflow_text(first) + " holds a run of " + std::to_string(pages) +
                  " pages, past the last used page " + std::to_string(last_));
    }
    return pages == 1 || claim(first + 1, pages - 1, true);
  }

  // A free-page list: its pages lie in the used range, unreached by any table; they need
  // not be in the file.
  bool check_free_list(const unsigned char* data, uint64_t size, uint64_t key_size, uint64_t pgno,
                       unsigned i) {
    if (key_size != 8) {
      return fail(node_text(pgno, i) + " has a key of " + std::to_string(key_size) +
                  " bytes (expected 8)");
    }
    const uint64_t count = size >= 8 ? load<uint64_t>(data) : 0;
    if (size < 8 || count > size / 8 - 1) {
      return fail(node_text(pgno, i) + " lists " + std::to_string(count) + " pages in " +
                  std::to_string(size) + " bytes");
    }
    for (uint64_t k = 1; k <= count; ++k) {
      if (!claim(load<uint64_t>(data + 8 * k), 1, false)) return false;
    }
    return true;
  }

  const Snapshot& snap_;
  const unsigned char* base_;
  uint64_t len_;
  uint64_t psize_;
  uint64_t last_;
  uint64_t file_pages_;
  uint64_t* seen_;
  std::vector<std::pair<std::string, TreeRecord>> named_;
  // While set, a branch's children are listed here instead of walked.
  std::vector<std::pair<uint64_t, unsigned>>* deferred_ = nullptr;
  std::string label_;  // the table being walked, for the text
  TableKind kind_ = TableKind::Free;
  unsigned depth_ = 0;
  std::string problem_;
};

struct Meta {
  uint32_t page_size;
  uint64_t last_page;
  uint64_t txn_id;
  TreeRecord free_tree;
  TreeRecord main_tree;
};

// What the check found: nothing, damage (Corruption), or a store of another format
// version, which gets the upgrade text of any store opened with another version.
struct Finding {
  std::string damage;
  uint32_t foreign_version = kFormatVersion;
};

// Reads meta page `index` at `offset`, which the caller has checked lies in the file.
// Sets the finding when the page fails.
bool read_meta(const unsigned char* base, int index, uint64_t offset, Meta* out, Finding* finding) {
  const std::string at = "meta page " + std::to_string(index);
  const unsigned char* p = base + offset;
  const uint16_t flags = load<uint16_t>(p + 10);
  if (flags != kPageMeta) {
    finding->damage = at + " has flags " + hex16(flags) + " where a meta page belongs";
    return false;
  }
  const unsigned char* m = p + kHeaderBytes;
  const uint32_t magic = load<uint32_t>(m);
  if (magic != kMagic) {
    finding->damage = at + " has bad magic " + hex32(magic);
    return false;
  }
  const uint32_t version = load<uint32_t>(m + 4);
  if (version != kFormatVersion) {
    finding->foreign_version = version;
    return false;
  }
  const uint64_t stored = load<uint64_t>(p);
  if (stored != static_cast<uint64_t>(index)) {
    finding->damage = at + " holds page number " + std::to_string(stored);
    return false;
  }
  out->page_size = load<uint32_t>(m + 24);
  out->free_tree = read_tree(m + 24);
  out->main_tree = read_tree(m + 72);
  out->last_page = load<uint64_t>(m + 120);
  out->txn_id = load<uint64_t>(m + 128);
  const uint32_t ps = out->page_size;
  if (ps < kMinPageSize || ps > kMaxPageSize || (ps & (ps - 1)) != 0) {
    finding->damage = at + " gives page size " + std::to_string(ps) + ", not a power of two from " +
                      std::to_string(kMinPageSize) + " to " + std::to_string(kMaxPageSize);
    return false;
  }
  return true;
}

// The check on the file's bytes.
Finding find_damage(const unsigned char* base, uint64_t len) {
  Finding finding;
  if (len < kMetaPageBytes) {
    finding.damage = "file is " + std::to_string(len) + " bytes, too short for its meta pages";
    return finding;
  }
  Meta metas[2];
  if (!read_meta(base, 0, 0, &metas[0], &finding)) return finding;
  const uint64_t psize = metas[0].page_size;
  if (len < kMetaPages * psize) {
    finding.damage = "file is " + std::to_string(len) + " bytes, too short for its meta pages (" +
                     std::to_string(kMetaPages * psize) + " bytes)";
    return finding;
  }
  if (!read_meta(base, 1, psize, &metas[1], &finding)) return finding;
  if (metas[1].page_size != psize) {
    finding.damage = "meta pages give different page sizes " + std::to_string(psize) + " and " +
                     std::to_string(metas[1].page_size);
    return finding;
  }
  // LMDB reads the snapshot of the meta page with the higher transaction id, page 0 on a tie.
  const int newer = metas[1].txn_id > metas[0].txn_id ? 1 : 0;
  const Meta& meta = metas[newer];
  if (meta.last_page < kMetaPages - 1) {
    finding.damage = "meta page " + std::to_string(newer) + " gives last used page " +
                     std::to_string(meta.last_page) + ", inside the meta pages";
    return finding;
  }
  // Pages past the end of the file must be listed as free, and the file cannot list more
  // page numbers than it has 8-byte words: this bounds the walk's bitmap by the file size.
  const uint64_t file_pages = len / psize;
  if (meta.last_page >= file_pages && meta.last_page - file_pages >= len / 8) {
    finding.damage = truncated_text(len, meta.last_page, psize);
    return finding;
  }
  std::vector<uint64_t> seen((meta.last_page + 64) / 64, 0);
  Snapshot snap{base, len, psize, meta.last_page, file_pages, &seen, true};
  Walker parallel(snap);
  if (parallel.walk(meta.free_tree, meta.main_tree)) return finding;
  // Damage found: walk again on one thread, whose first problem is always the same one.
  std::fill(seen.begin(), seen.end(), 0);
  snap.parallel = false;
  Walker walker(snap);
  walker.walk(meta.free_tree, meta.main_tree);
  finding.damage = walker.problem().empty() ? parallel.problem() : walker.problem();
  return finding;
}

}  // namespace

Result<void> check_store_file(const platform::File& file, const std::string& path) {
  TQ_ASSIGN(const uint64_t len, file.length());
  if (len == 0) return {};
  TQ_ASSIGN(platform::Mapping view, platform::Mapping::map_read_only(file, len));
  const Finding finding = find_damage(view.data(), len);
  if (finding.foreign_version != kFormatVersion) {
    return std::unexpected(CoreError::database(
        "Manual upgrade required. Expected file format version " + std::to_string(kFormatVersion) +
        ", but file is version " + std::to_string(finding.foreign_version)));
  }
  if (finding.damage.empty()) return {};
  return std::unexpected(CoreError::corruption(path + ": " + finding.damage));
}

Result<void> check_store_not_emptied(const std::string& path, const std::string& held_data) {
  if (held_data.empty()) return {};
  // A missing file is left to be created: a collection directory that a drop was removing
  // when the process died has lost its store first, and may be made anew under that name.
  TQ_ASSIGN(const bool exists, platform::path_exists(path));
  if (!exists) return {};
  TQ_ASSIGN(platform::File file, platform::File::open(path, platform::File::Mode::ReadOnly));
  TQ_ASSIGN(const uint64_t len, file.length());
  if (len != 0) return {};
  return std::unexpected(CoreError::corruption(path + ": file is empty, but " + held_data));
}

}  // namespace tornquil
