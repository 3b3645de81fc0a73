// The vector file: header bytes, open checks and their order, growth, the repair of a
// header that claims more slots than the file holds, and slot access.
#include "storage/vector_file.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <csignal>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <thread>
#include <vector>

#include "storage/slot_allocator.hpp"
#include "test_dir.hpp"

namespace tornquil {
namespace {

using testing::file_size;
using testing::le;
using testing::read_bytes;
using testing::TestDir;
using testing::write_bytes;

uint32_t fnv_oracle(const std::string& b) {
  uint32_t h = 0x811C9DC5u;
  for (unsigned char c : b) h = (h ^ c) * 16777619u;
  return h;
}

enum class Sum { Crc, Fnv, Wrong };

// A 64-byte header built by hand, its checksum computed independently of the code.
struct Header {
  uint32_t magic = 0x54514C46;
  uint16_t version = 2;
  uint32_t dims = 4;
  uint64_t slot_count = 0;
  Sum sum = Sum::Crc;

  std::string bytes() const {
    std::string h = le(magic, 4) + le(version, 2) + le(dims, 4) + le(slot_count, 8);
    uint32_t c =
        sum == Sum::Fnv
            ? fnv_oracle(h)
            : static_cast<uint32_t>(::crc32(0, reinterpret_cast<const Bytef*>(h.data()), 18));
    if (sum == Sum::Wrong) c ^= 1;
    return h + le(c, 4) + std::string(42, '\0');
  }
};

// Writes a header and `slots` zeroed slots.
void write_vector_file(const std::string& path, const Header& h, uint64_t slots) {
  write_bytes(path, h.bytes() + std::string(slots * h.dims * 4, '\0'));
}

std::string render(const Result<VectorStorage>& r) {
  return r ? std::string("ok") : r.error().render();
}

// Reopens a 4-float file: it claims `slot_count` slots and each of `slots` holds v.
void expect_reopened(const std::string& path, uint64_t slot_count,
                     std::initializer_list<uint64_t> slots, const std::vector<float>& v) {
  auto again = open_vector_file(path, 4);
  ASSERT_TRUE(again) << again.error().render();
  EXPECT_EQ(again->slot_count(), slot_count);
  for (uint64_t slot : slots) {
    auto r = read_vector(*again, slot);
    ASSERT_TRUE(r) << slot;
    EXPECT_EQ(std::vector<float>(r->begin(), r->end()), v) << slot;
  }
}

TEST(VectorFileTest, NewFileHeaderAndSize) {
  TestDir dir;
  const std::string path = dir.file("vectors.bin");
  auto s = create_vector_file(path, 384);
  ASSERT_TRUE(s) << s.error().render();
  EXPECT_EQ(file_size(path), 64u + 384u * 4096u);
  EXPECT_EQ(s->mapped_len(), 64u + 384u * 4096u);
  EXPECT_EQ(s->slot_count(), 0u);
  EXPECT_EQ(s->version(), 2);
  EXPECT_EQ(s->slot_bytes(), 384u * 4);

  // The header is in the shared view; the page cache shows it without a flush.
  const std::string expected = "FLQT" + std::string("\x02\x00", 2) +
                               std::string("\x80\x01\x00\x00", 4) + std::string(8, '\0') +
                               std::string("\x24\xA2\x47\x39", 4) + std::string(42, '\0');
  EXPECT_EQ(read_bytes(path).substr(0, 64), expected);

  // The file reopens as it was created.
  s = Result<VectorStorage>();
  auto again = open_vector_file(path, 384);
  ASSERT_TRUE(again) << again.error().render();
  EXPECT_EQ(again->slot_count(), 0u);
}

TEST(VectorFileTest, CreateTruncatesAndValidatesDimensions) {
  TestDir dir;
  const std::string path = dir.file("vectors.bin");
  write_bytes(path, std::string(100000, 'x'));
  ASSERT_TRUE(create_vector_file(path, 2));
  EXPECT_EQ(file_size(path), 64u + 2u * 4096u);

  EXPECT_EQ(render(create_vector_file(dir.file("zero.bin"), 0)),
            "Invalid input: Dimensions must be greater than 0");
  EXPECT_EQ(render(create_vector_file(dir.file("big.bin"), 70000)),
            "Dimensions too large: maximum is 65536, got 70000");
}

TEST(VectorFileTest, ValidateDimensions) {
  struct Case {
    uint64_t d;
    const char* want;
  } cases[] = {
      {0, "Invalid input: Dimensions must be greater than 0"},
      {1, "ok"},
      {65536, "ok"},
      {65537, "Dimensions too large: maximum is 65536, got 65537"},
      {uint64_t{1} << 40, "Dimensions too large: maximum is 65536, got 1099511627776"},
  };
  for (const Case& c : cases) {
    auto r = validate_dimensions(c.d);
    EXPECT_EQ(r ? std::string("ok") : r.error().render(), c.want) << c.d;
  }
}

TEST(VectorFileTest, OpenErrorsInTheirOrder) {
  const uint32_t kMagic = 0x54514C46;
  auto hdr = [](uint32_t magic, uint16_t version, uint32_t dims, Sum sum = Sum::Crc) {
    return Header{magic, version, dims, 0, sum}.bytes();
  };
  std::string altered = hdr(kMagic, 2, 4);
  altered[0] = 'X';  // after the checksum was taken
  struct Case {
    const char* name;
    std::string bytes;
    uint64_t expected_d;
    std::string want;  // empty: the checksum message
  } cases[] = {
      {"empty file", "", 4, "Data corruption: Vector file too small for header"},
      {"ten bytes", std::string(10, '\0'), 4, "Data corruption: Vector file too small for header"},
      {"63 bytes", hdr(kMagic, 2, 4).substr(0, 63), 4,
       "Data corruption: Vector file too small for header"},
      // The checksum is tested before the magic.
      {"magic altered", altered, 4, ""},
      {"version 1 with a CRC checksum", hdr(kMagic, 1, 4, Sum::Crc), 4, ""},
      {"version 2 with an FNV checksum", hdr(kMagic, 2, 4, Sum::Fnv), 4, ""},
      {"bad magic, valid checksum", hdr(0x12345678, 2, 4), 4,
       "Data corruption: Invalid magic number: expected 0x54514C46, got 0x12345678"},
      {"bad magic and bad version", hdr(1, 3, 4), 4,
       "Data corruption: Invalid magic number: expected 0x54514C46, got 0x00000001"},
      {"version 3", hdr(kMagic, 3, 4), 4,
       "Data corruption: Unsupported version: expected 2 or 1, got 3"},
      {"version 0 with FNV", hdr(kMagic, 0, 4, Sum::Fnv), 4,
       "Data corruption: Unsupported version: expected 2 or 1, got 0"},
      {"version 3 and dimensions 0", hdr(kMagic, 3, 0), 4,
       "Data corruption: Unsupported version: expected 2 or 1, got 3"},
      {"dimensions 0", hdr(kMagic, 2, 0), 4, "Invalid input: Dimensions must be greater than 0"},
      {"dimensions too large", hdr(kMagic, 2, 70000), 70000,
       "Dimensions too large: maximum is 65536, got 70000"},
      {"dimensions too large, other expected", hdr(kMagic, 1, 70000, Sum::Fnv), 4,
       "Dimensions too large: maximum is 65536, got 70000"},
      {"other dimensions", hdr(kMagic, 2, 128) + std::string(128 * 4, '\0'), 256,
       "Dimension mismatch: expected 256, got 128"},
  };
  TestDir dir;
  for (Case& c : cases) {
    const std::string path = dir.file("vectors.bin");
    write_bytes(path, c.bytes);
    if (c.want.empty()) {
      // The checksum message names the stored value, then the computed one.
      const uint16_t version = static_cast<uint8_t>(c.bytes[4]);
      const std::string head = c.bytes.substr(0, 18);
      uint32_t stored;
      std::memcpy(&stored, c.bytes.data() + 18, 4);
      const uint32_t computed =
          version < 2
              ? fnv_oracle(head)
              : static_cast<uint32_t>(::crc32(0, reinterpret_cast<const Bytef*>(head.data()), 18));
      char buf[128];
      std::snprintf(buf, sizeof(buf),
                    "Data corruption: Header checksum mismatch: expected 0x%08X, got 0x%08X",
                    stored, computed);
      c.want = buf;
    }
    EXPECT_EQ(render(open_vector_file(path, c.expected_d)), c.want) << c.name;
    // A refused file is left as it was.
    EXPECT_EQ(read_bytes(path), c.bytes) << c.name;
  }

  // The same message pinned by hand: stored value first, eight upper-case digits each.
  write_bytes(dir.file("vectors.bin"), altered);
  EXPECT_EQ(render(open_vector_file(dir.file("vectors.bin"), 4)),
            "Data corruption: Header checksum mismatch: expected 0x9B08297B, got 0xAC8667EA");

  auto missing = open_vector_file(dir.file("absent.bin"), 4);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);
}

TEST(VectorFileTest, ParseHeaderOfShortInput) {
  const std::string h = Header{}.bytes();
  auto r = parse_vector_header(
      {reinterpret_cast<const unsigned char*>(h.data()), static_cast<size_t>(63)});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().render(), "Data corruption: File too small");

