// NDJSON lines: the exact form written, the strict reader and its error texts, and export
// and import of whole collections.
#include "collection/ndjson.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "base/json_read.hpp"
#include "base/platform.hpp"
#include "collection/ndjson_lines.hpp"
#include "collection_fixture.hpp"

namespace tornquil::testing {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

JsonValue json(std::string_view text) {
  auto v = parse_json(text);
  EXPECT_TRUE(v) << text;
  return v ? *v : JsonValue();
}

TEST(NdjsonLines, RecordLineLayout) {
  const float v[] = {-0.0f, 0.0f,   1e-7f, 1.5e20f, 3.4028235e38f, 12.5f, 0.000001f,
                     1.0f,  250.0f, 0.05f, -2.0f,   NAN,           kInf,  -kInf};
  std::string out;
  write_export_record("q\"b\\s/\n\t\x01\x7f\xc3\xa9", v, json(R"({"z":[1,2.5,null],"a":"x"})"),
                      1700000000, 30, out);
  EXPECT_EQ(
      out,
      R"({"id":"q\"b\\s/\n\t\u0001)"
      "\x7f\xc3\xa9"
      R"(","vector":[-0.0,0.0,1e-7,1.5e+20,3.4028235e+38,12.5,0.000001,1.0,250.0,0.05,-2.0,null,null,null],"metadata":{"a":"x","z":[1,2.5,null]},"created_at":1700000000,"ttl":30})");

  out.clear();
  write_export_record("", {}, JsonValue(), 0, std::nullopt, out);
  EXPECT_EQ(out, R"({"id":"","vector":[],"metadata":null,"created_at":0})");

  out.clear();
  ExportHeader h{1, "no\"tes", 3, "cosine", 2, 1700000001};
  write_export_header(h, out);
  EXPECT_EQ(out, R"({"version":1,"collection":"no\"tes","dimensions":3,"metric":"cosine",)"
                 R"("record_count":2,"exported_at":1700000001})");
}

TEST(NdjsonLines, ReadsBothFormsAndConvertsNumbers) {
  ExportRecord r;
  // Members in any order, extra keys (with any valid value) ignored, escaped key names.
  ASSERT_TRUE(parse_export_record(
      R"({"x":{"deep":[1]},"metadata":{"k":[true]},"vector":[1, -0, 16777217, 1e39, -1e39, 1e-50, 2.5],"\u0069d":"a","ttl":null})",
      r));
  EXPECT_EQ(r.id, "a");
  ASSERT_EQ(r.vector.size(), 7u);
  EXPECT_EQ(r.vector[0], 1.0f);
  EXPECT_TRUE(std::signbit(r.vector[1]) && r.vector[1] == 0.0f);
  EXPECT_EQ(r.vector[2], 16777216.0f);  // nearest float32
  EXPECT_EQ(r.vector[3], kInf);
  EXPECT_EQ(r.vector[4], -kInf);
  EXPECT_EQ(r.vector[5], 0.0f);
  EXPECT_EQ(r.vector[6], 2.5f);
  EXPECT_EQ(r.metadata, json(R"({"k":[true]})"));
  EXPECT_EQ(r.created_at, std::nullopt);
  EXPECT_EQ(r.ttl, std::nullopt);

  ASSERT_TRUE(parse_export_record(R"(["b",[3.5],null,7,18446744073709551615])", r));
  EXPECT_EQ(r.id, "b");
  EXPECT_EQ(r.vector, std::vector<float>{3.5f});
  EXPECT_TRUE(r.metadata.is_null());
  EXPECT_EQ(r.created_at, 7u);
  EXPECT_EQ(r.ttl, std::numeric_limits<uint64_t>::max());

  // The largest double below the float32 rounding boundary stays finite.
  ASSERT_TRUE(parse_export_record(
      R"({"id":"c","vector":[3.4028235677973362e38,3.4028235677973366e38],"metadata":1})", r));
  EXPECT_EQ(r.vector[0], std::numeric_limits<float>::max());
  EXPECT_EQ(r.vector[1], kInf);
}

