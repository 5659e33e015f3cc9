// nimbrel-rec over MCAP recordings: files laid out as the recorder writes them (channels per
// writer, an events channel), whole and cut, and a foreign file written by @mcap/core.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "recorder/mcap_read_back.hpp"
#include "recorder/mcap_writer.hpp"
#include "tools/common/json.hpp"
#include "tools/common/type_schema.hpp"
#include "tools/rec/mcap_info.hpp"
#include "tools/rec/rec_fixtures.hpp"
#include "types/type_object_xcdr2.hpp"

namespace nimbrel::rec::testing {
namespace {

using recorder::McapWriter;
using recorder::StringPairs;

constexpr std::uint64_t start = 1'700'000'000'000'000'000;

std::span<const std::byte> text_bytes(std::string_view s) {
  return std::as_bytes(std::span(s.data(), s.size()));
}

// Two writers on topic A (the first skips sequence 4), the events channel with two losses.
void write_recorder_mcap(const std::string& path) {
  auto sink = recorder::FileSink::create(path);
  McapWriter writer(**sink, {.chunk_size = 120, .compression = recorder::McapCompression::Zstd});
  (void)writer.start("", "nimbrel-recorder-bridge");
  (void)writer.add_metadata("nimbrel.recording", {{"start_time_ns", std::to_string(start)}});
  for (const std::uint16_t id : {std::uint16_t{1}, std::uint16_t{2}}) {
    (void)writer.add_channel(
        {.id = id,
         .schema_id = 0,
         .topic = "A",
         .message_encoding = "cdr",
         .metadata = {{"dds.type_name", "TA"}, {"dds.writer_guid", id == 1 ? "G1" : "G2"}}});
  }
  (void)writer.add_schema(1, "nimbrel.RecorderEvent", "jsonschema", {});
  (void)writer.add_channel({.id = 3,
                            .schema_id = 1,
                            .topic = "nimbrel/events",
                            .message_encoding = "json",
                            .metadata = {}});
  const std::vector<std::pair<std::uint16_t, std::uint32_t>> sent{
      {1, 1}, {2, 10}, {1, 2}, {1, 3}, {2, 11}, {1, 5}, {2, 12}, {1, 6}};
  for (std::size_t i = 0; i < sent.size(); ++i) {
    const auto payload = payload_of(20 + i, static_cast<std::uint8_t>(i));
    (void)writer.write_message(sent[i].first, sent[i].second, start + i * 1'000'000,
                               start + i * 1'000'000 - 1, payload);
  }
  for (
      const char* event :
      {R"({"event":"lost","topic":"A","type":"TA","writer":"G1","first":4,"last":4,)"
       R"("count":1,"reason":"network"})",
       R"({"event":"lost","topic":"A","type":"TA","writer":"G2","count":3,"reason":"queue_full"})"})
    (void)writer.write_message(3, 0, start + 9'000'000, start + 9'000'000, text_bytes(event));
  (void)writer.finish();
}

class McapRecTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write_recorder_mcap(whole_);
    const Bytes bytes = read_file(whole_);
    // Inside the last chunk: the chunks before it stay readable.
    std::size_t last_chunk = 0;
    for (std::size_t at = 8; at + 9 <= bytes.size() - 8;) {
      if (bytes[at] == std::byte{0x06}) last_chunk = at;
      std::uint64_t length = 0;
      std::memcpy(&length, bytes.data() + at + 1, 8);
      at += 9 + length;
    }
    write_file(cut_, std::span(bytes).first(last_chunk + 20));
  }
  std::size_t lines(const std::string& text) { return std::ranges::count(text, '\n'); }

  TempDir dir_;
  std::string whole_ = dir_.file("whole.mcap");
  std::string cut_ = dir_.file("cut.mcap");
  std::string out_ = dir_.file("out.mcap");
};