  Header v1;
  v1.version = 1;
  v1.dims = 7;
  v1.slot_count = 99;
  v1.sum = Sum::Fnv;
  const std::string b = v1.bytes();
  auto p = parse_vector_header({reinterpret_cast<const unsigned char*>(b.data()), b.size()});
  ASSERT_TRUE(p) << p.error().render();
  EXPECT_EQ(p->magic, 0x54514C46u);
  EXPECT_EQ(p->version, 1);
  EXPECT_EQ(p->dimensions, 7u);
  EXPECT_EQ(p->slot_count, 99u);
  EXPECT_EQ(p->checksum, fnv_oracle(b.substr(0, 18)));
}

TEST(VectorFileTest, GrowthRule) {
  TestDir dir;
  const std::string path = dir.file("vectors.bin");
  auto s = create_vector_file(path, 4);  // slot_bytes 16
  ASSERT_TRUE(s);
  // (slots allocated so far, then the expected length): 1024 fit in a new file, then the
  // mapped length grows by half, truncated.
  struct Step {
    uint64_t slots;
    uint64_t len;
  } steps[] = {
      {1, 64 + 1024 * 16},
      {1024, 64 + 1024 * 16},
      // 1.5 * 16448, room for 1538 slots
      {1025, 24672},
      {1538, 24672},
      // 1.5 * 24672
      {1539, 37008},
  };
  uint64_t allocated = 0;
  for (const Step& st : steps) {
    while (allocated < st.slots) {
      auto slot = append_slot(*s);
      ASSERT_TRUE(slot) << slot.error().render();
      ASSERT_EQ(*slot, allocated);
      ++allocated;
    }
    EXPECT_EQ(s->mapped_len(), st.len) << st.slots;
    EXPECT_EQ(file_size(path), st.len) << st.slots;
    EXPECT_EQ(s->slot_count(), st.slots);
  }
  // Every slot stays addressable across the remaps.
  const std::vector<float> v{1, 2, 3, 4};
  ASSERT_TRUE(write_vector(*s, 1538, v));
  ASSERT_TRUE(flush_vectors(*s));
  s = Result<VectorStorage>();

  expect_reopened(path, 1539, {1538}, v);
}

