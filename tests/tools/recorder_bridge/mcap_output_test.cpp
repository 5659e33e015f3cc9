// The recorder's MCAP output read back by @mcap/core: a channel per writer with what discovery
// knew of it (or empty values for a writer it no longer knows), samples whole with the writer's
// numbers and times, losses and lifecycle changes as events, and a chunk lost to a full disk
// counted per writer and said on the events channel.
#include "tools/recorder_bridge/mcap_output.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "recorder/mcap_read_back.hpp"
#include "recorder/recording_fixtures.hpp"
#include "tools/common/json.hpp"

namespace nimbrel::bridge {
namespace {

namespace fixtures = recorder::fixtures;
using recorder::testing::mcap_read_back;

constexpr std::uint64_t t0 = 1'700'000'000'000'000'000;
const recorder::TopicKey topic{.name = "Chatter", .type_name = "std::Text"};
const rtps::Guid known{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
                       rtps::make_entity_id(0, 0, 1, rtps::EntityKind::UserWriterWithKey)};
const rtps::Guid unknown{{9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9},
                         rtps::make_entity_id(0, 0, 2, rtps::EntityKind::UserWriterNoKey)};

std::optional<dcps::RemoteWriter> describe(const rtps::Guid& writer) {
  if (writer != known) return std::nullopt;
  dcps::RemoteWriter remote;
  remote.publication.reliability.kind = rtps::ReliabilityKind::Reliable;
  remote.publication.durability = rtps::DurabilityKind::TransientLocal;
  remote.publication.partition = {"a", "b\"c"};
  remote.publication.data_representation = {0, 2};
  remote.participant = discovery::DiscoveredParticipant{};
  remote.participant->data.entity_name = "talker";
  remote.participant->data.vendor_id = {0x01, 0x0F};
  return remote;
}

TakenSample taken(const rtps::Guid& writer, rtps::SequenceNumber sn, std::uint64_t reception,
                  std::optional<rtps::Time> source, std::vector<std::uint8_t> payload) {
  return TakenSample{.sample = {.payload = SharedBytes::copy_of(std::as_bytes(std::span(payload))),
                                .writer_guid = writer,
                                .sequence_number = sn,
                                .times = {.source = source, .reception_ns = reception}},
                     .wall_ns = reception,
                     .topic = &topic};
}

std::string hex_of(std::string_view text) {
  return tools::to_hex(std::as_bytes(std::span(text)));
}

class McapOutputTest : public ::testing::Test {
 protected:
  ~McapOutputTest() override { ::unlink(path_.c_str()); }

  std::unique_ptr<McapOutput> start(recorder::McapOptions options = {}) {
    auto out = McapOutput::start(
        fixtures::memory_sink(sink_),
        McapOutputConfig{.mcap = options,
                         .metadata = {{"domain", "7"}},
                         .start_ns = t0,
                         .describe = describe,
                         .wall_ns = [this] { return wall_; },
                         .writer_type = [this](const rtps::Guid& w) { return types_[w]; },
                         .type_wait_ns = 100});
    EXPECT_TRUE(out);
    return out ? std::move(*out) : nullptr;
  }
  std::vector<std::string> read_back() {
    std::unique_ptr<recorder::FileSink> file = recorder::FileSink::create(path_).value();
    EXPECT_TRUE(file->write_all(sink_->bytes));
    return mcap_read_back(path_);
  }

