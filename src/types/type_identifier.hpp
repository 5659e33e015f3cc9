// XTypes TypeIdentifier: the name of a data type as it travels in discovery data, type objects
// and type lookup messages. Simple types are described in full; everything else is referred to
// by an opaque 14-byte equivalence hash that is only ever compared, stored and written back.
// Values are plain and deeply copyable; the codec follows DDS-XTypes 1.3 section 7.3.4.2.
#pragma once

#include <array>
#include <compare>
#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "cdr/buffer.hpp"

namespace nimbrel::types {

// Identifiers nest at most this deep: a top-level identifier has depth 0.
inline constexpr unsigned type_identifier_depth_limit = 16;

struct EquivalenceHash {
  static constexpr std::size_t size = 14;
  std::array<std::uint8_t, size> bytes{};

  friend auto operator<=>(const EquivalenceHash&, const EquivalenceHash&) = default;
};

// Declaration order is not wire order: Int8 and UInt8 got their codes later in the standard.
enum class PrimitiveKind : std::uint8_t {
  Boolean,
  Byte,
  Int8,
  Int16,
  Int32,
  Int64,
  UInt8,
  UInt16,
  UInt32,
  UInt64,
  Float32,
  Float64,
  Float128,
  Char8,
  Char16,
};

std::uint8_t primitive_kind_to_wire(PrimitiveKind kind);
std::optional<PrimitiveKind> primitive_kind_from_wire(std::uint8_t code);

struct PlainCollectionHeader {
  std::uint8_t equivalence_kind = 0;  // carried as read, never interpreted
  std::uint16_t element_flags = 0;

  void encode(cdr::BufferWriter& writer) const;
  static CodecResult<PlainCollectionHeader> decode(cdr::BufferReader& reader);

  friend bool operator==(const PlainCollectionHeader&, const PlainCollectionHeader&) = default;
};

// Keeps a converting constructor template of Self away from Self's own copies and moves.
template <typename U, typename To, typename Self>
concept ConvertsTo = std::convertible_to<U, To> && !std::same_as<std::remove_cvref_t<U>, Self>;

// An owning pointer with value semantics: copies are deep, equality compares the pointees.
// A moved-from box is empty and may only be assigned to or destroyed.
template <typename T>
class Box {
 public:
  template <ConvertsTo<T, Box> U>
  Box(U&& value)  // NOLINT: implicit on purpose, so alternatives nest without ceremony
      : ptr_(std::make_unique<T>(std::forward<U>(value))) {}
  Box(const Box& other) : ptr_(other.ptr_ ? std::make_unique<T>(*other.ptr_) : nullptr) {}
  Box(Box&&) noexcept = default;
  Box& operator=(const Box& other) {
    // Copy first: other may live inside the subtree this assignment releases.
    if (this != &other) ptr_ = other.ptr_ ? std::make_unique<T>(*other.ptr_) : nullptr;
    return *this;
  }
  Box& operator=(Box&&) noexcept = default;
  ~Box() = default;

  const T& operator*() const { return *ptr_; }
  T& operator*() { return *ptr_; }
  const T* operator->() const { return ptr_.get(); }
  T* operator->() { return ptr_.get(); }

  friend bool operator==(const Box& a, const Box& b) {
    if (!a.ptr_ || !b.ptr_) return a.ptr_ == b.ptr_;
    return *a.ptr_ == *b.ptr_;
  }