TEST(VectorFileTest, WriteSlotsFillsARunThatTheViewShowsAtOnce) {
  TestDir dir;
  auto s = create_vector_file(dir.file("vectors.bin"), 2);
  ASSERT_TRUE(s);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(append_slot(*s));
  ASSERT_TRUE(write_slots(*s, 1, std::vector<float>{1, 2, 3, 4, 5, 6}));
  auto r = read_vector(*s, 3);
  ASSERT_TRUE(r);
  EXPECT_EQ(std::vector<float>(r->begin(), r->end()), (std::vector<float>{5, 6}));
  EXPECT_EQ((*read_vector(*s, 1))[0], 1.0f);

  struct Case {
    uint64_t first;
    std::vector<float> v;
    std::string error;
  } cases[] = {
      {3, {1, 2, 3, 4}, "Record not found: Slot 4 not allocated"},
      {5, {1, 2}, "Record not found: Slot 5 not allocated"},
      {0, {1, 2, 3}, "Dimension mismatch: expected 2, got 3"},
      {~uint64_t{0}, {1, 2, 3, 4}, "Record not found: Slot 18446744073709551615 not allocated"},
  };
  for (const Case& c : cases) {
    auto w = write_slots(*s, c.first, c.v);
    ASSERT_FALSE(w) << c.error;
    EXPECT_EQ(w.error().render(), c.error);
  }
  EXPECT_EQ((*read_vector(*s, 3))[0], 5.0f);  // a refused run writes nothing
  EXPECT_TRUE(write_slots(*s, 7, {}));        // nothing to write
}

