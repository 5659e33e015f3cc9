#include "types/type_information.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/hex.hpp"
#include "type_test_util.hpp"

namespace nimbrel::types {
namespace {

using testing::Bytes;

Bytes slice(const std::string& name, std::size_t at, std::size_t size) {
  std::ifstream file(NIMBREL_TEST_DATA_DIR "/typelookup/" + name, std::ios::binary);
  EXPECT_TRUE(file) << "missing capture " << name;
  const std::vector<char> raw{std::istreambuf_iterator<char>(file), {}};
  EXPECT_LE(at + size, raw.size());
  const auto* first = reinterpret_cast<const std::byte*>(raw.data()) + at;
  return Bytes(first, first + size);
}

// Identifiers as their wire bytes: hashes as kind and hash, anything else as its encoding.
std::string text(const TypeIdentifier& id) {
  const Bytes encoded = testing::encode(id);
  return to_hex(std::span(reinterpret_cast<const std::uint8_t*>(encoded.data()), encoded.size()));
}

struct Expected {
  std::string id;
  std::uint32_t size;
  std::int32_t count;
  std::vector<std::pair<std::string, std::uint32_t>> dependencies;
};

void expect_dependencies(const TypeIdentifierWithDependencies& got, const Expected& want) {
  EXPECT_EQ(text(got.typeid_with_size.type_id), want.id);
  EXPECT_EQ(got.typeid_with_size.typeobject_serialized_size, want.size);
  EXPECT_EQ(got.dependent_typeid_count, want.count);
  std::vector<std::pair<std::string, std::uint32_t>> dependencies;
  for (const auto& d : got.dependent_typeids)
    dependencies.emplace_back(text(d.type_id), d.typeobject_serialized_size);
  EXPECT_EQ(dependencies, want.dependencies);
}

struct PeerValue {
  const char* file;
  std::size_t at;
  std::size_t size;
  bool reencodes;  // only the XCDR2 form is written
  Expected minimal;
  Expected complete;
};

// Cyclone's SEDP 0x0075 is XCDR2 without an encapsulation header; Fast DDS's has its own header,
// XCDR1, fully descriptive dependencies of size 0 and, in the complete list, empty entries.
const PeerValue peer_values[] = {
    {"cyclone-sedp-pub.bin",
     300,
     196,
     true,
     {"f1b4235e483e05c81398774155b055",
      140,
      2,
      {{"f1eaebffeba577e613f97b2084b26c", 55}, {"f175669210362875edafa63f866d05", 82}}},
     {"f2d03d0823389c9c5f1c0102a84954",
      199,
      2,
      {{"f250702d08bf1c4c8bf8217588f8ab", 84}, {"f27fa65aebbbddd73b31fc7e7a8b0d", 127}}}},
    {"fastdds-sedp-pub.bin",
     744,
     168,
     false,
     {"f163cdecf266d93945eedb80fdd882",
      100,
      5,
      {{"04", 0},
       {"f12a8b0facebb947b3db2fc06fc189", 35},
       {"04", 0},
       {"70ff", 0},
       {"800200006402", 267}}},
     {"f203649f1dff24bea3f23a576d5cd4",
      280,
      5,
      {{"00", 0}, {"f2f6dceb68b001ab2f8c61ab921b75", 132}, {"00", 0}, {"00", 0}, {"00", 0}}}},
};

TEST(TypeInformation, PeerFormsDecodeAndXcdr2EncodesToTheSameBytes) {
  for (const PeerValue& peer : peer_values) {
    SCOPED_TRACE(peer.file);
    const Bytes wire = slice(peer.file, peer.at, peer.size);
    auto info = decode_type_information(wire);
    ASSERT_TRUE(info) << to_string(info.error());
    expect_dependencies(info->minimal, peer.minimal);
    expect_dependencies(info->complete, peer.complete);
    if (peer.reencodes) {
      EXPECT_EQ(encode_type_information(*info), wire);
    }

    auto big = encode_type_information(*info, /*little_endian=*/false);
    ASSERT_TRUE(big);
    EXPECT_EQ(decode_type_information(*big, /*little_endian=*/false), info);

    for (std::size_t n = 0; n < wire.size(); ++n)
      EXPECT_FALSE(decode_type_information(std::span(wire).first(n))) << "cut at " << n;
  }
}

// The dependency list alone, as type lookup replies carry it: Cyclone's from its type information.
TEST(TypeInformation, DependencyListAloneIsTheSameBytes) {
  const Bytes wire = slice("cyclone-sedp-pub.bin", 300 + 44, 56);
  cdr::BufferReader reader(wire, /*little_endian=*/true);
  auto list = decode_xcdr2_identifiers_with_size(reader);
  ASSERT_TRUE(list) << to_string(list.error());
  EXPECT_EQ(reader.remaining(), 0u);
  ASSERT_EQ(list->size(), 2u);
  cdr::BufferWriter writer;
  ASSERT_TRUE(encode_xcdr2(writer, *list));
  EXPECT_EQ(writer.bytes(), wire);
}

// Members are found by id, whatever their order or length code; unknown ones are skipped unless
// they must be understood.
TEST(TypeInformation, MembersByIdAndLengthCode) {
  const Bytes wire = slice("cyclone-sedp-pub.bin", 300, 196);
  const Bytes minimal(wire.begin() + 4, wire.begin() + 100);  // EMHEADER, NEXTINT, 88 bytes
  const Bytes complete(wire.begin() + 100, wire.end());       // likewise
  auto with_dheader = [](const Bytes& body) {
    return testing::concat({testing::le32(static_cast<std::uint32_t>(body.size())), body});
  };
  // Length code 5: the NEXTINT is the member's DHEADER.
  const Bytes minimal_lc5 = testing::concat(
      {testing::bytes({0x01, 0x10, 0x00, 0x50}), Bytes(minimal.begin() + 8, minimal.end())});
  const Bytes unknown = testing::bytes({0x09, 0x00, 0x00, 0x20, 1, 2, 3, 4});  // id 9, 4 bytes
  const Bytes unknown_must = testing::bytes({0x09, 0x00, 0x00, 0xa0, 1, 2, 3, 4});
  struct Case {
    const char* name;
    Bytes value;
    bool decodes;
  };
  const Case cases[] = {
      {"reordered", with_dheader(testing::concat({complete, minimal})), true},
      {"length code 5", with_dheader(testing::concat({minimal_lc5, complete})), true},
      {"unknown member", with_dheader(testing::concat({minimal, unknown, complete})), true},
      {"unknown must-understand member",
       with_dheader(testing::concat({minimal, unknown_must, complete})), false},
      {"complete missing", with_dheader(minimal), false},
  };
  const auto original = decode_type_information(wire);
  ASSERT_TRUE(original);
  for (const Case& c : cases) {
    auto info = decode_type_information(c.value);
    EXPECT_EQ(info.has_value(), c.decodes) << c.name;
    if (info) {
      EXPECT_EQ(*info, *original) << c.name;
    }
  }
}

}  // namespace
}  // namespace nimbrel::types