TEST_F(McapRecTest, InfoCountsPerWriterWithGapsAndLosses) {
  const RecRun run = rec({"info", whole_, "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  for (const char* expected :
       {R"("writer":"G1","topic":"A","messages":5,"bytes":)",
        R"("sequence_gaps":{"missing":1,"repeated":0,"backwards":0},"lost":{"network":1}})",
        R"("writer":"G2","topic":"A","messages":3,)", R"("lost":{"queue_full":3}})",
        R"("lost":{"network":1,"queue_full":3},"messages":10,)", R"("end":{"clean":true)"}) {
    EXPECT_NE(run.out.find(expected), std::string::npos) << expected << "\n" << run.out;
  }
}

// Every command on a whole and on a cut file: statuses, and how much they print.
TEST_F(McapRecTest, CommandsSayWhetherTheInputWasDamaged) {
  struct Case {
    std::vector<std::string> args;
    int whole_status;
    int cut_status;
  };
  const std::vector<Case> cases{
      {{"verify"}, 0, 1},
      {{"info"}, 0, 1},
      {{"dump", "--limit", "2"}, 0, 0},
      {{"dump", "--topic", "B"}, 2, 2},
      {{"cut", "--out", out_}, 0, 1},
      {{"recover", "--out", out_}, 0, 1},
      {{"export", "--mcap", out_}, 2, 2},
  };
  for (const auto& c : cases) {
    for (const auto& [file, status] : {std::pair{whole_, c.whole_status}, {cut_, c.cut_status}}) {
      std::vector<std::string> args{c.args.front(), file};
      args.insert(args.end(), c.args.begin() + 1, c.args.end());
      SCOPED_TRACE(args.front() + " " + file);
      const RecRun run = rec(args);
      EXPECT_EQ(run.status, status) << run.err;
    }
  }
  const RecRun verify = rec({"verify", cut_});
  EXPECT_NE(verify.err.find("readable: "), std::string::npos) << verify.err;
}

// What recover, cut and merge write reads back whole, with the messages they were given.
TEST_F(McapRecTest, RecoverCutAndMergeKeepTheMessages) {
  const std::string cut_dump = rec({"dump", cut_}).out;
  EXPECT_LT(lines(cut_dump), 10u);
  EXPECT_GT(lines(cut_dump), 4u);
  ASSERT_EQ(rec({"recover", cut_, "--out", out_}).status, 1);
  EXPECT_EQ(rec({"verify", out_}).status, 0);
  EXPECT_EQ(rec({"dump", out_}).out, cut_dump);

  const std::string first = dir_.file("first.mcap");
  const std::string rest = dir_.file("rest.mcap");
  ASSERT_EQ(rec({"cut", whole_, "--out", first, "--to", "3ms"}).status, 0);
  ASSERT_EQ(rec({"cut", whole_, "--out", rest, "--from", "3ms"}).status, 0);
  EXPECT_EQ(lines(rec({"dump", first}).out), 3u);
  EXPECT_EQ(rec({"cut", whole_, "--out", first, "--topic", "B"}).status, 2);
  EXPECT_EQ(lines(rec({"dump", first}).out), 3u);
  const std::string merged = dir_.file("merged.mcap");
  ASSERT_EQ(rec({"merge", rest, first, "--out", merged}).status, 0);
  EXPECT_EQ(rec({"dump", merged}).out, rec({"dump", whole_}).out);
  // An independent reader takes the merge whole, through its indexes and record by record.
  const auto read_back = recorder::testing::mcap_read_back(merged);
  for (const char* line : {"streamed 10 done=true", "data_crc ok", "count 3 2"})
    EXPECT_NE(std::ranges::find(read_back, line), read_back.end()) << line;
  EXPECT_EQ(rec({"merge", first, whole_ + ".missing", "--out", merged}).status, 2);
  EXPECT_EQ(rec({"merge", first, first, "--out", merged}).status, 2);

  ASSERT_EQ(rec({"cut", whole_, "--out", out_, "--topic", "nimbrel/events"}).status, 0);
  const RecRun info = rec({"info", out_, "--json"});
  EXPECT_NE(info.out.find(R"("lost":{"network":1,"queue_full":3},"messages":2,)"),
            std::string::npos)
      << info.out;
}

// A file as rosbag2 writes it: a ros2msg schema, a "cdr" channel with no writer metadata.
TEST_F(McapRecTest, ReadsAForeignFile) {
  const std::string foreign = dir_.file("foreign.mcap");
  const auto written =
      nimbrel::testing::run_tool("node " NIMBREL_MCAP_CHECK "/write_foreign.mjs " +
                                 nimbrel::testing::shell_quoted(foreign) + " 2>&1");
  ASSERT_TRUE(written.ok) << written.output;
  const RecRun info = rec({"info", foreign, "--json"});
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find(R"("topic":"/KeyedSeq","type":"KeyedSeq","writer":"","encoding":"cdr",)"
                          R"("messages":3,)"),
            std::string::npos)
      << info.out;
  EXPECT_NE(info.out.find(R"("missing":1,)"), std::string::npos) << info.out;
  const RecRun dump = rec({"dump", foreign, "--limit", "1"});
  EXPECT_EQ(
      dump.out,
      R"({"topic":"/KeyedSeq","channel":0,"sequence":1,"log_time":1700000000001000000,)"
      R"("publish_time":1700000000000999995,"size":16,"hex":"00010000010000000700000000000000"})"
      "\n");
}