// A long run is written in several pieces; every float must land once, in its place, and
// the run's neighbours must stay as they were, whether the run starts on a piece boundary
// of the file or not.
TEST(VectorFileTest, WriteSlotsPlacesEveryFloatOfALongRun) {
  constexpr uint64_t kDims = 100;  // 400-byte slots: runs start off the pieces' boundaries
  for (const uint64_t first : {uint64_t{0}, uint64_t{7}, uint64_t{163}}) {
    TestDir dir;
    const std::string path = dir.file("vectors.bin");
    auto s = create_vector_file(path, kDims);
    ASSERT_TRUE(s);
    const uint64_t count = 1000;  // 400,000 bytes
    ASSERT_TRUE(append_slots(*s, first + count + 1));
    const std::vector<float> edge(kDims, -1.0f);
    if (first > 0) {
      ASSERT_TRUE(write_vector(*s, first - 1, edge));
    }
    ASSERT_TRUE(write_vector(*s, first + count, edge));
    std::vector<float> run(count * kDims);
    for (size_t i = 0; i < run.size(); ++i) run[i] = static_cast<float>(i);
    ASSERT_TRUE(write_slots(*s, first, run));
    ASSERT_TRUE(flush_vectors(*s));
    s = Result<VectorStorage>();

    auto back = open_vector_file(path, kDims);
    ASSERT_TRUE(back);
    for (uint64_t k = 0; k < count; ++k) {
      auto r = read_vector(*back, first + k);
      ASSERT_TRUE(r);
      ASSERT_TRUE(std::equal(r->begin(), r->end(), run.begin() + k * kDims))
          << "slot " << first + k;
    }
    if (first > 0) {
      EXPECT_EQ((*read_vector(*back, first - 1))[kDims - 1], -1.0f);
    }
    EXPECT_EQ((*read_vector(*back, first + count))[0], -1.0f);
  }
}

TEST(VectorFileTest, GrowthOfATinyFileTakesAtLeastOneSlot) {
  TestDir dir;
  const std::string path = dir.file("vectors.bin");
  Header h;
  h.dims = 100;  // slot_bytes 400; 1.5 * 64 would not hold one slot
  write_vector_file(path, h, 0);
  auto s = open_vector_file(path, 100);
  ASSERT_TRUE(s) << s.error().render();
  auto slot = append_slot(*s);
  ASSERT_TRUE(slot);
  EXPECT_EQ(*slot, 0u);
  EXPECT_EQ(file_size(path), 464u);
  EXPECT_EQ(s->mapped_len(), 464u);
}