TEST(NdjsonLines, RecordReaderErrors) {
  const std::string deep_ok = std::string(126, '[') + std::string(126, ']');
  const std::string too_deep = std::string(127, '[') + std::string(127, ']');
  const struct {
    std::string line;
    std::string error;
  } cases[] = {
      {R"({"vector":[1],"metadata":null})", "missing field `id` at line 1 column 30"},
      {R"({"id":"a","metadata":null})", "missing field `vector` at line 1 column 26"},
      {R"({"id":"a","vector":[]})", "missing field `metadata` at line 1 column 22"},
      {R"({"id":"a","id":"b","vector":[],"metadata":1})",
       "duplicate field `id` at line 1 column 14"},
      {R"({"id":"a","vector":[],"metadata":1,"ttl":1,"ttl":2})",
       "duplicate field `ttl` at line 1 column 48"},
      {R"(["a",[1.0],null,null])",
       "invalid length 4, expected struct ExportRecord with 5 elements at line 1 column 21"},
      {R"(["a",[1.0],null,null,null,null])", "trailing characters at line 1 column 31"},
      {R"("a")", "invalid type: string \"a\", expected struct ExportRecord at line 1 column 3"},
      {"12", "invalid type: integer `12`, expected struct ExportRecord at line 1 column 2"},
      {R"({"id":"a","vector":[1],"metadata":null} x)", "trailing characters at line 1 column 41"},
      {R"({"id":"a","vector":[1],"metadata":null)",
       "EOF while parsing an object at line 1 column 38"},
      {R"({"id":7,"vector":[1],"metadata":null})",
       "invalid type: integer `7`, expected a string at line 1 column 7"},
      {R"({"id":"a","vector":[1,null],"metadata":null})",
       "invalid type: null, expected f32 at line 1 column 26"},
      {R"({"id":"a","vector":{"0":1},"metadata":null})",
       "invalid type: map, expected a sequence at line 1 column 26"},
      {R"({"id":"a","vector":[],"metadata":null,"ttl":-1})",
       "invalid value: integer `-1`, expected u64 at line 1 column 46"},
      {R"({"id":"a","vector":[],"metadata":null,"created_at":1.5})",
       "invalid type: floating point `1.5`, expected u64 at line 1 column 54"},
      {R"({"id":"a","vector":[],"metadata":)" + deep_ok + "}", ""},
      {R"({"id":"a","vector":[],"metadata":)" + too_deep + "}",
       "recursion limit exceeded at line 1 column 160"},
      {"{\"id\":\"a\xff\"}", "invalid UTF-8 in string at line 1 column 9"},
  };
  for (const auto& c : cases) {
    ExportRecord r;
    auto got = parse_export_record(c.line, r);
    if (c.error.empty()) {
      EXPECT_TRUE(got) << c.line;
    } else {
      ASSERT_FALSE(got) << c.line;
      EXPECT_EQ(got.error(), c.error) << c.line;
    }
  }
}

TEST(NdjsonLines, HeaderReader) {
  auto h = parse_export_header(
      "{\"exported_at\":5,\"version\":0,\"collection\":\"c\",\"dimensions\":3,\"metric\":\"l2\","
      "\"record_count\":2,\"more\":null}\n");
  ASSERT_TRUE(h) << h.error();
  EXPECT_EQ(h->version, 0u);
  EXPECT_EQ(h->dimensions, 3u);
  EXPECT_EQ(h->metric, "l2");
  EXPECT_EQ(h->exported_at, 5u);

  const struct {
    std::string text;
    std::string error;
  } cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  \n", "EOF while parsing a value at line 2 column 0"},
      {R"({"version":4294967296,"collection":"c","dimensions":3,"metric":"l2","record_count":0,"exported_at":0})",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 21"},
      {R"({"version":1,"collection":"c","dimensions":3,"metric":"l2","record_count":0})",
       "missing field `exported_at` at line 1 column 76"},
      {R"([1,"c",3,"l2",0])",
       "invalid length 5, expected struct ExportHeader with 6 elements at line 1 column 16"},
      {"null", "invalid type: null, expected struct ExportHeader at line 1 column 4"},
  };
  for (const auto& c : cases) {
    auto got = parse_export_header(c.text);
    ASSERT_FALSE(got) << c.text;
    EXPECT_EQ(got.error(), c.error) << c.text;
  }
  EXPECT_TRUE(parse_export_header(R"([2,"c",3,"l2",0,0])"));
}

class NdjsonFileTest : public CollectionTest {
 protected:
  std::string path(const char* name = "out.ndjson") const { return dir_.file(name); }

  // A second collection of the same kind in its own directory.
  std::shared_ptr<Collection> open_other(const CollectionConfig& config) {
    auto c = open_collection(dir_.file("collections/other"), config);
    EXPECT_TRUE(c) << c.error().render();
    return c ? *c : nullptr;
  }

  std::string import_error(Collection& c, const std::string& text) {
    write_bytes(path("in.ndjson"), text);
    auto r = import_from_file(c, path("in.ndjson"));
    EXPECT_FALSE(r);
    return r ? std::string() : r.error().render();
  }
};