// dump --decode reads a writer's samples by the type objects the file keeps: Cyclone's own
// tldemo::Sample (complete form: the struct, its Point and Color) and a sample Cyclone wrote.
TEST_F(McapRecTest, DumpDecodesSamplesByTheTypesTheFileKeeps) {
  const Bytes reply = read_file(NIMBREL_TEST_DATA_DIR "/typelookup/cyclone-tl-reply-complete.bin");
  const std::string typed = dir_.file("typed.mcap");
  auto sink = recorder::FileSink::create(typed);
  McapWriter writer(**sink);
  (void)writer.start("", "nimbrel-recorder-bridge");
  std::string top;
  for (const auto& [at, size] : {std::pair{136, 199}, {352, 84}, {452, 127}}) {
    const auto object = std::span(reply).subspan(at, size);
    const auto id = tools::identifier_hex(*types::type_identifier_of_xcdr2(object));
    if (top.empty()) top = id;
    (void)writer.add_metadata(
        "nimbrel.type_object",
        {{"type_identifier", id}, {"encoding", "xcdr2"}, {"data", tools::to_hex(object)}});
  }
  for (const std::uint16_t id : {std::uint16_t{1}, std::uint16_t{2}}) {
    (void)writer.add_channel({.id = id,
                              .schema_id = 0,
                              .topic = id == 1 ? "tl_demo" : "untyped",
                              .message_encoding = "cdr",
                              .metadata = {{"dds.type_identifier", id == 1 ? top : ""}}});
  }
  const Bytes sample = hex_bytes(
      "00090000 2c000000 07000000 0000000000001a40 00000000000002c0 01000000"
      " 06000000 68656c6c6f00 0000 04000000 deadbeef");
  (void)writer.write_message(1, 1, start, start, sample);
  (void)writer.write_message(1, 2, start, start, std::span(sample).first(20));
  (void)writer.write_message(2, 3, start, start, sample);
  (void)writer.finish();

  const RecRun dump = rec({"dump", typed, "--decode"});
  EXPECT_EQ(dump.status, 0) << dump.err;
  const std::string head = R"("log_time":1700000000000000000,"publish_time":1700000000000000000,)";
  EXPECT_EQ(dump.out,
            R"({"topic":"tl_demo","channel":1,"sequence":1,)" + head +
                R"("size":52,"value":{"id":7,"pos":{"x":6.5,"y":-2.25},"color":"GREEN",)"
                R"("label":"hello","blob":[222,173,190,239]}})"
                "\n"
                R"({"topic":"tl_demo","channel":1,"sequence":2,)" +
                head + R"("size":20,"decode_error":"length 44 past the end at offset 8","hex":")" +
                tools::to_hex(std::span(sample).first(20)) +
                "\"}\n"
                R"({"topic":"untyped","channel":2,"sequence":3,)" +
                head + R"("size":52,"decode_error":"no type recorded for this channel","hex":")" +
                tools::to_hex(sample) + "\"}\n");
  // A .nbrlrec keeps no types.
  write_recording(dir_.file("plain.nbrlrec"), {}, {});
  EXPECT_EQ(rec({"dump", dir_.file("plain.nbrlrec"), "--decode"}).status, 2);
}

// Fields of the recorder's events, whose topic names may hold quotes and look like fields.
TEST(McapEventField, FindsTheFieldNotItsLookAlike) {
  struct Case {
    const char* object;
    const char* key;
    const char* value;
  };
  const Case cases[] = {
      {R"({"topic":"x\"y","count":5})", "topic", R"(x"y)"},
      {R"({"topic":"x\"y","count":5})", "count", "5"},
      {R"({"topic":"say \"count\":1","count":2})", "count", "2"},
      {R"({"topic":"a\\","reason":"network"})", "reason", "network"},
      {R"({"count":5})", "reason", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(json_field(c.object, c.key), c.value) << c.object << " " << c.key;
}

}  // namespace
}  // namespace nimbrel::rec::testing
