// Standard type lookup next to Cyclone DDS: the runtime fetches the complete type of a Cyclone
// writer it discovers, every object checked against its hash; and a Cyclone subscriber that knows
// no type fetches one from the runtime, which serves what was added to it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>

#include "dcps/runtime/runtime.hpp"
#include "discovery/type_lookup/rpc.hpp"
#include "discovery/type_lookup_captures.hpp"
#include "e2e/peer_process.hpp"
#include "foundation/md5.hpp"

namespace nimbrel::dcps {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::PeerProcess;

constexpr auto generous = 30s;

std::shared_ptr<DcpsRuntime> start_runtime(std::uint8_t last) {
  const rtps::GuidPrefix prefix{0x4e, 0x42, 0x52, 0x4c, 0x7e, 0, 0, 0, 0, 0, 0, last};
  auto runtime = DcpsRuntime::start(0, prefix, RuntimeConfig{});
  if (!runtime) ADD_FAILURE() << to_string(runtime.error());
  return runtime ? *runtime : nullptr;
}

bool hashes_to_its_identifier(const discovery::TypeEntry& entry) {
  const auto* id =
      std::get_if<types::TypeIdentifier::EquivalenceHashComplete>(&entry.type_id.value);
  if (id == nullptr) return false;
  const Md5Digest digest = md5(entry.type_object);
  return std::equal(id->hash.bytes.begin(), id->hash.bytes.end(), digest.begin());
}

TEST(TypeLookupCyclone, FetchesTheCompleteTypeOfACycloneWriter) {
  auto runtime = start_runtime(1);
  ASSERT_TRUE(runtime);
  auto publisher = PeerProcess::spawn({NIMBREL_CYCLONE_TL_PUBLISHER, "40"});
  ASSERT_TRUE(publisher);
  std::optional<discovery::WriterType> type;
  std::uint64_t generation = 0;
  for (const auto deadline = Clock::now() + generous; !type && Clock::now() < deadline;) {
    const discovery::TypeArrivals arrivals = runtime->type_arrivals_since(generation);
    generation = arrivals.generation;
    for (const auto& writer : arrivals.items) {
      if (auto found = runtime->writer_type(writer)) type = std::move(found);
    }
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(type) << publisher->output();
  EXPECT_EQ(type->type_name, "tldemo::Sample");
  ASSERT_EQ(type->objects.size(), 3u);  // Sample, then Point and Color
  EXPECT_EQ(type->objects[0].type_id, type->type_id);
  EXPECT_EQ(type->objects[0].type_object.size(), 199u);
  for (const auto& entry : type->objects)
    EXPECT_TRUE(hashes_to_its_identifier(entry));
}

TEST(TypeLookupCyclone, ServesAnAddedTypeToACycloneSubscriber) {
  auto runtime = start_runtime(2);
  ASSERT_TRUE(runtime);
  // The objects and type information Cyclone announced for the same IDL, as captured.
  const auto reply =
      discovery::rpc::decode_reply(discovery::load("cyclone-tl-reply-complete.bin").payloads.at(0));
  ASSERT_TRUE(reply);
  std::vector<discovery::TypeEntry> closure;
  for (const auto& pair : std::get<discovery::rpc::GetTypesOut>(reply->result).types)
    closure.push_back({.type_id = pair.type_id, .type_object = pair.type_object});
  ASSERT_TRUE(runtime->add_type_objects(closure));
  std::ifstream in(std::string(NIMBREL_TEST_DATA_DIR) + "/typelookup/cyclone-sedp-pub.bin",
                   std::ios::binary);
  const std::string sedp(std::istreambuf_iterator<char>(in), {});
  ASSERT_GE(sedp.size(), 496u);
  const auto* value = reinterpret_cast<const std::byte*>(sedp.data()) + 300;  // 0x0075, 196 bytes
  auto writer = runtime->register_user_writer(
      {.topic_name = "tl_demo",
       .type_name = "tldemo::Sample",
       .type_information = std::vector<std::byte>(value, value + 196)});
  ASSERT_TRUE(writer);

  auto subscriber = PeerProcess::spawn({NIMBREL_CYCLONE_TL_SUBSCRIBER, "20"});
  ASSERT_TRUE(subscriber);
  EXPECT_EQ(subscriber->wait_exit(generous + 10s), 0) << subscriber->output();
  EXPECT_NE(subscriber->output().find("resolved tldemo::Sample"), std::string::npos)
      << subscriber->output();
}

}  // namespace
}  // namespace nimbrel::dcps