 private:
  std::unique_ptr<T> ptr_;
};

struct TypeIdentifier {
  struct None {
    friend bool operator==(const None&, const None&) = default;
  };
  struct Primitive {
    PrimitiveKind kind;
    friend bool operator==(const Primitive&, const Primitive&) = default;
  };
  struct String8Small {
    std::uint8_t bound;
    friend bool operator==(const String8Small&, const String8Small&) = default;
  };
  struct String8Large {
    std::uint32_t bound;
    friend bool operator==(const String8Large&, const String8Large&) = default;
  };
  struct String16Small {
    std::uint8_t bound;
    friend bool operator==(const String16Small&, const String16Small&) = default;
  };
  struct String16Large {
    std::uint32_t bound;
    friend bool operator==(const String16Large&, const String16Large&) = default;
  };
  struct PlainSequenceSmall {
    PlainCollectionHeader header;
    std::uint8_t bound;
    Box<TypeIdentifier> element;
    friend bool operator==(const PlainSequenceSmall&, const PlainSequenceSmall&) = default;
  };
  struct PlainSequenceLarge {
    PlainCollectionHeader header;
    std::uint32_t bound;
    Box<TypeIdentifier> element;
    friend bool operator==(const PlainSequenceLarge&, const PlainSequenceLarge&) = default;
  };
  struct PlainArraySmall {
    PlainCollectionHeader header;
    std::vector<std::uint8_t> bounds;  // one per dimension
    Box<TypeIdentifier> element;
    friend bool operator==(const PlainArraySmall&, const PlainArraySmall&) = default;
  };
  struct PlainArrayLarge {
    PlainCollectionHeader header;
    std::vector<std::uint32_t> bounds;
    Box<TypeIdentifier> element;
    friend bool operator==(const PlainArrayLarge&, const PlainArrayLarge&) = default;
  };
  struct PlainMapSmall {
    PlainCollectionHeader header;
    std::uint8_t bound;
    Box<TypeIdentifier> element;
    std::uint16_t key_flags;
    Box<TypeIdentifier> key;
    friend bool operator==(const PlainMapSmall&, const PlainMapSmall&) = default;
  };
  struct PlainMapLarge {
    PlainCollectionHeader header;
    std::uint32_t bound;
    Box<TypeIdentifier> element;
    std::uint16_t key_flags;
    Box<TypeIdentifier> key;
    friend bool operator==(const PlainMapLarge&, const PlainMapLarge&) = default;
  };
  struct StronglyConnectedComponent {
    EquivalenceHash hash;
    std::int32_t scc_length;
    std::int32_t scc_index;
    friend bool operator==(const StronglyConnectedComponent&,
                           const StronglyConnectedComponent&) = default;
  };
  struct EquivalenceHashMinimal {
    EquivalenceHash hash;
    friend bool operator==(const EquivalenceHashMinimal&, const EquivalenceHashMinimal&) = default;
  };
  struct EquivalenceHashComplete {
    EquivalenceHash hash;
    friend bool operator==(const EquivalenceHashComplete&,
                           const EquivalenceHashComplete&) = default;
  };
  // A discriminator this system does not know; it travels on as that single byte.
  struct Unknown {
    std::uint8_t discriminator;
    friend bool operator==(const Unknown&, const Unknown&) = default;
  };

  using Value =
      std::variant<None, Primitive, String8Small, String8Large, String16Small, String16Large,
                   PlainSequenceSmall, PlainSequenceLarge, PlainArraySmall, PlainArrayLarge,
                   PlainMapSmall, PlainMapLarge, StronglyConnectedComponent, EquivalenceHashMinimal,
                   EquivalenceHashComplete, Unknown>;

  Value value;

  TypeIdentifier() = default;
  template <ConvertsTo<Value, TypeIdentifier> Alternative>
  TypeIdentifier(Alternative&& alternative)  // NOLINT: implicit on purpose
      : value(std::forward<Alternative>(alternative)) {}
  TypeIdentifier(const TypeIdentifier&) = default;
  TypeIdentifier(TypeIdentifier&&) noexcept = default;
  // Both assignments take the source out before the old value goes: the source may be a part
  // of this identifier (id = *seq.element), which a plain variant assignment would destroy first.
  TypeIdentifier& operator=(const TypeIdentifier& other) {
    Value copy = other.value;
    value = std::move(copy);
    return *this;
  }
  TypeIdentifier& operator=(TypeIdentifier&& other) noexcept {
    Value moved = std::move(other.value);
    value = std::move(moved);
    return *this;
  }
  ~TypeIdentifier() = default;

  // The byte that opens this identifier's wire form.
  std::uint8_t discriminator() const;

  CodecResult<void> encode(cdr::BufferWriter& writer) const;
  // Depth is that of the identifier about to be read; callers outside this codec leave it at 0.
  static CodecResult<TypeIdentifier> decode(cdr::BufferReader& reader, unsigned depth = 0);

  friend bool operator==(const TypeIdentifier&, const TypeIdentifier&) = default;
};

}  // namespace nimbrel::types