TEST(VectorFileTest, VersionOneFileKeepsItsChecksum) {
  TestDir dir;
  const std::string path = dir.file("vectors.bin");
  Header h;
  h.version = 1;
  h.slot_count = 3;
  h.sum = Sum::Fnv;
  write_vector_file(path, h, 8);

  auto s = open_vector_file(path, 4);
  ASSERT_TRUE(s) << s.error().render();
  EXPECT_EQ(s->version(), 1);
  EXPECT_EQ(s->slot_count(), 3u);
  auto slot = append_slot(*s);
  ASSERT_TRUE(slot);
  EXPECT_EQ(*slot, 3u);

  Header after = h;
  after.slot_count = 4;
  const std::string head = read_bytes(path).substr(0, 64);
  EXPECT_EQ(head, after.bytes());
  EXPECT_EQ(head.substr(18, 4), le(0x6C7EFE53, 4));  // FNV-1a of the new 18 bytes
  s = Result<VectorStorage>();
  auto again = open_vector_file(path, 4);
  ASSERT_TRUE(again) << again.error().render();
  EXPECT_EQ(again->version(), 1);
  EXPECT_EQ(again->slot_count(), 4u);
}

TEST(VectorFileTest, HeaderClaimingMoreSlotsThanTheFile) {
  struct Case {
    const char* name;
    uint32_t dims;
    uint64_t slots_on_disk;  // slots the file's length holds
    uint64_t slot_count;     // the header's claim
    std::string want;        // empty: opens, lengthened to hold the claim
  } cases[] = {
      // A growth from 1024 slots of 4 floats goes to 24672 bytes, room for 1538 slots.
      {"claim within one growth step", 4, 1024, 1538, ""},
      {"one slot past the file", 4, 1024, 1025, ""},
      {"claim past one growth step", 4, 1024, 1539,
       "Data corruption: Header claims 1539 slots but the file holds 1024"},
      // A file with no slot room may still have grown by one slot.
      {"empty file, one slot claimed", 100, 0, 1, ""},
      {"empty file, two slots claimed", 100, 0, 2,
       "Data corruption: Header claims 2 slots but the file holds 0"},
      {"claim that overflows the length", 4, 10, std::numeric_limits<uint64_t>::max(),
       "Data corruption: Header claims 18446744073709551615 slots but the file holds 10"},
      {"claim within the file", 4, 10, 7, ""},
  };
  TestDir dir;
  for (const Case& c : cases) {
    const std::string path = dir.file("vectors.bin");
    Header h;
    h.dims = c.dims;
    h.slot_count = c.slot_count;
    write_vector_file(path, h, c.slots_on_disk);
    const uint64_t before = file_size(path);
    auto s = open_vector_file(path, c.dims);
    if (!c.want.empty()) {
      EXPECT_EQ(render(s), c.want) << c.name;
      EXPECT_EQ(file_size(path), before) << c.name;
      continue;
    }
    ASSERT_TRUE(s) << c.name << ": " << s.error().render();
    const uint64_t need = 64 + c.slot_count * c.dims * 4;
    EXPECT_EQ(file_size(path), std::max(before, need)) << c.name;
    EXPECT_EQ(s->mapped_len(), std::max(before, need)) << c.name;
    // The last claimed slot is inside the mapping: readable (zeros) and writable.
    auto last = read_vector(*s, c.slot_count - 1);
    ASSERT_TRUE(last) << c.name;
    EXPECT_EQ((*last)[0], 0.0f);
    std::vector<float> v(c.dims, 2.5f);
    EXPECT_TRUE(write_vector(*s, c.slot_count - 1, v)) << c.name;
    // And the next fresh slot grows the file as usual.
    auto next = append_slot(*s);
    ASSERT_TRUE(next) << c.name;
    EXPECT_EQ(*next, c.slot_count);
    EXPECT_TRUE(write_vector(*s, *next, v)) << c.name;
  }
}