  std::shared_ptr<fixtures::SinkState> sink_ = std::make_shared<fixtures::SinkState>();
  std::uint64_t wall_ = t0;
  std::map<rtps::Guid, WriterType> types_;
  const std::string path_ = "/tmp/nimbrel_mcap_output_test_" + std::to_string(::getpid());
};

TEST_F(McapOutputTest, WritersChannelsSamplesAndEvents) {
  auto out = start();
  // 2^32 + 5 keeps its low 32 bits; the source time is half a second past 1.7e9 s.
  const std::vector<TakenSample> batch{
      taken(known, 7, t0 + 10, rtps::Time{1'700'000'000, 0x80000000u}, {0, 1, 0, 0, 42}),
      taken(unknown, (std::int64_t{1} << 32) + 5, t0 + 20, std::nullopt, {0, 1, 0, 0}),
      taken(known, 8, t0 + 30, std::nullopt, {0, 1, 0, 0, 43})};
  EXPECT_TRUE(out->record(batch).empty());
  out->note_loss(topic,
                 {.writer = known, .first = 9, .last = 11, .reason = rtps::LossReason::Network},
                 t0 + 40);
  dcps::UserSample dispose{.writer_guid = known,
                           .sequence_number = 12,
                           .kind = rtps::change_kind::not_alive_disposed,
                           .key_hash = rtps::KeyHash{0xAB}};
  out->note_lifecycle(topic, dispose, t0 + 50);
  EXPECT_FALSE(out->finish());
  EXPECT_TRUE(out->complete());
  EXPECT_EQ(out->recorded(), 3u);
  EXPECT_EQ(out->bytes(), sink_->bytes.size());

  const std::string known_text = rtps::to_string(known);
  const std::string lost = R"({"event":"lost","topic":"Chatter","type":"std::Text","writer":")" +
                           known_text + R"(","first":9,"last":11,"count":3,"reason":"network"})";
  const std::string disposed =
      R"({"event":"dispose","topic":"Chatter","type":"std::Text","writer":")" + known_text +
      R"(","sequence":12,"key_hash":"ab000000000000000000000000000000"})";
  const auto lines = read_back();
  for (const std::string& expected : std::vector<std::string>{
           "channel 1 nimbrel/events json schema=1 ",
           "channel 2 Chatter cdr schema=0 dds.type_name=std::Text dds.writer_guid=" + known_text +
               " dds.keyed=true dds.participant_guid=0102030405060708090a0b0c:000001c1"
               " dds.participant_name=talker dds.vendor_id=01.0f dds.reliability=reliable"
               " dds.durability=transient-local dds.ownership=shared dds.ownership_strength=0"
               R"( dds.partitions=["a","b\"c"] dds.representations=0,2 dds.type_information=)"
               " dds.type_identifier= dds.type_error=",
           "channel 3 Chatter cdr schema=0 dds.type_name=std::Text dds.writer_guid=" +
               rtps::to_string(unknown) +
               " dds.keyed=false dds.participant_guid=090909090909090909090909:000001c1"
               " dds.participant_name= dds.vendor_id= dds.reliability= dds.durability="
               " dds.ownership= dds.ownership_strength= dds.partitions= dds.representations="
               " dds.type_information= dds.type_identifier= dds.type_error=",
           "metadata nimbrel.recording domain=7",
           "message 2 7 " + std::to_string(t0 + 10) + " 1700000000500000000 000100002a",
           "message 3 5 " + std::to_string(t0 + 20) + " " + std::to_string(t0 + 20) + " 00010000",
           "message 2 8 " + std::to_string(t0 + 30) + " " + std::to_string(t0 + 30) + " 000100002b",
           "message 1 0 " + std::to_string(t0 + 40) + " " + std::to_string(t0 + 40) + " " +
               hex_of(lost),
           "message 1 0 " + std::to_string(t0 + 50) + " " + std::to_string(t0 + 50) + " " +
               hex_of(disposed),
           std::string("data_crc ok")}) {
    EXPECT_EQ(std::ranges::count(lines, expected), 1) << expected;
  }
}

// Every message fills a chunk; the disk is full for the second one.
TEST_F(McapOutputTest, AChunkLostToAFullDiskIsCountedPerWriterAndSaid) {
  auto out = start({.chunk_size = 1});
  EXPECT_TRUE(
      out->record(std::vector{taken(known, 1, t0 + 1, std::nullopt, {0, 1, 0, 0, 1})}).empty());
  sink_->room = 0;
  EXPECT_TRUE(
      out->record(std::vector{taken(known, 2, t0 + 2, std::nullopt, {0, 1, 0, 0, 2})}).empty());
  const auto later = out->take_later_losses();
  ASSERT_EQ(later.size(), 1u);
  EXPECT_EQ(later[0].writer, known);
  EXPECT_EQ(later[0].samples, 1u);
  EXPECT_EQ(later[0].error, "No space left on device");
  EXPECT_EQ(out->failed(), 1u);
  sink_->room.reset();
  wall_ = t0 + 3;
  out->tick();
  EXPECT_FALSE(out->finish());
  EXPECT_EQ(out->recorded(), 1u);

  const std::string event = R"({"event":"lost","topic":"Chatter","type":"std::Text","writer":")" +
                            rtps::to_string(known) + R"(","count":1,"reason":"write_failed"})";
  const auto lines = read_back();
  EXPECT_EQ(std::ranges::count_if(lines, [](const auto& l) { return l.starts_with("message 2 "); }),
            1);
  EXPECT_EQ(std::ranges::count(lines, "message 1 0 " + std::to_string(t0 + 2) + " " +
                                          std::to_string(t0 + 2) + " " + hex_of(event)),
            1);
  EXPECT_EQ(std::ranges::count(lines, "data_crc ok"), 1);
}

