#include "recorder/mcap_reader.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include <memory>
#include <string>
#include <vector>

#include "recorder/recording_fixtures.hpp"

namespace nimbrel::recorder {
namespace {

using fixtures::Bytes;
using Reason = McapEnd::Reason;

struct Sent {
  std::uint16_t channel;
  std::uint32_t sequence;
  std::uint64_t log_time;
  Bytes data;
};

struct Read {
  std::vector<Sent> messages;
  std::vector<std::uint64_t> chunk_starts;  // offset() as each message was given: its chunk's
  McapEnd end;
};

Read read_all(std::span<const std::byte> file, McapReadOptions options = {}) {
  Read out;
  auto reader = McapReader::open(file, options);
  if (!reader) return out;
  while (auto m = reader->next()) {
    out.messages.push_back(
        {m->channel, m->sequence, m->log_time, {m->data.begin(), m->data.end()}});
    out.chunk_starts.push_back(reader->offset());
  }
  out.end = reader->end();
  return out;
}

bool operator==(const Sent& a, const Sent& b) {
  return a.channel == b.channel && a.sequence == b.sequence && a.log_time == b.log_time &&
         a.data == b.data;
}

// Three channels, a schema and metadata, messages of varied sizes over several small chunks.
struct Written {
  Bytes file;
  std::vector<Sent> sent;
};
Written write_file(McapCompression compression) {
  auto state = std::make_shared<fixtures::SinkState>();
  auto sink = fixtures::memory_sink(state);
  McapWriter writer(*sink, {.chunk_size = 300, .compression = compression});
  Written out;
  EXPECT_TRUE(writer.start("", "test"));
  EXPECT_TRUE(writer.add_schema(1, "T", "omgidl", std::as_bytes(std::span("struct T {};", 11))));
  for (std::uint16_t c = 1; c <= 3; ++c) {
    EXPECT_TRUE(writer.add_channel({.id = c,
                                    .schema_id = static_cast<std::uint16_t>(c == 1),
                                    .topic = std::string(1, static_cast<char>('s' + c)),
                                    .message_encoding = "cdr",
                                    .metadata = {{"dds.writer_guid", std::to_string(c)}}}));
  }
  EXPECT_TRUE(writer.add_metadata("nimbrel.recording", {{"domain", "0"}}));
  for (std::uint32_t i = 0; i < 24; ++i) {
    Sent s{static_cast<std::uint16_t>(1 + i % 3), i, 1000 + i, Bytes(i * 7 % 90)};
    for (std::size_t b = 0; b < s.data.size(); ++b)
      s.data[b] = std::byte{static_cast<std::uint8_t>(i + b)};
    EXPECT_TRUE(writer.write_message(s.channel, s.sequence, s.log_time, s.log_time, s.data));
    out.sent.push_back(std::move(s));
  }
  EXPECT_TRUE(writer.finish());
  out.file = state->bytes;
  return out;
}

// Where each top-level record ends, walked from the lengths alone.
std::vector<std::uint64_t> record_ends(const Bytes& file) {
  std::vector<std::uint64_t> ends;
  std::uint64_t at = 8;
  while (at + 9 <= file.size() - 8) {
    std::uint64_t length = 0;
    std::memcpy(&length, file.data() + at + 1, 8);
    at += 9 + length;
    ends.push_back(at);
  }
  return ends;
}

class McapReaderTest : public ::testing::TestWithParam<McapCompression> {};

TEST_P(McapReaderTest, ReadsBackWhatTheWriterWrote) {
  const auto written = write_file(GetParam());
  auto reader = McapReader::open(written.file);
  ASSERT_TRUE(reader);
  std::vector<Sent> got;
  while (auto m = reader->next())
    got.push_back({m->channel, m->sequence, m->log_time, {m->data.begin(), m->data.end()}});
  EXPECT_EQ(got, written.sent);
  EXPECT_EQ(reader->end(),
            (McapEnd{.reason = Reason::Clean, .offset = written.file.size(), .opcode = 0x02}));
  EXPECT_GT(reader->chunks(), 3u);
  EXPECT_EQ(reader->summary_messages(), 24u);
  ASSERT_EQ(reader->channels().size(), 3u);
  EXPECT_EQ(reader->channel(2)->topic, "u");
  EXPECT_EQ(reader->channel(3)->metadata, (StringPairs{{"dds.writer_guid", "3"}}));
  ASSERT_NE(reader->schema(1), nullptr);
  EXPECT_EQ(reader->schema(1)->encoding, "omgidl");
  ASSERT_EQ(reader->metadata().size(), 1u);
  EXPECT_EQ(reader->metadata()[0].values, (StringPairs{{"domain", "0"}}));
}

// A file cut at any byte gives exactly the messages of the chunks that end before the cut.
TEST_P(McapReaderTest, CutAtEveryByteKeepsEveryWholeChunk) {
  const auto written = write_file(GetParam());
  const auto full = read_all(written.file);
  const auto ends = record_ends(written.file);
  const auto end_of_chunk = [&](std::uint64_t start) {
    return *std::ranges::upper_bound(ends, start);
  };
  for (std::size_t n = 0; n < written.file.size(); ++n) {
    SCOPED_TRACE("cut at " + std::to_string(n));
    const auto cut = std::span(written.file).first(n);
    if (n < 8) {
      EXPECT_FALSE(McapReader::open(cut));
      continue;
    }
    const auto got = read_all(cut);
    std::size_t whole = 0;
    while (whole < full.messages.size() && end_of_chunk(full.chunk_starts[whole]) <= n)
      ++whole;
    ASSERT_EQ(got.messages.size(), whole);
    EXPECT_TRUE(std::equal(got.messages.begin(), got.messages.end(), full.messages.begin()));
    const bool boundary = n == 8 || std::ranges::binary_search(ends, n);
    const Reason expected = n >= written.file.size() - 8 ? Reason::BadMagic
                            : boundary                   ? Reason::NoFooter
                                                         : Reason::RecordCut;
    EXPECT_EQ(got.end.reason, expected);
    EXPECT_LE(got.end.offset, n);
  }
}

INSTANTIATE_TEST_SUITE_P(Compressions, McapReaderTest,
                         ::testing::Values(McapCompression::None, McapCompression::Lz4,
                                           McapCompression::Zstd));

// Hand-made files, as foreign writers or damage leave them.
struct Builder {
  Bytes out{mcap_magic.begin(), mcap_magic.end()};
  static void le(Bytes& b, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i)
      b.push_back(std::byte{static_cast<std::uint8_t>(v >> (8 * i))});
  }
  static void str(Bytes& b, std::string_view s) {
    le(b, s.size(), 4);
    for (char c : s)
      b.push_back(std::byte{static_cast<std::uint8_t>(c)});
  }
  Builder& record(std::uint8_t op, const Bytes& body) {
    out.push_back(std::byte{op});
    le(out, body.size(), 8);
    out.insert(out.end(), body.begin(), body.end());
    return *this;
  }
  Builder& header() {
    Bytes b;
    str(b, "ros2");
    str(b, "foreign");
    return record(0x01, b);
  }
  Builder& channel(std::uint16_t id) {
    Bytes b;
    le(b, id, 2);
    le(b, 0, 2);
    str(b, "/chatter");
    str(b, "cdr");
    le(b, 0, 4);
    return record(0x04, b);
  }
  static Bytes message(std::uint16_t channel) {
    Bytes b;
    le(b, channel, 2);
    le(b, 7, 4);
    le(b, 100, 8);
    le(b, 90, 8);
    str(b, "ab");
    return b;
  }
  Builder& chunk(std::string_view compression, std::uint64_t size, const Bytes& records,
                 std::uint32_t crc = 0) {
    Bytes b;
    le(b, 0, 8);  // start and end times
    le(b, 0, 8);
    le(b, size, 8);
    le(b, crc, 4);
    str(b, compression);
    le(b, records.size(), 8);
    b.insert(b.end(), records.begin(), records.end());
    return record(0x06, b);
  }
  // With the CRC of all bytes so far, or `crc` when given.
  Builder& data_end(std::optional<std::uint32_t> crc = {}) {
    Bytes b;
    le(b,
       crc.value_or(
           ::crc32(0, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(out.size()))),
       4);
    return record(0x0F, b);
  }
  Builder& footer(std::uint64_t summary_start, std::uint32_t crc = 0) {
    Bytes b;
    le(b, summary_start, 8);
    le(b, 0, 8);
    le(b, crc, 4);
    record(0x02, b);
    out.insert(out.end(), mcap_magic.begin(), mcap_magic.end());
    return *this;
  }
};

Bytes framed(std::uint8_t op, const Bytes& body) {
  return Builder{.out = {}}.record(op, body).out;
}

struct HostileCase {
  const char* name;
  Bytes file;
  std::size_t messages;
  Reason reason;
  std::uint64_t offset;
};

std::vector<HostileCase> hostile_cases() {
  const auto base = [] { return Builder{}.header().channel(1); };
  const std::uint64_t after_channel = base().out.size();
  const Bytes in_chunk = framed(0x05, Builder::message(1));
  // clang-format off
  return {
      {"message outside chunks, unknown opcode skipped, no summary",
       base().record(0x05, Builder::message(1)).record(0x70, Bytes(5)).footer(0).out,
       1, Reason::NoSummary, after_channel + 9 + 28 + 9 + 5},
      {"message on an unknown channel",
       base().record(0x05, Builder::message(2)).out, 0, Reason::BadRecord, after_channel},
      {"first record not a header",
       Builder{}.channel(1).out, 0, Reason::BadRecord, 8},
      {"string running past its record",
       base().record(0x0C, Bytes{std::byte{9}, {}, {}, {}}).out, 0, Reason::BadRecord,
       after_channel},
      {"uncompressed chunk with good records and its CRC",
       base().chunk("", in_chunk.size(), in_chunk,
                    static_cast<std::uint32_t>(::crc32(0, reinterpret_cast<const Bytef*>(
                        in_chunk.data()), static_cast<uInt>(in_chunk.size())))).out,
       1, Reason::NoFooter, after_channel + 9 + 40 + in_chunk.size()},
      {"uncompressed chunk with a bad CRC",
       base().chunk("", in_chunk.size(), in_chunk, 1).out, 0, Reason::BadCrc, after_channel},
      {"uncompressed chunk whose sizes differ",
       base().chunk("", in_chunk.size() + 1, in_chunk).out, 0, Reason::ChunkCorrupt,
       after_channel},
      {"chunk whose inner record is cut",
       base().chunk("", in_chunk.size() - 1, {in_chunk.begin(), in_chunk.end() - 1}).out, 0,
       Reason::ChunkCorrupt, after_channel},
      {"chunk of unknown compression",
       base().chunk("xz", 10, Bytes(10)).out, 0, Reason::BadCompression, after_channel},
      {"chunk past the size cap", base().chunk("zstd", 1ULL << 40, Bytes(10)).out, 0,
       Reason::ChunkTooLarge, after_channel},
      {"zstd chunk that is not zstd", base().chunk("zstd", 50, Bytes(10)).out, 0,
       Reason::ChunkCorrupt, after_channel},
      {"lz4 chunk that is not lz4", base().chunk("lz4", 50, Bytes(10)).out, 0,
       Reason::ChunkCorrupt, after_channel},
      {"record length past the file",
       [&] { auto b = base().record(0x05, Builder::message(1)).out; b.pop_back(); return b; }(),
       0, Reason::RecordCut, after_channel},
      {"data end with the data's CRC", base().data_end().footer(0).out, 0, Reason::NoSummary,
       after_channel + 9 + 4},
      {"data end with a wrong CRC", base().data_end(1).out, 0, Reason::BadCrc, after_channel},
      {"footer whose summary CRC is wrong",
       base().footer(after_channel, 5).out, 0, Reason::BadCrc, after_channel},
      {"footer without its closing magic",
       [&] { auto b = base().footer(0).out; b.back() = std::byte{0}; return b; }(), 0,
       Reason::BadMagic, after_channel + 9 + 20},
  };
  // clang-format on
}

TEST(McapReaderHostile, EndsWhereTheDamageStarts) {
  for (const auto& c : hostile_cases()) {
    SCOPED_TRACE(c.name);
    const auto got = read_all(c.file, {.max_chunk_bytes = 1 << 20});
    EXPECT_EQ(got.messages.size(), c.messages);
    EXPECT_EQ(got.end.reason, c.reason) << to_string(got.end);
    EXPECT_EQ(got.end.offset, c.offset) << to_string(got.end);
  }
}

// A chunk that decompresses to more than it declares is refused, not read past its buffer.
TEST(McapReaderHostile, ChunkLargerThanDeclaredIsCorrupt) {
  for (const auto compression : {McapCompression::Zstd, McapCompression::Lz4}) {
    auto written = write_file(compression);
    const auto ends = record_ends(written.file);
    // The first chunk follows the metadata record; its uncompressed size sits after two times.
    const std::size_t size_at = static_cast<std::size_t>(ends[5]) + 9 + 16;
    ASSERT_EQ(std::to_integer<int>(written.file[static_cast<std::size_t>(ends[5])]), 0x06);
    written.file[size_at] =
        std::byte{static_cast<std::uint8_t>(std::to_integer<int>(written.file[size_at]) - 1)};
    const auto got = read_all(written.file);
    EXPECT_EQ(got.end.reason, Reason::ChunkCorrupt);
    EXPECT_EQ(got.end.offset, ends[5]);
  }
}

}  // namespace
}  // namespace nimbrel::recorder
