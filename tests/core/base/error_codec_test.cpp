// Rendering of every error kind and the decoder texts of the binary codec.
#include <gtest/gtest.h>

#include "base/codec.hpp"
#include "base/error.hpp"

namespace tornquil {
namespace {

TEST(CoreErrorRender, EveryKindUsesItsTemplate) {
  struct Case {
    CoreError err;
    const char* text;
  };
  const Case cases[] = {
      {CoreError::io("boom"), "I/O error: boom"},
      {CoreError::database("Database already open. Cannot acquire lock."),
       "Database error: Database already open. Cannot acquire lock."},
      {CoreError::dimension_mismatch(384, 512), "Dimension mismatch: expected 384, got 512"},
      {CoreError::dimensions_too_large(65536, 70000),
       "Dimensions too large: maximum is 65536, got 70000"},
      {CoreError::invalid_dimensions(384, 512), "Invalid dimensions: expected 384, got 512"},
      {CoreError::invalid_input("Dimensions must be greater than 0"),
       "Invalid input: Dimensions must be greater than 0"},
      {CoreError::invalid_format("x"), "Invalid format: x"},
      {CoreError::deserialization("x"), "Deserialization error: x"},
      {CoreError::slot_not_allocated(7), "Record not found: Slot 7 not allocated"},
      {CoreError::collection_not_found("c"), "Collection not found: c"},
      {CoreError::collection_exists("c"), "Collection already exists: c"},
      {CoreError::corruption("File too small"), "Data corruption: File too small"},
      {CoreError::serialization("x"), "Serialization error: x"},
      {CoreError::transaction("x"), "Transaction error: x"},
      {CoreError::lock("held"), "Lock error: held"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.err.render(), c.text);
}

TEST(CoreErrorRender, IoFromErrnoCarriesTheSystemText) {
  EXPECT_EQ(CoreError::io_errno(2).render(), "I/O error: No such file or directory (os error 2)");
}

TEST(Codec, RoundTripsEveryFieldKind) {
  std::string buf;
  Writer w(buf);
  w.u8(7);
  w.u16(0x1234);
  w.u32(0xDEADBEEF);
  w.u64(1ull << 40);
  w.f64(2.5);
  w.text("héllo");
  w.opt_u64(std::nullopt);
  w.opt_u64(9);
  Reader r(buf);
  EXPECT_EQ(*r.u8(), 7);
  EXPECT_EQ(*r.u16(), 0x1234);
  EXPECT_EQ(*r.u32(), 0xDEADBEEFu);
  EXPECT_EQ(*r.u64(), 1ull << 40);
  EXPECT_EQ(*r.f64(), 2.5);
  EXPECT_EQ(*r.text(), "héllo");
  EXPECT_EQ(*r.opt_u64(), std::nullopt);
  EXPECT_EQ(*r.opt_u64(), std::optional<uint64_t>(9));
  EXPECT_EQ(r.remaining(), 0u);
  EXPECT_EQ(buf.substr(0, 3), std::string("\x07\x34\x12", 3));
}

std::string texted(std::string_view raw) {
  std::string buf;
  Writer(buf).text(raw);
  return buf;
}

TEST(Codec, DecoderErrorTexts) {
  struct Case {
    std::string bytes;
    int field;  // 0 u64, 1 text, 2 tag, 3 variant(3)
    const char* text;
  };
  const Case cases[] = {
      {std::string(7, '\0'), 0, "Serialization error: io error: unexpected end of file"},
      {std::string("\x05\0\0\0\0\0\0\0abc", 11), 1, "Serialization error: io error: "},
      {std::string(3, '\0'), 1, "Serialization error: io error: unexpected end of file"},
      {std::string("\x02", 1), 2, "Serialization error: tag for enum is not valid, found 2"},
      {std::string("", 0), 2, "Serialization error: io error: unexpected end of file"},
      {std::string("\x03\0\0\0", 4), 3,
       "Serialization error: invalid value: integer `3`, expected variant index 0 <= i < 3"},
      {texted("ab\xff"), 1,
       "Serialization error: string is not valid utf8: invalid utf-8 sequence of 1 bytes from "
       "index 2"},
      {texted("a\xe2\x82"), 1,
       "Serialization error: string is not valid utf8: incomplete utf-8 byte sequence from "
       "index 1"},
      {texted("\xe2\x82x"), 1,
       "Serialization error: string is not valid utf8: invalid utf-8 sequence of 2 bytes from "
       "index 0"},
      {texted("\xed\xa0\x80"), 1,
       "Serialization error: string is not valid utf8: invalid utf-8 sequence of 1 bytes from "
       "index 0"},
  };
  for (const Case& c : cases) {
    Reader r(c.bytes);
    CoreError e = CoreError::lock("");
    switch (c.field) {
      case 0: e = r.u64().error(); break;
      case 1: e = r.text().error(); break;
      case 2: e = r.tag().error(); break;
      case 3: e = r.variant(3).error(); break;
    }
    EXPECT_EQ(e.render(), c.text) << c.field;
  }
}

TEST(Codec, U64ListStopsAtTheEndOfItsBytes) {
  std::string buf;
  Writer w(buf);
  w.u64(2);
  w.u64(11);
  w.u64(12);
  w.u8(0xAA);  // trailing bytes are ignored
  Reader r(buf);
  EXPECT_EQ(*decode_u64_vec(r), (std::vector<uint64_t>{11, 12}));

  std::string huge;
  Writer(huge).u64(~0ull);  // a damaged count: no huge allocation, just the end-of-file error
  Reader r2(huge);
  EXPECT_EQ(decode_u64_vec(r2).error().text(), "io error: unexpected end of file");
}

TEST(Utf8, AcceptsValidTextOfEveryWidth) {
  EXPECT_EQ(utf8_error("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"), std::nullopt);
  EXPECT_EQ(*utf8_error("\xf0\x9f\x98"), "incomplete utf-8 byte sequence from index 0");
  EXPECT_EQ(*utf8_error("\xf0\x9f\x98x"), "invalid utf-8 sequence of 3 bytes from index 0");
  EXPECT_EQ(*utf8_error("\xc0\x80"), "invalid utf-8 sequence of 1 bytes from index 0");
}

}  // namespace
}  // namespace tornquil