// A writer's type becomes its channel's schema; samples wait for a type on its way, and a type that
// comes too late starts a second channel with it.
TEST_F(McapOutputTest, TypesBecomeSchemasAndSamplesWaitForThemAWhile) {
  const WriterType text_type{.state = WriterType::State::Known,
                             .schema = {.type_identifier = "f2aa",
                                        .name = "std::Text",
                                        .idl = "module std { struct Text { string s; }; };",
                                        .objects = {{"f2aa", {std::byte{1}, std::byte{2}}}}}};
  types_[known] = {.state = WriterType::State::Pending};
  types_[unknown] = {.state = WriterType::State::Pending};
  auto out = start();
  const auto one = [&](const rtps::Guid& writer, rtps::SequenceNumber sn, std::uint64_t time) {
    wall_ = time;
    const std::vector batch{taken(writer, sn, time, std::nullopt, {0, 1, 0, 0})};
    EXPECT_TRUE(out->record(batch).empty());
    out->tick();
  };
  one(known, 1, t0 + 10);  // waits
  one(unknown, 1, t0 + 20);
  types_[known] = text_type;
  one(known, 2, t0 + 30);       // the type came: both samples on a channel with the schema
  one(unknown, 2, t0 + 200);    // waited too long: a channel without schema
  types_[unknown] = text_type;  // comes late: a second channel
  one(unknown, 3, t0 + 300);    // on the untyped channel; the tick after it opens the second
  one(unknown, 4, t0 + 400);
  EXPECT_FALSE(out->finish());
  EXPECT_EQ(out->recorded(), 6u);

  const auto lines = read_back();
  const auto count = [&](const std::string& start) {
    return std::ranges::count_if(lines, [&](const auto& l) { return l.starts_with(start); });
  };
  const auto count_if_ends = [&](const std::string& start, const std::string& end) {
    return std::ranges::count_if(
        lines, [&](const auto& l) { return l.starts_with(start) && l.ends_with(end); });
  };
  EXPECT_EQ(count("schema 2 std::Text omgidl " + hex_of(text_type.schema.idl)), 1);
  EXPECT_EQ(count("schema "), 2);  // and the events'
  EXPECT_EQ(count("metadata nimbrel.type_object type_identifier=f2aa encoding=xcdr2 data=0102"), 1);
  EXPECT_EQ(count("channel 2 Chatter cdr schema=2 dds.type_name=std::Text dds.writer_guid=" +
                  rtps::to_string(known)),
            1);
  const std::string unknown_channel =
      "Chatter cdr schema=0 dds.type_name=std::Text dds.writer_guid=" + rtps::to_string(unknown);
  EXPECT_EQ(count("channel 3 " + unknown_channel), 1);
  EXPECT_EQ(count_if_ends("channel 3 ",
                          "dds.type_identifier= dds.type_error=the type did not "
                          "come in time"),
            1);
  EXPECT_EQ(count_if_ends("channel 4 ", "dds.type_identifier=f2aa dds.type_error="), 1);
  EXPECT_EQ(count("channel 4 Chatter cdr schema=2 "), 1);
  EXPECT_EQ(count("message 2 1 "), 1);
  EXPECT_EQ(count("message 2 2 "), 1);
  EXPECT_EQ(count("message 3 1 "), 1);
  EXPECT_EQ(count("message 3 2 "), 1);
  EXPECT_EQ(count("message 3 3 "), 1);
  EXPECT_EQ(count("message 4 4 "), 1);
}

// Samples held for a type are written whole as the recording ends, without the schema.
TEST_F(McapOutputTest, SamplesStillWaitingAtTheEndAreWritten) {
  types_[known] = {.state = WriterType::State::Pending};
  auto out = start();
  const std::vector batch{taken(known, 1, t0 + 1, std::nullopt, {0, 1, 0, 0, 7})};
  EXPECT_TRUE(out->record(batch).empty());
  EXPECT_FALSE(out->finish());
  EXPECT_EQ(out->recorded(), 1u);
  const auto lines = read_back();
  EXPECT_EQ(std::ranges::count(lines, "message 2 1 " + std::to_string(t0 + 1) + " " +
                                          std::to_string(t0 + 1) + " 0001000007"),
            1);
}

}  // namespace
}  // namespace nimbrel::bridge