TEST_F(NdjsonFileTest, ExportsLiveRecordsInIdOrderAndImportsThemBack) {
  auto c = open(make_config(3, Metric::L2));
  add(*c, 1, "b");
  add(*c, 2, "a", 3600);
  add(*c, 3, "c", 0);  // expired at once: left out
  add(*c, 4, "d");
  ASSERT_TRUE(flush_pending(*c));
  add(*c, 5, "e");  // buffered: the export flushes it first
  ASSERT_TRUE(delete_record(*c, "d", 3));

  auto n = export_to_file(*c, path());
  ASSERT_TRUE(n) << n.error().render();
  EXPECT_EQ(*n, 3u);
  const std::string text = read_bytes(path());
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t lf = text.find('\n', at);
    ASSERT_NE(lf, std::string::npos);
    lines.push_back(text.substr(at, lf - at));
    at = lf + 1;
  }
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(
      lines[0].rfind(
          R"({"version":1,"collection":"notes","dimensions":3,"metric":"l2","record_count":3,"exported_at":)",
          0),
      0u);
  EXPECT_NE(lines[1].find(R"({"id":"a","vector":[21.0,22.0,23.0],"metadata":null,"created_at":)"),
            std::string::npos);
  EXPECT_NE(lines[1].find(R"(,"ttl":3)"), std::string::npos);  // 3600 or a second less
  EXPECT_EQ(lines[2].rfind(R"({"id":"b",)", 0), 0u);
  EXPECT_EQ(lines[3].rfind(R"({"id":"e",)", 0), 0u);
  EXPECT_EQ(lines[3].find("ttl"), std::string::npos);

  auto other = open_other(make_config(3, Metric::L2));
  auto s = import_from_file(*other, path());
  ASSERT_TRUE(s) << s.error().render();
  EXPECT_EQ(s->imported, 3u);
  EXPECT_EQ(s->failed, 0u);
  EXPECT_EQ(s->skipped, 0u);
  EXPECT_EQ(buffered(*other), 0u);  // flushed at the end
  auto a = committed_record(*other, "a");
  ASSERT_TRUE(a && a->expires_at);
  EXPECT_GE(*a->expires_at, a->created_at + 3599);  // the ttl restarts at import
  EXPECT_EQ(slot_floats(*other, a->slot), vec(3, 2));
}

TEST_F(NdjsonFileTest, EmptyCollectionWritesTheHeaderOnly) {
  auto c = open(make_config(2));
  auto n = export_to_file(*c, path());
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 0u);
  const std::string text = read_bytes(path());
  EXPECT_EQ(text.find("\"record_count\":0,"), text.find("\"record_count\""));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

TEST_F(NdjsonFileTest, ImportChecksTheHeaderInOrder) {
  auto c = open(make_config(2));
  const std::string tail = R"(,"collection":"x","metric":"dot","record_count":0,"exported_at":0})";
  EXPECT_EQ(import_error(*c, ""),
            "Deserialization error: Invalid export header: EOF while parsing a value at line 1 "
            "column 0");
  EXPECT_EQ(import_error(*c, R"({"version":2,"dimensions":3)" + tail + "\n"),
            "Invalid format: Export version 2 is newer than supported version 1");
  EXPECT_EQ(import_error(*c, R"({"version":1,"dimensions":3)" + tail + "\n"),
            "Invalid dimensions: expected 2, got 3");
  EXPECT_EQ(import_error(*c, "{\"version\":1,\"dimensions\":2" + tail + "\n{\"id\":\"\xc3\"}\n"),
            "I/O error: stream did not contain valid UTF-8");
  auto missing = import_from_file(*c, path("absent.ndjson"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);
}

TEST_F(NdjsonFileTest, ImportCountsEveryPhysicalLine) {
  auto c = open(make_config(2, Metric::Cosine));
  const std::string header =
      R"({"version":1,"collection":"x","dimensions":2,"metric":"l2","record_count":0,"exported_at":0})"
      "\n";
  // Unicode white space around a record is trimmed; blank lines count.
  const std::string nbsp = "\xc2\xa0", ideo = "\xe3\x80\x80", lsep = "\xe2\x80\xa8";
  const std::string body = "\n" + nbsp + R"({"id":"a","vector":[1,0],"metadata":{"k":1}})" + ideo +
                           "\r\n \t\n" + lsep + "\n" +
                           R"({"id":"short","vector":[1],"metadata":null})" + "\n" +
                           R"({"id":"nan","vector":[1,NaN],"metadata":null})" + "\n";
  EXPECT_EQ(import_error(*c, header + body),
            "Deserialization error: Invalid record at line 7: expected value at line 1 column 25");
  EXPECT_TRUE(committed_record(*c, "a") || !buffered_ids(*c).empty());

  auto other = open_other(make_config(2, Metric::Cosine));
  const std::string good = "\n" + nbsp + R"({"id":"a","vector":[1,0],"metadata":{"k":1}})" + ideo +
                           "\r\n \t\n" + R"({"id":"short","vector":[1],"metadata":null})" + "\n" +
                           R"({"id":"inf","vector":[1e39,0],"metadata":null})" + "\n" +
                           R"(["a",[0,3],{"k":2},1,5])";  // no final LF
  write_bytes(path("in.ndjson"), header + good);
  auto s = import_from_file(*other, path("in.ndjson"));
  ASSERT_TRUE(s) << s.error().render();
  EXPECT_EQ(s->imported, 2u);  // "a" twice: the later line wins
  EXPECT_EQ(s->failed, 2u);    // a short vector; one with an infinite element
  auto a = committed_record(*other, "a");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->metadata, R"({"k":2})");
  EXPECT_EQ(slot_floats(*other, a->slot), (std::vector<float>{0, 1}));
  EXPECT_EQ(committed_record(*other, "inf"), std::nullopt);
}