TEST(VectorFileTest, SlotAccessChecks) {
  TestDir dir;
  auto s = create_vector_file(dir.file("vectors.bin"), 4);
  ASSERT_TRUE(s);
  const std::vector<float> v{1.5f, -2, 3, 4};
  const std::vector<float> short_v{1, 2, 3};

  auto r = write_vector(*s, 0, v);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().render(), "Record not found: Slot 0 not allocated");
  // The length is tested before the slot.
  r = write_vector(*s, 0, short_v);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().render(), "Dimension mismatch: expected 4, got 3");
  auto rv = read_vector(*s, 0);
  ASSERT_FALSE(rv);
  EXPECT_EQ(rv.error().render(), "Record not found: Slot 0 not allocated");
  EXPECT_TRUE(s->slot_view(0).empty());
  // A slot far past the mapping is refused, not reached.
  EXPECT_EQ(read_vector(*s, uint64_t{1} << 60).error().render(),
            "Record not found: Slot 1152921504606846976 not allocated");

  ASSERT_TRUE(append_slot(*s));
  ASSERT_TRUE(append_slot(*s));
  ASSERT_TRUE(write_vector(*s, 1, v));
  rv = read_vector(*s, 1);
  ASSERT_TRUE(rv);
  EXPECT_EQ(std::vector<float>(rv->begin(), rv->end()), v);
  EXPECT_EQ(read_vector(*s, 2).error().render(), "Record not found: Slot 2 not allocated");

  // The deleted marker replaces only the first float, with the quiet NaN.
  ASSERT_TRUE(write_deleted_marker(*s, 1));
  rv = read_vector(*s, 1);
  ASSERT_TRUE(rv);
  EXPECT_EQ(std::bit_cast<uint32_t>((*rv)[0]), 0x7FC00000u);
  EXPECT_EQ((*rv)[1], -2.0f);
  EXPECT_EQ((*rv)[3], 4.0f);
  EXPECT_EQ(write_deleted_marker(*s, 5).error().render(), "Record not found: Slot 5 not allocated");
}

TEST(SlotAllocatorTest, ReusesFreedSlotsBeforeGrowing) {
  TestDir dir;
  auto vs = create_vector_file(dir.file("vectors.bin"), 4);
  ASSERT_TRUE(vs);
  SlotSpace space(std::move(*vs), FreeList());
  for (uint64_t i = 0; i < 5; ++i) {
    auto slot = allocate_slot(space);
    ASSERT_TRUE(slot);
    EXPECT_EQ(*slot, i);
  }
  free_slot(space.freelist, 3);
  free_slot(space.freelist, 1);
  const std::string header_before = read_bytes(dir.file("vectors.bin")).substr(0, 64);
  EXPECT_EQ(*allocate_slot(space), 1u);
  EXPECT_EQ(*allocate_slot(space), 3u);
  EXPECT_EQ(space.vectors.slot_count(), 5u);
  EXPECT_EQ(read_bytes(dir.file("vectors.bin")).substr(0, 64), header_before);
  // With the list empty the next slot is fresh.
  EXPECT_EQ(*allocate_slot(space), 5u);
  EXPECT_EQ(space.vectors.slot_count(), 6u);
}

TEST(SlotAllocatorTest, ConcurrentAllocationsAreDistinct) {
  TestDir dir;
  auto vs = create_vector_file(dir.file("vectors.bin"), 8);
  ASSERT_TRUE(vs);
  for (int i = 0; i < 400; ++i) ASSERT_TRUE(append_slot(*vs));
  // Some freed slots first, so that threads race on both the list and the file's growth.
  SlotSpace space(std::move(*vs), FreeList({100, 200, 300}));
  constexpr int kThreads = 8;
  constexpr int kPerThread = 400;  // 3200 more slots: the file grows several times
  std::vector<std::vector<uint64_t>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<float> v(8, static_cast<float>(t));
      for (int i = 0; i < kPerThread; ++i) {
        auto slot = allocate_slot(space);
        if (!slot) std::abort();
        got[t].push_back(*slot);
        std::unique_lock lk(space.vectors_lock);
        if (!write_vector(space.vectors, *slot, v)) std::abort();
      }
    });
  }
  for (auto& th : threads) th.join();
  std::vector<uint64_t> all;
  for (auto& g : got) all.insert(all.end(), g.begin(), g.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
  EXPECT_EQ(all.size(), size_t{kThreads * kPerThread});
  EXPECT_EQ(space.vectors.slot_count(), uint64_t{400 + kThreads * kPerThread - 3});
  // Each slot still holds the vector of the thread that took it.
  for (int t = 0; t < kThreads; ++t) {
    for (uint64_t slot : got[t]) {
      auto r = read_vector(space.vectors, slot);
      ASSERT_TRUE(r);
      EXPECT_EQ((*r)[7], static_cast<float>(t));
    }
  }
}

