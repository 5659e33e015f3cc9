// Complete type objects written as IDL: exact text for each kind of type, the errors for what
// has no names or no IDL spelling, and the text read back by @foxglove/omgidl-parser.
#include "types/idl_text.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

#include "common/run_tool.hpp"
#include "types/complete_type_util.hpp"
#include "types/type_test_util.hpp"

namespace nimbrel::types {
namespace {

using testing::hash_of;
using testing::prim;
using namespace testing::complete;
using PK = PrimitiveKind;

// The registry holds hash_of(n) for the n-th object (from 1); the top-level type is object 1.
struct Golden {
  const char* name;
  friend void PrintTo(const Golden& g, std::ostream* os) { *os << g.name; }
  std::vector<CompleteTypeObject::Value> objects;
  std::string idl;
  bool foxglove;  // within what @foxglove/omgidl-parser reads
};

// clang-format off
const std::vector<Golden> goldens = {
  {"cyclone_tldemo", {
     structure("tldemo::Sample", appendable, {
       member(0, "id", prim(PK::Int32), key), member(1, "pos", ref(2)),
       member(2, "color", ref(3)), member(3, "label", str()),
       member(4, "blob", seq(prim(PK::Byte)))}),
     structure("tldemo::Point", final_, {
       member(0, "x", prim(PK::Float64)), member(1, "y", prim(PK::Float64))}),
     enumeration("tldemo::Color", {{"RED", 0}, {"GREEN", 1}, {"BLUE", 2}})},
   "module tldemo {\n"
   "  @final\n"
   "  struct Point {\n"
   "    double x;\n"
   "    double y;\n"
   "  };\n"
   "  enum Color {\n"
   "    RED,\n"
   "    GREEN,\n"
   "    BLUE\n"
   "  };\n"
   "  @appendable\n"
   "  struct Sample {\n"
   "    @key long id;\n"
   "    tldemo::Point pos;\n"
   "    tldemo::Color color;\n"
   "    string label;\n"
   "    sequence<octet> blob;\n"
   "  };\n"
   "};\n", true},
  // Optional members, ids off the default, a dependency in a sibling module, a type in none.
  {"mutable_optional_ids", {
     structure("a::b::Reading", mutable_, {
       member(0, "when", ref(3)), member(7, "value", prim(PK::Float32), optional_),
       member(8, "unit", str(8), optional_), member(20, "tag", prim(PK::Char8))}),
     alias("Stamp", prim(PK::UInt64)),
     structure("a::c::Time", appendable, {member(0, "t", ref(2))})},
   "typedef unsigned long long Stamp;\n"
   "module a {\n"
   "  module c {\n"
   "    @appendable\n"
   "    struct Time {\n"
   "      Stamp t;\n"
   "    };\n"
   "  };\n"
   "  module b {\n"
   "    @mutable\n"
   "    struct Reading {\n"
   "      a::c::Time when;\n"
   "      @optional @id(7) float value;\n"
   "      @optional string<8> unit;\n"
   "      @id(20) char tag;\n"
   "    };\n"
   "  };\n"
   "};\n", true},
  // Arrays, bounded collections, every primitive spelling.
  {"collections_and_primitives", {
     structure("m::All", final_, {
       member(0, "grid", arr(prim(PK::Int16), {3, 2})),
       member(1, "names", seq(str(5), 4)),
       member(2, "named", ref(2)),
       member(3, "w", TypeIdentifier::String16Small{0}),
       member(4, "wb", TypeIdentifier::String16Large{300}),
       member(5, "b", prim(PK::Boolean)), member(6, "i8", prim(PK::Int8)),
       member(7, "i64", prim(PK::Int64)), member(8, "u16", prim(PK::UInt16)),
       member(9, "u32", prim(PK::UInt32)), member(10, "wc", prim(PK::Char16))}),
     alias("m::Matrix", arr(prim(PK::Float64), {4, 4}))},
   "module m {\n"
   "  typedef double Matrix[4][4];\n"
   "  @final\n"
   "  struct All {\n"
   "    short grid[3][2];\n"
   "    sequence<string<5>, 4> names;\n"
   "    m::Matrix named;\n"
   "    wstring w;\n"
   "    wstring<300> wb;\n"
   "    boolean b;\n"
   "    int8 i8;\n"
   "    long long i64;\n"
   "    unsigned short u16;\n"
   "    unsigned long u32;\n"
   "    wchar wc;\n"
   "  };\n"
   "};\n", true},
  {"union_on_enum", {
     CompleteUnionType{final_, named("u::Shape"), {0, ref(2), {}, {}}, {
       branch("radius", prim(PK::Float64), {0}),
       branch("side", prim(PK::Float32), {1, 5}),
       branch("other", str(), {}, default_case)}},
     enumeration("u::Kind", {{"CIRCLE", 0}, {"SQUARE", 1}, {"CUBE", 5}}, 8)},
   "module u {\n"
   "  @bit_bound(8)\n"
   "  enum Kind {\n"
   "    CIRCLE,\n"
   "    SQUARE,\n"
   "    @value(5) CUBE\n"
   "  };\n"
   "  @final\n"
   "  union Shape switch (u::Kind) {\n"
   "    case CIRCLE:\n"
   "      double radius;\n"
   "    case SQUARE:\n"
   "    case CUBE:\n"
   "      float side;\n"
   "    default:\n"
   "      string other;\n"
   "  };\n"
   "};\n", true},
  {"union_on_boolean", {
     structure("Holder", appendable, {member(0, "f", ref(2))}),
     CompleteUnionType{appendable, named("Flag"), {0, prim(PK::Boolean), {}, {}}, {
       branch("yes", prim(PK::Int32), {1}), branch("no", prim(PK::Int16), {0})}}},
   "@appendable\n"
   "union Flag switch (boolean) {\n"
   "  case TRUE:\n"
   "    long yes;\n"
   "  case FALSE:\n"
   "    short no;\n"
   "};\n"
   "@appendable\n"
   "struct Holder {\n"
   "  Flag f;\n"
   "};\n", true},
  // Beyond what the Foxglove parser reads: nested sequences, an array inside one (a typedef),
  // char case labels; an enumerator from another module by its scoped name; keywords escaped.
  {"nested_collections_char_union", {
     structure("n::Nest", final_, {
       member(0, "rows", seq(seq(prim(PK::UInt8)), 4)),
       member(1, "fixed", seq(arr(str(5), {2}))),
       member(2, "again", seq(arr(str(5), {2}), 3)),
       member(3, "letter", ref(2)), member(4, "pick", ref(3))}),
     CompleteUnionType{mutable_, named("n::Letter"), {0, prim(PK::Char8), {}, {}}, {
       branch("a", prim(PK::Int32), {'a'}), branch("n", prim(PK::Int32), {-2})}},
     CompleteUnionType{final_, named("n::Pick"), {0, ref(4), {}, {}}, {
       branch("on", prim(PK::Int32), {1})}},
     enumeration("map::Mode", {{"OFF", 0}, {"ON", 1}})},
   "typedef string<5> anon_string_5_2[2];\n"
   "module n {\n"
   "  @mutable\n"
   "  union Letter switch (char) {\n"
   "    case 'a':\n"
   "      long a;\n"
   "    case '\\xfe':\n"
   "      long n;\n"
   "  };\n"
   "};\n"
   "module _map {\n"
   "  enum Mode {\n"
   "    OFF,\n"
   "    ON\n"
   "  };\n"
   "};\n"
   "module n {\n"
   "  @final\n"
   "  union Pick switch (_map::Mode) {\n"
   "    case _map::ON:\n"
   "      long on;\n"
   "  };\n"
   "  @final\n"
   "  struct Nest {\n"
   "    sequence<sequence<uint8>, 4> rows;\n"
   "    sequence<anon_string_5_2> _fixed;\n"
   "    sequence<anon_string_5_2, 3> again;\n"
   "    n::Letter letter;\n"
   "    n::Pick pick;\n"
   "  };\n"
   "};\n", false},
  // Inheritance, bitmasks, maps, recursion: also beyond the Foxglove parser.
  {"inheritance_bitmask_map", {
     structure("x::Derived", appendable, {
       member(2, "flags", ref(3)), member(9, "index", TypeIdentifier::PlainMapSmall{
         {}, 0, prim(PK::Int32), 0, str()})}, ref(2)),
     structure("x::Base", appendable, {member(0, "a", prim(PK::Int32)),
                                       member(1, "b", prim(PK::Int32))}),
     CompleteBitmaskType{0, 16, named("x::Perm"), {
       {0, 0, {"READ", {}, {}}}, {1, 0, {"WRITE", {}, {}}}, {7, 0, {"EXEC", {}, {}}}}}},
   "module x {\n"
   "  @appendable\n"
   "  struct Base {\n"
   "    long a;\n"
   "    long b;\n"
   "  };\n"
   "  @bit_bound(16)\n"
   "  bitmask Perm {\n"
   "    READ,\n"
   "    WRITE,\n"
   "    @position(7) EXEC\n"
   "  };\n"
   "  @appendable\n"
   "  struct Derived : x::Base {\n"
   "    x::Perm flags;\n"
   "    @id(9) map<string, long> index;\n"
   "  };\n"
   "};\n", false},
  {"recursive", {
     structure("t::Node", final_, {member(0, "value", prim(PK::Int32)),
                                   member(1, "children", seq(ref(1), 8))})},
   "module t {\n"
   "  struct Node;\n"
   "  @final\n"
   "  struct Node {\n"
   "    long value;\n"
   "    sequence<t::Node, 8> children;\n"
   "  };\n"
   "};\n", false},
};
// clang-format on

class IdlGolden : public ::testing::TestWithParam<Golden> {};
class FoxgloveReads : public ::testing::TestWithParam<Golden> {};

std::vector<Golden> foxglove_goldens() {
  std::vector<Golden> out;
  for (const auto& g : goldens)
    if (g.foxglove) out.push_back(g);
  return out;
}

TEST_P(IdlGolden, WritesExactText) {
  const auto& g = GetParam();
  const auto out = to_idl_text(ref(1), registry_of(g.objects));
  ASSERT_TRUE(out) << to_string(out.error());
  EXPECT_EQ(out->text, g.idl);
  EXPECT_EQ(out->top_level_name,
            std::visit([](const auto& v) { return v.detail.type_name; }, g.objects[0]));
}

// The Foxglove parser, run by node over tests/tools/rec/mcap-check (scripts/install-deps).
TEST_P(FoxgloveReads, ParsesTheText) {
  const auto& g = GetParam();
  const std::string dir = NIMBREL_MCAP_CHECK;
  ASSERT_TRUE(std::filesystem::exists(dir + "/node_modules/@foxglove/omgidl-parser"))
      << "run scripts/install-deps";
  const auto path = std::filesystem::temp_directory_path() / (std::string("idl_") + g.name);
  std::ofstream(path) << g.idl;
  const auto run = nimbrel::testing::run_tool(
      "node " + dir + "/parse_idl.mjs " + nimbrel::testing::shell_quoted(path.string()) + " 2>&1");
  std::filesystem::remove(path);
  const std::string& out = run.output;
  EXPECT_TRUE(run.ok) << out;
  const auto top = std::visit([](const auto& v) { return v.detail.type_name; }, g.objects[0]);
  EXPECT_NE(out.find(top + "\n"), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Types, IdlGolden, ::testing::ValuesIn(goldens),
                         [](const auto& p) { return std::string(p.param.name); });
INSTANTIATE_TEST_SUITE_P(Types, FoxgloveReads, ::testing::ValuesIn(foxglove_goldens()),
                         [](const auto& p) { return std::string(p.param.name); });

struct Failure {
  const char* name;
  friend void PrintTo(const Failure& f, std::ostream* os) { *os << f.name; }
  std::function<void(TypeRegistry&)> change;  // applied to the cyclone_tldemo registry
  TypeIdentifier top;
  IdlTextError error;
};

// Distinct hashes for a long chain of aliases.
EquivalenceHash chain(int i) {
  EquivalenceHash h{};
  h.bytes[0] = 0xEE;
  h.bytes[1] = static_cast<std::uint8_t>(i);
  h.bytes[2] = static_cast<std::uint8_t>(i >> 8);
  return h;
}

// clang-format off
const std::vector<Failure> failures = {
  {"top_minimal_only", [](TypeRegistry& r) { r.minimal[hash_of(9)] = {}; },
   TypeIdentifier::EquivalenceHashMinimal{hash_of(9)},
   {IdlTextError::Kind::MinimalOnly, "090a0b0c0d0e0f10111213141516"}},
  {"dependency_minimal_only", [](TypeRegistry& r) {
     r.complete.erase(hash_of(2));
     r.minimal[hash_of(2)] = {}; },
   ref(1), {IdlTextError::Kind::MinimalOnly, "02030405060708090a0b0c0d0e0f"}},
  {"dependency_missing", [](TypeRegistry& r) { r.complete.erase(hash_of(3)); },
   ref(1), {IdlTextError::Kind::Missing, "030405060708090a0b0c0d0e0f10"}},
  {"member_name_not_identifier", [](TypeRegistry& r) {
     std::get<CompleteStructType>(r.complete[hash_of(2)].value).members[0].detail.name = "x; };"; },
   ref(1), {IdlTextError::Kind::Unwritable, "name \"x; };\""}},
  {"type_name_not_identifier", [](TypeRegistry& r) {
     std::get<CompleteStructType>(r.complete[hash_of(1)].value).detail.type_name = "tldemo:::S"; },
   ref(1), {IdlTextError::Kind::Unwritable, "name \"tldemo:::S\""}},
  {"top_not_hashed", [](TypeRegistry&) {}, prim(PK::Int32),
   {IdlTextError::Kind::Unwritable, "a top-level type that is not named by a hash"}},
  {"label_not_an_enumerator", [](TypeRegistry& r) {
     r.complete[hash_of(4)] = {CompleteUnionType{0, named("U"), {0, ref(3), {}, {}},
                                                 {branch("x", prim(PK::Int32), {7})}}}; },
   ref(4), {IdlTextError::Kind::Unwritable, "case label 7 outside tldemo::Color"}},
  {"chain_too_deep", [](TypeRegistry& r) {
     for (int i = 0; i < 300; ++i)
       r.complete[chain(i)] = {alias(std::string("A") += std::to_string(i),
                                     TypeIdentifier::EquivalenceHashComplete{chain(i + 1)})}; },
   TypeIdentifier::EquivalenceHashComplete{chain(0)},
   {IdlTextError::Kind::Unwritable, "types nested too deep"}},
  {"bitset", [](TypeRegistry& r) {
     r.complete[hash_of(4)] = {CompleteBitsetType{0, named("B"), {}}}; },
   ref(4), {IdlTextError::Kind::Unwritable, "bitset B"}},
};
// clang-format on

class IdlFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(IdlFailure, SaysWhyInsteadOfText) {
  const auto& f = GetParam();
  auto registry = registry_of(goldens[0].objects);
  f.change(registry);
  const auto out = to_idl_text(f.top, registry);
  ASSERT_FALSE(out) << out->text;
  EXPECT_EQ(out.error(), f.error) << to_string(out.error());
  if (f.error.kind == IdlTextError::Kind::MinimalOnly) {
    EXPECT_EQ(to_string(out.error()), "type " + f.error.detail +
                                          " is known only in minimal form, which carries no "
                                          "names: no IDL can be written");
  }
}

INSTANTIATE_TEST_SUITE_P(Types, IdlFailure, ::testing::ValuesIn(failures),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace nimbrel::types