TEST_F(NdjsonFileTest, AHugeTtlDoesNotExpireAtOnce) {
  auto c = open(make_config(1));
  write_bytes(
      path("in.ndjson"),
      R"({"version":1,"collection":"x","dimensions":1,"metric":"l2","record_count":0,"exported_at":0})"
      "\n"
      R"({"id":"a","vector":[1],"metadata":null,"ttl":18446744073709551615})"
      "\n");
  auto s = import_from_file(*c, path("in.ndjson"));
  ASSERT_TRUE(s);
  EXPECT_EQ(s->imported, 1u);
  auto a = committed_record(*c, "a");
  ASSERT_TRUE(a);
  EXPECT_TRUE(is_live(*a));
}

// An import's lines go one after another into one buffer: each line is bounded and checked
// as UTF-8 on its own, whatever the buffer holds before it, and the last may lack its LF.
TEST_F(NdjsonFileTest, LineReaderAppendsEachLineToOneBuffer) {
  using Status = LineReader::Status;
  auto reader_of = [&](const std::string& text) {
    write_bytes(path("in.ndjson"), text);
    auto f = platform::File::open(path("in.ndjson"), platform::File::Mode::ReadOnly);
    EXPECT_TRUE(f);
    return LineReader(std::move(*f));
  };
  const std::string ten(10, 'x');
  LineReader r = reader_of("ab\n\n" + ten + "\n" + ten + "y\n");
  std::string buf;
  for (const char* want : {"ab\n", "ab\n\n"}) {
    auto s = r.append_line(buf, 10);
    ASSERT_TRUE(s && *s == Status::Line);
    EXPECT_EQ(buf, want);
  }
  auto at_bound = r.append_line(buf, 10);  // ten bytes and the LF: exactly the bound
  ASSERT_TRUE(at_bound && *at_bound == Status::Line);
  EXPECT_EQ(buf, "ab\n\n" + ten + "\n");
  auto over = r.append_line(buf, 10);
  ASSERT_TRUE(over);
  EXPECT_EQ(*over, Status::TooLong);

  LineReader bad = reader_of("\xc3\xa9\n\xa9\n");  // the second line starts mid-character
  buf.clear();
  auto good = bad.append_line(buf, 10);
  ASSERT_TRUE(good && *good == Status::Line);
  auto broken = bad.append_line(buf, 10);
  ASSERT_FALSE(broken);
  EXPECT_EQ(broken.error().render(), "I/O error: stream did not contain valid UTF-8");

  LineReader last = reader_of("a\nno LF");
  buf = "kept";
  for (const char* want : {"kepta\n", "kepta\nno LF"}) {
    auto s = last.append_line(buf, 10);
    ASSERT_TRUE(s && *s == Status::Line);
    EXPECT_EQ(buf, want);
  }
  auto end = last.append_line(buf, 10);
  ASSERT_TRUE(end);
  EXPECT_EQ(*end, Status::End);
  EXPECT_EQ(buf, "kepta\nno LF");
}

TEST_F(NdjsonFileTest, AFailedExportLeavesNoFileBeforeItIsCreated) {
  auto c = open(make_config(1));
  add(*c, 1, "a");
  c->TEST_fail_next_commit();  // the flush before the export fails
  auto n = export_to_file(*c, path());
  ASSERT_FALSE(n);
  EXPECT_FALSE(std::filesystem::exists(path()));
  auto bad_dir = export_to_file(*c, dir_.file("no/such/dir/out.ndjson"));
  ASSERT_FALSE(bad_dir);
  EXPECT_EQ(bad_dir.error().kind(), ErrorKind::Io);
}

}  // namespace
}  // namespace tornquil::testing