// A run of fresh slots grows the file at most once, to the length that taking its slots one
// at a time reaches: several half steps for a long run, never just the run's own end.
TEST(VectorFileTest, AppendSlotsGrowsOnceToTheLengthOfSlotBySlotGrowth) {
  TestDir dir;
  const std::string path = dir.file("vectors.bin");
  auto s = create_vector_file(path, 4);  // slot_bytes 16, room for 1024 slots: 16448 bytes
  ASSERT_TRUE(s);
  struct Step {
    uint64_t count;
    uint64_t first;
    uint64_t len;
  } steps[] = {
      {0, 0, 16448},      // nothing taken, nothing grows
      {1000, 0, 16448},   // fits
      {24, 1000, 16448},  // fills the file exactly
      // 6024 slots: 16448 -> 24672 -> 37008 -> 55512 -> 83268 -> 124902 (room for 7802)
      {5000, 1024, 124902},
      {1, 6024, 124902},     // fits in the room those steps left
      {1777, 6025, 124902},  // fills it exactly
      {1, 7802, 187353},     // one slot: the usual half step
  };
  for (const Step& st : steps) {
    auto first = append_slots(*s, st.count);
    ASSERT_TRUE(first) << st.count << ": " << first.error().render();
    EXPECT_EQ(*first, st.first) << st.count;
    EXPECT_EQ(s->slot_count(), st.first + st.count) << st.count;
    EXPECT_EQ(s->mapped_len(), st.len) << st.count;
    EXPECT_EQ(file_size(path), st.len) << st.count;
    Header h;
    h.slot_count = st.first + st.count;
    EXPECT_EQ(read_bytes(path).substr(0, 64), h.bytes()) << st.count;
  }
  // The last slot of the big run and the last slot of all are addressable.
  const std::vector<float> v{1, 2, 3, 4};
  ASSERT_TRUE(write_vector(*s, 6023, v));
  ASSERT_TRUE(write_vector(*s, 7802, v));
  ASSERT_TRUE(flush_vectors(*s));
  s = Result<VectorStorage>();

  expect_reopened(path, 7803, {6023, 7802}, v);
  EXPECT_EQ(file_size(path), 187353u);
}

// Runs of every size from every fill, against the same slots taken one at a time, for slot
// sizes where the half step and the next slot's end each decide.
TEST(VectorFileTest, ARunGrowsTheFileAsItsSlotsOneByOneWould) {
  TestDir dir;
  for (uint64_t dims : {1, 3, 4, 384, 4096}) {
    auto runs = create_vector_file(dir.file("runs.bin"), dims);
    auto single = create_vector_file(dir.file("single.bin"), dims);
    ASSERT_TRUE(runs && single);
    const uint64_t sizes[] = {1, 2, 1023, 1024, 1025, 1538, 1539, 3, 4000, 777, 1, 9000};
    for (uint64_t n : sizes) {
      ASSERT_TRUE(append_slots(*runs, n)) << dims << " " << n;
      for (uint64_t i = 0; i < n; ++i) ASSERT_TRUE(append_slot(*single));
      ASSERT_EQ(runs->mapped_len(), single->mapped_len()) << dims << " " << n;
      ASSERT_EQ(runs->slot_count(), single->slot_count()) << dims << " " << n;
    }
  }
}

// Holds the process's file size limit at `limit` bytes for the scope, with the signal that
// a write past it raises ignored, so that growing a file fails with EFBIG.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(uint64_t limit) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit r = saved_;
    r.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &r);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, old_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*old_handler_)(int) = nullptr;
};

// A new file of 4-float slots (room for 1024) with its first n slots taken.
Result<VectorStorage> four_float_file(const std::string& path, uint64_t n) {
  auto s = create_vector_file(path, 4);
  if (!s || !append_slots(*s, n)) std::abort();
  return s;
}

TEST(VectorFileTest, FailedGrowthTakesNoSlot) {
  TestDir dir;
  const std::string path = dir.file("vectors.bin");
  auto s = four_float_file(path, 1020);
  const std::vector<float> v{1, 2, 3, 4};
  ASSERT_TRUE(write_vector(*s, 1019, v));
  const std::string head = read_bytes(path).substr(0, 64);

  struct Case {
    const char* name;
    uint64_t count;
    uint64_t limit;
    std::string error;
  } cases[] = {
      {"the file may not grow", 5000, 16448, "I/O error: File too large (os error 27)"},
      {"a count past every length", std::numeric_limits<uint64_t>::max(), RLIM_INFINITY,
       "I/O error: File too large (os error 27)"},
  };
  for (const Case& c : cases) {
    {
      FileSizeLimit limit(c.limit);
      auto first = append_slots(*s, c.count);
      ASSERT_FALSE(first) << c.name;
      EXPECT_EQ(first.error().render(), c.error) << c.name;
    }
    EXPECT_EQ(s->slot_count(), 1020u) << c.name;
    EXPECT_EQ(s->mapped_len(), 16448u) << c.name;
    EXPECT_EQ(read_bytes(path).substr(0, 64), head) << c.name;
    auto r = read_vector(*s, 1019);
    ASSERT_TRUE(r) << c.name;
    EXPECT_EQ(std::vector<float>(r->begin(), r->end()), v) << c.name;
  }
  // The storage stays usable: the same run succeeds once the file may grow.
  auto first = append_slots(*s, 5000);
  ASSERT_TRUE(first) << first.error().render();
  EXPECT_EQ(*first, 1020u);
  EXPECT_EQ(s->slot_count(), 6020u);
}

TEST(SlotAllocatorTest, BatchTakesFreedSlotsThenOneRunOfFreshOnes) {
  TestDir dir;
  const std::string path = dir.file("vectors.bin");
  SlotSpace space(std::move(*four_float_file(path, 10)), FreeList());
  free_slot(space.freelist, 3);
  free_slot(space.freelist, 7);

  std::vector<uint64_t> out{99};  // what the caller already holds stays
  ASSERT_TRUE(allocate_slots(space, 4000, out));
  ASSERT_EQ(out.size(), 4001u);
  EXPECT_EQ(out[0], 99u);
  EXPECT_EQ(out[1], 7u);  // most recently freed first
  EXPECT_EQ(out[2], 3u);
  for (size_t i = 3; i < out.size(); ++i) ASSERT_EQ(out[i], 10 + (i - 3)) << i;
  EXPECT_TRUE(space.freelist.slots().empty());
  EXPECT_EQ(space.vectors.slot_count(), 4008u);
  // One growth, to where four half steps take a file of 1024 slots: room for 5200.
  EXPECT_EQ(space.vectors.mapped_len(), 83268u);

  // A failed growth takes no fresh slot; the freed slots popped before it stay taken.
  free_slot(space.freelist, 5);
  out.clear();
  {
    FileSizeLimit limit(space.vectors.mapped_len());
    auto r = allocate_slots(space, 1300, out);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), "I/O error: File too large (os error 27)");
  }
  EXPECT_EQ(out, std::vector<uint64_t>{5});
  EXPECT_EQ(space.vectors.slot_count(), 4008u);
  out.clear();
  ASSERT_TRUE(allocate_slots(space, 2, out));
  EXPECT_EQ(out, (std::vector<uint64_t>{4008, 4009}));

  space.vectors = VectorStorage();
  auto again = open_vector_file(path, 4);
  ASSERT_TRUE(again) << again.error().render();
  EXPECT_EQ(again->slot_count(), 4010u);
}

}  // namespace
}  // namespace tornquil
